#include "Lumavane/Models/ModelSeriesManifest.hpp"

#include "EnhancementCore/ModelFormat.hpp"
#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include <algorithm>
#include <set>
#include <system_error>

namespace lumavane {
namespace fs = std::filesystem;
namespace {

// A manifest is a few kilobytes; a package may hold files of hundreds of megabytes, and a
// hostile one must not make the check read one into memory.
constexpr std::uint64_t largestManifestBytes = 4 * 1024 * 1024;

std::string url(const nlohmann::json& value, const std::string& path) {
    std::string text = json_decoding::string(value, path);
    const bool valid = !text.empty() && std::none_of(text.begin(), text.end(), [](unsigned char c) {
        return c <= 0x20 || c == 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' ||
               c == '`' || c == '{' || c == '|' || c == '}';
    });
    if (!valid) throw JSONDecodingError(path, "Invalid URL string.");
    return text;
}

ModelSeriesManifest::Variant decodeVariant(const nlohmann::json& value, const std::string& path) {
    const json_decoding::Object object(value, path);
    ModelSeriesManifest::Variant variant;
    variant.id = object.string("id");
    variant.name = object.string("name");
    variant.role = object.optionalString("role");
    variant.path = object.string("path");
    variant.format = object.string("format");
    variant.outputScales = object.array("outputScales", json_decoding::integer);
    variant.supportsOptimal = object.boolean("supportsOptimal");
    return variant;
}

ModelSeriesManifest decode(const std::string& text) {
    const nlohmann::json document = json_decoding::parse(text);
    const json_decoding::Object object(document, "");
    ModelSeriesManifest manifest;
    manifest.schemaVersion = object.integer("schemaVersion");
    manifest.id = object.string("id");
    manifest.name = object.string("name");
    manifest.version = object.string("version");
    const json_decoding::Object author(object.required("author"), object.pathOf("author"));
    manifest.author.name = author.string("name");
    if (const nlohmann::json* link = author.optional("url"))
        manifest.author.url = url(*link, author.pathOf("url"));
    manifest.category = object.string("category");
    manifest.description = object.string("description");
    manifest.license = object.string("license");
    manifest.variants = object.array("variants", decodeVariant);
    return manifest;
}

void require(bool condition) {
    if (!condition) throw ModelSeriesManifest::ManifestError(ModelSeriesManifest::ManifestError::invalid);
}

bool validScales(const std::vector<std::int64_t>& scales) {
    if (scales.empty()) return false;
    std::set<std::int64_t> seen;
    for (std::int64_t scale : scales)
        if ((scale != 2 && scale != 4) || !seen.insert(scale).second) return false;
    return true;
}

// The "scale" integer of a compact model folder's manifest.json; anything else is invalid.
std::int64_t compactScale(const fs::path& folder) {
    const nlohmann::json document =
        json_decoding::parse(files::readWholeText(folder / "manifest.json", largestManifestBytes));
    require(document.is_object() && !document.empty());
    const auto scale = document.find("scale");
    require(scale != document.end());
    try {
        return json_decoding::integer(*scale, "scale");
    } catch (const JSONDecodingError&) {
        require(false);
    }
    return 0;
}

void validateVariant(const ModelSeriesManifest::Variant& variant, const fs::path& manifestURL) {
    require(!variant.id.empty() && !variant.name.empty());
    require(!variant.role || variant.preset());
    require(variant.format == "compact-metal" || variant.format == "coreml");
    require(validScales(variant.outputScales));

    const fs::path model = ModelSeriesManifest::modelURL(variant, manifestURL);
    const ModelFormat detected = detect(model);
    const bool onlyTwo = variant.outputScales == std::vector<std::int64_t>{2};
    if (variant.format == "coreml") {
        require(detected == ModelFormat::coreML && !variant.supportsOptimal && onlyTwo);
        return;
    }
    require(detected == ModelFormat::compactMetal);
    const std::int64_t scale = compactScale(model);
    require(scale == 4 || (scale == 2 && onlyTwo && !variant.supportsOptimal));
}

std::optional<fs::path> resolved(const fs::path& path) {
    std::error_code error;
    fs::path result = fs::weakly_canonical(path, error);
    if (error) return std::nullopt;
    return result;
}

fs::path folderOf(const fs::path& manifestURL) {
    const fs::path parent = manifestURL.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

} // namespace

const char* ModelSeriesManifest::ManifestError::what() const noexcept {
    switch (case_) {
    case invalid:
        break;
    case invalidPath:
        return "Model files must exist inside the manifest's directory.";
    case tooLarge:
        return "The model-series.json file is larger than 4 MiB.";
    }
    return "Invalid or unsupported model-series manifest.";
}

std::optional<BundledModelPreset> ModelSeriesManifest::Variant::preset() const {
    if (role == "fast") return BundledModelPreset::fast;
    if (role == "quality") return BundledModelPreset::quality;
    return std::nullopt;
}

ModelSeriesManifest ModelSeriesManifest::load(const fs::path& manifestURL) {
    std::string text;
    try {
        text = files::readWholeText(manifestURL, largestManifestBytes);
    } catch (const fs::filesystem_error& error) {
        if (error.code() == std::errc::file_too_large) throw ManifestError(ManifestError::tooLarge);
        throw;
    }
    const ModelSeriesManifest manifest = decode(text);

    require(manifest.schemaVersion == 1);
    require(!manifest.id.empty() && !manifest.name.empty() && !manifest.version.empty() &&
            !manifest.author.name.empty() && !manifest.license.empty());
    require(manifest.category == "anime" || manifest.category == "live-action" ||
            manifest.category == "general");
    require(!manifest.variants.empty());
    std::set<std::string> ids;
    for (const Variant& variant : manifest.variants) require(ids.insert(variant.id).second);

    for (const Variant& variant : manifest.variants) validateVariant(variant, manifestURL);

    std::set<std::string> roles;
    for (const Variant& variant : manifest.variants)
        if (variant.role) require(roles.insert(*variant.role).second);
    return manifest;
}

fs::path ModelSeriesManifest::modelURL(const Variant& variant, const fs::path& manifestURL) {
    const ManifestError invalidPath(ManifestError::invalidPath);
    std::error_code error;
    const fs::path root = fs::canonical(folderOf(manifestURL), error);
    if (error) throw invalidPath;

    const std::string& path = variant.path;
    if (path.empty() || path.front() == '/' || path.find(':') != std::string::npos) throw invalidPath;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        if (path.compare(start, slash - start, "..") == 0) throw invalidPath;
        start = slash + 1;
    }

    const std::optional<fs::path> candidate = resolved(root / path);
    const std::string prefix = root.string() + "/";
    if (!candidate || candidate->string().compare(0, prefix.size(), prefix) != 0) throw invalidPath;
    if (!fs::exists(*candidate, error) || error) throw invalidPath;
    return *candidate;
}

bool ImportedModelSeries::contains(const std::optional<fs::path>& url) const {
    if (!url) return false;
    const std::optional<fs::path> target = resolved(*url);
    if (!target) return false;
    const fs::path folder = folderOf(manifestURL);
    return std::any_of(manifest.variants.begin(), manifest.variants.end(),
                       [&](const auto& variant) { return resolved(folder / variant.path) == target; });
}

} // namespace lumavane
