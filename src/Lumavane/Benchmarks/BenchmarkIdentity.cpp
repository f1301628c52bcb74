#include "Lumavane/Benchmarks/BenchmarkIdentity.hpp"

#include "Lumavane/Benchmarks/BenchmarkSubmission.hpp"
#include "Lumavane/Benchmarks/PerformanceBenchmark.hpp"
#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include <fmt/format.h>
#include <glib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <exception>
#include <vector>

namespace lumavane {

namespace {

// Larger than any model manifest; the compact engine refuses bigger ones too.
constexpr std::uint64_t maximumManifestBytes = 4 << 20;

std::string escapedField(std::string_view field) {
    std::string result;
    for (const char c : field) {
        if (c == '\\' || c == '|') result += '\\';
        result += c;
    }
    return result;
}

// 64 lower-case hexadecimal digits.
std::optional<std::string> sha256Hex(const std::string& bytes) {
    gchar* digest = g_compute_checksum_for_data(G_CHECKSUM_SHA256,
                                                reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    if (!digest) return std::nullopt;
    std::string hex(digest);
    g_free(digest);
    return hex;
}

std::optional<std::string> readManifest(const std::filesystem::path& folder) {
    try {
        return files::readWholeText(folder / "manifest.json", maximumManifestBytes);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> checkpoint(const std::string& manifestText) {
    nlohmann::json json;
    try {
        json = json_decoding::parse(manifestText);
    } catch (const JSONDecodingError&) {
        return std::nullopt;
    }
    if (!json.is_object()) return std::nullopt;
    const auto found = json.find("checkpoint_sha256");
    if (found == json.end() || !found->is_string()) return std::nullopt;
    return normalizedCheckpoint(found->get_ref<const std::string&>());
}

} // namespace

std::string modelBenchmarkKey(std::string_view hardwareModel, std::string_view seriesID,
                              std::string_view seriesVersion, std::string_view variantID) {
    const std::array<std::string_view, 4> fields{hardwareModel, seriesID, seriesVersion, variantID};
    const bool escaping = std::any_of(fields.begin(), fields.end(), [](std::string_view field) {
        return field.find('|') != std::string_view::npos;
    });
    std::string key;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) key += '|';
        key += escaping ? escapedField(fields[i]) : std::string(fields[i]);
    }
    return key;
}

std::optional<std::string> defaultBenchmarkIdentity(const DefaultBenchmarkIdentityInputs& inputs) {
    if (!inputs.manifest) return std::nullopt;
    std::vector<std::string> parts{"default-benchmark-v2",
                                   inputs.appBuild,
                                   inputs.hardwareModel,
                                   inputs.machine,
                                   inputs.operatingSystemBuild,
                                   inputs.manifest->id,
                                   inputs.manifest->version,
                                   std::to_string(PerformanceBenchmark::warmUpCount),
                                   std::to_string(PerformanceBenchmark::timedCount)};
    for (const auto preset : {BundledModelPreset::fast, BundledModelPreset::quality}) {
        const std::string role = preset == BundledModelPreset::fast ? "fast" : "quality";
        const auto& variants = inputs.manifest->variants;
        const auto variant =
            std::find_if(variants.begin(), variants.end(),
                         [&](const ModelSeriesManifest::Variant& v) { return v.role == role; });
        if (variant == variants.end()) return std::nullopt;
        const auto url = inputs.modelURLs.find(preset);
        if (url == inputs.modelURLs.end()) return std::nullopt;
        const auto text = readManifest(url->second);
        if (!text) return std::nullopt;
        const auto sum = checkpoint(*text);
        const auto digest = sha256Hex(*text);
        if (!sum || !digest) return std::nullopt;
        parts.insert(parts.end(), {role, variant->id, *sum, *digest});
    }
    return fmt::format("{}", fmt::join(parts, "|"));
}

} // namespace lumavane
