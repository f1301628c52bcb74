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
    EXPECT_FALSE(c.estimatedSeconds().has_value());
    EXPECT_EQ(c.leadSeconds(30), 0);

    c.record(0.04);
    ASSERT_TRUE(c.estimatedSeconds().has_value());
    EXPECT_DOUBLE_EQ(*c.estimatedSeconds(), 0.04);
    EXPECT_EQ(c.jitterSeconds(), 0);
    EXPECT_NEAR(c.leadSeconds(30), 0.0566667, 1e-7);

    c.record(0.10);
    EXPECT_NEAR(c.jitterSeconds(), 0.012, 1e-12);
    EXPECT_NEAR(*c.estimatedSeconds(), 0.079, 1e-12);

    // The jitter step uses the estimate from before this sample (0.079).
    c.record(0.02);
    EXPECT_NEAR(c.jitterSeconds(), 0.0214, 1e-12);
    EXPECT_NEAR(*c.estimatedSeconds(), 0.07192, 1e-12);
    // Margin is now twice the jitter, above half a frame at 30 fps.
    EXPECT_NEAR(c.leadSeconds(30), 0.07192 + 0.0428, 1e-12);
    // At 1 fps half a frame would exceed the maximum.
    EXPECT_DOUBLE_EQ(c.leadSeconds(1), 0.5);
}

TEST(EnhancementLatencyCompensator, ClampsSamplesAndIgnoresInvalidOnes) {
    EnhancementLatencyCompensator c(0.5);
    c.record(-1);
    c.record(nan);
    c.record(inf);
    c.record(-inf);
    EXPECT_FALSE(c.estimatedSeconds().has_value());

    c.record(3.0);
    EXPECT_DOUBLE_EQ(*c.estimatedSeconds(), 0.5);
    EXPECT_DOUBLE_EQ(c.leadSeconds(60), 0.5);

    c.record(nan);
    c.record(-0.01);
    c.record(inf);
    EXPECT_DOUBLE_EQ(*c.estimatedSeconds(), 0.5);
    EXPECT_EQ(c.jitterSeconds(), 0);

    EnhancementLatencyCompensator z(0.5);
    z.record(-0.0);
    ASSERT_TRUE(z.estimatedSeconds().has_value());
    EXPECT_EQ(*z.estimatedSeconds(), 0);
    EXPECT_FALSE(std::signbit(*z.estimatedSeconds()));
}

TEST(EnhancementLatencyCompensator, MarginWithoutUsableFrameRate) {
    EnhancementLatencyCompensator c(0.5);
    c.record(0.01);
    for (double rate : {0.0, -24.0, nan, inf, -inf}) {
        EXPECT_DOUBLE_EQ(c.leadSeconds(rate), 0.01 + 1.0 / 120) << rate;
    }
    // Half a frame at 24 fps.
    EXPECT_DOUBLE_EQ(c.leadSeconds(24), 0.01 + 0.5 / 24);
    // The lead never exceeds the maximum, even at a tiny frame rate.
    EXPECT_DOUBLE_EQ(c.leadSeconds(0.5), 0.5);
    EXPECT_DOUBLE_EQ(c.leadSeconds(1e-320), 0.5);
}

TEST(EnhancementLatencyCompensator, InvalidMaximumGivesZeroLead) {
    for (double maximum : {-1.0, nan, -inf}) {
        EnhancementLatencyCompensator c(maximum);
        EXPECT_EQ(c.maximumLeadSeconds(), 0) << maximum;
        c.record(0.2);
        c.record(0.4);
        EXPECT_EQ(c.leadSeconds(30), 0);
        EXPECT_EQ(c.leadSeconds(0), 0);
    }
}

TEST(EnhancementLatencyCompensator, ResetKeepsOnlyTheMaximum) {
    EnhancementLatencyCompensator c(0.25);
    c.record(0.04);
    c.record(0.2);
    ASSERT_GT(c.jitterSeconds(), 0);

    const EnhancementLatencyCompensator before = c; // a value: the copy is untouched
    c.reset();
    EXPECT_FALSE(c.estimatedSeconds().has_value());
    EXPECT_EQ(c.jitterSeconds(), 0);
    EXPECT_EQ(c.maximumLeadSeconds(), 0.25);
    EXPECT_EQ(c.leadSeconds(30), 0);
    EXPECT_TRUE(before.estimatedSeconds().has_value());

    // After a reset the next sample is taken whole again, jitter untouched.
    c.record(0.03);
    EXPECT_DOUBLE_EQ(*c.estimatedSeconds(), 0.03);
    EXPECT_EQ(c.jitterSeconds(), 0);
}

} // namespace
} // namespace lumavane
