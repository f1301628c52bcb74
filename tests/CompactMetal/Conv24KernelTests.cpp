#include "CompactMetal/CompactMetalError.hpp"
#include "CompactMetal/Conv24Kernel.hpp"
#include "CompactMetal/Conv24Weights.hpp"
#include "CompactMetal/support/CpuReference.hpp"
#include "Platform/Gpu/Gpu.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace lumavane {
namespace {

using testing::FloatImage;

const std::vector<std::string> allModes = {"gather", "preload", "winograd", "winograd_base", "winograd_2d"};

// A device that claims no Apple family (the CPU default claims some).
gpu::DeviceProfile plainProfile() {
    gpu::DeviceProfile profile;
    profile.families = {gpu::GPUFamily::common1, gpu::GPUFamily::common2, gpu::GPUFamily::common3,
                        gpu::GPUFamily::mac2};
    return profile;
}

std::shared_ptr<gpu::Device> deviceWith(std::set<gpu::GPUFamily> families, std::size_t maxThreads = 1024) {
    gpu::DeviceProfile profile = plainProfile();
    profile.families.insert(families.begin(), families.end());
    profile.maxThreadsPerThreadgroup = maxThreads;
    return gpu::Device::withProfile(profile);
}

std::shared_ptr<gpu::Device> apple7Device(std::size_t maxThreads = 1024) {
    return deviceWith({gpu::GPUFamily::apple7}, maxThreads);
}

void expectCheckFailure(const std::function<void()>& construct, const std::string& message) {
    try {
        construct();
        ADD_FAILURE() << "no error, expected \"" << message << "\"";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), "DirectMetalProbe");
        EXPECT_EQ(error.code(), 1);
        EXPECT_EQ(error.localizedDescription(), message);
    }
}

TEST(Conv24KernelModes, TableOfTheFiveModes) {
    struct Row {
        const char* mode;
        const char* function;
        int simdGroups, threads;
        bool winogradWeights;
    };
    const Row rows[] = {{"gather", "conv24_simd_gather", 4, 128, false},
                        {"preload", "conv24_simd_preload", 4, 128, false},
                        {"winograd", "conv24_winograd", 4, 128, true},
                        {"winograd_base", "conv24_winograd_base", 4, 64, true},
                        {"winograd_2d", "conv24_winograd_2d", 1, 64, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        EXPECT_TRUE(Conv24Kernel::isValidMode(row.mode));
        EXPECT_EQ(Conv24Kernel::functionName(row.mode), row.function);
        EXPECT_EQ(Conv24Kernel::simdGroupsFor(row.mode), row.simdGroups);
        EXPECT_EQ(Conv24Kernel::threadsPerGroupFor(row.mode), row.threads);
        EXPECT_EQ(Conv24Kernel::usesWinogradWeights(row.mode), row.winogradWeights);
    }
    for (const char* mode : {"Gather", "WINOGRAD", "winograd_2D", "", "direct", "winograd ", "winograd_3d"})
        EXPECT_FALSE(Conv24Kernel::isValidMode(mode)) << mode;
}

TEST(Conv24KernelModes, ThreadgroupsOfAFullHdFrame) {
    auto grid = [](const char* mode, std::size_t w, std::size_t h) {
        const auto size = Conv24Kernel::threadgroups(mode, w, h);
        return size ? std::vector<std::size_t>{size->width, size->height, size->depth}
                    : std::vector<std::size_t>{};
    };
    using V = std::vector<std::size_t>;
    // 960 x 540 tiles; 1920 x 1080 pixels.
    EXPECT_EQ(grid("winograd_2d", 1920, 1080), (V{120, 540, 1}));
    EXPECT_EQ(grid("winograd", 1920, 1080), (V{16200, 1, 1}));
    EXPECT_EQ(grid("winograd_base", 1920, 1080), (V{32400, 1, 1}));
    EXPECT_EQ(grid("gather", 1920, 1080), (V{64800, 1, 1}));
    EXPECT_EQ(grid("preload", 1920, 1080), (V{64800, 1, 1}));
    // Partial tiles and groups round up: 37 x 23 has 19 x 12 tiles and 851 pixels.
    EXPECT_EQ(grid("winograd_2d", 37, 23), (V{3, 12, 1}));
    EXPECT_EQ(grid("winograd", 37, 23), (V{8, 1, 1}));
    EXPECT_EQ(grid("winograd_base", 37, 23), (V{15, 1, 1}));
    EXPECT_EQ(grid("gather", 37, 23), (V{27, 1, 1}));
    EXPECT_EQ(grid("gather", 3, 3), (V{1, 1, 1}));
    EXPECT_EQ(grid("winograd_2d", 1, 1), (V{1, 1, 1}));
    EXPECT_EQ(grid("Gather", 3, 3), V{});
}

TEST(Conv24KernelConstruction, ChecksInOrder) {
    auto plain = gpu::Device::withProfile(plainProfile());
    ASSERT_TRUE(plain) << "no OpenCL device";
    // The mode is checked before the device.
    expectCheckFailure([&] { Conv24Kernel(plain, "Winograd"); }, "Invalid Conv24 mode");
    expectCheckFailure([&] { Conv24Kernel(apple7Device(), "winograd_2D"); }, "Invalid Conv24 mode");
    expectCheckFailure([&] { Conv24Kernel(apple7Device(), ""); }, "Invalid Conv24 mode");
    for (const std::string& mode : allModes)
        expectCheckFailure([&] { Conv24Kernel(plain, mode); }, "Conv24 requires Apple GPU family 7 or newer");
    // A later family alone is not family 7.
    expectCheckFailure([&] { Conv24Kernel(deviceWith({gpu::GPUFamily::apple9}), "gather"); },
                       "Conv24 requires Apple GPU family 7 or newer");
}

TEST(Conv24KernelConstruction, ThreadgroupLimit) {
    auto small = apple7Device(64);
    for (const char* mode : {"gather", "preload", "winograd"})
        expectCheckFailure([&] { Conv24Kernel(small, mode); }, "Unsupported SIMD width or threadgroup limit");
    for (const char* mode : {"winograd_base", "winograd_2d"}) {
        Conv24Kernel kernel(small, mode);
        EXPECT_EQ(kernel.threadsPerGroup(), 64);
    }
}

// Every mode against the plain convolution, on frames that cut SIMD groups and tiles anywhere.
class Conv24KernelResults : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        device = apple7Device();
        ASSERT_TRUE(device) << "no OpenCL device";
        queue = device->newCommandQueue();
    }

    // The kernel's output for `input`, the destination first filled with NaN so that a pixel
    // the grid misses shows.
    FloatImage run(const Conv24Kernel& kernel, const Conv24Weights& weights, const FloatImage& input) {
        auto source = testing::makeFeatureImage(device, input);
        FloatImage poison(input.width, input.height, 24);
        std::fill(poison.values.begin(), poison.values.end(), std::numeric_limits<float>::quiet_NaN());
        auto destination = testing::makeFeatureImage(device, poison);
        auto command = queue->commandBuffer();
        kernel.encode(source->texture(), destination->texture(), weights, command);
        command->commit();
        command->waitUntilCompleted();
        EXPECT_EQ(command->status(), gpu::CommandBuffer::Status::completed)
            << (command->error() ? command->error()->what() : "");
        return testing::readFeatureImage(*destination);
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

TEST_P(Conv24KernelResults, MatchTheDirectConvolution) {
    const std::string mode = GetParam();
    Conv24Kernel kernel(device, mode);
    const std::size_t sizes[][2] = {{37, 23}, {3, 3}, {33, 9}, {1, 1}, {64, 2}, {18, 5}};
    std::uint32_t seed = 10;
    for (const auto& size : sizes) {
        SCOPED_TRACE(std::to_string(size[0]) + "x" + std::to_string(size[1]));
        const FloatImage input = testing::randomFeatures(size[0], size[1], 24, seed++);
        const std::vector<float> w = testing::randomValues(Conv24Weights::weightCount, seed++, 0.15f);
        const std::vector<float> b = testing::randomValues(24, seed++, 0.5f);
        std::vector<float> s = testing::randomValues(24, seed++, 0.5f);
        s[3] = 0.0f; // a plain ReLU channel
        s[17] = -0.75f;
        const Conv24Weights weights(device, w, b, s, mode);

        const FloatImage result = run(kernel, weights, input);
        // The kernels keep weights, biases and slopes in half precision.
        auto rounded = [](std::vector<float> v) {
            for (float& x : v) x = testing::roundToHalf(x);
            return v;
        };
        const std::vector<float> wr = rounded(w), br = rounded(b), sr = rounded(s);
        const FloatImage expected =
            testing::convolution3x3(input, 24, Conv24Kernel::usesWinogradWeights(mode) ? w : wr, br,
                                    std::optional<std::span<const float>>(sr));
        // Direct modes differ by the output's half rounding and float summation order; the
        // Winograd modes also by the transformed weights' rounding.
        const double tolerance = Conv24Kernel::usesWinogradWeights(mode) ? 4e-3 : 2e-3;
        EXPECT_LT(worstError(result, expected), tolerance);
    }
}

TEST_P(Conv24KernelResults, OneKernelServesSeveralLayers) {
    const std::string mode = GetParam();
    Conv24Kernel kernel(device, mode);
    const FloatImage input = testing::randomFeatures(21, 11, 24, 99);
    std::vector<float> identity(Conv24Weights::weightCount, 0.0f);
    for (std::size_t c = 0; c < 24; ++c) identity[((c * 3 + 1) * 3 + 1) * 24 + c] = 1.0f;
    const std::vector<float> zero(24, 0.0f), half(24, 0.5f);
    const Conv24Weights pass(device, identity, zero, half, mode);
    const Conv24Weights other(device, testing::randomValues(Conv24Weights::weightCount, 5, 0.1f), zero, half,
                              mode);

    // The centre tap alone, then PReLU 0.5.
    FloatImage expected = input;
    for (float& v : expected.values) v = v < 0 ? v * 0.5f : v;
    EXPECT_LT(worstError(run(kernel, pass, input), expected), 1e-3);
    EXPECT_GT(worstError(run(kernel, other, input), expected), 0.05);
    EXPECT_LT(worstError(run(kernel, pass, input), expected), 1e-3);
}

TEST_F(Conv24KernelResults, RefusesTexturesItWouldOverrun) {
    Conv24Kernel kernel(device, "winograd_2d");
    const std::vector<float> zero(24, 0.0f);
    const Conv24Weights weights(device, std::vector<float>(Conv24Weights::weightCount, 0.0f), zero, zero,
                                "winograd_2d");
    auto image = [&](std::size_t w, std::size_t h, std::size_t c) {
        return testing::makeFeatureImage(device, FloatImage(w, h, c))->texture();
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

INSTANTIATE_TEST_SUITE_P(Modes, Conv24KernelResults, ::testing::ValuesIn(allModes),
                         [](const auto& info) { return info.param; });

} // namespace
} // namespace lumavane
