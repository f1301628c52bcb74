#include "Lumavane/Session/ModelSelection.hpp"

#include "Lumavane/Session/PlaybackEnhancer.hpp"
#include "Lumavane/Session/SameFile.hpp"

#include <algorithm>
#include <cmath>

namespace lumavane::model_selection {

namespace {

bool declares(const ModelSeriesManifest::Variant& variant, std::int64_t scale) {
    return std::find(variant.outputScales.begin(), variant.outputScales.end(), scale) != variant.outputScales.end();
}

// Truncated to whole pixels, as the key shows them.
long long whole(double value) { return static_cast<long long>(value); }

} // namespace

std::optional<std::filesystem::path> bundledModelURL(const std::map<BundledModelPreset, std::filesystem::path>& urls,
                                                     BundledModelPreset preset, BundledModelPreset remembered) {
    const BundledModelPreset wanted = preset == BundledModelPreset::automatic ? remembered : preset;
    for (const BundledModelPreset candidate : {wanted, BundledModelPreset::quality, BundledModelPreset::fast}) {
        if (const auto found = urls.find(candidate); found != urls.end()) return found->second;
    }
    return std::nullopt;
}

OutputScale variantRequestedScale(OutputScale current, const ModelSeriesManifest::Variant& variant) {
    if (current == OutputScale::optimal && variant.supportsOptimal) return OutputScale::optimal;
    if (current == OutputScale::four && declares(variant, 4)) return OutputScale::four;
    if (declares(variant, 2)) return OutputScale::two;
    return OutputScale::four;
}

bool meetsVariantRequirements(const PlaybackEnhancer& enhancer, const ModelSeriesManifest::Variant& variant) {
    if (declares(variant, 4) && !enhancer.supportsNative4xOutput()) return false;
    if (variant.supportsOptimal && !enhancer.supportsOptimalDisplayOutput()) return false;
    return true;
}

std::vector<OutputScale> offeredOutputScales(bool supports4xOutput, bool optimalDisplayOutput,
                                             const ModelSeriesManifest::Variant* variant) {
    std::vector<OutputScale> scales;
    if (supports4xOutput && optimalDisplayOutput && (!variant || variant->supportsOptimal))
        scales.push_back(OutputScale::optimal);
    if (!variant || declares(*variant, 2)) scales.push_back(OutputScale::two);
    if (supports4xOutput && (!variant || declares(*variant, 4))) scales.push_back(OutputScale::four);
    return scales;
}

OutputScale adjustedOutputScale(OutputScale built, bool native4xOutput, bool optimalDisplayOutput) {
    if (!native4xOutput || (built == OutputScale::optimal && !optimalDisplayOutput)) return OutputScale::two;
    return built;
}

std::optional<std::string> autoContextKey(const AutoContext& context) {
    if (!context.sourceSize || !std::isfinite(context.sourceFPS) || context.sourceFPS <= 0) return std::nullopt;
    std::string key = "v2|" + context.machine + "|" + std::to_string(whole(context.sourceSize->first)) + "x" +
                      std::to_string(whole(context.sourceSize->second)) + "|" +
                      std::to_string(std::llround(context.sourceFPS * context.playbackRate)) + "|" +
                      rawValue(context.outputScale);
    if (context.outputScale == OutputScale::optimal && context.displaySize) {
        const long long width = whole(context.displaySize->first), height = whole(context.displaySize->second);
        if (width > 0 && height > 0) {
            key += "|display:" + std::to_string(std::llround(double(width) / 128)) + "x" +
                   std::to_string(std::llround(double(height) / 128));
        }
    }
    return key;
}

BundledModelPreset rememberedPreset(const std::optional<std::string>& stored) {
    return stored == rawValue(BundledModelPreset::fast) ? BundledModelPreset::fast : BundledModelPreset::quality;
}

std::filesystem::path variantFile(const ImportedModelSeries& series, const ModelSeriesManifest::Variant& variant) {
    return series.manifestURL.parent_path() / variant.path;
}

const ModelSeriesManifest::Variant* variantFor(const ImportedModelSeries& series, const std::filesystem::path& url) {
    for (const auto& variant : series.manifest.variants) {
        if (sameFile(variantFile(series, variant), url)) return &variant;
    }
    return nullptr;
}

} // namespace model_selection
