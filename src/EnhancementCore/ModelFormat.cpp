#include "EnhancementCore/ModelFormat.hpp"

#include "EnhancementCore/EnhancementError.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
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

std::optional<nlohmann::json> readManifest(const std::filesystem::path& folder) {
    const std::filesystem::path file = folder / "manifest.json";
    std::error_code error;
    // A FIFO or device named manifest.json would block or never end; only plain files are read.
    if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
    std::ifstream stream(file, std::ios::binary);
    if (!stream) return std::nullopt;
    std::string data((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    if (stream.bad()) return std::nullopt;
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

    if (const auto manifest = readManifest(url)) {
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
