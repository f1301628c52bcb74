#include "SessionTestSupport.hpp"

#include <gtest/gtest.h>

#include <string_view>

#include <functional>
#include <limits>

namespace lumavane {
namespace {

using test::SessionHarness;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

DefaultsValue::Dictionary storedPreferences(const DefaultsStore& store) {
    return store.dictionary(PlayerSession::preferencesKey).value_or(DefaultsValue::Dictionary{});
}

TEST(SessionPreferences, EachSetterWritesTheWholeDictionaryOnce) {
    struct Row {
        const char* what;
        std::function<void(PlayerSession&)> change;
        const char* key;
        DefaultsValue written;
    };
    const Row rows[] = {
        {"mode", [](PlayerSession& s) { s.setMode(ViewMode::original); }, "mode", "Original"},
        {"enabled", [](PlayerSession& s) { s.setEnabled(false); }, "enabled", false},
        {"split", [](PlayerSession& s) { s.setSplit(0.3); }, "split", 0.3},
        {"sharpen", [](PlayerSession& s) { s.setSharpenEnabled(true); }, "sharpenEnabled", true},
        {"sharpen amount", [](PlayerSession& s) { s.setSharpenAmount(0.9); }, "sharpenAmount", 0.9},
        {"deband", [](PlayerSession& s) { s.setDebandEnabled(true); }, "debandEnabled", true},
        {"deband amount", [](PlayerSession& s) { s.setDebandAmount(0.1); }, "debandAmount", 0.1},
        {"grain", [](PlayerSession& s) { s.setGrainEnabled(true); }, "grainEnabled", true},
        {"grain amount", [](PlayerSession& s) { s.setGrainAmount(0.2); }, "grainAmount", 0.2},
        {"brightness", [](PlayerSession& s) { s.setBrightness(-0.5); }, "brightness", -0.5},
        {"gamma", [](PlayerSession& s) { s.setGamma(2.2); }, "gamma", 2.2},
        {"cleanup", [](PlayerSession& s) { s.setEnhancementCleanupEnabled(false); },
         "enhancementCleanupEnabled", false},
        {"cleanup amount", [](PlayerSession& s) { s.setEnhancementCleanupAmount(0.5); },
         "enhancementCleanupAmount", 0.5},
        {"effects", [](PlayerSession& s) { s.setFxEnabled(false); }, "fxEnabled", false},
        {"effects comparison", [](PlayerSession& s) { s.setFxComparison(true); }, "fxComparison", true},
        {"effects split", [](PlayerSession& s) { s.setFxSplit(0.7); }, "fxSplit", 0.7},
        {"difference preview", [](PlayerSession& s) { s.setFxDifferencePreview(true); },
         "fxDifferencePreview", true},
        {"order", [](PlayerSession& s) { s.setFxPipelineOrder(FXPipelineOrder::beforeUpscale); },
         "fxPipelineOrder", "beforeUpscale"},
        {"mute", [](PlayerSession& s) { s.setIsMuted(true); }, "isMuted", true},
        {"volume", [](PlayerSession& s) { s.setVolume(-0.4); }, "volume", 0.0},
        {"rate", [](PlayerSession& s) { s.setPlaybackRate(1.5004); }, "playbackRate", 1.5},
    };
    for (const Row& row : rows) {
        SessionHarness harness;
        const auto session = harness.make();
        int writes = 0;
        const Connection counting = harness.store.observe(PlayerSession::preferencesKey, [&] { ++writes; });
        row.change(*session);
        EXPECT_EQ(writes, 1) << row.what;
        const DefaultsValue::Dictionary stored = storedPreferences(harness.store);
        EXPECT_EQ(stored.size(), 22u) << row.what;
        ASSERT_TRUE(stored.count(row.key)) << row.what;
        EXPECT_EQ(stored.at(row.key), row.written) << row.what;
    }
}

TEST(SessionPreferences, TheDictionaryRestoresWhatItSaved) {
    SessionHarness harness;
    {
        const auto session = harness.make();
        session->setMode(ViewMode::enhanced);
        session->setSplit(0.2);
        session->setGamma(0.5);
        session->setFxSplit(0.8);
        session->setPlaybackRate(0.75);
        session->setVolume(0.25);
        session->setFxComparison(true);
    }
    const auto restored = harness.make();
    EXPECT_EQ(restored->mode(), ViewMode::enhanced);
    EXPECT_EQ(restored->split(), 0.2);
    EXPECT_EQ(restored->gamma(), 0.5);
    EXPECT_EQ(restored->fxSplit(), 0.8);
    EXPECT_EQ(restored->playbackRate(), 0.75);
    EXPECT_EQ(restored->volume(), 0.25);
    EXPECT_FALSE(restored->fxComparison());
}

TEST(SessionPreferences, NonFiniteAndUnofferedValuesAreNeitherTakenNorWritten) {
    const std::function<void(PlayerSession&)> changes[] = {
        [](PlayerSession& s) { s.setSplit(nan); },
        [](PlayerSession& s) { s.setFxSplit(infinity); },
        [](PlayerSession& s) { s.setVolume(nan); },
        [](PlayerSession& s) { s.setPlaybackRate(infinity); },
        [](PlayerSession& s) { s.setPlaybackRate(1.3); },
        [](PlayerSession& s) { s.setPlaybackRate(1.0005); }, // the current rate
        [](PlayerSession& s) { s.setSharpenAmount(nan); },
        [](PlayerSession& s) { s.setBrightness(-infinity); },
        [](PlayerSession& s) { s.setGamma(nan); },
        [](PlayerSession& s) { s.setEnhancementCleanupAmount(nan); },
        [](PlayerSession& s) { s.setVideoAspectRatio(nan); },
        [](PlayerSession& s) { s.setVideoAspectRatio(0); },
        [](PlayerSession& s) { s.setPosition(nan); },
    };
    for (std::size_t i = 0; i < std::size(changes); ++i) {
        SessionHarness harness;
        const auto session = harness.make();
        int writes = 0;
        const Connection counting = harness.store.observeAll([&](const std::string&) { ++writes; });
        changes[i](*session);
        EXPECT_EQ(writes, 0) << "change " << i;
        EXPECT_EQ(session->split(), 0.5);
        EXPECT_EQ(session->fxSplit(), 0.5);
        EXPECT_EQ(session->volume(), 1.0);
        EXPECT_EQ(session->playbackRate(), 1.0);
        EXPECT_EQ(session->sharpenAmount(), 0.3);
        EXPECT_EQ(session->brightness(), 0);
        EXPECT_EQ(session->gamma(), 1.0);
        EXPECT_EQ(session->enhancementCleanupAmount(), 0.75);
        EXPECT_EQ(session->videoAspectRatio(), 16.0 / 9.0);
        EXPECT_EQ(session->position(), 0);
    }
}

TEST(SessionPreferences, RaisingTheVolumeUnmutes) {
    SessionHarness harness;
    const auto session = harness.make();
    session->setIsMuted(true);
    session->setVolume(0);
    EXPECT_TRUE(session->isMuted());
    session->setVolume(0.5);
    EXPECT_FALSE(session->isMuted());
    EXPECT_EQ(storedPreferences(harness.store).at("isMuted"), DefaultsValue(false));
}

TEST(SessionPreferences, EffectsBeforeUpscalingReenhanceAndEndTheComparison) {
    SessionHarness harness;
    const auto session = harness.make();
    session->setFxComparison(true);
    session->setFxDifferencePreview(true);

    // After upscaling the surface draws the effects: an amount change only saves.
    const std::uint64_t before = session->generation();
    session->setSharpenAmount(0.8);
    EXPECT_EQ(session->generation(), before);

    session->setFxPipelineOrder(FXPipelineOrder::beforeUpscale);
    EXPECT_FALSE(session->fxComparison());
    EXPECT_FALSE(session->fxDifferencePreview());
    EXPECT_GT(session->generation(), before);
    EXPECT_EQ(storedPreferences(harness.store).at("fxComparison"), DefaultsValue(false));

    const std::uint64_t reordered = session->generation();
    session->setFxPipelineOrder(FXPipelineOrder::beforeUpscale); // unchanged: nothing
    EXPECT_EQ(session->generation(), reordered);
    session->setSharpenAmount(0.4); // the model input changes
    EXPECT_GT(session->generation(), reordered);
}

TEST(SessionPreferences, EffectsAndCleanupCoverOnlyTheEnhancedPicture) {
    struct Row {
        const char* what;
        std::function<void(PlayerSession&)> set;
        float effectStart, effectEnd, cleanupStart, cleanupEnd;
        bool differencePreview;
    };
    const Row rows[] = {
        {"compare at 0.3", [](PlayerSession& s) { s.setSplit(0.3); }, 0.3f, 1, 0.3f, 1, false},
        {"original", [](PlayerSession& s) { s.setMode(ViewMode::original); }, 0, 0, 0, 0, false},
        {"enhanced", [](PlayerSession& s) { s.setMode(ViewMode::enhanced); }, 0, 1, 0, 1, false},
        {"effects comparison",
         [](PlayerSession& s) {
             s.setMode(ViewMode::enhanced);
             s.setFxComparison(true);
             s.setFxSplit(0.6);
             s.setFxDifferencePreview(true);
         },
         0.6f, 1, 0, 1, true},
        {"difference preview needs the comparison",
         [](PlayerSession& s) {
             s.setMode(ViewMode::enhanced);
             s.setFxDifferencePreview(true);
         },
         0, 1, 0, 1, false},
        {"effects before upscaling",
         [](PlayerSession& s) { s.setFxPipelineOrder(FXPipelineOrder::beforeUpscale); }, 0, 0, 0.5f, 1,
         false},
        {"effects off", [](PlayerSession& s) { s.setFxEnabled(false); }, 0, 0, 0, 0, false},
        {"cleanup off", [](PlayerSession& s) { s.setEnhancementCleanupEnabled(false); }, 0.5f, 1, 0, 0,
         false},
        {"source on screen", [](PlayerSession& s) { s.setShowingEnhancement(false); }, 0, 0, 0, 0, false},
    };
    for (const Row& row : rows) {
        SessionHarness harness;
        const auto session = harness.make();
        row.set(*session);
        // With no picture the frame pipeline clears the flag on every redraw, so it is set last.
        if (std::string_view(row.what) != "source on screen") session->setShowingEnhancement(true);
        const PostProcessConfiguration configuration = session->postProcessConfiguration();
        EXPECT_EQ(configuration.effectStart, row.effectStart) << row.what;
        EXPECT_EQ(configuration.effectEnd, row.effectEnd) << row.what;
        EXPECT_EQ(configuration.cleanupStart, row.cleanupStart) << row.what;
        EXPECT_EQ(configuration.cleanupEnd, row.cleanupEnd) << row.what;
        EXPECT_EQ(configuration.settings.differencePreview, row.differencePreview) << row.what;
        EXPECT_EQ(configuration.cleanupStrength, 0.75f) << row.what;
    }
}

} // namespace
} // namespace lumavane
