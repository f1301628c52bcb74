// The 24-channel kernel in each of its modes against the direct convolution, and its refusals.
#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/Conv24Kernel.hpp"
#include "CompactMetal/Conv24Weights.hpp"
#include "CompactMetal/support/EngineReference.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace lumavane::testing {
namespace {

const std::vector<std::string> allModes = {"gather", "preload", "winograd", "winograd_base", "winograd_2d"};

std::shared_ptr<gpu::Device> apple7Device(std::size_t maxThreads = 1024) {
    gpu::DeviceProfile profile = deviceWithFamilies({gpu::GPUFamily::apple7})->profile();
    profile.maxThreadsPerThreadgroup = maxThreads;
    return gpu::Device::withProfile(profile);
}

TEST(Conv24Construction, ModeFamilyThreadgroupAndCounts) {
    auto plain = deviceWithFamilies({});
    // The mode is checked before the device.
    for (const char* mode : {"Winograd", "winograd_2D", "", "winograd "})
        expectCheckError([&] { Conv24Kernel(plain, mode); }, "Invalid Conv24 mode");
    for (const std::string& mode : allModes)
        expectCheckError([&] { Conv24Kernel(plain, mode); }, "Conv24 requires Apple GPU family 7 or newer");
    // A later family alone is not family 7.
    expectCheckError([&] { Conv24Kernel(deviceWithFamilies({gpu::GPUFamily::apple9}), "gather"); },
                     "Conv24 requires Apple GPU family 7 or newer");
    auto small = apple7Device(64);
    for (const char* mode : {"gather", "preload", "winograd"})
        expectCheckError([&] { Conv24Kernel(small, mode); }, "Unsupported SIMD width or threadgroup limit");
    for (const char* mode : {"winograd_base", "winograd_2d"})
        EXPECT_EQ(Conv24Kernel(small, mode).threadsPerGroup(), 64);

    // winograd_2d: its own function, one SIMD group's macro, 8 2x2 tiles of a tile row per group.
    EXPECT_EQ(Conv24Kernel::functionName("winograd_2d"), "conv24_winograd_2d");
    EXPECT_EQ(Conv24Kernel::simdGroupsFor("winograd_2d"), 1);
    const auto groups = [](const char* mode, std::size_t w, std::size_t h) {
        const gpu::Size s = *Conv24Kernel::threadgroups(mode, w, h);
        return std::vector<std::size_t>{s.width, s.height, s.depth};
    };
    EXPECT_EQ(groups("winograd_2d", 1920, 1080), (std::vector<std::size_t>{120, 540, 1}));
    EXPECT_EQ(groups("winograd_2d", 17, 3), (std::vector<std::size_t>{2, 2, 1}));
    EXPECT_EQ(groups("winograd", 1920, 1080), (std::vector<std::size_t>{16200, 1, 1}));
    EXPECT_EQ(groups("gather", 3, 3), (std::vector<std::size_t>{1, 1, 1}));

    const std::vector<float> w(Conv24Weights::weightCount), b(24);
    EXPECT_THROW(Conv24Weights(plain, std::vector<float>(w.size() - 1), b, b, "gather"),
                 std::invalid_argument);
    EXPECT_THROW(Conv24Weights(plain, w, std::vector<float>(25), b, "winograd"), std::invalid_argument);
    EXPECT_THROW(Conv24Weights(plain, w, b, {}, "winograd"), std::invalid_argument);
    // Half-precision values: 5184 direct, 9216 Winograd (winograd_2d included).
    for (const auto& [mode, count] : {std::pair<const char*, std::size_t>{"preload", 5184},
                                      {"winograd_base", 9216},
                                      {"winograd_2d", 9216}})
        EXPECT_EQ(Conv24Weights(plain, w, b, b, mode).kernel()->length(), 2 * count) << mode;
}

class Conv24Results : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        device = apple7Device();
        ASSERT_TRUE(device) << "no OpenCL device";
        queue = device->newCommandQueue();
    }

    // The kernel's output, the destination first filled with NaN so that a pixel the grid misses
    // shows; the pipeline it recorded goes to `recorded` when given.
    FloatImage run(const Conv24Kernel& kernel, const Conv24Weights& weights, const FloatImage& input,
                   std::shared_ptr<gpu::ComputePipelineState>* recorded = nullptr) {
        auto source = makeFeatureImage(device, input);
        FloatImage poison(input.width, input.height, 24);
        std::fill(poison.values.begin(), poison.values.end(), std::numeric_limits<float>::quiet_NaN());
        auto destination = makeFeatureImage(device, poison);
        auto command = queue->commandBuffer();
        kernel.encode(source->texture(), destination->texture(), weights, command);
        if (recorded) {
            const auto pipelines = recordedPipelines(*command);
            *recorded = pipelines.size() == 1 ? pipelines[0] : nullptr;
        }
        command->commit();
        command->waitUntilCompleted();
        EXPECT_EQ(command->status(), gpu::CommandBuffer::Status::completed);
        return readFeatureImage(*destination);
    }

    std::shared_ptr<gpu::Device> device;
    std::shared_ptr<gpu::CommandQueue> queue;
};

// Largest |a - b| / (1 + |b|), NaN counting as infinitely far.
double worstError(const FloatImage& a, const FloatImage& b) {
    double worst = 0;
    for (std::size_t k = 0; k < a.values.size(); ++k) {
        const double d =
            std::abs(double(a.values[k]) - double(b.values[k])) / (1.0 + std::abs(double(b.values[k])));
        if (!(d <= worst)) worst = std::isnan(d) ? std::numeric_limits<double>::infinity() : d;
    }
    return worst;
}

// Frames that cut SIMD groups and tiles anywhere; two weight sets through one kernel object.
// winograd_2d both as its own F(2x2) kernel and as the F(4x4) layers CPU devices take.
TEST_P(Conv24Results, MatchTheDirectConvolution) {
    const std::string mode = GetParam();
    const bool twoD = mode == "winograd_2d";
    for (const bool fourByFour : twoD ? std::vector<bool>{false, true} : std::vector<bool>{false}) {
        SCOPED_TRACE(fourByFour ? "F(4x4)" : "as the mode");
        const Conv24Kernel kernel(device, mode, fourByFour);
        EXPECT_EQ(kernel.tile4Pipeline() != nullptr, fourByFour);
        const auto expectedPipeline = fourByFour ? kernel.tile4Pipeline() : kernel.pipeline();
        std::uint32_t seed = 10;
        for (const auto& [width, height] :
             {std::pair<std::size_t, std::size_t>{37, 23}, {1, 1}, {33, 9}, {64, 2}, {17, 4}}) {
            SCOPED_TRACE(::testing::Message() << width << "x" << height);
            const FloatImage input = randomFeatures(width, height, 24, seed++);
            for (int set = 0; set < 2; ++set) {
                const std::vector<float> w = randomValues(Conv24Weights::weightCount, seed++, 0.15f);
                const std::vector<float> b = randomValues(24, seed++, 0.5f);
                std::vector<float> s = randomValues(24, seed++, 0.5f);
                s[3] = 0.0f; // a plain ReLU channel
                s[17] = -0.75f;
                const Conv24Weights weights(device, w, b, s, mode);
                const FloatImage expected = convolution3x3(input, 24, w, b, std::span<const float>(s));
                // Half weights, biases and slopes, half output; the Winograd modes' transformed
                // weights round once more.
                std::shared_ptr<gpu::ComputePipelineState> recorded;
                EXPECT_LT(worstError(run(kernel, weights, input, &recorded), expected),
                          Conv24Kernel::usesWinogradWeights(mode) ? 5e-3 : 3e-3);
                EXPECT_EQ(recorded, expectedPipeline);
            }
        }
    }
}

TEST_P(Conv24Results, RefusesTexturesItWouldOverrun) {
    const Conv24Kernel kernel(device, GetParam());
    const std::vector<float> zero(24, 0.0f);
    const Conv24Weights weights(device, std::vector<float>(Conv24Weights::weightCount, 0.0f), zero, zero,
                                GetParam());
    auto image = [&](std::size_t w, std::size_t h, std::size_t c) {
        return makeFeatureImage(device, FloatImage(w, h, c))->texture();
    };
    const std::shared_ptr<gpu::Texture> cases[][2] = {{image(8, 8, 24), image(8, 7, 24)},
                                                      {image(8, 8, 16), image(8, 8, 16)},
                                                      {image(8, 8, 24), image(8, 8, 32)}};
    for (const auto& textures : cases) {
        auto command = queue->commandBuffer();
        kernel.encode(textures[0], textures[1], weights, command);
        command->commit();
        command->waitUntilCompleted();
        EXPECT_EQ(command->status(), gpu::CommandBuffer::Status::error);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, Conv24Results, ::testing::ValuesIn(allModes),
                         [](const auto& info) { return info.param; });

} // namespace
} // namespace lumavane::testing
