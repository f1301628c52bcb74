#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/CompactModel.hpp"
#include "CompactMetal/TestModelFolder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include <sys/stat.h>

namespace lumavane {
namespace {

using nlohmann::json;
using testing::compactLayers;
using testing::compactManifest;
using testing::TemporaryDirectory;

// The check message fn fails with, or "" when it succeeds.
std::string checkMessage(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), "DirectMetalProbe");
        EXPECT_EQ(error.code(), 1);
        return error.localizedDescription();
    }
    return "";
}

std::string graphMessage(const json& m) {
    return checkMessage([&] { validateGraph(Manifest::decode(m.dump())); });
}

std::string rectangularMessage(const json& m) {
    return checkMessage([&] { validateRectangularConfiguration(Manifest::decode(m.dump())); });
}

// The error a failing file read reports, naming the file.
std::filesystem::path failedFile(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::filesystem::filesystem_error& error) {
        return error.path1().filename();
    }
    return {};
}

constexpr const char* unsupported = "Unsupported graph/dimensions";
constexpr const char* rgb = "Invalid RGB graph";

TEST(CompactModelGraph, DimensionsScaleLayerCountAndArchitecture) {
    EXPECT_EQ(graphMessage(compactManifest(2, compactLayers(2))), "");
    EXPECT_EQ(graphMessage(compactManifest(4, compactLayers(4), 16, 2048)), "");
    EXPECT_EQ(graphMessage(compactManifest(3, compactLayers(3), 2048, 16)), "");

    json m = compactManifest(2, compactLayers(2));
    m["architecture"] = "compact";
    EXPECT_EQ(graphMessage(m), unsupported);
    for (std::int64_t side : {15, 2049, 0, -16}) {
        EXPECT_EQ(graphMessage(compactManifest(2, compactLayers(2), side, 64)), unsupported) << side;
        EXPECT_EQ(graphMessage(compactManifest(2, compactLayers(2), 64, side)), unsupported) << side;
    }
    for (std::int64_t scale : {1, 5, 0}) {
        EXPECT_EQ(graphMessage(compactManifest(scale, compactLayers(scale))), unsupported) << scale;
    }
    EXPECT_EQ(graphMessage(compactManifest(2, {})), unsupported);
    // 64 layers are allowed, 65 are not.
    EXPECT_EQ(graphMessage(compactManifest(2, compactLayers(2, 8, 62))), "");
    EXPECT_EQ(graphMessage(compactManifest(2, compactLayers(2, 8, 63))), unsupported);
}

TEST(CompactModelGraph, RGBEnds) {
    EXPECT_EQ(graphMessage(compactManifest(4, {{3, 16, true}, {16, 48, false}})), "");
    EXPECT_EQ(graphMessage(compactManifest(4, {{3, 16, true}, {16, 47, false}})), rgb);
    EXPECT_EQ(graphMessage(compactManifest(3, {{3, 16, true}, {16, 27, false}})), "");
    EXPECT_EQ(graphMessage(compactManifest(2, {{3, 12, false}})), "");
    EXPECT_EQ(graphMessage(compactManifest(2, {{4, 16, true}, {16, 12, false}})), rgb);
    EXPECT_EQ(graphMessage(compactManifest(2, {{3, 16, true}, {16, 48, false}})), rgb);
    // The first rule broken is the one reported.
    EXPECT_EQ(graphMessage(compactManifest(5, {{4, 16, true}, {16, 47, false}})), unsupported);
    // Inner channel counts are the per-layer rule's business.
    EXPECT_EQ(graphMessage(compactManifest(2, {{3, 16, true}, {17, 999, true}, {32, 12, false}})), "");
}

TEST(CompactModelFloats, ReadsLittleEndianFloat32InFileOrder) {
    TemporaryDirectory dir;
    const auto path = dir.path() / "values";
    testing::writeBytes(path, {0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x00, 0xc0, 0x00, 0x00, 0xc0, 0x7f});
    const std::vector<float> values = floats(path);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0], 1.0f);
    EXPECT_EQ(values[1], -2.0f);
    EXPECT_TRUE(std::isnan(values[2]));

    testing::writeBytes(path, {});
    EXPECT_TRUE(floats(path).empty());

    const std::vector<float> many = testing::testValues(1000, 7);
    testing::writeFloats(path, many);
    EXPECT_EQ(floats(path), many);
}

TEST(CompactModelFloats, RefusesPartialValuesAndReportsReadFailures) {
    TemporaryDirectory dir;
    const auto path = dir.path() / "values";
    for (std::size_t size : {1u, 2u, 3u, 4u * 5 + 2}) {
        testing::writeBytes(path, std::vector<std::uint8_t>(size, 0));
        EXPECT_EQ(checkMessage([&] { floats(path); }), "Invalid float file") << size;
    }
    try {
        floats(dir.path() / "absent");
        FAIL();
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    }
    try {
        floats(dir.path());
        FAIL();
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::errc::is_a_directory);
    }
    // A device or FIFO is not a weights file, and reading it must neither hang nor run forever.
    EXPECT_THROW(floats("/dev/zero"), std::filesystem::filesystem_error);
    ASSERT_EQ(mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
    EXPECT_THROW(floats(dir.path() / "fifo"), std::filesystem::filesystem_error);
}

class CompactModelLayers : public ::testing::Test {
protected:
    void write(const json& manifest) {
        manifestJSON = manifest;
        testing::writeCompactModelFolder(dir.path(), manifest);
    }
    Manifest manifest() const { return Manifest::decode(manifestJSON.dump()); }
    // Reads every layer in order, as construction does.
    std::vector<LayerWeights> readAll() const {
        const Manifest m = manifest();
        std::vector<LayerWeights> layers;
        for (std::size_t i = 0; i < m.layers.size(); ++i)
            layers.push_back(readLayerWeights(dir.path(), m, i));
        return layers;
    }
    std::string readAllMessage() const {
        return checkMessage([&] { readAll(); });
    }
    std::filesystem::path file(const std::string& name) const { return dir.path() / name; }
    void resize(const std::string& name, std::int64_t byteDelta) {
        std::filesystem::resize_file(file(name), std::filesystem::file_size(file(name)) + byteDelta);
    }

    TemporaryDirectory dir;
    json manifestJSON;
};

TEST_F(CompactModelLayers, ReadsEveryLayerInTheModelLayout) {
    write(compactManifest(2, {{3, 16, true}, {16, 16, false}, {16, 12, false}}));
    const std::vector<LayerWeights> layers = readAll();
    ASSERT_EQ(layers.size(), 3u);
    EXPECT_EQ(layers[0].weights, testing::testValues(16 * 9 * 3, 0));
    EXPECT_EQ(layers[0].bias, testing::testValues(16, 1));
    ASSERT_TRUE(layers[0].prelu.has_value());
    EXPECT_EQ(*layers[0].prelu, testing::testValues(16, 2));
    EXPECT_EQ(layers[1].weights.size(), 16u * 9 * 16);
    EXPECT_FALSE(layers[1].prelu.has_value());
    EXPECT_EQ(layers[2].weights, testing::testValues(12 * 9 * 16, 6));
    EXPECT_EQ(layers[2].bias, testing::testValues(12, 7));
    EXPECT_EQ(layerFileName(12, ".prelu"), "12.prelu");
}

TEST_F(CompactModelLayers, ChannelCountRule) {
    for (const auto& layers :
         std::vector<std::vector<testing::TestLayer>>{{{3, 0, true}, {0, 12, false}},
                                                      {{3, 257, true}, {257, 12, false}},
                                                      {{3, 16, true}, {16, 16, true}, {17, 12, false}},
                                                      {{3, 16, true}, {-16, 12, false}}}) {
        write(compactManifest(2, layers));
        EXPECT_EQ(readAllMessage(), "Invalid channel count") << manifestJSON.dump();
    }
    write(compactManifest(2, {{3, 256, true}, {256, 256, true}, {256, 12, false}}, 16, 16));
    EXPECT_EQ(readAllMessage(), "");
}

TEST_F(CompactModelLayers, FloatFileIsCheckedBeforeTheCount) {
    write(compactManifest(2, compactLayers(2)));
    resize("1.weights", 2); // 4 x N + 2 bytes, and one value too many on top
    EXPECT_EQ(readAllMessage(), "Invalid float file");
    write(compactManifest(2, compactLayers(2)));
    resize("0.bias", -1);
    EXPECT_EQ(readAllMessage(), "Invalid float file");
}

TEST_F(CompactModelLayers, WeightAndBiasCounts) {
    for (const auto& [name, delta] : std::vector<std::pair<std::string, int>>{
             {"0.weights", 4}, {"0.weights", -4}, {"2.bias", 4}, {"1.bias", -4}}) {
        write(compactManifest(2, compactLayers(2)));
        resize(name, delta);
        EXPECT_EQ(readAllMessage(), "Invalid weights") << name << " " << delta;
    }
    write(compactManifest(2, compactLayers(2)));
    std::filesystem::resize_file(file("1.weights"), 0);
    EXPECT_EQ(readAllMessage(), "Invalid weights");
}

TEST_F(CompactModelLayers, PReLUFiles) {
    // No slopes are read for a layer without PReLU; a stray file is ignored.
    write(compactManifest(2, {{3, 16, false}, {16, 12, false}}));
    testing::writeBytes(file("0.prelu"), {1, 2, 3});
    EXPECT_EQ(readAllMessage(), "");

    for (int delta : {4, -4, 2}) {
        write(compactManifest(2, compactLayers(2)));
        resize("1.prelu", delta); // a partial value is a PReLU fault, not a float-file one
        EXPECT_EQ(readAllMessage(), "Invalid PReLU") << delta;
    }
    write(compactManifest(2, compactLayers(2)));
    std::filesystem::remove(file("1.prelu"));
    EXPECT_EQ(failedFile([&] { readAll(); }), "1.prelu");
}

TEST_F(CompactModelLayers, FilesAreReadWeightsBiasPReLULayerByLayer) {
    // Weights before bias: a missing weights file wins over a broken bias.
    write(compactManifest(2, compactLayers(2)));
    std::filesystem::remove(file("0.weights"));
    resize("0.bias", 1);
    EXPECT_EQ(failedFile([&] { readAll(); }), "0.weights");

    // Both files are read before their counts are compared.
    write(compactManifest(2, compactLayers(2)));
    resize("0.weights", 4);
    std::filesystem::remove(file("0.bias"));
    EXPECT_EQ(failedFile([&] { readAll(); }), "0.bias");

    // Counts are compared before the slopes are read.
    write(compactManifest(2, compactLayers(2)));
    resize("0.bias", 4);
    std::filesystem::remove(file("0.prelu"));
    EXPECT_EQ(readAllMessage(), "Invalid weights");

    // Layer 0 is read whole before layer 1 is looked at, its channel counts included.
    write(compactManifest(2, {{3, 16, true}, {15, 12, false}}));
    resize("0.prelu", 4);
    EXPECT_EQ(readAllMessage(), "Invalid PReLU");
    write(compactManifest(2, {{3, 16, true}, {15, 12, false}}));
    EXPECT_EQ(readAllMessage(), "Invalid channel count");
    std::filesystem::remove(file("0.weights"));
    EXPECT_EQ(failedFile([&] { readAll(); }), "0.weights");

    // A later layer's fault is found only after the earlier layers passed.
    write(compactManifest(2, compactLayers(2, 16, 3)));
    std::filesystem::remove(file("3.bias"));
    resize("4.weights", 2);
    EXPECT_EQ(failedFile([&] { readAll(); }), "3.bias");
}

TEST_F(CompactModelLayers, OversizedFilesAreRefusedWithoutLoadingThem) {
    write(compactManifest(2, compactLayers(2)));
    // A sparse 8 GiB weights file: refused by its size alone.
    std::filesystem::resize_file(file("1.weights"), std::uint64_t(8) << 30);
    EXPECT_EQ(readAllMessage(), "Invalid weights");
}

TEST(CompactModelInput, FrameIsOptionalAndExactlySized) {
    TemporaryDirectory dir;
    const Manifest m = Manifest::decode(compactManifest(2, compactLayers(2), 20, 16).dump());
    const std::vector<std::uint8_t> zeros = readInputFrame(dir.path(), m);
    EXPECT_EQ(zeros, std::vector<std::uint8_t>(20 * 16 * 4, 0));

    std::vector<std::uint8_t> frame(20 * 16 * 4);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 7);
    testing::writeBytes(dir.path() / "input.rgba", frame);
    EXPECT_EQ(readInputFrame(dir.path(), m), frame);

    for (int delta : {1, -1, -4}) {
        std::vector<std::uint8_t> wrong(frame.size() + delta);
        testing::writeBytes(dir.path() / "input.rgba", wrong);
        EXPECT_EQ(checkMessage([&] { readInputFrame(dir.path(), m); }), "Invalid input size") << delta;
    }
    // Dimensions whose byte count overflows are refused, not wrapped around.
    Manifest huge = m;
    huge.width = std::int64_t(1) << 40;
    huge.height = std::int64_t(1) << 40;
    EXPECT_EQ(checkMessage([&] { readInputFrame(dir.path(), huge); }), "Invalid input size");
    std::filesystem::create_directory(dir.path() / "elsewhere");
    EXPECT_EQ(checkMessage([&] { readInputFrame(dir.path() / "elsewhere", huge); }), "Invalid input size");
}

// A 4x model with 16-channel body layers that passes every rectangular rule.
json rectangularModel() {
    json m = compactManifest(4, {{3, 16, true}, {16, 16, true}, {16, 16, true}, {16, 48, false}});
    m["rectangular_winograd"] = {
        {"layers", {1, 2}}, {"tiles_per_group", 8}, {"simd_groups", 4}, {"narrow_input", false}};
    return m;
}

constexpr const char* configuration = "Invalid rectangular Winograd configuration";
constexpr const char* tileRows = "Invalid rectangular tile row configuration";
constexpr const char* vectorOutput = "Vector output requires a fused rectangular tail";
constexpr const char* nativeTail = "Native tail SIMD configuration requires a fused 16-channel tail";
constexpr const char* rowPairs = "Paired native rows require a fused 16-channel tail";
constexpr const char* layerIndex = "Invalid rectangular layer index";
constexpr const char* middleLayer = "Rectangular Winograd requires a 16/24-channel middle layer";
constexpr const char* tail = "Invalid rectangular tail configuration";

TEST(CompactModelRectangular, BlockAbsentOrValid) {
    EXPECT_EQ(rectangularMessage(compactManifest(2, compactLayers(2))), "");
    EXPECT_EQ(rectangularMessage(rectangularModel()), "");
    json m = rectangularModel();
    auto& r = m["rectangular_winograd"];
    r["tiles_per_group"] = 16;
    r["simd_groups"] = 8;
    r["tile_rows"] = 16;
    r["fused_tail_simd_groups"] = 6;
    r["fused_tail_vector_output"] = true;
    r["native_tail_simd_groups"] = 6;
    r["native_tail_row_pairs"] = true;
    EXPECT_EQ(rectangularMessage(m), "");
    // 24-channel body layers and a 24-channel tail qualify too.
    json wide = compactManifest(4, {{3, 24, true}, {24, 24, true}, {24, 48, false}});
    wide["rectangular_winograd"] = {{"layers", {1}},
                                    {"tiles_per_group", 16},
                                    {"simd_groups", 4},
                                    {"narrow_input", true},
                                    {"fused_tail_simd_groups", 6}};
    EXPECT_EQ(rectangularMessage(wide), "");
    // An empty list of layers is allowed.
    m = rectangularModel();
    m["rectangular_winograd"]["layers"] = json::array();
    EXPECT_EQ(rectangularMessage(m), "");
}

TEST(CompactModelRectangular, EachRuleWithItsMessage) {
    struct Case {
        std::function<void(json&)> change;
        std::string message;
    };
    const std::vector<Case> cases = {
        {[](json& r) { r["tiles_per_group"] = 12; }, configuration},
        {[](json& r) { r["simd_groups"] = 6; }, configuration},
        {[](json& r) {
             r["layers"] = {1, 2, 1};
         },
         configuration},
        {[](json& r) { r["tile_rows"] = 4; }, ""},
        {[](json& r) { r["tile_rows"] = 16; }, tileRows},
        {[](json& r) { r["tile_rows"] = 3; }, tileRows},
        {[](json& r) { r["tile_rows"] = 0; }, tileRows},
        {[](json& r) { r["fused_tail_vector_output"] = true; }, vectorOutput},
        {[](json& r) { r["fused_tail_vector_output"] = false; }, ""},
        {[](json& r) { r["native_tail_simd_groups"] = 4; }, nativeTail},
        {[](json& r) {
             r["native_tail_simd_groups"] = 5;
             r["fused_tail_simd_groups"] = 6;
         },
         nativeTail},
        {[](json& r) { r["native_tail_row_pairs"] = true; }, rowPairs},
        {[](json& r) { r["native_tail_row_pairs"] = false; }, ""},
        {[](json& r) { r["layers"] = {0}; }, layerIndex},
        {[](json& r) { r["layers"] = {3}; }, layerIndex},
        {[](json& r) { r["layers"] = {-1}; }, layerIndex},
        {[](json& r) { r["layers"] = {4000000000LL}; }, layerIndex},
        {[](json& r) { r["fused_tail_simd_groups"] = 8; }, tail},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        json m = rectangularModel();
        cases[i].change(m["rectangular_winograd"]);
        EXPECT_EQ(rectangularMessage(m), cases[i].message)
            << "case " << i << ": " << m["rectangular_winograd"].dump();
    }
}

TEST(CompactModelRectangular, RulesThatLookAtTheLayers) {
    // Native tail and paired rows need the last layer to take 16 channels.
    json wide = compactManifest(4, {{3, 24, true}, {24, 24, true}, {24, 48, false}});
    wide["rectangular_winograd"] = {{"layers", {1}},
                                    {"tiles_per_group", 8},
                                    {"simd_groups", 4},
                                    {"narrow_input", false},
                                    {"fused_tail_simd_groups", 6}};
    wide["rectangular_winograd"]["native_tail_simd_groups"] = 6;
    EXPECT_EQ(rectangularMessage(wide), nativeTail);
    wide["rectangular_winograd"].erase("native_tail_simd_groups");
    wide["rectangular_winograd"]["native_tail_row_pairs"] = true;
    EXPECT_EQ(rectangularMessage(wide), rowPairs);

    // A listed layer must be a 16/24 -> same PReLU body layer.
    for (const auto& body : std::vector<testing::TestLayer>{{16, 16, false}, {8, 8, true}, {32, 32, true}}) {
        json m = compactManifest(
            4, {{3, 16, true}, {16, body.input, true}, body, {body.output, 16, true}, {16, 48, false}});
        m["rectangular_winograd"] = {
            {"layers", {2}}, {"tiles_per_group", 8}, {"simd_groups", 4}, {"narrow_input", false}};
        EXPECT_EQ(rectangularMessage(m), middleLayer) << body.input << " " << body.prelu;
    }
    json mixed = compactManifest(4, {{3, 16, true}, {16, 24, true}, {24, 48, false}});
    mixed["rectangular_winograd"] = {
        {"layers", {1}}, {"tiles_per_group", 8}, {"simd_groups", 4}, {"narrow_input", false}};
    EXPECT_EQ(rectangularMessage(mixed), middleLayer);

    // The fused tail needs scale 4 and a 16/24 -> 48 last layer without PReLU.
    json m = compactManifest(2, {{3, 16, true}, {16, 16, true}, {16, 12, false}});
    m["rectangular_winograd"] = {{"layers", {1}},
                                 {"tiles_per_group", 8},
                                 {"simd_groups", 4},
                                 {"narrow_input", false},
                                 {"fused_tail_simd_groups", 6}};
    EXPECT_EQ(rectangularMessage(m), tail);
    m = rectangularModel();
    m["layers"][3]["prelu"] = true;
    m["rectangular_winograd"]["fused_tail_simd_groups"] = 6;
    EXPECT_EQ(rectangularMessage(m), tail);
    m = compactManifest(4, {{3, 32, true}, {32, 16, true}, {16, 16, true}, {16, 32, true}, {32, 48, false}});
    m["rectangular_winograd"] = {{"layers", {2}},
                                 {"tiles_per_group", 8},
                                 {"simd_groups", 4},
                                 {"narrow_input", false},
                                 {"fused_tail_simd_groups", 6}};
    EXPECT_EQ(rectangularMessage(m), tail);
}

TEST(CompactModelRectangular, FirstBrokenRuleIsReported) {
    json m = rectangularModel();
    auto& r = m["rectangular_winograd"];
    r["tiles_per_group"] = 12;
    r["tile_rows"] = 16;
    r["fused_tail_vector_output"] = true;
    r["layers"] = {0};
    r["fused_tail_simd_groups"] = 8;
    EXPECT_EQ(rectangularMessage(m), configuration);
    r["tiles_per_group"] = 8;
    EXPECT_EQ(rectangularMessage(m), tileRows);
    r["tile_rows"] = 8;
    r.erase("fused_tail_simd_groups");
    EXPECT_EQ(rectangularMessage(m), vectorOutput);
    r["fused_tail_vector_output"] = false;
    r["native_tail_simd_groups"] = 8;
    r["native_tail_row_pairs"] = true;
    EXPECT_EQ(rectangularMessage(m), nativeTail);
    r.erase("native_tail_simd_groups");
    EXPECT_EQ(rectangularMessage(m), rowPairs);
    r.erase("native_tail_row_pairs");
    r["fused_tail_simd_groups"] = 8;
    EXPECT_EQ(rectangularMessage(m), layerIndex);
    r["layers"] = {1};
    EXPECT_EQ(rectangularMessage(m), tail);
}

TEST(CompactModelRectangular, EachEntryIsCheckedWholeBeforeTheNext) {
    // Layer 2 is a 16 -> 24 body layer here; listed first, its shape fault comes before the bad index.
    json m =
        compactManifest(4, {{3, 16, true}, {16, 16, true}, {16, 24, true}, {24, 24, true}, {24, 48, false}});
    m["rectangular_winograd"] = {
        {"layers", {2, 0}}, {"tiles_per_group", 8}, {"simd_groups", 4}, {"narrow_input", false}};
    EXPECT_EQ(rectangularMessage(m), middleLayer);
    m["rectangular_winograd"]["layers"] = {0, 2};
    EXPECT_EQ(rectangularMessage(m), layerIndex);
    m["rectangular_winograd"]["layers"] = {1, 3};
    EXPECT_EQ(rectangularMessage(m), "");
}

} // namespace
} // namespace lumavane
