#include "CompactMetal/ShaderLibrary.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/Resources.hpp"

#include <regex>
#include <set>
#include <sstream>
#include <system_error>

namespace lumavane {

std::filesystem::path shaderSourcePath(std::string_view sourceName) {
    return resourceBundle(compactMetalBundleName) / (std::string(sourceName) + ".cl");
}

namespace {

std::string readSourceFile(std::string_view sourceName) {
    const std::filesystem::path path = shaderSourcePath(sourceName);
    std::error_code ignored;
    if (!std::filesystem::is_directory(path.parent_path(), ignored)) {
        throw CompactMetalError::missingResourceBundle(path.parent_path().string());
    }
    try {
        return files::readWholeText(path);
    } catch (const std::filesystem::filesystem_error& error) {
        if (error.code() == std::errc::no_such_file_or_directory) {
            throw CompactMetalError::missingShaderSource(path.filename().string(),
                                                         path.parent_path().string());
        }
        throw;
    }
}

// The base name of a line `#include "Name.cl"` (a plain file name of the bundle), else empty.
std::string includedSource(const std::string& line) {
    static const std::regex pattern(R"(^\s*#\s*include\s*"([A-Za-z0-9_.-]+)\.cl"\s*(//.*)?$)");
    std::smatch match;
    if (!std::regex_match(line, match, pattern)) return {};
    return match[1].str();
}

// OpenCL programs are built from one string, so includes of sibling sources are pasted in.
std::string resolveIncludes(const std::string& text, const std::string& sourceName,
                            std::set<std::string>& seen, bool& resolved) {
    std::string out;
    std::istringstream lines(text);
    std::string line;
    std::size_t number = 0;
    while (std::getline(lines, line)) {
        ++number;
        const std::string name = includedSource(line);
        if (name.empty()) {
            out += line;
            out += '\n';
            continue;
        }
        resolved = true; // a repeated include becomes an empty line
        if (seen.insert(name).second) {
            out += "#line 1 \"" + name + ".cl\"\n";
            out += resolveIncludes(readSourceFile(name), name, seen, resolved);
            out += "#line " + std::to_string(number + 1) + " \"" + sourceName + ".cl\"";
        }
        out += '\n';
    }
    return out;
}

} // namespace

std::string shaderSource(std::string_view sourceName) {
    const std::string name(sourceName);
    const std::string text = readSourceFile(name);
    if (text.find("include") == std::string::npos) return text;
    std::set<std::string> seen{name};
    bool resolved = false;
    const std::string pasted = resolveIncludes(text, name, seen, resolved);
    return resolved ? "#line 1 \"" + name + ".cl\"\n" + pasted : text;
}

ShaderLibrary::ShaderLibrary(std::shared_ptr<gpu::Device> device, std::shared_ptr<gpu::Library> library,
                             std::string sourceName)
    : device_(std::move(device)), library_(std::move(library)), sourceName_(std::move(sourceName)) {}

ShaderLibrary ShaderLibrary::compile(std::shared_ptr<gpu::Device> device, std::string_view sourceName,
                                     const gpu::CompileOptions& options) {
    std::shared_ptr<gpu::Library> library = device->newLibrary(shaderSource(sourceName), options);
    return ShaderLibrary(std::move(device), std::move(library), std::string(sourceName));
}

std::shared_ptr<gpu::Function> ShaderLibrary::function(std::string_view name) const {
    std::shared_ptr<gpu::Function> function = library_->newFunction(std::string(name));
    if (!function) throw CompactMetalError::missingFunction(std::string(name), sourceName_ + ".cl");
    return function;
}

std::shared_ptr<gpu::ComputePipelineState> ShaderLibrary::pipeline(std::string_view functionName) const {
    return device_->newComputePipelineState(function(functionName));
}

} // namespace lumavane
