#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/RectangularWinograd.hpp"
#include "CompactMetal/support/RectReference.hpp"
#include "Platform/Gpu/Gpu.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace lumavane::testing {
namespace {

constexpr const char* tileRowsMessage = "Rectangular tile rows must be 1/2/4/8/16 and divide the tile count";

RectangularConfiguration configuration(std::int64_t tiles, std::int64_t simds,
                                       std::optional<std::int64_t> rows = {}, bool narrow = false) {
    RectangularConfiguration c;
    c.layers = {1};
    c.tiles_per_group = tiles;
    c.simd_groups = simds;
    c.narrow_input = narrow;
    c.tile_rows = rows;
    return c;
}

struct Layer {
    std::size_t channels;
    std::vector<float> weights, biases, slopes;
};

// Weights of a trained layer's order: outputs of order one for inputs of order one.
Layer randomLayer(std::size_t channels, std::uint32_t seed) {
    return {channels, randomValues(9 * channels * channels, seed, 1.5f / std::sqrt(9.0f * channels)),
            randomValues(channels, seed + 1, 0.2f), randomValues(channels, seed + 2, 0.5f)};
}

class RectangularWinogradTest : public ::testing::Test {
protected:
    void SetUp() override {
        device = gpu::Device::systemDefault();
        ASSERT_TRUE(device) << "no OpenCL device";
        queue = device->newCommandQueue();
    }

    RectangularWinograd make(const Layer& layer, const RectangularConfiguration& c) {
        return RectangularWinograd(device, static_cast<std::int64_t>(layer.channels), layer.weights,
                                   layer.biases, layer.slopes, c);
    }

    // Runs the layer over a random frame in guarded textures; checks that nothing outside the
    // destination was written and that the result is the layer's convolution: to float rounding
    // against the same Winograd arithmetic in double, and to the filters' half rounding against
    // the plain convolution.
    void expectMatches(const RectangularWinograd& kernel, const Layer& layer, std::size_t width,
                       std::size_t height, bool slicesApart = false) {
        SCOPED_TRACE(::testing::Message() << width << "x" << height << " C" << layer.channels << " tiles "
                                          << kernel.tiles() << " rows " << kernel.tileRows() << " simds "
                                          << kernel.simds() << (slicesApart ? " slices apart" : ""));
        const FloatImage input =
            randomFeatures(width, height, layer.channels, static_cast<std::uint32_t>(width * height));
        GuardedTexture source =
            GuardedTexture::features(device, width, height, layer.channels, 2, slicesApart);
        GuardedTexture destination =
            GuardedTexture::features(device, width, height, layer.channels, 3, slicesApart);
        source.writeFeatures(input);
        auto command = queue->commandBuffer();
        kernel.encode(source.texture(), destination.texture(), command);
        runAndWait(command);
        EXPECT_TRUE(destination.guardIntact()) << destination.guardBytesChanged() << " bytes written outside";

        const FloatImage result = destination.readFeatures(layer.channels);
        const std::vector<std::uint16_t> transformed =
            rectangular::transformFilters(layer.weights, layer.channels, layer.channels);
        const FloatImage sameArithmetic = roundedToHalf(rectangularWinograd(
            input, layer.channels, transformed, layer.biases, std::span<const float>(layer.slopes)));
        const FloatImage plain = convolution3x3(input, layer.channels, layer.weights, layer.biases,
                                                std::span<const float>(layer.slopes));
        // Half outputs of magnitude up to ~4: one half ulp is 2^-9 there.
        EXPECT_LE(maxAbsDifference(result, sameArithmetic), 4e-3f);
        EXPECT_LE(maxAbsDifference(result, plain), 2.5e-2f);
    }

    std::shared_ptr<gpu::Device> device;
    std::shared_ptr<gpu::CommandQueue> queue;
};

// Arithmetic ------------------------------------------------------------------------------------

TEST(RectangularTransform, PointsOutermostThenInputThenOutput) {
    const std::size_t in = 3, out = 5;
    const std::vector<float> weights = randomValues(in * out * 9, 11);
    const std::vector<std::uint16_t> transformed = rectangular::transformFilters(weights, in, out);
    ASSERT_EQ(transformed.size(), 24 * in * out);
    const auto& V = rectangular::verticalTransform;
    const auto& H = rectangular::horizontalTransform;
    for (std::size_t o = 0; o < out; ++o)
        for (std::size_t i = 0; i < in; ++i)
            for (std::size_t r = 0; r < 4; ++r)
                for (std::size_t c = 0; c < 6; ++c) {
                    double expected = 0;
                    for (std::size_t ky = 0; ky < 3; ++ky)
                        for (std::size_t kx = 0; kx < 3; ++kx)
                            expected +=
                                double(V[r][ky]) * H[c][kx] * weights[((o * 3 + ky) * 3 + kx) * in + i];
                    const float stored = halfToFloat(transformed[((6 * r + c) * in + i) * out + o]);
                    EXPECT_NEAR(stored, expected, std::abs(expected) * 1e-3 + 1e-6)
                        << o << " " << i << " " << r << c;
                }
}

TEST(RectangularTransform, MatricesGiveTheConvolution) {
    // With a single 1 in the filter, the Winograd result of a tile must be a shifted copy of the input.
    for (std::size_t tap = 0; tap < 9; ++tap) {
        std::vector<float> weights(9, 0.0f);
        weights[tap] = 1.0f;
        const FloatImage input = randomFeatures(9, 5, 1, 3);
        const FloatImage viaWinograd = rectangularWinograd(
            input, 1, rectangular::transformFilters(weights, 1, 1), std::vector<float>{0.0f});
        const FloatImage plain = convolution3x3(input, 1, weights, std::vector<float>{0.0f});
        // Only the half rounding of the transformed filters (1/6, 1/12, 1/24 are not exact in half).
        EXPECT_LE(maxAbsDifference(viaWinograd, plain), 3e-3f) << "tap " << tap;
    }
}

TEST(RectangularEnvironment, IntegersParseWithAnOptionalSignAndOtherwiseGiveZero) {
    const char* name = "LUMAVANE_RECT_TEST_INTEGER";
    const std::vector<std::pair<std::optional<std::string>, std::optional<std::int64_t>>> cases = {
        {std::nullopt, std::nullopt},
        {"4", 4},
        {"+8", 8},
        {"-2", -2},
        {"016", 16},
        {"", 0},
        {"four", 0},
        {"4x", 0},
        {" 4", 0},
        {"+", 0},
        {"--4", 0},
        {"99999999999999999999", 0}};
    for (const auto& [value, expected] : cases) {
        ScopedEnv override(name, value);
        EXPECT_EQ(rectangular::integerEnvironment(name), expected) << value.value_or("(unset)");
    }
}

// Results -----------------------------------------------------------------------------------------

TEST_F(RectangularWinogradTest, SixteenChannelsMatchTheReferenceForEveryBlockShape) {
    ScopedEnv noOverride("CORAVEL_RECT_TILE_ROWS", std::nullopt);
    const Layer layer = randomLayer(16, 100);
    for (const std::int64_t tiles : {8, 16})
        for (const std::int64_t rows : {1, 2, 4, 8, 16}) {
            if (tiles % rows) continue;
            const RectangularWinograd kernel = make(layer, configuration(tiles, rows % 4 ? 4 : 8, rows));
            expectMatches(kernel, layer, 37, 23);
        }
}

TEST_F(RectangularWinogradTest, TwentyFourChannelsMatchTheReference) {
    const Layer layer = randomLayer(24, 200);
    expectMatches(make(layer, configuration(8, 4)), layer, 45, 17);
    // Sixteen tiles of 24 channels go through threadgroup memory in two rounds.
    expectMatches(make(layer, configuration(16, 8, 2, true)), layer, 29, 11);
}

TEST_F(RectangularWinogradTest, FramesSmallerThanOneBlockAndOddLayouts) {
    const Layer layer = randomLayer(16, 300);
    const RectangularWinograd wide = make(layer, configuration(16, 4));
    expectMatches(wide, layer, 1, 1);
    expectMatches(wide, layer, 5, 3);
    expectMatches(wide, layer, 67, 2);
    // Slices stored apart: the kernel must follow the texture's layout, whatever the read variant.
    expectMatches(wide, layer, 13, 7, true);
    expectMatches(make(layer, configuration(8, 4, 1, true)), layer, 13, 7, true);
}

// Construction ----------------------------------------------------------------------------------

TEST_F(RectangularWinogradTest, KeepsTheConfigurationAndHalfBuffers) {
    ScopedEnv noOverride("CORAVEL_RECT_TILE_ROWS", std::nullopt);
    const Layer layer = randomLayer(16, 500);
    const RectangularWinograd kernel = make(layer, configuration(16, 8));
    EXPECT_EQ(kernel.simds(), 8);
    EXPECT_EQ(kernel.tiles(), 16);
    EXPECT_EQ(kernel.tileRows(), 1); // absent means one row
    EXPECT_EQ(kernel.outputHeight(), 2);
    EXPECT_EQ(kernel.pipeline()->functionName(), "conv_rectangular");
    ASSERT_EQ(kernel.weights()->length(), 48u * 16 * 16);
    const std::vector<std::uint16_t> transformed = rectangular::transformFilters(layer.weights, 16, 16);
    EXPECT_EQ(std::memcmp(kernel.weights()->contents(), transformed.data(), kernel.weights()->length()), 0);
    ASSERT_EQ(kernel.bias()->length(), 32u);
    ASSERT_EQ(kernel.slope()->length(), 32u);
    const auto* slopes = static_cast<const std::uint16_t*>(kernel.slope()->contents());
    for (std::size_t o = 0; o < 16; ++o) EXPECT_EQ(slopes[o], floatToHalf(layer.slopes[o]));
}

TEST_F(RectangularWinogradTest, ThreadgroupsCoverTheFrameInBlocks) {
    ScopedEnv noOverride("CORAVEL_RECT_TILE_ROWS", std::nullopt);
    const Layer layer = randomLayer(16, 600);
    const auto groups = [&](std::int64_t tiles, std::optional<std::int64_t> rows, std::size_t w,
                            std::size_t h) {
        const gpu::Size size = make(layer, configuration(tiles, 4, rows)).threadgroups(w, h);
        return std::pair{size.width, size.height};
    };
    EXPECT_EQ(groups(8, std::nullopt, 1281, 721),
              (std::pair<std::size_t, std::size_t>{41, 361}));                     // 32x2 blocks
    EXPECT_EQ(groups(8, 2, 64, 64), (std::pair<std::size_t, std::size_t>{4, 16})); // 16x4
    EXPECT_EQ(groups(8, 8, 64, 64), (std::pair<std::size_t, std::size_t>{16, 4})); // 4x16
    EXPECT_EQ(groups(16, 16, 5, 33), (std::pair<std::size_t, std::size_t>{2, 2})); // 4x32
}

TEST_F(RectangularWinogradTest, TileRowsMustBeAPowerOfTwoDividingTheTiles) {
    ScopedEnv noOverride("CORAVEL_RECT_TILE_ROWS", std::nullopt);
    const Layer layer = randomLayer(16, 700);
    EXPECT_EQ(requireFailure([&] { make(layer, configuration(6, 4, 4)); }), tileRowsMessage);
    EXPECT_EQ(requireFailure([&] { make(layer, configuration(6, 4, 3)); }), tileRowsMessage);
    EXPECT_EQ(requireFailure([&] { make(layer, configuration(8, 4, 16)); }), tileRowsMessage);
    EXPECT_EQ(requireFailure([&] { make(layer, configuration(8, 4, 0)); }), tileRowsMessage);
    EXPECT_EQ(make(layer, configuration(8, 4, 4)).tileRows(), 4);
}

TEST_F(RectangularWinogradTest, TileRowsFromTheEnvironmentForSixteenChannelsOnly) {
    const Layer sixteen = randomLayer(16, 800), twentyFour = randomLayer(24, 801);
    {
        ScopedEnv rows("CORAVEL_RECT_TILE_ROWS", "4");
        const RectangularWinograd kernel = make(sixteen, configuration(8, 4, 2));
        EXPECT_EQ(kernel.tileRows(), 4);
        expectMatches(kernel, sixteen, 19, 13);
        EXPECT_EQ(make(twentyFour, configuration(8, 4, 2)).tileRows(), 2);
    }
    for (const char* value : {"four", "0", "3", "-4", ""}) {
        ScopedEnv rows("CORAVEL_RECT_TILE_ROWS", value);
        EXPECT_EQ(requireFailure([&] { make(sixteen, configuration(8, 4)); }), tileRowsMessage) << value;
        EXPECT_EQ(make(twentyFour, configuration(8, 4)).tileRows(), 1) << value;
    }
}

TEST_F(RectangularWinogradTest, DeviceLimits) {
    const Layer layer = randomLayer(16, 900);
    gpu::DeviceProfile fewThreads;
    fewThreads.maxThreadsPerThreadgroup = 128;
    const auto small = gpu::Device::withProfile(fewThreads);
    EXPECT_NO_THROW(
        RectangularWinograd(small, 16, layer.weights, layer.biases, layer.slopes, configuration(8, 4)));
    EXPECT_EQ(requireFailure([&] {
                  RectangularWinograd(small, 16, layer.weights, layer.biases, layer.slopes,
                                      configuration(8, 8));
              }),
              "Rectangular Winograd exceeds device limits");

    gpu::DeviceProfile littleMemory;
    littleMemory.maxThreadgroupMemoryLength = 4096;
    const auto tight = gpu::Device::withProfile(littleMemory);
    EXPECT_EQ(requireFailure([&] {
                  RectangularWinograd(tight, 16, layer.weights, layer.biases, layer.slopes,
                                      configuration(8, 4));
              }),
              "Rectangular Winograd exceeds device limits");
}

TEST_F(RectangularWinogradTest, EveryValidConfigurationFitsTheDefaultDevice) {
    ScopedEnv noOverride("CORAVEL_RECT_TILE_ROWS", std::nullopt);
    for (const std::size_t channels : {16u, 24u}) {
        const Layer layer = randomLayer(channels, 1000);
        for (const std::int64_t tiles : {8, 16})
            for (const std::int64_t simds : {4, 8})
                EXPECT_NO_THROW(make(layer, configuration(tiles, simds, 1)))
                    << channels << " channels, " << tiles << " tiles, " << simds << " SIMD groups";
    }
}

} // namespace
} // namespace lumavane::testing
