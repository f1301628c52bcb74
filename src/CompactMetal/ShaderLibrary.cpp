#include "CompactMetal/ShaderLibrary.hpp"

#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/FileReading.hpp"
#include "Platform/Foundation/Resources.hpp"

#include <system_error>

namespace lumavane {

std::filesystem::path shaderSourcePath(std::string_view sourceName) {
    return resourceBundle(compactMetalBundleName) / (std::string(sourceName) + ".cl");
}

std::string shaderSource(std::string_view sourceName) {
    const std::filesystem::path path = shaderSourcePath(sourceName);
    std::error_code ignored;
    if (!std::filesystem::is_directory(path.parent_path(), ignored)) {
        throw CompactMetalError::missingResourceBundle(path.parent_path().string());
    }
    try {
        const std::vector<std::uint8_t> bytes = compact_files::readWholeFile(path);
        return std::string(bytes.begin(), bytes.end());
    } catch (const std::filesystem::filesystem_error& error) {
        if (error.code() == std::errc::no_such_file_or_directory) {
            throw CompactMetalError::missingShaderSource(path.filename().string(), path.parent_path().string());
        }
        throw;
    }
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
