#include "CompactMetal/ConvWinograd.hpp"
#include "CompactMetal/ConvWinogradTestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace lumavane::testing {
namespace {

// Layer weights scaled like a trained layer's: outputs of order one for inputs of order one.
std::vector<float> layerWeights(int inputs, int outputs, std::uint32_t seed) {
    return randomValues(static_cast<std::size_t>(inputs * outputs * 9), seed,
                        1.5f / std::sqrt(9.0f * inputs));
}

// The CPU reference itself ---------------------------------------------------------------------

TEST(CpuReference, PixelShuffleOrderAndResidual) {
    FloatImage network(2, 1, 12); // scale 2: channel c·4 + dy·2 + dx
    for (std::size_t x = 0; x < 2; ++x)
        for (std::size_t ch = 0; ch < 12; ++ch) network.at(x, 0, ch) = static_cast<float>(100 * x + ch);
    const FloatImage shuffled = pixelShuffle(network, 2);
    ASSERT_EQ(shuffled.width, 4u);
    ASSERT_EQ(shuffled.height, 2u);
    EXPECT_EQ(shuffled.at(1, 0, 0), 1.0f);   // red, dx 1, dy 0
    EXPECT_EQ(shuffled.at(0, 1, 2), 10.0f);  // blue, dx 0, dy 1
    EXPECT_EQ(shuffled.at(3, 1, 1), 107.0f); // second pixel, green, dx 1, dy 1

    Bgra8Image source(1, 1);
    source.pixel(0, 0)[0] = 255; // blue
    source.pixel(0, 0)[2] = 51;  // red
    FloatImage small(1, 1, 12);
    small.at(0, 0, 0) = 0.1f;   // red at (0, 0)
    small.at(0, 0, 11) = -2.0f; // blue at (1, 1)
    const FloatImage out = reconstruct(small, source, 2);
    EXPECT_FLOAT_EQ(out.at(0, 0, 0), 0.3f);
    EXPECT_FLOAT_EQ(out.at(1, 0, 0), 0.2f);
    EXPECT_FLOAT_EQ(out.at(1, 1, 2), 0.0f); // clamped
    EXPECT_FLOAT_EQ(out.at(0, 1, 2), 1.0f);
}

TEST(CpuReference, ReductionsFlipAndResampling) {
    const FloatImage image = randomFeatures(6, 4, 3, 1, 0.5f);
    const FloatImage reduced = reduceBy2(image);
    EXPECT_FLOAT_EQ(reduced.at(2, 1, 1),
                    (image.at(4, 2, 1) + image.at(5, 2, 1) + image.at(4, 3, 1) + image.at(5, 3, 1)) / 4);
    EXPECT_EQ(flipVertically(image).at(3, 0, 2), image.at(3, 3, 2));
    EXPECT_EQ(maxAbsDifference(displayResample(image, 6, 4), image), 0.0f);
    // Enlarging by two is bilinear: pixel 1 of 12 sits a quarter of the way from 0 to 1.
    const FloatImage twice = displayResample(image, 12, 8);
    EXPECT_NEAR(twice.at(1, 0, 0), 0.75 * image.at(0, 0, 0) + 0.25 * image.at(1, 0, 0), 1e-6);
    EXPECT_NEAR(twice.at(0, 0, 0), image.at(0, 0, 0), 1e-6); // edges repeat
    // Halving widens the tent to two pixels: weights 1, 3, 3, 1 around the pair.
    EXPECT_NEAR(displayResample(image, 3, 4).at(1, 2, 0),
                (image.at(1, 2, 0) + 3 * image.at(2, 2, 0) + 3 * image.at(3, 2, 0) + image.at(4, 2, 0)) / 8,
                1e-6);
    const FloatImage uniform(5, 5, 3);
    EXPECT_EQ(maxAbsDifference(displayResample(uniform, 1, 1), FloatImage(1, 1, 3)), 0.0f);
}

// Transform -------------------------------------------------------------------------------------

TEST(WinogradTransform, CentreTapGivesTheOuterProductOfTheMiddleColumn) {
    const float centre[9] = {0, 0, 0, 0, 1, 0, 0, 0, 0};
    const std::array<float, 16> u = winograd::transformFilter(centre);
    const float g1[4] = {0.0f, 0.5f, -0.5f, 0.0f}; // G[i][1]
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_EQ(u[i * 4 + j], g1[i] * g1[j]) << i << "," << j;
    EXPECT_EQ(u[1 * 4 + 2], -0.25f);
    EXPECT_EQ(u[2 * 4 + 2], 0.25f);
}

TEST(WinogradTransform, LayoutPointsOutermostThenInputThenOutput) {
    const int in = 3, out = 5;
    const std::vector<float> weights = randomValues(static_cast<std::size_t>(in * out * 9), 7);
    const std::vector<std::uint16_t> transformed = winograd::transformWeights(weights, in, out);
    ASSERT_EQ(transformed.size(), 16u * in * out);
    for (int oc = 0; oc < out; ++oc) {
        for (int ic = 0; ic < in; ++ic) {
            float g[9];
            for (int tap = 0; tap < 9; ++tap) g[tap] = weights[(oc * 9 + tap) * in + ic];
            // G·g·Gᵀ written out, in double: the single-precision sum may differ only by rounding.
            static const double G[4][3] = {{1, 0, 0}, {0.5, 0.5, 0.5}, {0.5, -0.5, 0.5}, {0, 0, 1}};
            for (int p = 0; p < 16; ++p) {
                double expected = 0;
                for (int ky = 0; ky < 3; ++ky)
                    for (int kx = 0; kx < 3; ++kx) expected += G[p / 4][ky] * g[ky * 3 + kx] * G[p % 4][kx];
                const float stored = halfToFloat(transformed[(p * in + ic) * out + oc]);
                EXPECT_EQ(stored, roundToHalf(winograd::transformFilter(g)[p]));
                EXPECT_NEAR(stored, expected, 1e-3);
            }
        }
    }
}

// Construction ----------------------------------------------------------------------------------

class ConvWinogradConstruction : public WinogradTest {};

TEST_F(ConvWinogradConstruction, AcceptsOnlyItsThreeChannelPairs) {
    for (const auto& [in, out] : {std::pair{24, 16}, {16, 24}, {24, 24}, {32, 48}, {16, 32}}) {
        const std::vector<float> w(static_cast<std::size_t>(in * out * 9)), b(static_cast<std::size_t>(out));
        expectCheckError([&] { ConvWinograd(device, in, out, w, b, std::nullopt, false); },
                         "Unsupported Winograd channels");
    }
}

TEST_F(ConvWinogradConstruction, RefusesWeightCountsItWouldReadPast) {
    const std::vector<float> w(16 * 16 * 9 - 1), b(16), slopes(15);
    expectCheckError([&] { ConvWinograd(device, 16, 16, w, b, std::nullopt, false); }, "Invalid weights");
    const std::vector<float> full(16 * 16 * 9);
    expectCheckError([&] { ConvWinograd(device, 16, 16, full, b, std::span<const float>(slopes), false); },
                     "Invalid PReLU");
}

TEST_F(ConvWinogradConstruction, BodyLayerHasOnlyThePlainPipeline) {
    const auto w = layerWeights(16, 16, 1), b = randomValues(16, 2), s = randomValues(16, 3);
    const ConvWinograd conv(device, 16, 16, w, b, std::span<const float>(s), false);
    EXPECT_TRUE(conv.pipeline());
    EXPECT_EQ(conv.threadsPerGroup(), 128);
    EXPECT_EQ(conv.tilesPerGroup(), 32);
    EXPECT_EQ(conv.channelGroups(), 1);
    EXPECT_FALSE(conv.uniformPipeline());
    EXPECT_FALSE(conv.supportsFusedDown2());
    EXPECT_FALSE(conv.supportsFusedNative4x());
    EXPECT_FALSE(conv.supportsUniformInput());

    // Buffers: transformed weights, biases and slopes in half precision.
    EXPECT_EQ(conv.kernel()->length(), 16u * 16 * 16 * 2);
    const std::vector<std::uint16_t> transformed = winograd::transformWeights(w, 16, 16);
    EXPECT_EQ(std::memcmp(conv.kernel()->contents(), transformed.data(), conv.kernel()->length()), 0);
    const std::vector<float> bias = halvesToFloats(*conv.bias()), slope = halvesToFloats(*conv.slope());
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(bias[i], roundToHalf(b[i]));
        EXPECT_EQ(slope[i], roundToHalf(s[i]));
    }
}

TEST_F(ConvWinogradConstruction, PipelinesFollowTheSwitches) {
    const auto w16 = layerWeights(16, 48, 6), w24 = layerWeights(24, 48, 7), b = randomValues(48, 8);
    {
        ScopedEnv tail("CORAVEL_FUSED_TAIL", std::nullopt), native("CORAVEL_FUSED_NATIVE_4X", std::nullopt);
        const ConvWinograd conv(device, 16, 48, w16, b, std::nullopt, true);
        EXPECT_EQ(conv.threadsPerGroup(), 64);
        EXPECT_EQ(conv.tilesPerGroup(), 8);
        EXPECT_EQ(conv.channelGroups(), 2);
        EXPECT_TRUE(conv.fusedPipeline() && conv.flippedFusedPipeline() && conv.nativeFusedPipeline() &&
                    conv.flippedNativeFusedPipeline() && conv.uniformFusedPipeline());
        EXPECT_FALSE(conv.uniformPipeline()); // only body layers have a uniform plain pipeline
        EXPECT_TRUE(conv.supportsFusedDown2() && conv.supportsFusedNative4x() && conv.supportsUniformInput());
    }
    {
        ScopedEnv tail("CORAVEL_FUSED_TAIL", "0");
        const ConvWinograd conv(device, 16, 48, w16, b, std::nullopt, true);
        EXPECT_FALSE(conv.supportsFusedDown2());
        EXPECT_FALSE(conv.supportsFusedNative4x());
        EXPECT_FALSE(conv.supportsUniformInput());
        // The 24-channel layer has its own switch.
        const ConvWinograd hq(device, 24, 48, w24, b, std::nullopt, false);
        EXPECT_TRUE(hq.supportsFusedDown2());
    }
    {
        ScopedEnv hqTail("CORAVEL_FUSED_HQ_TAIL", std::nullopt), native("CORAVEL_FUSED_NATIVE_4X", "0");
        const ConvWinograd conv(device, 24, 48, w24, b, std::nullopt, true);
        EXPECT_TRUE(conv.fusedPipeline() && conv.flippedFusedPipeline());
        EXPECT_FALSE(conv.nativeFusedPipeline() || conv.flippedNativeFusedPipeline());
        EXPECT_FALSE(conv.supportsUniformInput()); // 24 inputs are never uniform-safe
        ScopedEnv off("CORAVEL_FUSED_HQ_TAIL", "0");
        EXPECT_FALSE(ConvWinograd(device, 24, 48, w24, b, std::nullopt, false).supportsFusedDown2());
        ScopedEnv other("CORAVEL_FUSED_HQ_TAIL", "false"); // only "0" switches off
        EXPECT_TRUE(ConvWinograd(device, 24, 48, w24, b, std::nullopt, false).supportsFusedDown2());
    }
}

TEST_F(ConvWinogradConstruction, UniformPipelinesNeedModestFiniteWeights) {
    auto w = layerWeights(16, 16, 9);
    const auto b = randomValues(16, 10), s = randomValues(16, 11);
    EXPECT_TRUE(ConvWinograd(device, 16, 16, w, b, std::span<const float>(s), true).uniformPipeline());
    w[5] = -4096.0f;
    EXPECT_TRUE(ConvWinograd(device, 16, 16, w, b, std::span<const float>(s), true).uniformPipeline());
    w[5] = std::nextafter(4096.0f, 1e9f);
    EXPECT_FALSE(ConvWinograd(device, 16, 16, w, b, std::span<const float>(s), true).uniformPipeline());
    w[5] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(ConvWinograd(device, 16, 16, w, b, std::span<const float>(s), true).uniformPipeline());

    auto last = layerWeights(16, 48, 12);
    const auto lastBias = randomValues(48, 13);
    last[100] = std::numeric_limits<float>::infinity();
    const ConvWinograd conv(device, 16, 48, last, lastBias, std::nullopt, true);
    EXPECT_TRUE(conv.supportsFusedDown2());
    EXPECT_FALSE(conv.supportsUniformInput());
}

TEST_F(ConvWinogradConstruction, DeviceLimitsAreChecked) {
    const auto w16 = layerWeights(16, 16, 14), b16 = randomValues(16, 15);
    const auto w48 = layerWeights(16, 48, 16), b48 = randomValues(48, 17);
    gpu::DeviceProfile profile = device->profile();

    profile.maxThreadsPerThreadgroup = 64; // below the body layer's 128 threads and the tails'
    auto narrow = gpu::Device::withProfile(profile);
    expectCheckError([&] { ConvWinograd(narrow, 16, 16, w16, b16, std::nullopt, false); },
                     "Unsupported Winograd threadgroup");
    expectCheckError([&] { ConvWinograd(narrow, 16, 48, w48, b48, std::nullopt, false); },
                     "Unsupported fused reconstruction threadgroup");
    {
        ScopedEnv tail("CORAVEL_FUSED_TAIL", "0"); // the plain 48-channel layer needs 64
        EXPECT_NO_THROW(ConvWinograd(narrow, 16, 48, w48, b48, std::nullopt, false));
    }

    profile = device->profile();
    profile.maxThreadgroupMemoryLength = 4096;
    auto small = gpu::Device::withProfile(profile);
    expectCheckError([&] { ConvWinograd(small, 16, 16, w16, b16, std::nullopt, false); },
                     "Unsupported Winograd threadgroup");
    expectCheckError([&] { ConvWinograd(small, 16, 48, w48, b48, std::nullopt, false); },
                     "Unsupported fused reconstruction threadgroup");
}

// The plain convolution ---------------------------------------------------------------------------

class ConvWinogradLayer : public WinogradTest {
protected:
    FloatImage convolve(const ConvWinograd& conv, const FloatImage& input, std::size_t outputs,
                        bool uniform) {
        auto source = makeFeatureImage(device, input);
        auto destination = makeFeatureImage(device, FloatImage(input.width, input.height, outputs));
        run([&](const auto& command) {
            conv.encode(source->texture(), destination->texture(), command, uniform);
        });
        return readFeatureImage(*destination);
    }

    // Winograd with half weights against direct float convolution: relative to the output size.
    static void expectClose(const FloatImage& actual, const FloatImage& expected, float tolerance) {
        ASSERT_EQ(actual.values.size(), expected.values.size());
        float worst = 0;
        std::size_t at = 0;
        for (std::size_t i = 0; i < actual.values.size(); ++i) {
            const float d =
                std::abs(actual.values[i] - expected.values[i]) / (1.0f + std::abs(expected.values[i]));
            if (!(d <= worst)) {
                worst = d;
                at = i;
            }
        }
        EXPECT_LE(worst, tolerance) << "at value " << at << " (pixel " << at / expected.channels
                                    << ", channel " << at % expected.channels << "): " << actual.values[at]
                                    << " vs " << expected.values[at];
    }
};

TEST_F(ConvWinogradLayer, BodyLayerMatchesDirectConvolutionWithPReLU) {
    const auto w = layerWeights(16, 16, 20), b = randomValues(16, 21, 0.2f), s = randomValues(16, 22, 0.5f);
    const ConvWinograd conv(device, 16, 16, w, b, std::span<const float>(s), false);
    for (const auto& [width, height] :
         {std::pair<std::size_t, std::size_t>{37, 23}, {1, 1}, {64, 2}, {65, 3}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        const FloatImage input = randomFeatures(width, height, 16, 23);
        const FloatImage expected = convolution3x3(input, 16, w, b, std::span<const float>(s));
        expectClose(convolve(conv, input, 16, false), expected, 4e-3f);
        // Without a uniform pipeline a uniform request runs the plain one.
        expectClose(convolve(conv, input, 16, true), expected, 4e-3f);
    }
}

TEST_F(ConvWinogradLayer, BodyLayerWithoutSlopesIsNotActivated) {
    const auto w = layerWeights(16, 16, 24), b = randomValues(16, 25, 0.2f);
    const ConvWinograd conv(device, 16, 16, w, b, std::nullopt, false);
    EXPECT_EQ(halvesToFloats(*conv.slope()), std::vector<float>(16, 1.0f));
    const FloatImage input = randomFeatures(29, 7, 16, 26);
    const FloatImage expected = convolution3x3(input, 16, w, b);
    const FloatImage actual = convolve(conv, input, 16, false);
    expectClose(actual, expected, 4e-3f);
    EXPECT_LT(*std::min_element(actual.values.begin(), actual.values.end()), -0.5f);
}

TEST_F(ConvWinogradLayer, LastLayersComputeAll48ChannelsInTwoGroups) {
    ScopedEnv noTails("CORAVEL_FUSED_TAIL", "0"), noHQTails("CORAVEL_FUSED_HQ_TAIL", "0");
    for (const int inputs : {16, 24}) {
        SCOPED_TRACE(inputs);
        const auto w = layerWeights(inputs, 48, 30), b = randomValues(48, 31, 0.2f);
        const ConvWinograd conv(device, inputs, 48, w, b, std::nullopt, false);
        for (const auto& [width, height] : {std::pair<std::size_t, std::size_t>{19, 9}, {1, 1}, {16, 4}}) {
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
            const FloatImage input = randomFeatures(width, height, static_cast<std::size_t>(inputs), 32);
            expectClose(convolve(conv, input, 48, false), convolution3x3(input, 48, w, b), 4e-3f);
        }
    }
}

} // namespace
} // namespace lumavane::testing
