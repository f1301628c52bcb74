// The compact model folder: the module's error kinds, manifest decoding, the graph and
// rectangular rules, and the layer files.
#include "CompactMetal/CompactMetalEngine.hpp"
#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/CompactModel.hpp"
#include "CompactMetal/TestModelFolder.hpp"
#include "CompactMetal/support/CpuReference.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

namespace lumavane::testing {
namespace {

using nlohmann::json;

TEST(CompactMetalError, ChecksCarryTheMessageAndDomainOnlyKindsNone) {
    const std::string limit = "出力上限（各辺8192px・約33MP）を超えています。";
    EXPECT_EQ(requireFailure([&] { require(false, limit); }), limit);
    EXPECT_FALSE(CompactMetalError::metalUnavailable().localizedDescriptionIfSet().has_value());
    EXPECT_EQ(CompactMetalError::metalUnavailable().domain(), "Metal unavailable");
}

json fullManifest() {
    json m = compactManifest(4, {{3, 16, true}, {16, 16, true}, {16, 16, true}, {16, 48, false}}, 640, 360);
    m["source"] = "export";
    m["license"] = "CC0";
    m["reduced_precision"] = true;
    m["conv24_backend"] = "winograd_2d";
    m["conv16_backend"] = "winograd";
    m["rectangular_winograd"] = {{"layers", {1, 2}},
                                 {"tiles_per_group", 16},
                                 {"simd_groups", 8},
                                 {"narrow_input", true},
                                 {"fused_tail_simd_groups", 6},
                                 {"tile_rows", 4},
                                 {"fused_tail_vector_output", true},
                                 {"native_tail_simd_groups", 8},
                                 {"native_tail_row_pairs", false}};
    return m;
}

TEST(CompactManifestDecoding, KeysLandInTheirFieldsAndOptionalOnesMayBeNull) {
    const Manifest m = Manifest::decode(fullManifest().dump());
    EXPECT_EQ(std::tuple(m.architecture, m.width, m.height, m.scale, m.layers.size(), m.checkpoint_sha256),
              std::tuple("Compact", 640, 360, 4, 4u, "0123abcd"));
    EXPECT_EQ(std::tuple(m.layers[3].input, m.layers[3].output, m.layers[3].prelu),
              std::tuple(16, 48, false));
    EXPECT_EQ(m.conv16_backend, "winograd");
    ASSERT_TRUE(m.rectangular_winograd);
    EXPECT_EQ(m.rectangular_winograd->layers, (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(m.rectangular_winograd->native_tail_simd_groups, 8);

    json optional = compactManifest(2, compactLayers(2));
    optional["source"] = nullptr;
    optional["rectangular_winograd"] = nullptr;
    optional["unknown"] = {{"ignored", 1}};
    optional["width"] = 3.2e1; // an integral value in any notation
    const Manifest decoded = Manifest::decode(optional.dump());
    EXPECT_FALSE(decoded.source || decoded.license || decoded.rectangular_winograd);
    EXPECT_EQ(decoded.width, 32);
}

TEST(CompactManifestDecoding, StrictTypesNameTheFailingKey) {
    const std::vector<std::pair<std::function<void(json&)>, std::string>> failures = {
        {[](json& m) { m.erase("checkpoint_sha256"); }, "checkpoint_sha256"},
        {[](json& m) { m["scale"] = "2"; }, "scale"},
        {[](json& m) { m["width"] = 32.5; }, "width"},
        {[](json& m) { m["architecture"] = 1; }, "architecture"},
        {[](json& m) { m["width"] = 9223372036854775808ULL; }, "width"},
        {[](json& m) { m["width"] = 1e30; }, "width"},
        {[](json& m) { m["layers"][1] = 16; }, "layers[1]"},
        {[](json& m) { m["layers"][2]["output"] = nullptr; }, "layers[2].output"},
        {[](json& m) { m["layers"][1]["prelu"] = 1; }, "layers[1].prelu"},
        {[](json& m) { m["rectangular_winograd"] = json::array(); }, "rectangular_winograd"},
        {[](json& m) {
             m["rectangular_winograd"]["layers"] = {1, 1.5};
         },
         "rectangular_winograd.layers[1]"},
        {[](json& m) { m["rectangular_winograd"]["tile_rows"] = "2"; }, "rectangular_winograd.tile_rows"},
    };
    for (const auto& [breakIt, path] : failures) {
        json m = fullManifest();
        breakIt(m);
        try {
            Manifest::decode(m.dump());
            ADD_FAILURE() << path << ": decoded";
        } catch (const JSONDecodingError& error) {
            EXPECT_EQ(error.codingPath(), path);
            EXPECT_NE(std::string(error.what()).find("\"" + path + "\""), std::string::npos) << error.what();
        }
    }
}

TEST(CompactManifestDecoding, TextThatIsNotAManifestIsADecodingError) {
    const std::string valid = compactManifest(2, compactLayers(2)).dump();
    std::string outOfRange = valid;
    outOfRange.replace(outOfRange.find("\"width\":32"), 10, "\"width\":1e400");
    for (const std::string& text :
         {std::string(), std::string("{"), std::string("[1, 2]"), std::string("{\"width\": 32,}"),
          std::string("{\"architecture\": \"Comp\xff\"}"), std::string(200000, '['), outOfRange,
          // nested past the bound under a key the decoder ignores
          "{\"x\": " + std::string(50000, '[') + std::string(50000, ']') + ", " + valid.substr(1)}) {
        EXPECT_THROW(Manifest::decode(text), JSONDecodingError) << text.substr(0, 40);
    }
    // The engine reports the same decoding error for a number out of range.
    TemporaryDirectory folder;
    writeCompactModelFolder(folder.path(), compactManifest(2, compactLayers(2)));
    writeText(folder.path() / "manifest.json", outOfRange);
    CompactMetalEngineOptions options;
    options.folder = folder.path();
    EXPECT_THROW(CompactMetalEngine{options}, JSONDecodingError);
    std::filesystem::remove(folder.path() / "manifest.json");
    EXPECT_THROW(readManifest(folder.path()), std::filesystem::filesystem_error);
}

// A sparse gigabyte manifest is refused by its size, before anything is read.
TEST(CompactManifestDecoding, ManifestsOverTheLimitAreNotRead) {
    TemporaryDirectory folder;
    writeCompactModelFolder(folder.path(), compactManifest(2, compactLayers(2)));
    const auto manifest = folder.path() / "manifest.json";
    std::string text = compactManifest(2, compactLayers(2)).dump();
    text.resize(maxManifestBytes, ' ');
    writeText(manifest, text);
    EXPECT_EQ(readManifest(folder.path()).scale, 2);
    std::filesystem::resize_file(manifest, std::uint64_t(1) << 30);
    CompactMetalEngineOptions options;
    options.folder = folder.path();
    for (const auto& read : std::vector<std::function<void()>>{[&] { readManifest(folder.path()); },
                                                               [&] { CompactMetalEngine engine(options); }}) {
        try {
            read();
            ADD_FAILURE() << "read a gigabyte manifest";
        } catch (const std::filesystem::filesystem_error& error) {
            EXPECT_EQ(error.code(), std::errc::file_too_large);
            EXPECT_NE(std::string(error.what()).find(std::to_string(maxManifestBytes)), std::string::npos);
        }
    }
}

// Graph rules -------------------------------------------------------------------------------------

TEST(CompactModelGraph, DimensionsScaleLayersAndRGBEnds) {
    const std::string unsupported = "Unsupported graph/dimensions", rgb = "Invalid RGB graph";
    json lowercase = compactManifest(2, compactLayers(2));
    lowercase["architecture"] = "compact";
    const std::vector<std::pair<json, std::string>> cases = {
        {compactManifest(4, compactLayers(4), 16, 2048), "no error"},
        {compactManifest(3, compactLayers(3), 2048, 16), "no error"},
        {lowercase, unsupported},
        {compactManifest(2, compactLayers(2), 15, 64), unsupported},
        {compactManifest(2, compactLayers(2), 64, 2049), unsupported},
        {compactManifest(2, compactLayers(2), -16, 64), unsupported},
        {compactManifest(1, compactLayers(1)), unsupported},
        {compactManifest(5, compactLayers(5)), unsupported},
        {compactManifest(2, {}), unsupported},
        {compactManifest(2, compactLayers(2, 8, 62)), "no error"}, // 64 layers
        {compactManifest(2, compactLayers(2, 8, 63)), unsupported},
        {compactManifest(4, {{3, 16, true}, {16, 47, false}}), rgb},
        {compactManifest(2, {{4, 16, true}, {16, 12, false}}), rgb},
        {compactManifest(2, {{3, 16, true}, {16, 48, false}}), rgb},
        {compactManifest(5, {{4, 16, true}, {16, 47, false}}), unsupported}, // the first rule broken
        // Inner channel counts are the per-layer rule's business.
        {compactManifest(2, {{3, 16, true}, {17, 999, true}, {32, 12, false}}), "no error"},
    };
    for (const auto& [manifest, message] : cases)
        EXPECT_EQ(requireFailure([&] { validateGraph(Manifest::decode(manifest.dump())); }), message)
            << manifest.dump();
}

TEST(CompactModelRectangular, EachRuleWithItsMessageInOrder) {
    const std::string configuration = "Invalid rectangular Winograd configuration",
                      tileRows = "Invalid rectangular tile row configuration",
                      vectorOutput = "Vector output requires a fused rectangular tail",
                      nativeTail = "Native tail SIMD configuration requires a fused 16-channel tail",
                      rowPairs = "Paired native rows require a fused 16-channel tail",
                      layerIndex = "Invalid rectangular layer index",
                      middleLayer = "Rectangular Winograd requires a 16/24-channel middle layer",
                      tail = "Invalid rectangular tail configuration";
    // The models, each with a block that passes every rule; a case patches the block.
    std::vector<json> models = {
        compactManifest(4, {{3, 16, true}, {16, 16, true}, {16, 16, true}, {16, 48, false}}),
        compactManifest(4, {{3, 24, true}, {24, 24, true}, {24, 48, false}}),
        compactManifest(4, {{3, 16, true}, {16, 24, true}, {24, 48, false}}), // a 16 -> 24 body layer
        compactManifest(4, {{3, 16, true}, {16, 16, true}, {16, 16, true}, {16, 48, true}}),
        compactManifest(4, {{3, 16, true}, {16, 16, false}, {16, 48, false}}),
        compactManifest(4, {{3, 8, true}, {8, 8, true}, {8, 48, false}})};
    for (json& m : models)
        m["rectangular_winograd"] = {
            {"layers", {1}}, {"tiles_per_group", 8}, {"simd_groups", 4}, {"narrow_input", false}};
    const std::vector<std::tuple<int, const char*, std::string>> cases = {
        {0, "{}", "no error"},
        {0, R"({"layers": [], "tiles_per_group": 16, "simd_groups": 8, "tile_rows": 16})", "no error"},
        {0, R"({"fused_tail_simd_groups": 6, "fused_tail_vector_output": true, "native_tail_simd_groups": 6,
                "native_tail_row_pairs": true, "layers": [1, 2]})",
         "no error"},
        {1, R"({"fused_tail_simd_groups": 6, "narrow_input": true})", "no error"},
        {0, R"({"tiles_per_group": 12})", configuration},
        {0, R"({"simd_groups": 6})", configuration},
        {0, R"({"layers": [1, 2, 1]})", configuration},
        {0, R"({"tile_rows": 16})", tileRows},
        {0, R"({"tile_rows": 3})", tileRows},
        {0, R"({"fused_tail_vector_output": true})", vectorOutput},
        {0, R"({"native_tail_simd_groups": 4})", nativeTail},
        {0, R"({"native_tail_simd_groups": 5, "fused_tail_simd_groups": 6})", nativeTail},
        {1, R"({"native_tail_simd_groups": 6, "fused_tail_simd_groups": 6})",
         nativeTail}, // a 24-channel tail
        {0, R"({"native_tail_row_pairs": true})", rowPairs},
        {1, R"({"native_tail_row_pairs": true, "fused_tail_simd_groups": 6})", rowPairs},
        {0, R"({"layers": [0]})", layerIndex},
        {0, R"({"layers": [3]})", layerIndex},
        {0, R"({"layers": [4000000000]})", layerIndex},
        {2, "{}", middleLayer},
        {4, "{}", middleLayer}, // a body layer without PReLU
        {5, "{}", middleLayer},
        {2, R"({"layers": [1, 0]})", middleLayer},
        {0, R"({"fused_tail_simd_groups": 8})", tail},
        {3, R"({"fused_tail_simd_groups": 6})", tail}, // a last layer with PReLU
        // The first rule broken is the one reported; each entry is checked whole before the next.
        {0, R"({"tiles_per_group": 12, "tile_rows": 16, "layers": [0]})", configuration},
        {0, R"({"tile_rows": 16, "fused_tail_vector_output": true})", tileRows},
        {0, R"({"layers": [0], "fused_tail_simd_groups": 8})", layerIndex},
    };
    for (const auto& [model, patch, message] : cases) {
        json m = models[std::size_t(model)];
        m["rectangular_winograd"].update(json::parse(patch));
        EXPECT_EQ(requireFailure([&] { validateRectangularConfiguration(Manifest::decode(m.dump())); }),
                  message)
            << m["rectangular_winograd"].dump();
    }
    EXPECT_EQ(requireFailure([] {
                  validateRectangularConfiguration(
                      Manifest::decode(compactManifest(2, compactLayers(2)).dump()));
              }),
              "no error");
}

// Layer files --------------------------------------------------------------------------------------

class CompactModelLayers : public ::testing::Test {
public:
    void write(const json& manifest) {
        manifestJSON = manifest;
        writeCompactModelFolder(dir.path(), manifest);
    }
    // Reads every layer in order, as construction does.
    std::vector<LayerWeights> readAll() const {
        const Manifest m = Manifest::decode(manifestJSON.dump());
        std::vector<LayerWeights> layers;
        for (std::size_t i = 0; i < m.layers.size(); ++i)
            layers.push_back(readLayerWeights(dir.path(), m, i));
        return layers;
    }
    // The check message of reading all layers, or the name of the file a read failed on.
    std::string outcome() const {
        try {
            return requireFailure([&] { readAll(); });
        } catch (const std::filesystem::filesystem_error& error) {
            return error.path1().filename().string();
        }
    }
    std::filesystem::path file(const std::string& name) const { return dir.path() / name; }
    void grow(const std::string& name, std::int64_t bytes) {
        std::filesystem::resize_file(file(name), std::filesystem::file_size(file(name)) + bytes);
    }

    TemporaryDirectory dir;
    json manifestJSON;
};

TEST_F(CompactModelLayers, ReadsEveryLayerInTheModelLayout) {
    write(compactManifest(2, {{3, 16, true}, {16, 16, false}, {16, 12, false}}));
    const std::vector<LayerWeights> layers = readAll();
    ASSERT_EQ(layers.size(), 3u);
    EXPECT_EQ(layers[0].weights, testValues(16 * 9 * 3, 0));
    EXPECT_EQ(layers[0].bias, testValues(16, 1));
    EXPECT_EQ(layers[0].prelu, testValues(16, 2));
    EXPECT_FALSE(layers[1].prelu.has_value());
    EXPECT_EQ(layers[2].weights, testValues(12 * 9 * 16, 6));
}

TEST_F(CompactModelLayers, EachFaultWithItsMessageAndTheFirstOneReported) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    struct Case {
        std::vector<TestLayer> layers;
        std::function<void(CompactModelLayers&)> breakIt;
        std::string outcome;
    };
    const std::vector<TestLayer> plain = compactLayers(2);
    auto values = [](std::size_t count, std::size_t at, float value) {
        std::vector<float> v = testValues(count, 9);
        v[at] = value;
        return v;
    };
    const std::vector<Case> cases = {
        {{{3, 0, true}, {0, 12, false}}, nullptr, "Invalid channel count"},
        {{{3, 257, true}, {257, 12, false}}, nullptr, "Invalid channel count"},
        {{{3, 16, true}, {16, 16, true}, {17, 12, false}}, nullptr, "Invalid channel count"},
        {{{3, 256, true}, {256, 256, true}, {256, 12, false}}, nullptr, "no error"},
        // A partial value is a float-file fault, checked before the count.
        {plain, [](auto& t) { t.grow("1.weights", 2); }, "Invalid float file"},
        {plain, [](auto& t) { t.grow("0.weights", 4); }, "Invalid weights"},
        {plain, [](auto& t) { t.grow("1.bias", -4); }, "Invalid weights"},
        // A sparse 8 GiB file is refused by its size alone.
        {plain, [](auto& t) { std::filesystem::resize_file(t.file("1.weights"), std::uint64_t(8) << 30); },
         "Invalid weights"},
        {plain, [](auto& t) { t.grow("1.prelu", 2); }, "Invalid PReLU"},
        {plain, [](auto& t) { std::filesystem::remove(t.file("1.prelu")); }, "1.prelu"},
        // No slopes are read for a layer without PReLU.
        {{{3, 16, false}, {16, 12, false}},
         [](auto& t) {
             writeBytes(t.file("0.prelu"), {1, 2, 3});
         },
         "no error"},
        // A NaN or infinite value makes every frame black.
        {plain, [&](auto& t) { writeFloats(t.file("1.weights"), values(16 * 16 * 9, 100, nan)); },
         "Non-finite weights in 1.weights"},
        {plain, [&](auto& t) { writeFloats(t.file("0.bias"), values(16, 3, -inf)); },
         "Non-finite weights in 0.bias"},
        {plain, [&](auto& t) { writeFloats(t.file("2.prelu"), values(16, 0, inf)); }, "no error"},
        {plain, [&](auto& t) { writeFloats(t.file("1.prelu"), values(16, 15, inf)); },
         "Non-finite weights in 1.prelu"},
        // Weights before bias, both before their counts, counts before the slopes.
        {plain,
         [](auto& t) {
             std::filesystem::remove(t.file("0.weights"));
             t.grow("0.bias", 1);
         },
         "0.weights"},
        {plain,
         [](auto& t) {
             t.grow("0.weights", 4);
             std::filesystem::remove(t.file("0.bias"));
         },
         "0.bias"},
        {plain,
         [](auto& t) {
             t.grow("0.bias", 4);
             std::filesystem::remove(t.file("0.prelu"));
         },
         "Invalid weights"},
        // Layer 0 is read whole before layer 1's channel counts are looked at.
        {{{3, 16, true}, {15, 12, false}}, [](auto& t) { t.grow("0.prelu", 4); }, "Invalid PReLU"},
        {compactLayers(2, 16, 3),
         [](auto& t) {
             std::filesystem::remove(t.file("3.bias"));
             t.grow("4.weights", 2);
         },
         "3.bias"},
    };
    for (const Case& c : cases) {
        write(compactManifest(2, c.layers, 16, 16));
        if (c.breakIt) c.breakIt(*this);
        EXPECT_EQ(outcome(), c.outcome) << manifestJSON["layers"].dump();
    }
}

TEST(CompactModelInput, FrameIsOptionalAndExactlySized) {
    TemporaryDirectory dir;
    const Manifest m = Manifest::decode(compactManifest(2, compactLayers(2), 20, 16).dump());
    EXPECT_EQ(readInputFrame(dir.path(), m), std::vector<std::uint8_t>(20 * 16 * 4, 0));
    std::vector<std::uint8_t> frame(20 * 16 * 4);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 7);
    writeBytes(dir.path() / "input.rgba", frame);
    EXPECT_EQ(readInputFrame(dir.path(), m), frame);
    frame.pop_back();
    writeBytes(dir.path() / "input.rgba", frame);
    EXPECT_EQ(requireFailure([&] { readInputFrame(dir.path(), m); }), "Invalid input size");
    // Dimensions whose byte count overflows are refused, not wrapped around.
    Manifest huge = m;
    huge.width = huge.height = std::int64_t(1) << 40;
    std::filesystem::create_directory(dir.path() / "elsewhere");
    EXPECT_EQ(requireFailure([&] { readInputFrame(dir.path() / "elsewhere", huge); }), "Invalid input size");
}

} // namespace
} // namespace lumavane::testing
