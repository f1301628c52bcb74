#include "CompactMetal/Conv24Weights.hpp"
#include "CompactMetal/support/CpuReference.hpp"
#include "Platform/Gpu/Gpu.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

namespace lumavane {
namespace {

std::vector<std::uint16_t> halves(const gpu::Buffer& buffer) {
    std::vector<std::uint16_t> out(buffer.length() / 2);
    std::memcpy(out.data(), buffer.contents(), out.size() * 2);
    return out;
}

// Weight index in the model file's order.
std::size_t fileIndex(std::size_t oc, std::size_t ky, std::size_t kx, std::size_t ic) {
    return ((oc * 3 + ky) * 3 + kx) * 24 + ic;
}

class Conv24WeightsTest : public ::testing::Test {
protected:
    void SetUp() override {
        device = gpu::Device::systemDefault();
        ASSERT_TRUE(device) << "no OpenCL device";
        weights = testing::randomValues(Conv24Weights::weightCount, 7, 0.2f);
        biases = testing::randomValues(24, 8);
        slopes = testing::randomValues(24, 9);
    }

    std::shared_ptr<gpu::Device> device;
    std::vector<float> weights, biases, slopes;
};

TEST_F(Conv24WeightsTest, DirectLayoutPutsOutputChannelsInnermost) {
    for (const char* mode : {"gather", "preload", "Winograd"}) { // anything not starting "winograd"
        SCOPED_TRACE(mode);
        const Conv24Weights layer(device, weights, biases, slopes, mode);
        const std::vector<std::uint16_t> k = halves(*layer.kernel());
        ASSERT_EQ(k.size(), 5184u);
        for (std::size_t ky = 0; ky < 3; ++ky)
            for (std::size_t kx = 0; kx < 3; ++kx)
                for (std::size_t ic = 0; ic < 24; ++ic)
                    for (std::size_t oc = 0; oc < 24; ++oc)
                        ASSERT_EQ(k[((ky * 3 + kx) * 24 + ic) * 24 + oc],
                                  halfBits(weights[fileIndex(oc, ky, kx, ic)]))
                            << ky << kx << " " << ic << " " << oc;
    }
}

TEST_F(Conv24WeightsTest, BiasesAndSlopesInHalfPrecision) {
    const Conv24Weights layer(device, weights, biases, slopes, "winograd_2d");
    const std::vector<std::uint16_t> b = halves(*layer.bias()), s = halves(*layer.slope());
    ASSERT_EQ(b.size(), 24u);
    ASSERT_EQ(s.size(), 24u);
    for (std::size_t c = 0; c < 24; ++c) {
        EXPECT_EQ(b[c], halfBits(biases[c]));
        EXPECT_EQ(s[c], halfBits(slopes[c]));
    }
}

TEST_F(Conv24WeightsTest, WinogradLayoutOfACentreTap) {
    // U[i][j] = G[i][1]·G[j][1]: 1/4 in rows and columns 1 and 2 (negative where exactly one of
    // i, j is 2), zero in row and column 0 and 3.
    std::vector<float> centre(Conv24Weights::weightCount, 0.0f);
    centre[fileIndex(5, 1, 1, 11)] = 1.0f;
    const Conv24Weights layer(device, centre, biases, slopes, "winograd");
    const std::vector<std::uint16_t> k = halves(*layer.kernel());
    ASSERT_EQ(k.size(), 9216u);
    for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 4; ++j) {
            float expected = 0.0f;
            if ((i == 1 || i == 2) && (j == 1 || j == 2)) expected = ((i == 2) != (j == 2)) ? -0.25f : 0.25f;
            for (std::size_t ic = 0; ic < 24; ++ic)
                for (std::size_t oc = 0; oc < 24; ++oc) {
                    const float value = (ic == 11 && oc == 5) ? expected : 0.0f;
                    ASSERT_EQ(testing::halfToFloat(k[((i * 4 + j) * 24 + ic) * 24 + oc]), value)
                        << i << j << " " << ic << " " << oc;
                }
        }
}

TEST_F(Conv24WeightsTest, WinogradLayoutIsGgGtRoundedOnce) {
    const double G[4][3] = {{1, 0, 0}, {0.5, 0.5, 0.5}, {0.5, -0.5, 0.5}, {0, 0, 1}};
    for (const char* mode : {"winograd", "winograd_base", "winograd_2d"}) {
        SCOPED_TRACE(mode);
        const Conv24Weights layer(device, weights, biases, slopes, mode);
        const std::vector<std::uint16_t> k = halves(*layer.kernel());
        ASSERT_EQ(k.size(), 9216u);
        for (std::size_t oc = 0; oc < 24; oc += 5)
            for (std::size_t ic = 0; ic < 24; ic += 3)
                for (std::size_t i = 0; i < 4; ++i)
                    for (std::size_t j = 0; j < 4; ++j) {
                        double u = 0;
                        for (std::size_t ky = 0; ky < 3; ++ky)
                            for (std::size_t kx = 0; kx < 3; ++kx)
                                u += G[i][ky] * weights[fileIndex(oc, ky, kx, ic)] * G[j][kx];
                        const float stored = testing::halfToFloat(k[((i * 4 + j) * 24 + ic) * 24 + oc]);
                        // One rounding to half (the float sum is far more exact than that).
                        EXPECT_NEAR(stored, u, std::abs(u) * 0x1p-11 + 1e-7)
                            << i << j << " " << ic << " " << oc;
                    }
    }
}

TEST_F(Conv24WeightsTest, WrongCountsAreRefused) {
    std::vector<float> short_(weights.begin(), weights.end() - 1);
    EXPECT_THROW(Conv24Weights(device, short_, biases, slopes, "gather"), std::invalid_argument);
    std::vector<float> longBias(25, 0.0f);
    EXPECT_THROW(Conv24Weights(device, weights, longBias, slopes, "winograd"), std::invalid_argument);
    EXPECT_THROW(Conv24Weights(device, weights, biases, {}, "winograd"), std::invalid_argument);
}

TEST(Conv24HalfBits, RoundsToNearestEven) {
    EXPECT_EQ(halfBits(1.0f), 0x3c00);
    EXPECT_EQ(halfBits(-2.0f), 0xc000);
    EXPECT_EQ(halfBits(0.1f), 0x2e66);
    EXPECT_EQ(halfBits(1.0f + 0x1p-11f), 0x3c00);     // tie, to even
    EXPECT_EQ(halfBits(1.0f + 3 * 0x1p-11f), 0x3c02); // tie, to even
    EXPECT_EQ(halfBits(65504.0f), 0x7bff);
    EXPECT_EQ(halfBits(65519.0f), 0x7bff);
    EXPECT_EQ(halfBits(65520.0f), 0x7c00);
    EXPECT_EQ(halfBits(0x1p-24f), 0x0001); // smallest subnormal
    EXPECT_EQ(halfBits(0x1p-25f), 0x0000); // tie, to even
    EXPECT_EQ(halfBits(0x1.8p-24f), 0x0002);
    EXPECT_EQ(halfBits(0x1p-14f - 0x1p-25f), 0x0400); // rounds up into the normals
    EXPECT_EQ(halfBits(-0.0f), 0x8000);
    EXPECT_EQ(halfBits(std::numeric_limits<float>::infinity()), 0x7c00);
    EXPECT_EQ(halfBits(std::numeric_limits<float>::quiet_NaN()) & 0x7e00, 0x7e00);
    // Agrees with the test reference's conversion over a wide sweep of magnitudes.
    for (float v = 1e-8f; v < 7e4f; v *= 1.0009f) {
        ASSERT_EQ(halfBits(v), testing::floatToHalf(v)) << v;
        ASSERT_EQ(halfBits(-v), testing::floatToHalf(-v)) << v;
    }
}

} // namespace
} // namespace lumavane
