#include "CompactMetal/RealCUGANConvBenchmark.hpp"
#include "CompactMetal/TestModelFolder.hpp"
#include "CompactMetal/support/CpuReference.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

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

TEST_F(RealCUGANProbe, RefusesFoldersItCannotRun) {
    const std::string shape = "Probe currently requires a 64→64 3×3 layer";
    const auto without = [](const std::string& name) {
        return [=](nlohmann::json& m) {
            nlohmann::json& weights = m["weights"];
            for (std::size_t i = 0; i < weights.size(); ++i)
                if (weights[i]["name"] == name) weights.erase(i);
        };
    };
    const std::vector<std::tuple<std::function<void(nlohmann::json&)>, std::string, int, std::string>>
        manifests = {
            {[](auto& m) { m["variant"] = "4x-conservative"; }, "DirectMetalProbe", 1,
             "Unsupported manifest"},
            {[](auto& m) { m["architecture"] = "RealESRGAN"; }, "DirectMetalProbe", 1,
             "Unsupported manifest"},
            {without(std::string(probed) + ".bias"), "RealCUGANConvProbe", 1, "Layer weights not found"},
            // Needed although only the pair run uses them.
            {without("unet2.conv5.weight"), "RealCUGANConvProbe", 1, "Pair weights not found"},
            {[](auto& m) { m["weights"][1]["layout"] = "OIHW"; }, "DirectMetalProbe", 1, shape},
            {[](auto& m) {
                 m["weights"][1]["shape"] = {64, 64, 3};
             },
             "DirectMetalProbe", 1, shape},
            {[](auto& m) { m["weights"][2]["shape"] = {63}; }, "DirectMetalProbe", 1, shape},
            {[](auto& m) { m["weights"][2]["layout"] = "anything"; }, "", 0,
             ""}, // a bias's layout is not examined
        };
    for (const auto& [change, domain, code, message] : manifests) {
        nlohmann::json m = probeManifest();
        change(m);
        write(m);
        if (domain.empty())
            EXPECT_NO_THROW(build());
        else
            expectError([&] { build(); }, domain, code, message);
    }
    write(probeManifest());

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<std::tuple<std::string, std::vector<float>, std::string>> files = {
        {"unet2.conv4.weight.f32", std::vector<float>(36865, 0.5f), "Invalid tensor size"},
        {"unet2.conv5.bias.f32", std::vector<float>(65, 0.5f), "Invalid tensor size"},
        {"unet2.conv4.bias.f32", std::vector<float>(64, nan), "Non-finite weights in unet2.conv4.bias.f32"},
        {"unet2.conv5.weight.f32", std::vector<float>(36864, INFINITY),
         "Non-finite weights in unet2.conv5.weight.f32"},
    };
    for (const auto& [file, values, message] : files) {
        writeFloats(folder() / file, values);
        expectCheckError([&] { build(); }, message);
        writeLayer(folder(), probed, layer);
        writeLayer(folder(), "unet2.conv5", pair);
    }
    writeBytes(folder() / "unet2.conv5.bias.f32", std::vector<std::uint8_t>(255));
    expectCheckError([&] { build(); }, "Invalid float file");
    std::filesystem::remove(folder() / "unet2.conv4.weight.f32");
    EXPECT_THROW(build(), std::filesystem::filesystem_error);

    nlohmann::json m = probeManifest();
    m["weights"][1].erase("layout"); // every key of every entry is required
    write(m);
    EXPECT_THROW(build(), JSONDecodingError);
    std::filesystem::remove(folder() / "manifest.json");
    EXPECT_THROW(build(), std::filesystem::filesystem_error);
    write(probeManifest());
    std::filesystem::resize_file(folder() / "manifest.json", std::uint64_t(1) << 30); // refused unread
    try {
        build();
        ADD_FAILURE() << "read a gigabyte manifest";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::errc::file_too_large);
    }
}

} // namespace
} // namespace lumavane::testing
