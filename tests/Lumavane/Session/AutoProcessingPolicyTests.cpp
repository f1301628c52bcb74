#include "Lumavane/Session/AutoProcessingPolicy.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace lumavane {
namespace {

using Preset = BundledModelPreset;

// Feeds one completion every `period` seconds from `from` to `to` (exclusive) and returns the
// first decision with its time.
struct Decision {
    std::optional<Preset> preset;
    double at = 0;
};
Decision feed(AutoProcessingPolicy& policy, double ms, double fps, double from, double to, double period,
              Preset active) {
    for (double now = from; now < to; now += period) {
        if (const auto preset = policy.record(ms, fps, now, active)) return {preset, now};
    }
    return {};
}

TEST(AutoProcessingPolicy, IgnoresMeaninglessSamplesAndTheAutomaticPreset) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double ms, fps, now;
        Preset active;
    } rows[] = {{0, 30, 1, Preset::quality},   {-5, 30, 1, Preset::quality},  {nan, 30, 1, Preset::quality},
                {40, 0, 1, Preset::quality},   {40, inf, 1, Preset::quality}, {40, 30, nan, Preset::quality},
                {40, 30, 1, Preset::automatic}};
    for (const auto& row : rows) {
        AutoProcessingPolicy policy;
        policy.record(40, 30, 0.5, Preset::quality); // opens a window
        const AutoProcessingPolicy before = policy;
        EXPECT_FALSE(policy.record(row.ms, row.fps, row.now, row.active));
        EXPECT_EQ(policy.lastSample, before.lastSample);
        EXPECT_EQ(policy.samples, before.samples);
        EXPECT_EQ(policy.windowStart, before.windowStart);
    }
}

TEST(AutoProcessingPolicy, DemotesAStrugglingQualityModelAfterTwoSeconds) {
    struct Row {
        const char* name;
        double ms;
        double period; // seconds between completions
        bool demotes;
    };
    const Row rows[] = {
        {"p90 over 90 % of the budget", 40, 1.0 / 30, true},
        {"rate under 85 % of the frame rate", 10, 1.0 / 24, true},
        {"keeping up", 25, 1.0 / 30, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        AutoProcessingPolicy policy;
        const Decision decision = feed(policy, row.ms, 30, 0, 10, row.period, Preset::quality);
        EXPECT_EQ(decision.preset.has_value(), row.demotes);
        if (!row.demotes) continue;
        EXPECT_EQ(*decision.preset, Preset::fast);
        // The first evaluation after one second starts the streak; two seconds later it ends.
        EXPECT_NEAR(decision.at, 3.0, 0.15);
        EXPECT_NEAR(policy.promoteAfter, decision.at + 60, 1e-9);
        EXPECT_FALSE(policy.windowStart);
        EXPECT_TRUE(policy.samples.empty());
    }
}

TEST(AutoProcessingPolicy, PromotesAfterEightSecondsOfHeadroomButNotWithinAMinuteOfADemotion) {
    // 5 ms at 30 fps: 2.5 x 5 = 12.5 ms is under 65 % of 33.3 ms.
    AutoProcessingPolicy fresh;
    const Decision promoted = feed(fresh, 5, 30, 0, 20, 1.0 / 30, Preset::fast);
    ASSERT_TRUE(promoted.preset);
    EXPECT_EQ(*promoted.preset, Preset::quality);
    EXPECT_NEAR(promoted.at, 9.0, 0.35);

    // 9 ms is no headroom (22.5 > 21.7): never promoted.
    AutoProcessingPolicy tight;
    EXPECT_FALSE(feed(tight, 9, 30, 0, 20, 1.0 / 30, Preset::fast).preset);

    // Demoted at 3 s: the headroom that follows counts only from 63 s on.
    AutoProcessingPolicy demoted;
    const Decision down = feed(demoted, 40, 30, 0, 10, 1.0 / 30, Preset::quality);
    ASSERT_TRUE(down.preset);
    const Decision up = feed(demoted, 5, 30, down.at + 1.0 / 30, 120, 1.0 / 30, Preset::fast);
    ASSERT_TRUE(up.preset);
    EXPECT_GE(up.at, down.at + 60);
    EXPECT_LT(up.at, down.at + 61);
}

TEST(AutoProcessingPolicy, GapsAndFailedLoadsStartAfresh) {
    // A 3 s pause between samples resets: the next sample only opens a window.
    AutoProcessingPolicy paused;
    feed(paused, 40, 30, 0, 2.5, 1.0 / 30, Preset::quality);
    ASSERT_TRUE(paused.badSince);
    EXPECT_FALSE(paused.record(40, 30, 5.5, Preset::quality));
    EXPECT_EQ(paused.windowStart, 5.5);
    EXPECT_FALSE(paused.badSince);
    EXPECT_TRUE(paused.samples.empty());

    // A gap within twice a slow enhancement time is no pause.
    AutoProcessingPolicy slow;
    slow.record(800, 1, 0, Preset::quality);
    slow.record(800, 1, 1.5, Preset::quality);
    EXPECT_EQ(slow.windowStart, 0);
    EXPECT_EQ(slow.samples.size(), 1u);

    // Exactly two samples after a second: no decision; the third evaluates.
    AutoProcessingPolicy three;
    three.record(40, 30, 0, Preset::quality);
    three.record(40, 30, 0.5, Preset::quality);
    three.record(40, 30, 1.0, Preset::quality);
    EXPECT_EQ(three.samples.size(), 2u);
    three.record(40, 30, 1.1, Preset::quality);
    EXPECT_TRUE(three.samples.empty());
    EXPECT_EQ(three.badSince, 1.1);

    // A failed load blocks every decision for 60 s.
    AutoProcessingPolicy failed;
    failed.modelLoadFailed(10);
    EXPECT_FALSE(feed(failed, 40, 30, 10, 70, 1.0 / 30, Preset::quality).preset);
    EXPECT_FALSE(failed.windowStart);
    const Decision after = feed(failed, 40, 30, 70, 80, 1.0 / 30, Preset::quality);
    ASSERT_TRUE(after.preset);
    EXPECT_NEAR(after.at, 73, 0.15);
}

} // namespace
} // namespace lumavane
