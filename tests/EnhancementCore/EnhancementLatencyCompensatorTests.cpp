#include "EnhancementCore/EnhancementLatencyCompensator.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace lumavane {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(EnhancementLatencyCompensator, FollowsRisingLatencyQuicklyAndFallingSlowly) {
    EnhancementLatencyCompensator c(0.5);
    EXPECT_EQ(c.leadSeconds(30), 0);
    for (double invalid : {-1.0, nan, inf, -inf}) c.record(invalid);
    EXPECT_FALSE(c.estimatedSeconds().has_value());

    c.record(0.04);
    EXPECT_DOUBLE_EQ(*c.estimatedSeconds(), 0.04);
    EXPECT_NEAR(c.leadSeconds(30), 0.04 + 0.5 / 30, 1e-12);
    c.record(0.10);
    EXPECT_NEAR(c.jitterSeconds(), 0.012, 1e-12);
    EXPECT_NEAR(*c.estimatedSeconds(), 0.079, 1e-12);
    // The jitter step uses the estimate from before this sample (0.079).
    c.record(0.02);
    EXPECT_NEAR(c.jitterSeconds(), 0.0214, 1e-12);
    EXPECT_NEAR(*c.estimatedSeconds(), 0.07192, 1e-12);
    // Margin is now twice the jitter, above half a frame at 30 fps; never above the maximum.
    EXPECT_NEAR(c.leadSeconds(30), 0.07192 + 0.0428, 1e-12);
    EXPECT_DOUBLE_EQ(c.leadSeconds(1), 0.5);

    c.reset();
    EXPECT_FALSE(c.estimatedSeconds().has_value());
    EXPECT_EQ(c.jitterSeconds(), 0);
    c.record(3.0); // clamped to the maximum
    EXPECT_DOUBLE_EQ(*c.estimatedSeconds(), 0.5);
}

TEST(EnhancementLatencyCompensator, MarginWithoutUsableFrameRateAndInvalidMaximum) {
    EnhancementLatencyCompensator c(0.5);
    c.record(0.01);
    for (double rate : {0.0, -24.0, nan, inf})
        EXPECT_DOUBLE_EQ(c.leadSeconds(rate), 0.01 + 1.0 / 120) << rate;
    EXPECT_DOUBLE_EQ(c.leadSeconds(1e-320), 0.5);
    for (double maximum : {-1.0, nan, -inf}) {
        EnhancementLatencyCompensator invalid(maximum);
        invalid.record(0.2);
        EXPECT_EQ(invalid.leadSeconds(30), 0) << maximum;
    }
    EnhancementLatencyCompensator z(0.5);
    z.record(-0.0);
    EXPECT_FALSE(std::signbit(*z.estimatedSeconds()));
}

} // namespace
} // namespace lumavane
