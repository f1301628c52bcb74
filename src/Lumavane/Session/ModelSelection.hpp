#pragma once

#include "Lumavane/Models/BundledModelPreset.hpp"
#include "Lumavane/Models/ModelArchiveImporter.hpp"
#include "Lumavane/Models/ModelSeriesManifest.hpp"
#include "Lumavane/Session/SessionTypes.hpp"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lumavane {

class PlaybackEnhancer;

// The rules of model choice that need nothing of the session: which scale a variant is built
// for, what a loaded model offers, the automatic mode's context key. Plain functions, any thread.
namespace model_selection {

// What every model ZIP is checked against: 512 MiB archive, 1 GiB expanded, 512 MiB per entry,
// 4,096 entries, ratio 200.
inline constexpr ModelArchiveImporter::Limits importLimits{536870912, 1073741824, 536870912, 4096, 200};
// The shipped series' id when no shipped manifest is loaded; no imported series may carry it.
inline constexpr const char* fallbackReservedSeriesID = "com.tallowby.glintmoss";

// The shipped model standing for a preset: `automatic` means `remembered`; a preset without a
// model falls back to quality, then fast.
std::optional<std::filesystem::path> bundledModelURL(const std::map<BundledModelPreset, std::filesystem::path>& urls,
                                                     BundledModelPreset preset, BundledModelPreset remembered);

// The scale a series variant is built for, given the session's current one.
OutputScale variantRequestedScale(OutputScale current, const ModelSeriesManifest::Variant& variant);
// Whether a built enhancer delivers what the variant declares (native 4x output, display-sized
// output).
bool meetsVariantRequirements(const PlaybackEnhancer& enhancer, const ModelSeriesManifest::Variant& variant);
// The scales offered for a loaded model (in the order optimal, 2x, 4x), narrowed by the declared
// capabilities of the series variant in use, when there is one.
std::vector<OutputScale> offeredOutputScales(bool supports4xOutput, bool optimalDisplayOutput,
                                             const ModelSeriesManifest::Variant* variant);
// The scale a freshly installed model runs at: the built one, or 2x where the model cannot serve it.
OutputScale adjustedOutputScale(OutputScale built, bool native4xOutput, bool optimalDisplayOutput);

// The automatic mode's context: machine, source size, effective rate, scale and, for `optimal`,
// the display in 128-pixel buckets. Nothing without a source size or a usable frame rate.
struct AutoContext {
    std::string machine;
    std::optional<std::pair<double, double>> sourceSize;
    double sourceFPS = 0;
    double playbackRate = 1;
    OutputScale outputScale = OutputScale::two;
    std::optional<std::pair<double, double>> displaySize; // optimalOutputSize, else the reported one
};
std::optional<std::string> autoContextKey(const AutoContext& context);
// The remembered preset for a stored text: only "高速" means fast.
BundledModelPreset rememberedPreset(const std::optional<std::string>& stored);

// Where a variant's model lies: the manifest's folder joined with the variant's path.
std::filesystem::path variantFile(const ImportedModelSeries& series, const ModelSeriesManifest::Variant& variant);
// The first variant of the series whose model is `url` (sameFile), or none.
const ModelSeriesManifest::Variant* variantFor(const ImportedModelSeries& series, const std::filesystem::path& url);

} // namespace model_selection
} // namespace lumavane
