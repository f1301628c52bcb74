#include "Platform/Ml/ModelFiles.hpp"

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

#include "Platform/Foundation/JSONDecoding.hpp"
#include "Platform/Ml/Importers.hpp"
#include "Platform/Ml/MlError.hpp"

namespace lumavane::ml::detail {

namespace fs = std::filesystem;

namespace {

constexpr const char* compiledSpecFile = "model.mlmodel";
constexpr const char* compiledMarker = "compiled.json";
constexpr const char* compiledFormat = "lumavane-mlmodelc";
constexpr int compiledVersion = 1;
// Spec files beyond this are not image networks we could run; refuse before reading them.
constexpr uintmax_t maximumSpecFileSize = uintmax_t(1) << 30;

std::string lowercaseExtension(const fs::path& url) {
    std::string ext = url.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) raise(errorIO, "Cannot read " + file.string() + ".");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) raise(errorIO, "Cannot read " + file.string() + ".");
    return text;
}

// A relative path that stays inside its folder.
bool staysInside(const fs::path& relative) {
    if (relative.empty() || relative.is_absolute() || relative.has_root_name()) return false;
    for (const auto& part : relative)
        if (part == "..") return false;
    return true;
}

fs::path uniqueCompiledFolder(const std::string& stem) {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::error_code error;
    const fs::path temporary = fs::temp_directory_path(error);
    if (error) raise(errorIO, "There is no temporary folder to compile the model into.");
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string suffix;
        for (int i = 0; i < 6; ++i) suffix += alphabet[random() % (sizeof alphabet - 1)];
        const fs::path folder = temporary / (stem + "-" + suffix + ".mlmodelc");
        if (fs::create_directory(folder, error)) return folder;
        if (error) raise(errorIO, "Cannot create " + folder.string() + ": " + error.message() + ".");
    }
    raise(errorIO, "Cannot create a compiled model folder in " + temporary.string() + ".");
}

} // namespace

ModelFiles locateSource(const fs::path& url) {
    const std::string ext = lowercaseExtension(url);
    std::error_code error;
    if (ext == ".mlmodel") {
        if (!fs::is_regular_file(url, error))
            raise(errorIO, "The model file " + url.string() + " does not exist.");
        return {url, url.parent_path(), url.parent_path()};
    }
    if (ext != ".mlpackage")
        raise(errorGeneric,
              url.string() + " is neither a model file (.mlmodel) nor a model package (.mlpackage).");
    if (!fs::is_directory(url, error))
        raise(errorIO, "The model package " + url.string() + " does not exist.");

    const fs::path manifestPath = url / "Manifest.json";
    nlohmann::json manifest;
    try {
        manifest = json_decoding::parse(readText(manifestPath));
        const std::string root = manifest.at("rootModelIdentifier").get<std::string>();
        const fs::path relative(manifest.at("itemInfoEntries").at(root).at("path").get<std::string>());
        if (!staysInside(relative))
            raise(errorGeneric, "The package's Manifest.json points outside the package.");
        const fs::path specFile = url / "Data" / relative;
        if (!fs::is_regular_file(specFile, error))
            raise(errorIO, "The package's root model " + specFile.string() + " does not exist.");
        return {specFile, specFile.parent_path(), specFile.parent_path()};
    } catch (const nlohmann::json::exception& e) {
        raise(errorGeneric, "The package's Manifest.json cannot be read: " + std::string(e.what()));
    } catch (const JSONDecodingError& e) {
        raise(errorGeneric, "The package's Manifest.json cannot be read: " + std::string(e.what()));
    }
}

ModelFiles locateCompiled(const fs::path& url) {
    std::error_code error;
    if (!fs::is_directory(url, error))
        raise(errorIO, "The compiled model " + url.string() + " does not exist.");
    const fs::path marker = url / compiledMarker;
    bool ours = false;
    fs::path shown = url;
    if (fs::is_regular_file(marker, error)) {
        try {
            const nlohmann::json json = json_decoding::parse(readText(marker));
            ours = json.value("format", "") == compiledFormat && json.value("version", 0) == compiledVersion;
            if (const auto source = json.find("source"); source != json.end() && source->is_string())
                shown = fs::path(source->get<std::string>());
        } catch (const nlohmann::json::exception&) {
            ours = false;
        } catch (const JSONDecodingError&) {
            ours = false;
        }
    }
    if (!ours)
        raise(errorGeneric,
              "The compiled model " + url.string() +
                  " was not compiled by this player; choose the .mlpackage or .mlmodel it was made from.");
    return {url / compiledSpecFile, url, shown};
}

coreml::Model readSpecFile(const fs::path& file) {
    std::error_code error;
    const uintmax_t size = fs::file_size(file, error);
    if (error) raise(errorIO, "Cannot read " + file.string() + ".");
    if (size > maximumSpecFileSize)
        raise(errorGeneric, "The model spec file " + file.string() + " is too large.");
    coreml::Model spec;
    if (!spec.ParseFromString(readText(file)))
        raise(errorGeneric, "The model spec file " + file.string() + " is damaged or not a model spec file.");
    return spec;
}

fs::path compileModelFiles(const fs::path& url) {
    const ModelFiles source = locateSource(url);
    const coreml::Model spec = readSpecFile(source.specFile);
    modelKind(spec);
    if (spec.description().input_size() == 0 || spec.description().output_size() == 0)
        raise(errorGeneric, "The model declares no inputs or no outputs.");

    const fs::path folder = uniqueCompiledFolder(url.stem().string());
    try {
        std::error_code error;
        fs::copy_file(source.specFile, folder / compiledSpecFile, error);
        if (error) raise(errorIO, "Cannot write the compiled model: " + error.message() + ".");
        // An ML program's weights sit in "weights" beside its spec file.
        const fs::path weights = source.modelDirectory / "weights";
        if (spec.Type_case() == coreml::Model::kMlProgram && fs::is_directory(weights, error)) {
            fs::copy(weights, folder / "weights", fs::copy_options::recursive, error);
            if (error) raise(errorIO, "Cannot copy the model's weights: " + error.message() + ".");
        }
        std::ofstream marker(folder / compiledMarker);
        marker << nlohmann::json{{"format", compiledFormat},
                                 {"version", compiledVersion},
                                 {"source", source.modelDirectory.string()}}
                      .dump()
               << "\n";
        marker.close();
        if (!marker) raise(errorIO, "Cannot write the compiled model.");
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        throw;
    }
    return folder;
}

} // namespace lumavane::ml::detail
