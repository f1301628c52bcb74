#include "VideoPresentation/PostProcessSettings.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace lumavane;

namespace {

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();

TEST(PostProcessSettings, InitialisersClampOnlyTheirFields) {
    struct Case {
        float given, brightness, gamma, cleanupStrength;
    };
    // Each given value goes into brightness, gamma and cleanup strength at once.
    for (const Case c :
         {Case{2, 1, 2, 1}, Case{-4, -1, 0.25f, 0}, Case{nan, 0, 1, 0.75f}, Case{infinity, 0, 1, 0.75f},
          Case{0.1f, 0.1f, 0.25f, 0.1f}, Case{5, 1, 3, 1}, Case{-0.5f, -0.5f, 0.25f, 0}}) {
        SCOPED_TRACE(c.given);
        const PostProcessSettings settings({.sharpenAmount = 7,
                                            .debandAmount = -3,
                                            .grainAmount = 9,
                                            .brightness = c.given,
                                            .gamma = c.given});
        EXPECT_EQ(settings.brightness, c.brightness);
        EXPECT_EQ(settings.gamma, c.gamma);
        EXPECT_EQ(settings.sharpenAmount, 7); // amounts are never clamped
        EXPECT_EQ(settings.debandAmount, -3);
        EXPECT_EQ(settings.grainAmount, 9);
        const PostProcessConfiguration configuration(
            {.settings = settings, .effectStart = -2, .effectEnd = 5, .cleanupStrength = c.given});
        EXPECT_EQ(configuration.cleanupStrength, c.cleanupStrength);
        EXPECT_EQ(configuration.effectStart, -2);
        EXPECT_EQ(configuration.effectEnd, 5);
    }
    PostProcessConfiguration assigned = PostProcessConfiguration::neutral();
    EXPECT_EQ(assigned.cleanupStrength, 0.75f);
    assigned.settings.gamma = 9; // a later assignment is stored as it is
    EXPECT_EQ(assigned.settings.gamma, 9);
    EXPECT_NE(assigned, PostProcessConfiguration::neutral());
    assigned = PostProcessConfiguration::neutral();
    assigned.cleanupStart = 0.25f; // every field takes part in equality
    EXPECT_NE(assigned, PostProcessConfiguration::neutral());
}

TEST(PostProcessSettings, EnabledRules) {
    struct Case {
        const char* name;
        PostProcessSettings::Options settings;
        bool settingsEnabled;
    };
    const Case cases[] = {
        {"neutral", {}, false},
        {"difference preview alone", {.differencePreview = true}, false},
        {"amounts without switches", {.sharpenAmount = 1, .debandAmount = 1, .grainAmount = 1}, false},
        {"sharpen", {.sharpenEnabled = true}, true},
        {"deband", {.debandEnabled = true}, true},
        {"grain", {.grainEnabled = true}, true},
        {"brightness", {.brightness = -0.01f}, true},
        {"gamma", {.gamma = 1.01f}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PostProcessSettings settings(c.settings);
        EXPECT_EQ(settings.isEnabled(), c.settingsEnabled);
        const PostProcessConfiguration band({.settings = settings, .effectStart = 0.2f, .effectEnd = 0.7f});
        EXPECT_EQ(band.isEnabled(), c.settingsEnabled);
        EXPECT_EQ(band.hasAnyEffect(), c.settingsEnabled);
        for (const float end : {0.2f, 0.1f}) { // an empty or reversed band switches the effects off
            const PostProcessConfiguration empty(
                {.settings = settings, .effectStart = 0.2f, .effectEnd = end});
            EXPECT_FALSE(empty.isEnabled());
        }
    }

    struct CleanupCase {
        bool enabled;
        float strength, start, end;
        bool expected;
    };
    for (const CleanupCase c :
         {CleanupCase{true, 0.5f, 0, 1, true}, CleanupCase{false, 0.5f, 0, 1, false},
          CleanupCase{true, 0, 0, 1, false}, CleanupCase{true, -1, 0, 1, false},
          CleanupCase{true, 0.5f, 0.5f, 0.5f, false}, CleanupCase{true, 0.5f, 0.6f, 0.5f, false}}) {
        const PostProcessConfiguration configuration({.cleanupEnabled = c.enabled,
                                                      .cleanupStrength = c.strength,
                                                      .cleanupStart = c.start,
                                                      .cleanupEnd = c.end});
        EXPECT_EQ(configuration.isCleanupEnabled(), c.expected)
            << c.strength << " " << c.start << " " << c.end;
        EXPECT_EQ(configuration.hasAnyEffect(), c.expected);
    }
}

} // namespace
