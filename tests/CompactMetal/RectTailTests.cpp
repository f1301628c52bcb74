#include "CompactMetal/RectTail.hpp"
#include "CompactMetal/RectangularWinograd.hpp"
#include "CompactMetal/support/RectReference.hpp"
#include "Platform/Gpu/Gpu.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace lumavane::testing {
namespace {

constexpr const char* tailMessage = "Rectangular tail requires 16/24 input channels and 48 output channels";
constexpr const char* nativeSimdMessage = "Native tail SIMD count must be 4, 6 or 8";
constexpr const char* hqTailMessage = "HQ rectangular tail requires 24 input and 48 output channels";

struct LastLayer {
    std::size_t inputs;
    std::vector<float> weights, biases;
};

// A last layer whose outputs stay mostly within ±0.5, so that most pixels are not clamped.
LastLayer randomLastLayer(std::size_t inputs, std::uint32_t seed) {
    return {inputs, randomValues(48 * 9 * inputs, seed, 0.6f / std::sqrt(9.0f * inputs)),
            randomValues(48, seed + 1, 0.1f)};
}

// Either tail: the two pipelines and buffers the engine dispatches with, and their SIMD groups.
struct TailUnderTest {
    std::shared_ptr<gpu::ComputePipelineState> down2, native;
    std::shared_ptr<gpu::Buffer> weights, bias;
    int simds, nativeSimds;

    explicit TailUnderTest(const RectTail& tail)
        : down2(tail.down2()),
          native(tail.native()),
          weights(tail.weights()),
          bias(tail.bias()),
          simds(tail.simds()),
          nativeSimds(tail.nativeSimds()) {}
    explicit TailUnderTest(const RectTail24& tail)
        : down2(tail.down2()),
          native(tail.native()),
          weights(tail.weights()),
          bias(tail.bias()),
          simds(tail.simds()),
          nativeSimds(tail.simds()) {}
};

class RectTailTest : public ::testing::Test {
protected:
    void SetUp() override {
        device = gpu::Device::systemDefault();
        ASSERT_TRUE(device) << "no OpenCL device";
        queue = device->newCommandQueue();
    }

    // Runs the tail over random features and a random frame into a guarded destination and
    // compares with the reconstruction on the CPU: within one level of the same Winograd
    // arithmetic, within two of the plain convolution.
    void expectMatches(const TailUnderTest& tail, const LastLayer& layer, std::size_t width,
                       std::size_t height, int scale, bool flip) {
        SCOPED_TRACE(::testing::Message() << width << "x" << height << " C" << layer.inputs << " at " << scale
                                          << "x" << (flip ? " flipped" : ""));
        const auto seed = static_cast<std::uint32_t>(width * 131 + height);
        const FloatImage features = randomFeatures(width, height, layer.inputs, seed, 1.5f);
        const Bgra8Image frame = randomBgra8(width, height, seed + 1);
        GuardedTexture featureTexture = GuardedTexture::features(device, width, height, layer.inputs, 2);
        featureTexture.writeFeatures(features);
        auto source = makeBgra8Texture(device, frame);
        GuardedTexture destination = GuardedTexture::bgra8(device, width * scale, height * scale, 5);

        auto command = queue->commandBuffer();
        const bool native = scale == 4;
        encodeTail(command, native ? tail.native : tail.down2, tail.weights, tail.bias,
                   native ? tail.nativeSimds : tail.simds, featureTexture.texture(), source,
                   destination.texture(), flip);
        runAndWait(command);
        EXPECT_TRUE(destination.guardIntact()) << destination.guardBytesChanged() << " bytes written outside";
        const Bgra8Image result = destination.readBgra8();

        const auto expected = [&](const FloatImage& network) {
            FloatImage rgb = native ? reconstruct(network, frame, 4) : reconstructDown2(network, frame);
            return toBgra8(flip ? flipVertically(rgb) : rgb);
        };
        const std::vector<std::uint16_t> transformed =
            rectangular::transformFilters(layer.weights, layer.inputs, 48);
        const Bgra8Image sameArithmetic =
            expected(rectangularWinograd(features, 48, transformed, layer.biases));
        const Bgra8Image plain = expected(convolution3x3(features, 48, layer.weights, layer.biases));
        EXPECT_LE(maxLevelDifference(result, sameArithmetic), 1);
        EXPECT_LE(maxLevelDifference(result, plain), 2);
        EXPECT_LE(countLevelDifferences(result, plain, 1), result.bytes.size() / 100);
    }

    void expectAllOutputs(const TailUnderTest& tail, const LastLayer& layer) {
        for (const auto& [width, height] : {std::pair<std::size_t, std::size_t>{37, 9}, {5, 3}, {70, 4}}) {
            for (const bool flip : {false, true}) {
                expectMatches(tail, layer, width, height, 4, flip);
                expectMatches(tail, layer, width, height, 2, flip);
            }
        }
    }

    std::shared_ptr<gpu::Device> device;
    std::shared_ptr<gpu::CommandQueue> queue;
};

// Results -----------------------------------------------------------------------------------------

TEST_F(RectTailTest, SixteenChannelsMatchTheReconstruction) {
    ScopedEnv noOverride("CORAVEL_RECT_TAIL_VECTOR_OUTPUT", std::nullopt);
    const LastLayer layer = randomLastLayer(16, 10);
    expectAllOutputs(
        TailUnderTest(RectTail(device, 16, layer.weights, layer.biases, 6, false, std::nullopt, false)),
        layer);
}

TEST_F(RectTailTest, VectorOutputAndPairedRowsGiveTheSamePictures) {
    ScopedEnv noOverride("CORAVEL_RECT_TAIL_VECTOR_OUTPUT", std::nullopt);
    const LastLayer layer = randomLastLayer(16, 20);
    expectAllOutputs(TailUnderTest(RectTail(device, 16, layer.weights, layer.biases, 6, true, 8, true)),
                     layer);
    const TailUnderTest fewer(RectTail(device, 16, layer.weights, layer.biases, 4, true, 4, false));
    expectMatches(fewer, layer, 33, 5, 4, false);
    expectMatches(fewer, layer, 33, 5, 2, true);
}

TEST_F(RectTailTest, TwentyFourChannelsMatchTheReconstruction) {
    ScopedEnv noOverride("CORAVEL_RECT_TAIL_VECTOR_OUTPUT", std::nullopt);
    const LastLayer layer = randomLastLayer(24, 30);
    expectAllOutputs(
        TailUnderTest(RectTail(device, 24, layer.weights, layer.biases, 6, false, std::nullopt, false)),
        layer);
    expectAllOutputs(TailUnderTest(RectTail24(device, layer.weights, layer.biases, 6)), layer);
}

TEST_F(RectTailTest, WholeRowStoresWriteTheBytesOfThePixelByPixelPath) {
    // Rows that are not word aligned take the pixel-by-pixel path of the shared reconstruction.
    const LastLayer layer = randomLastLayer(16, 35);
    const RectTail plain(device, 16, layer.weights, layer.biases, 6, false, std::nullopt, false);
    const RectTail vector(device, 16, layer.weights, layer.biases, 6, true, std::nullopt, true);
    auto features = makeFeatureImage(device, randomFeatures(35, 6, 16, 36, 1.5f));
    auto source = makeBgra8Texture(device, randomBgra8(35, 6, 37));
    const auto render = [&](const RectTail& tail, int scale, std::size_t shift) {
        GuardedTexture destination = GuardedTexture::bgra8(device, 35 * scale, 6 * scale, 2, shift);
        auto command = queue->commandBuffer();
        encodeTail(command, scale == 4 ? tail.native() : tail.down2(), tail.weights(), tail.bias(),
                   scale == 4 ? tail.nativeSimds() : tail.simds(), features->texture(), source,
                   destination.texture(), false);
        runAndWait(command);
        EXPECT_TRUE(destination.guardIntact());
        return destination.readBgra8();
    };
    for (const RectTail* tail : {&plain, &vector})
        for (const int scale : {4, 2})
            EXPECT_EQ(render(*tail, scale, 0).bytes, render(*tail, scale, 1).bytes) << scale;
}

TEST_F(RectTailTest, ASourceSmallerThanTheFeaturesReadsAsBlack) {
    const LastLayer layer = randomLastLayer(16, 40);
    const RectTail tail(device, 16, layer.weights, layer.biases, 6, false, std::nullopt, false);
    const FloatImage features = randomFeatures(9, 4, 16, 41);
    auto featureImage = makeFeatureImage(device, features);
    const Bgra8Image frame = randomBgra8(5, 4, 42);
    auto source = makeBgra8Texture(device, frame);
    GuardedTexture destination = GuardedTexture::bgra8(device, 36, 16);
    auto command = queue->commandBuffer();
    encodeTail(command, tail.native(), tail.weights(), tail.bias(), tail.nativeSimds(),
               featureImage->texture(), source, destination.texture(), false);
    runAndWait(command);
    EXPECT_TRUE(destination.guardIntact());
    Bgra8Image padded(9, 4);
    for (std::size_t y = 0; y < 4; ++y) std::memcpy(padded.pixel(0, y), frame.pixel(0, y), 5 * 4);
    for (std::size_t y = 0; y < 4; ++y)
        for (std::size_t x = 5; x < 9; ++x) padded.pixel(x, y)[3] = 255;
    const Bgra8Image expected =
        toBgra8(reconstruct(convolution3x3(features, 48, layer.weights, layer.biases), padded, 4));
    EXPECT_LE(maxLevelDifference(destination.readBgra8(), expected), 2);
}

// Construction ----------------------------------------------------------------------------------

TEST_F(RectTailTest, KeepsTransformedFiltersAndSimdGroups) {
    ScopedEnv noOverride("CORAVEL_RECT_TAIL_VECTOR_OUTPUT", std::nullopt);
    for (const std::size_t inputs : {16u, 24u}) {
        const LastLayer layer = randomLastLayer(inputs, 50);
        const RectTail tail(device, static_cast<std::int64_t>(inputs), layer.weights, layer.biases, 8, false,
                            std::nullopt, false);
        EXPECT_EQ(tail.simds(), 8);
        EXPECT_EQ(tail.nativeSimds(), 8); // absent: the same as simdGroups
        EXPECT_EQ(tail.down2()->functionName(), "rect_tail");
        EXPECT_EQ(tail.native()->functionName(), "rect_tail");
        ASSERT_EQ(tail.weights()->length(), 24 * inputs * 48 * 2); // 36,864 and 55,296 bytes
        const std::vector<std::uint16_t> transformed =
            rectangular::transformFilters(layer.weights, inputs, 48);
        EXPECT_EQ(std::memcmp(tail.weights()->contents(), transformed.data(), tail.weights()->length()), 0);
        ASSERT_EQ(tail.bias()->length(), 96u);
        EXPECT_EQ(static_cast<const std::uint16_t*>(tail.bias()->contents())[47],
                  floatToHalf(layer.biases[47]));
    }
    const LastLayer layer = randomLastLayer(24, 51);
    const RectTail24 hq(device, layer.weights, layer.biases, 4);
    EXPECT_EQ(hq.simds(), 4);
    EXPECT_EQ(hq.down2()->functionName(), "rect_tail_hq24");
    EXPECT_EQ(hq.native()->functionName(), "rect_tail_hq24");
    EXPECT_EQ(hq.weights()->length(), 55296u);
    EXPECT_EQ(
        RectTail(device, 16, randomLastLayer(16, 52).weights, layer.biases, 4, false, 6, true).nativeSimds(),
        6);
}

TEST_F(RectTailTest, ChannelAndCountChecks) {
    const std::vector<float> biases(48), w16(6912), w24(10368), w32(432 * 32);
    const auto tail = [&](std::int64_t c, const std::vector<float>& w, const std::vector<float>& b) {
        return [&, c] { RectTail(device, c, w, b, 6, false, std::nullopt, false); };
    };
    EXPECT_EQ(requireFailure(tail(32, w32, biases)), tailMessage);
    EXPECT_EQ(requireFailure(tail(16, w24, biases)), tailMessage);
    EXPECT_EQ(requireFailure(tail(16, w16, std::vector<float>(47))), tailMessage);
    EXPECT_EQ(requireFailure(tail(8, std::vector<float>(432 * 8), biases)), tailMessage);
    EXPECT_EQ(requireFailure([&] { RectTail24(device, w16, biases, 6); }), hqTailMessage);
    EXPECT_EQ(requireFailure([&] { RectTail24(device, w24, std::vector<float>(49), 6); }), hqTailMessage);
}

TEST_F(RectTailTest, NativeSimdGroupsMustBeFourSixOrEight) {
    const std::vector<float> w(6912), b(48);
    EXPECT_EQ(requireFailure([&] { RectTail(device, 16, w, b, 2, false, std::nullopt, false); }),
              nativeSimdMessage);
    EXPECT_EQ(requireFailure([&] { RectTail(device, 16, w, b, 6, false, 5, false); }), nativeSimdMessage);
    EXPECT_EQ(requireFailure([&] { RectTail(device, 16, w, b, 6, false, 16, false); }), nativeSimdMessage);
    // The 2x pipeline's own count is not restricted.
    EXPECT_EQ(RectTail(device, 16, w, b, 2, false, 4, false).simds(), 2);
}

TEST(RectTailEnvironment, VectorOutputSwitch) {
    const char* name = "CORAVEL_RECT_TAIL_VECTOR_OUTPUT";
    {
        ScopedEnv unset(name, std::nullopt);
        EXPECT_FALSE(rectangular::tailVectorOutput(false));
        EXPECT_TRUE(rectangular::tailVectorOutput(true));
    }
    for (const auto& [value, requested, expected] : {std::tuple{"1", false, true},
                                                     {"0", true, false},
                                                     {"true", false, false},
                                                     {"", true, true},
                                                     {"01", false, false}}) {
        ScopedEnv set(name, value);
        EXPECT_EQ(rectangular::tailVectorOutput(requested), expected) << '"' << value << '"';
    }
}

TEST_F(RectTailTest, VectorOutputFromTheEnvironmentKeepsThePicture) {
    ScopedEnv on("CORAVEL_RECT_TAIL_VECTOR_OUTPUT", "1");
    const LastLayer layer = randomLastLayer(16, 60);
    const TailUnderTest tail(
        RectTail(device, 16, layer.weights, layer.biases, 6, false, std::nullopt, false));
    expectMatches(tail, layer, 41, 3, 2, false);
}

TEST_F(RectTailTest, DeviceLimitsNameTheFailingPipeline) {
    const LastLayer sixteen = randomLastLayer(16, 70), twentyFour = randomLastLayer(24, 71);
    // Threadgroup memory of the pipelines, as built on the default device.
    const RectTail reference(device, 16, sixteen.weights, sixteen.biases, 4, false, 8, false);
    const std::size_t nativeBytes = reference.native()->staticThreadgroupMemoryLength();
    const std::size_t down2Bytes = reference.down2()->staticThreadgroupMemoryLength();
    ASSERT_GT(nativeBytes, 0u);

    gpu::DeviceProfile fewThreads;
    fewThreads.maxThreadsPerThreadgroup = 128;
    const auto small = gpu::Device::withProfile(fewThreads);
    const std::string memory = std::to_string(small->maxThreadgroupMemoryLength());
    EXPECT_EQ(
        requireFailure([&] { RectTail(small, 16, sixteen.weights, sixteen.biases, 4, false, 8, false); }),
        "Rectangular tail exceeds device limits: requested threads 256, available 128, threadgroup bytes " +
            std::to_string(nativeBytes) + "/" + memory);
    EXPECT_EQ(
        requireFailure([&] { RectTail(small, 16, sixteen.weights, sixteen.biases, 6, false, 4, false); }),
        "Rectangular tail exceeds device limits: requested threads 192, available 128, threadgroup bytes " +
            std::to_string(down2Bytes) + "/" + memory);
    EXPECT_NO_THROW(RectTail(small, 16, sixteen.weights, sixteen.biases, 4, false, 4, false));
    EXPECT_EQ(
        requireFailure([&] { RectTail24(small, twentyFour.weights, twentyFour.biases, 6); }),
        "Rectangular tail exceeds device limits: requested threads 192, available 128, threadgroup bytes " +
            std::to_string(RectTail24(device, twentyFour.weights, twentyFour.biases, 6)
                               .down2()
                               ->staticThreadgroupMemoryLength()) +
            "/" + memory);

    gpu::DeviceProfile littleMemory;
    littleMemory.maxThreadgroupMemoryLength = 1024;
    const auto tight = gpu::Device::withProfile(littleMemory);
    EXPECT_EQ(
        requireFailure([&] { RectTail(tight, 16, sixteen.weights, sixteen.biases, 6, false, 8, false); }),
        "Rectangular tail exceeds device limits: requested threads 192, available " +
            std::to_string(reference.down2()->maxTotalThreadsPerThreadgroup()) + ", threadgroup bytes " +
            std::to_string(down2Bytes) + "/1024");
}

} // namespace
} // namespace lumavane::testing
