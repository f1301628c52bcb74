#include "Platform/Foundation/JSONDecoding.hpp"
#include "CompactMetal/RealCUGANConvBenchmark.hpp"
#include "CompactMetal/TestModelFolder.hpp"
#include "CompactMetal/support/CpuReference.hpp"
#include "CompactMetal/support/MeasureSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace lumavane::testing {
namespace {

constexpr const char* probed = "unet2.conv4";

nlohmann::json weightEntry(const std::string& name, const std::string& file, std::vector<int> shape,
                           const std::string& layout) {
    return {{"name", name}, {"file", file}, {"shape", shape}, {"layout", layout}};
}

nlohmann::json probeManifest() {
    nlohmann::json weights = nlohmann::json::array();
    // Other tensors of the model come first: the probe must find its own by name.
    weights.push_back(weightEntry("unet1.conv1.conv.0.weight", "u1c1.w", {32, 3, 3, 3}, "OHWI"));
    for (const std::string layer : {probed, "unet2.conv5"}) {
        weights.push_back(weightEntry(layer + ".weight", layer + ".weight.f32", {64, 64, 3, 3}, "OHWI"));
        weights.push_back(weightEntry(layer + ".bias", layer + ".bias.f32", {64}, "O"));
    }
    return {{"architecture", "RealCUGAN"},
            {"variant", "2x-fast"},
            {"checkpoint_sha256", "c0ffee"},
            {"weights", weights},
            {"note", "keys not listed are ignored"}};
}

struct LayerTensors {
    std::vector<float> filters, biases;
};

// A trained layer's scale: outputs of order one for inputs in -1...1.
LayerTensors layerTensors(std::uint32_t seed) {
    return {randomValues(36864, seed, std::sqrt(3.0f / 576.0f)), randomValues(64, seed + 1, 0.2f)};
}

void writeLayer(const std::filesystem::path& folder, const std::string& layer, const LayerTensors& tensors) {
    writeFloats(folder / (layer + ".weight.f32"), tensors.filters);
    writeFloats(folder / (layer + ".bias.f32"), tensors.biases);
}

class RealCUGANProbe : public ::testing::Test {
protected:
    RealCUGANProbe() {
        write(probeManifest());
        writeLayer(folder(), probed, layer);
        writeLayer(folder(), "unet2.conv5", pair);
    }

    std::filesystem::path folder() const { return directory_.path(); }
    void write(const nlohmann::json& manifest) const {
        writeText(folder() / "manifest.json", manifest.dump(2));
    }
    RealCUGANConvBenchmark::Options options(int width = 13, int height = 11) const {
        RealCUGANConvBenchmark::Options o;
        o.folder = folder();
        o.layerName = probed;
        o.width = width;
        o.height = height;
        o.halfAccumulator = true;
        return o;
    }
    RealCUGANConvBenchmark build(int width = 13, int height = 11) const {
        return RealCUGANConvBenchmark(options(width, height));
    }
    // Refused with a check error once `change` has broken the manifest.
    void expectRefused(const std::function<void(nlohmann::json&)>& change, const std::string& message) {
        nlohmann::json m = probeManifest();
        change(m);
        write(m);
        expectCheckError([&] { build(); }, message);
    }

    LayerTensors layer = layerTensors(11), pair = layerTensors(23);

private:
    TemporaryDirectory directory_;
};

// Runs ------------------------------------------------------------------------------------------

TEST_F(RealCUGANProbe, TheThreeRunsComputeTheValidConvolutions) {
    // 11 x 9 outputs: the last column and row of tiles are half outside.
    RealCUGANConvBenchmark probe = build(13, 11);
    EXPECT_EQ(probe.checkpointSHA256(), "c0ffee");
    EXPECT_EQ(probe.width(), 13);
    EXPECT_EQ(probe.height(), 11);
    ASSERT_EQ(probe.mpsOutput()->width(), 11u);
    ASSERT_EQ(probe.customOutput()->height(), 9u);
    ASSERT_EQ(probe.pairOutput()->width(), 9u);
    ASSERT_EQ(probe.pairOutput()->height(), 7u);

    // The seeded input covers all 64 channels with values in -1...1.
    const FloatImage source = readFeatureImage(*probe.source());
    std::size_t distinct = 0;
    for (std::size_t c = 1; c < 64; ++c) distinct += source.at(5, 7, c) != source.at(5, 7, 0);
    EXPECT_GE(distinct, 60u);
    for (float v : source.values) ASSERT_TRUE(v >= -1.0f && v <= 1.0f);

    for (double ms : {probe.runMPS(), probe.runCustom(), probe.runMPSPair()}) {
        EXPECT_TRUE(std::isfinite(ms));
        EXPECT_GE(ms, 0.0);
    }

    const FloatImage expected = convolution(source, 64, 3, layer.filters, layer.biases, 1, 11, 9);
    // The platform convolution rounds once, to the half output.
    EXPECT_LE(maxAbsDifference(readFeatureImage(*probe.mpsOutput()), expected), 4e-3f);
    // The custom kernel's transformed weights are half: a little more.
    EXPECT_LE(maxAbsDifference(readFeatureImage(*probe.customOutput()), expected), 1.5e-2f);

    FloatImage intermediate = convolution(source, 64, 3, pair.filters, pair.biases, 1, 11, 9);
    for (float& v : intermediate.values) v = roundToHalf(v >= 0 ? v : 0.1f * v);
    EXPECT_LE(maxAbsDifference(readFeatureImage(*probe.pairIntermediate()), intermediate), 4e-3f);
    const FloatImage pairExpected = convolution(intermediate, 64, 3, layer.filters, layer.biases, 1, 9, 7);
    EXPECT_LE(maxAbsDifference(readFeatureImage(*probe.pairOutput()), pairExpected), 4e-3f);
}

TEST_F(RealCUGANProbe, CompareOutputsMeasuresTheTwoSingleLayerPaths) {
    RealCUGANConvBenchmark probe = build(12, 10);
    const RealCUGANConvBenchmark::Comparison comparison = probe.compareOutputs();
    const FloatImage a = readFeatureImage(*probe.mpsOutput()), b = readFeatureImage(*probe.customOutput());
    double sum = 0, maximum = 0;
    for (std::size_t k = 0; k < a.values.size(); ++k) {
        const double d = std::fabs(double(a.values[k]) - double(b.values[k]));
        sum += d;
        maximum = std::max(maximum, d);
    }
    ASSERT_EQ(a.values.size(), 10u * 8 * 64);
    EXPECT_DOUBLE_EQ(comparison.mae, sum / a.values.size());
    EXPECT_DOUBLE_EQ(comparison.maximum, maximum);
    EXPECT_GT(comparison.maximum, 0.0); // half weights in the Winograd domain differ a little
    EXPECT_LT(comparison.maximum, 1.5e-2);
}

TEST_F(RealCUGANProbe, IdenticalOutputsCompareAsZero) {
    writeLayer(folder(), probed, {std::vector<float>(36864, 0.0f), std::vector<float>(64, 0.25f)});
    RealCUGANConvBenchmark probe = build(7, 6);
    const RealCUGANConvBenchmark::Comparison comparison = probe.compareOutputs();
    EXPECT_EQ(comparison.mae, 0.0);
    EXPECT_EQ(comparison.maximum, 0.0);
}

TEST_F(RealCUGANProbe, ANaNDifferenceShowsInTheMaximum) {
    layer.biases[5] = std::numeric_limits<float>::quiet_NaN();
    writeLayer(folder(), probed, layer);
    RealCUGANConvBenchmark probe = build(8, 8);
    const RealCUGANConvBenchmark::Comparison comparison = probe.compareOutputs();
    EXPECT_TRUE(std::isnan(comparison.mae));
    EXPECT_TRUE(std::isnan(comparison.maximum));
}

// Construction errors ---------------------------------------------------------------------------

TEST_F(RealCUGANProbe, FramesTooSmallForThePairAreRefusedBeforeAnyFile) {
    std::filesystem::remove(folder() / "manifest.json");
    for (const auto& [w, h] :
         std::vector<std::pair<int, int>>{{3, 10}, {10, 3}, {4, 10}, {10, 4}, {0, 0}, {-5, 9}})
        expectCheckError([&, w = w, h = h] { build(w, h); }, "Convolution input is too small");
    EXPECT_THROW(build(5, 5), std::filesystem::filesystem_error); // past the size check

    write(probeManifest());
    RealCUGANConvBenchmark smallest = build(5, 5);
    ASSERT_EQ(smallest.pairOutput()->width(), 1u);
    smallest.runMPSPair();
    const FloatImage source = readFeatureImage(*smallest.source());
    FloatImage intermediate = convolution(source, 64, 3, pair.filters, pair.biases, 1, 3, 3);
    for (float& v : intermediate.values) v = roundToHalf(v >= 0 ? v : 0.1f * v);
    EXPECT_LE(maxAbsDifference(readFeatureImage(*smallest.pairOutput()),
                               convolution(intermediate, 64, 3, layer.filters, layer.biases, 1, 1, 1)),
              4e-3f);
}

TEST_F(RealCUGANProbe, ManifestIdentity) {
    expectRefused([](nlohmann::json& m) { m["variant"] = "4x-conservative"; }, "Unsupported manifest");
    expectRefused([](nlohmann::json& m) { m["architecture"] = "RealESRGAN"; }, "Unsupported manifest");

    nlohmann::json m = probeManifest();
    m["weights"][1].erase("layout"); // every key of every entry is required
    write(m);
    EXPECT_THROW(build(), JSONDecodingError);
    std::filesystem::remove(folder() / "manifest.json");
    EXPECT_THROW(build(), std::filesystem::filesystem_error);
}

TEST_F(RealCUGANProbe, LookupsOfTheLayerAndThePair) {
    const auto without = [&](const std::string& name) {
        nlohmann::json m = probeManifest();
        nlohmann::json& weights = m["weights"];
        for (std::size_t i = 0; i < weights.size(); ++i)
            if (weights[i]["name"] == name) weights.erase(i);
        write(m);
    };
    without(std::string(probed) + ".weight");
    expectError([&] { build(); }, "RealCUGANConvProbe", 1, "Layer weights not found");
    without(std::string(probed) + ".bias");
    expectError([&] { build(); }, "RealCUGANConvProbe", 1, "Layer weights not found");
    // Needed although only the pair run uses them.
    without("unet2.conv5.weight");
    expectError([&] { build(); }, "RealCUGANConvProbe", 1, "Pair weights not found");
    without("unet2.conv5.bias");
    expectError([&] { build(); }, "RealCUGANConvProbe", 1, "Pair weights not found");
}

TEST_F(RealCUGANProbe, OnlyA64To64ThreeByThreeOHWILayer) {
    const std::string message = "Probe currently requires a 64→64 3×3 layer";
    expectRefused([](nlohmann::json& m) { m["weights"][1]["layout"] = "OIHW"; }, message);
    expectRefused([](nlohmann::json& m) { m["weights"][1]["shape"] = {64, 64, 1, 1}; }, message);
    expectRefused([](nlohmann::json& m) { m["weights"][1]["shape"] = {64, 64, 3}; }, message);
    expectRefused([](nlohmann::json& m) { m["weights"][2]["shape"] = {63}; }, message);
    // The bias entry's layout is not examined.
    nlohmann::json m = probeManifest();
    m["weights"][2]["layout"] = "anything";
    write(m);
    EXPECT_NO_THROW(build());
}

TEST_F(RealCUGANProbe, TensorFilesOfTheWrongSize) {
    const auto refused = [&](const std::string& file, std::size_t floats, const std::string& message) {
        writeFloats(folder() / file, std::vector<float>(floats, 0.5f));
        expectCheckError([&] { build(); }, message);
        writeLayer(folder(), probed, layer);
        writeLayer(folder(), "unet2.conv5", pair);
    };
    refused("unet2.conv4.weight.f32", 36865, "Invalid tensor size");
    refused("unet2.conv4.bias.f32", 63, "Invalid tensor size");
    // The pair's tensors are counted like the probed layer's.
    refused("unet2.conv5.weight.f32", 36863, "Invalid tensor size");
    refused("unet2.conv5.bias.f32", 65, "Invalid tensor size");
    writeBytes(folder() / "unet2.conv5.bias.f32", std::vector<std::uint8_t>(255));
    expectCheckError([&] { build(); }, "Invalid float file");
    std::filesystem::remove(folder() / "unet2.conv4.weight.f32");
    EXPECT_THROW(build(), std::filesystem::filesystem_error);
}

} // namespace
} // namespace lumavane::testing
