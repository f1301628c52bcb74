// The rectangular-tile layers and their fused tails on their own, in guarded textures, against the
// direct convolution and the reconstruction on the CPU: every block shape, frames smaller than a
// block, foreign texture layouts, the switches and the device limits.
#include "CompactMetal/RectTail.hpp"
#include "CompactMetal/RectangularWinograd.hpp"
#include "CompactMetal/support/RectReference.hpp"
#include "Platform/Gpu/Gpu.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <type_traits>

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
    std::size_t inputs, outputs;
    std::vector<float> weights, biases, slopes;
};

// A body layer of a trained layer's order (outputs of order one for inputs of order one), or a
// last layer whose outputs stay mostly within ±0.5 so that most pixels are not clamped.
Layer bodyLayer(std::size_t channels, std::uint32_t seed) {
    return {channels, channels,
            randomValues(9 * channels * channels, seed, 1.5f / std::sqrt(9.0f * channels)),
            randomValues(channels, seed + 1, 0.2f), randomValues(channels, seed + 2, 0.5f)};
}
Layer lastLayer(std::size_t inputs, std::uint32_t seed) {
    return {inputs,
            48,
            randomValues(48 * 9 * inputs, seed, 0.6f / std::sqrt(9.0f * inputs)),
            randomValues(48, seed + 1, 0.1f),
            {}};
}

// Either tail: the two pipelines and buffers the engine dispatches with, and their SIMD groups.
struct Tail {
    std::shared_ptr<gpu::ComputePipelineState> down2, native;
    std::shared_ptr<gpu::Buffer> weights, bias;
    int simds, nativeSimds;
    // RectTail24 has one SIMD group count for both pipelines.
    template <typename Kernel>
    explicit Tail(const Kernel& t)
        : down2(t.down2()),
          native(t.native()),
          weights(t.weights()),
          bias(t.bias()),
          simds(t.simds()),
          nativeSimds(t.simds()) {
        if constexpr (std::is_same_v<Kernel, RectTail>) nativeSimds = t.nativeSimds();
    }
};

class RectangularKernels : public ::testing::Test {
protected:
    void SetUp() override {
        device = gpu::Device::systemDefault();
        ASSERT_TRUE(device) << "no OpenCL device";
        queue = device->newCommandQueue();
    }

    RectangularWinograd make(const Layer& layer, const RectangularConfiguration& c,
                             std::shared_ptr<gpu::Device> on = nullptr) {
        return RectangularWinograd(on ? on : device, std::int64_t(layer.inputs), layer.weights, layer.biases,
                                   layer.slopes, c);
    }

    // The layer over a random frame; nothing outside the destination is written, and the result is
    // the convolution to the filters' half rounding.
    void expectLayer(const RectangularWinograd& kernel, const Layer& layer, std::size_t width,
                     std::size_t height, bool slicesApart = false) {
        SCOPED_TRACE(::testing::Message() << width << "x" << height << " C" << layer.inputs << " tiles "
                                          << kernel.tiles() << " rows " << kernel.tileRows() << " simds "
                                          << kernel.simds() << (slicesApart ? " slices apart" : ""));
        const FloatImage input = randomFeatures(width, height, layer.inputs, std::uint32_t(width * height));
        GuardedTexture source = GuardedTexture::features(device, width, height, layer.inputs, 2, slicesApart);
        GuardedTexture destination =
            GuardedTexture::features(device, width, height, layer.inputs, 3, slicesApart);
        source.writeFeatures(input);
        auto command = queue->commandBuffer();
        kernel.encode(source.texture(), destination.texture(), command);
        runAndWait(command);
        EXPECT_TRUE(destination.guardIntact()) << destination.guardBytesChanged() << " bytes written outside";
        EXPECT_LE(maxAbsDifference(destination.readFeatures(layer.inputs),
                                   convolution3x3(input, layer.inputs, layer.weights, layer.biases,
                                                  std::span<const float>(layer.slopes))),
                  2.5e-2f);
    }

    Bgra8Image runTail(const Tail& tail, const std::shared_ptr<gpu::Texture>& features,
                       const std::shared_ptr<gpu::Texture>& source, GuardedTexture& destination, int scale,
                       bool flip) {
        auto command = queue->commandBuffer();
        encodeTail(command, scale == 4 ? tail.native : tail.down2, tail.weights, tail.bias,
                   scale == 4 ? tail.nativeSimds : tail.simds, features, source, destination.texture(), flip);
        runAndWait(command);
        EXPECT_TRUE(destination.guardIntact()) << destination.guardBytesChanged() << " bytes written outside";
        return destination.readBgra8();
    }

    // The tail at 4x and 2x, upright and flipped, against the reconstruction of the convolution.
    void expectTail(const Tail& tail, const Layer& layer,
                    std::initializer_list<std::pair<std::size_t, std::size_t>> sizes = {
                        {37, 9}, {5, 3}, {70, 4}}) {
        for (const auto& [width, height] : sizes)
            for (const int scale : {4, 2})
                for (const bool flip : {false, true}) {
                    SCOPED_TRACE(::testing::Message() << width << "x" << height << " C" << layer.inputs
                                                      << " at " << scale << "x" << (flip ? " flipped" : ""));
                    const auto seed = std::uint32_t(width * 131 + height);
                    const FloatImage features = randomFeatures(width, height, layer.inputs, seed, 1.5f);
                    const Bgra8Image frame = randomBgra8(width, height, seed + 1);
                    GuardedTexture input = GuardedTexture::features(device, width, height, layer.inputs, 2);
                    input.writeFeatures(features);
                    GuardedTexture destination =
                        GuardedTexture::bgra8(device, width * scale, height * scale, 5);
                    const Bgra8Image result = runTail(tail, input.texture(), makeBgra8Texture(device, frame),
                                                      destination, scale, flip);
                    const FloatImage network = convolution3x3(features, 48, layer.weights, layer.biases);
                    const FloatImage rgb =
                        scale == 4 ? reconstruct(network, frame, 4) : reconstructDown2(network, frame);
                    const Bgra8Image expected = toBgra8(flip ? flipVertically(rgb) : rgb);
                    EXPECT_LE(maxLevelDifference(result, expected), 2);
                    EXPECT_LE(countLevelDifferences(result, expected, 1), result.bytes.size() / 100);
                }
    }

    std::shared_ptr<gpu::Device> device;
    std::shared_ptr<gpu::CommandQueue> queue;
};

TEST_F(RectangularKernels, LayersMatchTheConvolutionForEveryBlockShapeAndLayout) {
    const ScopedEnv noOverride("CORAVEL_RECT_TILE_ROWS", std::nullopt);
    const Layer sixteen = bodyLayer(16, 100);
    for (const std::int64_t tiles : {8, 16})
        for (const std::int64_t rows : {1, 2, 4, 8, 16})
            if (tiles % rows == 0)
                expectLayer(make(sixteen, configuration(tiles, rows % 4 ? 4 : 8, rows)), sixteen, 37, 23);
    // Frames smaller than a block; slices stored apart, whatever the read variant.
    const RectangularWinograd wide = make(sixteen, configuration(16, 4));
    for (const auto& [w, h] : {std::pair<std::size_t, std::size_t>{1, 1}, {5, 3}, {67, 2}})
        expectLayer(wide, sixteen, w, h);
    expectLayer(wide, sixteen, 13, 7, true);
    expectLayer(make(sixteen, configuration(8, 4, 1, true)), sixteen, 13, 7, true);
    // Sixteen tiles of 24 channels go through threadgroup memory in two rounds.
    const Layer twentyFour = bodyLayer(24, 200);
    expectLayer(make(twentyFour, configuration(8, 4)), twentyFour, 45, 17);
    expectLayer(make(twentyFour, configuration(16, 8, 2, true)), twentyFour, 29, 11);
}

TEST_F(RectangularKernels, TileRowsFromTheManifestOrTheEnvironmentAndDeviceLimits) {
    const Layer sixteen = bodyLayer(16, 700), twentyFour = bodyLayer(24, 701);
    {
        const ScopedEnv noOverride("CORAVEL_RECT_TILE_ROWS", std::nullopt);
        for (const auto& [tiles, rows] : {std::pair{6, 4}, {6, 3}, {8, 16}, {8, 0}})
            EXPECT_EQ(requireFailure([&] { make(sixteen, configuration(tiles, 4, rows)); }), tileRowsMessage);
        EXPECT_EQ(make(sixteen, configuration(8, 4)).tileRows(), 1);
        for (const std::size_t channels : {16u, 24u})
            for (const std::int64_t tiles : {8, 16})
                for (const std::int64_t simds : {4, 8})
                    EXPECT_NO_THROW(make(bodyLayer(channels, 1000), configuration(tiles, simds, 1)))
                        << channels << " channels, " << tiles << " tiles, " << simds << " SIMD groups";
    }
    {
        // The environment overrides the manifest for 16 channels only.
        const ScopedEnv rows("CORAVEL_RECT_TILE_ROWS", "4");
        const RectangularWinograd kernel = make(sixteen, configuration(8, 4, 2));
        EXPECT_EQ(kernel.tileRows(), 4);
        expectLayer(kernel, sixteen, 19, 13);
        EXPECT_EQ(make(twentyFour, configuration(8, 4, 2)).tileRows(), 2);
    }
    for (const char* value : {"four", "0", "3", "-4", "", "4x"}) {
        const ScopedEnv rows("CORAVEL_RECT_TILE_ROWS", value);
        EXPECT_EQ(requireFailure([&] { make(sixteen, configuration(8, 4)); }), tileRowsMessage) << value;
        EXPECT_EQ(make(twentyFour, configuration(8, 4)).tileRows(), 1) << value;
    }
    gpu::DeviceProfile fewThreads;
    fewThreads.maxThreadsPerThreadgroup = 128;
    gpu::DeviceProfile littleMemory;
    littleMemory.maxThreadgroupMemoryLength = 4096;
    EXPECT_NO_THROW(make(sixteen, configuration(8, 4), gpu::Device::withProfile(fewThreads)));
    EXPECT_EQ(
        requireFailure([&] { make(sixteen, configuration(8, 8), gpu::Device::withProfile(fewThreads)); }),
        "Rectangular Winograd exceeds device limits");
    EXPECT_EQ(
        requireFailure([&] { make(sixteen, configuration(8, 4), gpu::Device::withProfile(littleMemory)); }),
        "Rectangular Winograd exceeds device limits");
}

TEST_F(RectangularKernels, TailsMatchTheReconstruction) {
    const ScopedEnv noOverride("CORAVEL_RECT_TAIL_VECTOR_OUTPUT", std::nullopt);
    const Layer sixteen = lastLayer(16, 10), twentyFour = lastLayer(24, 30);
    expectTail(Tail(RectTail(device, 16, sixteen.weights, sixteen.biases, 6, false, std::nullopt, false)),
               sixteen);
    // Vector output and paired rows give the same pictures.
    expectTail(Tail(RectTail(device, 16, sixteen.weights, sixteen.biases, 6, true, 8, true)), sixteen);
    expectTail(Tail(RectTail(device, 16, sixteen.weights, sixteen.biases, 4, true, 4, false)), sixteen,
               {{33, 5}});
    expectTail(
        Tail(RectTail(device, 24, twentyFour.weights, twentyFour.biases, 6, false, std::nullopt, false)),
        twentyFour);
    expectTail(Tail(RectTail24(device, twentyFour.weights, twentyFour.biases, 6)), twentyFour);
    const ScopedEnv on("CORAVEL_RECT_TAIL_VECTOR_OUTPUT", "1");
    expectTail(Tail(RectTail(device, 16, sixteen.weights, sixteen.biases, 6, false, std::nullopt, false)),
               sixteen, {{41, 3}});
}

TEST_F(RectangularKernels, TailRowsOffWordAlignmentAndASmallerSource) {
    // Rows that are not word aligned take the pixel-by-pixel path: the same bytes.
    const Layer layer = lastLayer(16, 35);
    const RectTail plain(device, 16, layer.weights, layer.biases, 6, false, std::nullopt, false);
    const RectTail vector(device, 16, layer.weights, layer.biases, 6, true, std::nullopt, true);
    auto features = makeFeatureImage(device, randomFeatures(35, 6, 16, 36, 1.5f));
    auto source = makeBgra8Texture(device, randomBgra8(35, 6, 37));
    for (const RectTail* tail : {&plain, &vector})
        for (const int scale : {4, 2}) {
            GuardedTexture aligned = GuardedTexture::bgra8(device, 35 * scale, 6 * scale, 2, 0);
            GuardedTexture shifted = GuardedTexture::bgra8(device, 35 * scale, 6 * scale, 2, 1);
            EXPECT_EQ(runTail(Tail(*tail), features->texture(), source, aligned, scale, false).bytes,
                      runTail(Tail(*tail), features->texture(), source, shifted, scale, false).bytes);
        }

    // A source smaller than the features reads as black.
    const FloatImage small = randomFeatures(9, 4, 16, 41);
    const Bgra8Image frame = randomBgra8(5, 4, 42);
    GuardedTexture destination = GuardedTexture::bgra8(device, 36, 16);
    const Bgra8Image result = runTail(Tail(plain), makeFeatureImage(device, small)->texture(),
                                      makeBgra8Texture(device, frame), destination, 4, false);
    Bgra8Image padded(9, 4);
    for (std::size_t y = 0; y < 4; ++y) {
        std::memcpy(padded.pixel(0, y), frame.pixel(0, y), 5 * 4);
        for (std::size_t x = 5; x < 9; ++x) padded.pixel(x, y)[3] = 255;
    }
    EXPECT_LE(
        maxLevelDifference(
            result, toBgra8(reconstruct(convolution3x3(small, 48, layer.weights, layer.biases), padded, 4))),
        2);
}

TEST_F(RectangularKernels, TailRefusalsSwitchesAndDeviceLimits) {
    const std::string tailMessage = "Rectangular tail requires 16/24 input channels and 48 output channels";
    const std::string hqMessage = "HQ rectangular tail requires 24 input and 48 output channels";
    const std::vector<float> b48(48), w16(6912), w24(10368);
    auto tail = [&](std::int64_t c, const std::vector<float>& w, const std::vector<float>& b,
                    std::optional<std::int64_t> native = std::nullopt, int simds = 6) {
        return [=, this] { RectTail(device, c, w, b, simds, false, native, false); };
    };
    EXPECT_EQ(requireFailure(tail(32, std::vector<float>(432 * 32), b48)), tailMessage);
    EXPECT_EQ(requireFailure(tail(16, w24, b48)), tailMessage);
    EXPECT_EQ(requireFailure(tail(16, w16, std::vector<float>(47))), tailMessage);
    EXPECT_EQ(requireFailure([&] { RectTail24(device, w16, b48, 6); }), hqMessage);
    EXPECT_EQ(requireFailure([&] { RectTail24(device, w24, std::vector<float>(49), 6); }), hqMessage);
    for (const std::int64_t native : {5, 16})
        EXPECT_EQ(requireFailure(tail(16, w16, b48, native)), "Native tail SIMD count must be 4, 6 or 8");
    EXPECT_EQ(requireFailure(tail(16, w16, b48, std::nullopt, 2)),
              "Native tail SIMD count must be 4, 6 or 8");
    EXPECT_EQ(RectTail(device, 16, w16, b48, 2, false, 4, false).simds(), 2); // the 2x count is free
    EXPECT_EQ(RectTail(device, 16, w16, b48, 8, false, std::nullopt, false).nativeSimds(), 8);

    for (const auto& [value, requested, expected] :
         {std::tuple{"1", false, true}, {"0", true, false}, {"true", false, false}, {"", true, true}}) {
        const ScopedEnv set("CORAVEL_RECT_TAIL_VECTOR_OUTPUT", value);
        EXPECT_EQ(rectangular::tailVectorOutput(requested), expected) << '"' << value << '"';
    }

    // The message names the pipeline that does not fit.
    const RectTail reference(device, 16, w16, b48, 4, false, 8, false);
    gpu::DeviceProfile fewThreads;
    fewThreads.maxThreadsPerThreadgroup = 128;
    const auto small = gpu::Device::withProfile(fewThreads);
    const std::string memory = std::to_string(small->maxThreadgroupMemoryLength());
    EXPECT_EQ(
        requireFailure([&] { RectTail(small, 16, w16, b48, 4, false, 8, false); }),
        "Rectangular tail exceeds device limits: requested threads 256, available 128, threadgroup bytes " +
            std::to_string(reference.native()->staticThreadgroupMemoryLength()) + "/" + memory);
    EXPECT_EQ(
        requireFailure([&] { RectTail(small, 16, w16, b48, 6, false, 4, false); }),
        "Rectangular tail exceeds device limits: requested threads 192, available 128, threadgroup bytes " +
            std::to_string(reference.down2()->staticThreadgroupMemoryLength()) + "/" + memory);
    EXPECT_NO_THROW(RectTail(small, 16, w16, b48, 4, false, 4, false));
    EXPECT_TRUE(
        requireFailure([&] {
            RectTail24(small, w24, b48, 6);
        }).starts_with("Rectangular tail exceeds device limits: requested threads 192, available 128"));
}

} // namespace
} // namespace lumavane::testing
