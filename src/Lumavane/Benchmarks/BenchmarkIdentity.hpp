#pragma once

#include "Lumavane/Models/BundledModelPreset.hpp"
#include "Lumavane/Models/ModelSeriesManifest.hpp"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace lumavane {

// The key of an imported model's stored result: machine model, series id, series version and
// variant id joined by "|". When a field holds "|", every field has "\" and "|" escaped with a
// backslash, so such keys cannot collide; keys without "|" stay as they always were.
std::string modelBenchmarkKey(std::string_view hardwareModel, std::string_view seriesID,
                              std::string_view seriesVersion, std::string_view variantID);

// What the cached standard result is tied to: a saved result is shown again only while all of
// it is unchanged.
struct DefaultBenchmarkIdentityInputs {
    std::string appBuild;
    // hardwareModelIdentifier("hw.model") and hardwareModelIdentifier("kern.osversion").
    std::string hardwareModel;
    std::string operatingSystemBuild;
    // The GPU device the session recorded ("unknown" without one).
    std::string machine;
    std::optional<ModelSeriesManifest> manifest;
    std::map<BundledModelPreset, std::filesystem::path> modelURLs;
};

// "default-benchmark-v2", the build, machine and system facts, the manifest's id and version,
// the counts "5" and "30", then per shipped model its role, variant id, lower-cased checkpoint
// and the SHA-256 of its "manifest.json", joined by "|". Absent without a manifest, a variant of
// each role, a model folder, a readable manifest or a 64-digit hexadecimal checkpoint.
std::optional<std::string> defaultBenchmarkIdentity(const DefaultBenchmarkIdentityInputs& inputs);

} // namespace lumavane
