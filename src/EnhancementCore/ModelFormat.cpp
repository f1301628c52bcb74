#include "EnhancementCore/ModelFormat.hpp"

#include "CompactMetal/CompactModel.hpp"
#include "EnhancementCore/EnhancementError.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <optional>
#include <string>
#include <system_error>

namespace lumavane {
namespace {

// The extension of the last path component, as a URL sees it: a trailing
// separator does not hide it ("Model.mlpackage/" is still an mlpackage).
std::string lowercasedPathExtension(const std::filesystem::path& url) {
    std::string text = url.generic_string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    std::string extension = std::filesystem::path(text).extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return extension;
}

std::optional<nlohmann::json> manifestObject(const std::filesystem::path& folder) {
    std::error_code error;
    // A FIFO or device named manifest.json would block or never end; only plain files are read.
    if (!std::filesystem::is_regular_file(folder / "manifest.json", error)) return std::nullopt;
    std::string data;
    try {
        data = readManifestText(folder);
    } catch (const std::filesystem::filesystem_error& failure) {
        // A huge file is not read at all, and said so: nothing else could tell the user why.
        if (failure.code() == std::errc::file_too_large)
            throw EnhancementError::invalid(EnhancementMessage::manifestTooLarge);
        return std::nullopt;
    }
    nlohmann::json json = nlohmann::json::parse(data, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded() || !json.is_object()) return std::nullopt;
    return json;
}

} // namespace

ModelFormat detect(const std::filesystem::path& url) {
    const std::string extension = lowercasedPathExtension(url);
    if (extension == "onnx") throw EnhancementError::invalid(EnhancementMessage::onnxUnsupported);
    if (extension == "mlpackage" || extension == "mlmodel" || extension == "mlmodelc")
        return ModelFormat::coreML;

    if (const auto manifest = manifestObject(url)) {
        const auto architecture = manifest->find("architecture");
        const bool compact = architecture != manifest->end() && architecture->is_string() &&
                             architecture->get_ref<const std::string&>() == "Compact";
        const bool complete = manifest->contains("width") && manifest->contains("height") &&
                              manifest->contains("scale") && manifest->contains("layers") &&
                              manifest->contains("checkpoint_sha256");
        if (compact && complete) return ModelFormat::compactMetal;
    }
    throw EnhancementError::invalid(EnhancementMessage::chooseModel);
}

} // namespace lumavane
