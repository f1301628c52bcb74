// ApproxDown2Winograd: the reduced last layer, its approximate 2x output and the display-optimal
// output at any size, against the CPU reference.
#include "CompactMetal/ApproxDown2Winograd.hpp"
#include "CompactMetal/ConvWinograd.hpp"
#include "CompactMetal/ConvWinogradTestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace lumavane::testing {
namespace {

class ApproxDown2 : public WinogradTest {
protected:
    // Runs `pipeline` as the engine records the approximate and optimal tails.
    Bgra8Image runTail(const ApproxDown2Winograd& approx,
                       const std::shared_ptr<gpu::ComputePipelineState>& pipeline, const FloatImage& features,
                       const Bgra8Image& source, std::size_t width, std::size_t height, bool optimal) {
        Tail tail;
        tail.pipeline = pipeline;
        tail.features = makeFeatureImage(device, features)->texture();
        tail.destination = makeBgra8Texture(device, width, height, 77);
        tail.source = makeBgra8Texture(device, source);
        tail.kernel = approx.kernel();
        tail.bias = approx.bias();
        tail.slope = approx.slope();
        if (optimal)
            tail.destinationSize =
                std::pair{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
        tail.threadgroups = {groups(features.width, 64), groups(features.height, 2), 1};
        WinogradTest::runTail(tail);
        return readBgra8Texture(*tail.destination);
    }

    static void expectMatches(const Bgra8Image& actual, const FloatImage& expected) {
        const Bgra8Image reference = toBgra8(expected);
        EXPECT_LE(maxLevelDifference(actual, reference), 1);
        EXPECT_LE(countLevelDifferences(actual, reference, 0), actual.bytes.size() / 50 + 4);
    }
};

TEST_F(ApproxDown2, RefusesAnythingButA16Or24ChannelLastLayer) {
    const std::vector<float> weights(6912), biases(48);
    EXPECT_NO_THROW(ApproxDown2Winograd(device, 16, weights, biases));
    const std::vector<float> short1(6911), biases47(47), weights32(32 * 432);
    const std::string message = "Invalid 4x reconstruction weights";
    expectCheckError([&] { ApproxDown2Winograd(device, 16, short1, biases); }, message);
    expectCheckError([&] { ApproxDown2Winograd(device, 16, weights, biases47); }, message);
    expectCheckError([&] { ApproxDown2Winograd(device, 32, weights32, biases); }, message);
    expectCheckError([&] { ApproxDown2Winograd(device, 24, weights, biases); }, message);
}

TEST_F(ApproxDown2, ReducedChannelsAreMeansOfTheirFour4xChannels) {
    const int c = 16;
    const LastLayer layer = lastLayer(c, 90);
    const ApproxDown2Winograd approx(device, c, layer.weights, layer.biases);

    const std::vector<float> bias = halvesToFloats(*approx.bias());
    ASSERT_EQ(bias.size(), 16u);
    const auto& b = layer.biases;
    EXPECT_EQ(bias[0], roundToHalf(0.25f * b[0] + 0.25f * b[1] + 0.25f * b[4] + 0.25f * b[5]));
    EXPECT_EQ(bias[3], roundToHalf(0.25f * b[10] + 0.25f * b[11] + 0.25f * b[14] + 0.25f * b[15]));
    EXPECT_EQ(bias[6],
              roundToHalf(0.25f * b[16 + 8] + 0.25f * b[16 + 9] + 0.25f * b[16 + 12] + 0.25f * b[16 + 13]));
    for (int k = 12; k < 16; ++k) EXPECT_EQ(bias[k], 0.0f);
    EXPECT_EQ(halvesToFloats(*approx.slope()), std::vector<float>(16, 1.0f));

    // The kernel holds the transform of the reduced filters: sub-pixel (1, 0) of blue is the mean
    // of 4x channels 32 + 2, 3, 6 and 7.
    std::vector<float> reduced(16 * 9 * c, 0.0f);
    for (int k = 0; k < 12; ++k) {
        const int colour = k / 4, X = k % 2, Y = (k / 2) % 2;
        for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx) {
                const int m = 16 * colour + 4 * (2 * Y + dy) + 2 * X + dx;
                for (int e = 0; e < 9 * c; ++e)
                    reduced[k * 9 * c + e] += 0.25f * layer.weights[m * 9 * c + e];
            }
    }
    const std::vector<std::uint16_t> expected = winograd::transformWeights(reduced, c, 16);
    ASSERT_EQ(approx.kernel()->length(), expected.size() * 2);
    EXPECT_EQ(std::memcmp(approx.kernel()->contents(), expected.data(), approx.kernel()->length()), 0);
    const std::vector<float> kernel = halvesToFloats(*approx.kernel());
    for (int p = 0; p < 16; ++p)
        for (int ic = 0; ic < c; ++ic)
            for (int k = 12; k < 16; ++k) EXPECT_EQ(kernel[(p * c + ic) * 16 + k], 0.0f);
}

TEST_F(ApproxDown2, TwoXOutputMatchesTheReference) {
    for (const int inputs : {16, 24}) {
        SCOPED_TRACE(inputs);
        const LastLayer layer = lastLayer(inputs, 100 + static_cast<std::uint32_t>(inputs));
        const ApproxDown2Winograd approx(device, inputs, layer.weights, layer.biases);
        for (const auto& [width, height] : {std::pair<std::size_t, std::size_t>{37, 23}, {1, 1}, {65, 3}}) {
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
            const FloatImage features = randomFeatures(width, height, static_cast<std::size_t>(inputs), 101);
            const Bgra8Image source = randomBgra8(width, height, 102);
            const FloatImage expected =
                approximateDown2(convolution3x3(features, 48, layer.weights, layer.biases), source);
            expectMatches(runTail(approx, approx.pipeline(), features, source, 2 * width, 2 * height, false),
                          expected);
            expectMatches(
                runTail(approx, approx.flippedPipeline(), features, source, 2 * width, 2 * height, false),
                flipVertically(expected));
        }
    }
}

TEST_F(ApproxDown2, OptimalOutputResamplesTheSame2xImageToAnySize) {
    for (const int inputs : {16, 24}) {
        SCOPED_TRACE(inputs);
        const LastLayer layer = lastLayer(inputs, 110 + static_cast<std::uint32_t>(inputs));
        const ApproxDown2Winograd approx(device, inputs, layer.weights, layer.biases);
        const std::size_t width = 67, height = 5; // two threadgroups across, three down
        const FloatImage features = randomFeatures(width, height, static_cast<std::size_t>(inputs), 111);
        const Bgra8Image source = randomBgra8(width, height, 112);
        const FloatImage image2x =
            approximateDown2(convolution3x3(features, 48, layer.weights, layer.biases), source);
        for (const auto& [w, h] : {std::pair<std::size_t, std::size_t>{2 * width, 2 * height},
                                   {4 * width, 4 * height},
                                   {3 * width + 1, 3 * height - 2},
                                   {width - 2, height + 3},
                                   {1, 1},
                                   {2 * width + 5, 7},
                                   {5 * width, 5 * height + 1}}) { // beyond 4x: taps computed per pixel
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
            const FloatImage expected = displayResample(image2x, w, h);
            expectMatches(runTail(approx, approx.optimalPipeline(), features, source, w, h, true), expected);
            expectMatches(runTail(approx, approx.flippedOptimalPipeline(), features, source, w, h, true),
                          flipVertically(expected));
        }
    }
}

TEST_F(ApproxDown2, OptimalOutputAtTwiceTheSizeIsThe2xOutput) {
    const LastLayer layer = lastLayer(16, 120);
    const ApproxDown2Winograd approx(device, 16, layer.weights, layer.biases);
    const FloatImage features = randomFeatures(37, 23, 16, 121);
    const Bgra8Image source = randomBgra8(37, 23, 122);
    const Bgra8Image optimal = runTail(approx, approx.optimalPipeline(), features, source, 74, 46, true);
    const Bgra8Image plain = runTail(approx, approx.pipeline(), features, source, 74, 46, false);
    // The same values; the optimal tiles start one pixel earlier, so float rounding may differ.
    EXPECT_LE(maxLevelDifference(optimal, plain), 1);
    EXPECT_LE(countLevelDifferences(optimal, plain, 0), optimal.bytes.size() / 50);
}

TEST_F(ApproxDown2, DeviceLimitsAreChecked) {
    const LastLayer layer = lastLayer(16, 130);
    gpu::DeviceProfile profile = device->profile();
    profile.maxThreadsPerThreadgroup = 64;
    expectCheckError(
        [&] { ApproxDown2Winograd(gpu::Device::withProfile(profile), 16, layer.weights, layer.biases); },
        "Unsupported approximate reconstruction threadgroup");
    profile = device->profile();
    profile.maxThreadgroupMemoryLength = 16384;
    expectCheckError(
        [&] { ApproxDown2Winograd(gpu::Device::withProfile(profile), 16, layer.weights, layer.biases); },
        "Unsupported approximate reconstruction threadgroup");
}

} // namespace
} // namespace lumavane::testing
