#include "CompactMetal/CompactModel.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"
#include "CompactMetal/TestModelFolder.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace lumavane {
namespace {

using nlohmann::json;
using testing::compactLayers;
using testing::compactManifest;

json fullManifest() {
    json m = compactManifest(4, {{3, 16, true}, {16, 16, true}, {16, 16, true}, {16, 48, false}}, 640, 360);
    m["source"] = "export of a trained checkpoint";
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

TEST(CompactManifestDecoding, EveryKeyLandsInItsField) {
    const Manifest m = Manifest::decode(fullManifest().dump());
    EXPECT_EQ(m.architecture, "Compact");
    EXPECT_EQ(m.width, 640);
    EXPECT_EQ(m.height, 360);
    EXPECT_EQ(m.scale, 4);
    ASSERT_EQ(m.layers.size(), 4u);
    EXPECT_EQ(m.layers[0].input, 3);
    EXPECT_EQ(m.layers[0].output, 16);
    EXPECT_TRUE(m.layers[0].prelu);
    EXPECT_EQ(m.layers[3].output, 48);
    EXPECT_FALSE(m.layers[3].prelu);
    EXPECT_EQ(m.checkpoint_sha256, "0123abcd");
    EXPECT_EQ(m.source, "export of a trained checkpoint");
    EXPECT_EQ(m.license, "CC0");
    EXPECT_EQ(m.reduced_precision, true);
    EXPECT_EQ(m.conv24_backend, "winograd_2d");
    EXPECT_EQ(m.conv16_backend, "winograd");
    ASSERT_TRUE(m.rectangular_winograd.has_value());
    const RectangularConfiguration& r = *m.rectangular_winograd;
    EXPECT_EQ(r.layers, (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(r.tiles_per_group, 16);
    EXPECT_EQ(r.simd_groups, 8);
    EXPECT_TRUE(r.narrow_input);
    EXPECT_EQ(r.fused_tail_simd_groups, 6);
    EXPECT_EQ(r.tile_rows, 4);
    EXPECT_EQ(r.fused_tail_vector_output, true);
    EXPECT_EQ(r.native_tail_simd_groups, 8);
    EXPECT_EQ(r.native_tail_row_pairs, false);
}

TEST(CompactManifestDecoding, OptionalKeysMayBeAbsentOrNullAndUnknownKeysAreIgnored) {
    json m = compactManifest(2, compactLayers(2));
    m["source"] = nullptr;
    m["reduced_precision"] = nullptr;
    m["exported_by"] = {{"tool", "export"}, {"version", 3}};
    m["layers"][1]["note"] = "body";
    m["rectangular_winograd"] = {{"layers", json::array()}, {"tiles_per_group", 8}, {"simd_groups", 4},
                                 {"narrow_input", false},   {"tile_rows", nullptr}, {"experimental", true}};
    const Manifest decoded = Manifest::decode(m.dump());
    EXPECT_FALSE(decoded.source.has_value());
    EXPECT_FALSE(decoded.license.has_value());
    EXPECT_FALSE(decoded.reduced_precision.has_value());
    EXPECT_FALSE(decoded.conv24_backend.has_value());
    EXPECT_FALSE(decoded.conv16_backend.has_value());
    ASSERT_TRUE(decoded.rectangular_winograd.has_value());
    EXPECT_TRUE(decoded.rectangular_winograd->layers.empty());
    EXPECT_FALSE(decoded.rectangular_winograd->tile_rows.has_value());
    EXPECT_FALSE(decoded.rectangular_winograd->fused_tail_simd_groups.has_value());

    m["rectangular_winograd"] = nullptr;
    EXPECT_FALSE(Manifest::decode(m.dump()).rectangular_winograd.has_value());
}

TEST(CompactManifestDecoding, DecodesWithoutJudgingValues) {
    // Value rules belong to validation: this block would fail it where the rectangular path is on.
    json m = compactManifest(2, compactLayers(2));
    m["architecture"] = "compact";
    m["width"] = -5;
    m["rectangular_winograd"] = {
        {"layers", {0, 0}}, {"tiles_per_group", 12}, {"simd_groups", 5}, {"narrow_input", false}};
    const Manifest decoded = Manifest::decode(m.dump());
    EXPECT_EQ(decoded.width, -5);
    EXPECT_EQ(decoded.rectangular_winograd->tiles_per_group, 12);
}

TEST(CompactManifestDecoding, IntegralNumbersAndSixtyFourBitRange) {
    json m = compactManifest(2, compactLayers(2));
    m["width"] = 64.0;
    m["height"] = 9223372036854775807LL;
    const Manifest decoded = Manifest::decode(m.dump());
    EXPECT_EQ(decoded.width, 64);
    EXPECT_EQ(decoded.height, 9223372036854775807LL);
    const std::string text = compactManifest(2, compactLayers(2)).dump();
    // An exponent form of an integral value is an integer too.
    std::string exponent = text;
    exponent.replace(exponent.find("\"width\":32"), 10, "\"width\":3.2e1");
    EXPECT_EQ(Manifest::decode(exponent).width, 32);
}

struct DecodingFailure {
    std::string name;
    std::function<void(json&)> breakIt;
    std::string path;
};

TEST(CompactManifestDecoding, StrictTypesNameTheFailingKey) {
    const std::vector<DecodingFailure> failures = {
        {"missing architecture", [](json& m) { m.erase("architecture"); }, "architecture"},
        {"missing width", [](json& m) { m.erase("width"); }, "width"},
        {"missing height", [](json& m) { m.erase("height"); }, "height"},
        {"missing scale", [](json& m) { m.erase("scale"); }, "scale"},
        {"missing layers", [](json& m) { m.erase("layers"); }, "layers"},
        {"missing checkpoint", [](json& m) { m.erase("checkpoint_sha256"); }, "checkpoint_sha256"},
        {"null width", [](json& m) { m["width"] = nullptr; }, "width"},
        {"null checkpoint", [](json& m) { m["checkpoint_sha256"] = nullptr; }, "checkpoint_sha256"},
        {"string for a number", [](json& m) { m["scale"] = "2"; }, "scale"},
        {"non-integral number", [](json& m) { m["width"] = 32.5; }, "width"},
        {"number for a string", [](json& m) { m["architecture"] = 1; }, "architecture"},
        {"boolean for a number", [](json& m) { m["height"] = true; }, "height"},
        {"number beyond 64 bits", [](json& m) { m["width"] = 9223372036854775808ULL; }, "width"},
        {"huge float", [](json& m) { m["width"] = 1e30; }, "width"},
        {"layers not an array",
         [](json& m) {
             m["layers"] = {{"input", 3}};
         },
         "layers"},
        {"layer not an object", [](json& m) { m["layers"][1] = 16; }, "layers[1]"},
        {"layer input missing", [](json& m) { m["layers"][0].erase("input"); }, "layers[0].input"},
        {"layer output null", [](json& m) { m["layers"][2]["output"] = nullptr; }, "layers[2].output"},
        {"layer prelu as number", [](json& m) { m["layers"][1]["prelu"] = 1; }, "layers[1].prelu"},
        {"layer prelu as string", [](json& m) { m["layers"][1]["prelu"] = "true"; }, "layers[1].prelu"},
        {"optional string of the wrong type", [](json& m) { m["source"] = 12; }, "source"},
        {"optional boolean as string", [](json& m) { m["reduced_precision"] = "yes"; }, "reduced_precision"},
        {"optional backend as boolean", [](json& m) { m["conv16_backend"] = true; }, "conv16_backend"},
        {"rectangular not an object", [](json& m) { m["rectangular_winograd"] = json::array(); },
         "rectangular_winograd"},
        {"rectangular layers missing", [](json& m) { m["rectangular_winograd"].erase("layers"); },
         "rectangular_winograd.layers"},
        {"rectangular layer index non-integral",
         [](json& m) {
             m["rectangular_winograd"]["layers"] = {1, 1.5};
         },
         "rectangular_winograd.layers[1]"},
        {"rectangular narrow_input null",
         [](json& m) { m["rectangular_winograd"]["narrow_input"] = nullptr; },
         "rectangular_winograd.narrow_input"},
        {"rectangular tile rows as string", [](json& m) { m["rectangular_winograd"]["tile_rows"] = "2"; },
         "rectangular_winograd.tile_rows"},
        {"rectangular vector output as number",
         [](json& m) { m["rectangular_winograd"]["fused_tail_vector_output"] = 0; },
         "rectangular_winograd.fused_tail_vector_output"},
    };
    for (const DecodingFailure& failure : failures) {
        json m = fullManifest();
        failure.breakIt(m);
        try {
            Manifest::decode(m.dump());
            ADD_FAILURE() << failure.name << ": decoded";
        } catch (const JSONDecodingError& error) {
            EXPECT_EQ(error.codingPath(), failure.path) << failure.name;
            EXPECT_NE(std::string(error.what()).find("\"" + failure.path + "\""), std::string::npos)
                << failure.name << ": " << error.what();
        }
    }
}

TEST(CompactManifestDecoding, DocumentsThatAreNotAManifestObject) {
    for (const std::string text : {"", "{", "[1, 2]", "null", "{\"width\": 32,}", "{\"width\": 32} // note",
                                   "{\"architecture\": \"Comp\xff\"}"}) {
        EXPECT_THROW(Manifest::decode(text), JSONDecodingError) << text;
    }
    // Deep nesting is an ordinary error, not a stack overflow.
    const std::string deep = "{\"layers\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
    EXPECT_THROW(Manifest::decode(deep), JSONDecodingError);
    EXPECT_THROW(Manifest::decode(std::string(200000, '[')), JSONDecodingError);
}

TEST(CompactManifestDecoding, ReadsManifestFromTheFolder) {
    testing::TemporaryDirectory folder;
    try {
        readManifest(folder.path());
        FAIL() << "read a missing manifest";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
        EXPECT_EQ(error.path1(), folder.path() / "manifest.json");
    }
    testing::writeText(folder.path() / "manifest.json", fullManifest().dump());
    EXPECT_EQ(readManifest(folder.path()).scale, 4);
    testing::writeText(folder.path() / "manifest.json", "\xEF\xBB\xBF" + fullManifest().dump());
    EXPECT_EQ(readManifest(folder.path()).width, 640);
    testing::writeText(folder.path() / "manifest.json", "{\"architecture\": \"Compact\"}");
    EXPECT_THROW(readManifest(folder.path()), JSONDecodingError);
}

} // namespace
} // namespace lumavane
