#include "CompactMetal/TestModelFolder.hpp"

#include <bit>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace lumavane::testing {

nlohmann::json compactManifest(std::int64_t scale, const std::vector<TestLayer>& layers, std::int64_t width,
                               std::int64_t height) {
    nlohmann::json list = nlohmann::json::array();
    for (const TestLayer& layer : layers) {
        list.push_back({{"input", layer.input}, {"output", layer.output}, {"prelu", layer.prelu}});
    }
    return {{"architecture", "Compact"},
            {"width", width},
            {"height", height},
            {"scale", scale},
            {"layers", list},
            {"checkpoint_sha256", "0123abcd"}};
}

std::vector<TestLayer> compactLayers(std::int64_t scale, std::int64_t features, int body) {
    std::vector<TestLayer> layers{{3, features, true}};
    for (int i = 0; i < body; ++i) layers.push_back({features, features, true});
    layers.push_back({features, 3 * scale * scale, false});
    return layers;
}

std::vector<float> testValues(std::size_t count, std::uint32_t seed) {
    std::vector<float> values(count);
    std::uint32_t state = seed * 2654435761u + 12345u;
    for (float& value : values) {
        state = state * 1664525u + 1013904223u;
        value = static_cast<float>(state >> 8) / static_cast<float>(1u << 24) - 0.5f;
    }
    return values;
}

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void writeText(const std::filesystem::path& path, const std::string& text) {
    writeBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

void writeFloats(const std::filesystem::path& path, const std::vector<float>& values) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(values.size() * 4);
    for (const float value : values) {
        const auto word = std::bit_cast<std::uint32_t>(value);
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(word >> shift));
    }
    writeBytes(path, bytes);
}

void writeCompactModelFolder(const std::filesystem::path& folder, const nlohmann::json& manifest) {
    std::filesystem::create_directories(folder);
    writeText(folder / "manifest.json", manifest.dump(2));
    const nlohmann::json& layers = manifest.at("layers");
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const auto input = layers[i].at("input").get<std::int64_t>();
        const auto output = layers[i].at("output").get<std::int64_t>();
        if (input < 1 || input > 1024 || output < 1 || output > 1024) continue; // nothing sensible to write
        const auto seed = static_cast<std::uint32_t>(3 * i);
        const std::string stem = std::to_string(i);
        writeFloats(folder / (stem + ".weights"),
                    testValues(static_cast<std::size_t>(output * 9 * input), seed));
        writeFloats(folder / (stem + ".bias"), testValues(static_cast<std::size_t>(output), seed + 1));
        if (layers[i].at("prelu").get<bool>()) {
            writeFloats(folder / (stem + ".prelu"), testValues(static_cast<std::size_t>(output), seed + 2));
        }
    }
}

} // namespace lumavane::testing
