#pragma once

// Compact model folders written by tests: a manifest built as JSON (so tests can
// break any key) and weight files of the sizes the manifest asks for.

#include "support/TemporaryDirectory.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace lumavane::testing {

using TemporaryDirectory = test::TemporaryDirectory;

struct TestLayer {
    std::int64_t input;
    std::int64_t output;
    bool prelu;
};

// A valid manifest: "Compact", the given scale and layers, width x height frames.
nlohmann::json compactManifest(std::int64_t scale, const std::vector<TestLayer>& layers,
                               std::int64_t width = 32, std::int64_t height = 24);

// The layers of a small valid model: 3 -> features (PReLU), `body` times
// features -> features (PReLU), features -> 3 x scale x scale.
std::vector<TestLayer> compactLayers(std::int64_t scale, std::int64_t features = 16, int body = 1);

// Distinct reproducible values, different for every (seed, index).
std::vector<float> testValues(std::size_t count, std::uint32_t seed);

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
void writeText(const std::filesystem::path& path, const std::string& text);
// Little-endian float32, as the model files store them.
void writeFloats(const std::filesystem::path& path, const std::vector<float>& values);

// Writes folder/"manifest.json" and, for every layer i of the manifest, "<i>.weights",
// "<i>.bias" and (when "prelu") "<i>.prelu" holding testValues with seeds 3i, 3i+1, 3i+2
// (no files for a layer whose channel counts are out of any sensible range).
void writeCompactModelFolder(const std::filesystem::path& folder, const nlohmann::json& manifest);

} // namespace lumavane::testing
