#include "SessionTestSupport.hpp"

#include "Platform/System/DisplaySleepInhibitor.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace lumavane {
namespace {

using test::SessionHarness;

class FakeInhibitor final : public DisplaySleepInhibiting {
public:
    std::vector<std::string> calls;
    int refusals = 0;
    std::optional<std::uint32_t> inhibit(const std::string& reason) override {
        calls.push_back("inhibit " + reason);
        if (refusals > 0) {
            --refusals;
            return std::nullopt;
        }
        return 7;
    }
    void uninhibit(std::uint32_t cookie) override { calls.push_back("uninhibit " + std::to_string(cookie)); }
};

TEST(PlaybackSleepAssertion, HoldsOneRequestWhileActive) {
    struct Row {
        std::vector<bool> sequence;
        int refusals;
        std::vector<std::string> calls;
        bool preventing;
    };
    const std::string inhibit = "inhibit Lumavaneで動画を再生中";
    const Row rows[] = {
        {{true, true}, 0, {inhibit}, true},
        {{false}, 0, {}, false},
        {{true, false, false}, 0, {inhibit, "uninhibit 7"}, false},
        {{true, true}, 1, {inhibit, inhibit}, true}, // a refusal is tried again
        {{true, false}, 1, {inhibit}, false},
    };
    for (const Row& row : rows) {
        const auto inhibitor = std::make_shared<FakeInhibitor>();
        inhibitor->refusals = row.refusals;
        PlaybackSleepAssertion assertion(inhibitor);
        for (const bool active : row.sequence) assertion.setPlaybackActive(active);
        EXPECT_EQ(assertion.isPreventingIdleSleep(), row.preventing); // waits for the calls
        EXPECT_EQ(assertion.assertionID(), row.preventing ? 7u : 0u);
        EXPECT_EQ(inhibitor->calls, row.calls);
    }
}

TEST(PlaybackSleepAssertion, DestructionReleasesAHeldRequest) {
    const auto inhibitor = std::make_shared<FakeInhibitor>();
    {
        PlaybackSleepAssertion assertion(inhibitor);
        assertion.setPlaybackActive(true);
    }
    EXPECT_EQ(inhibitor->calls.back(), "uninhibit 7");
}

TEST(SessionPlayback, TheDisplayStaysAwakeOnlyWhilePlaying) {
    SessionHarness harness;
    const auto session = harness.make();
    session->setHasVideo(true);
    session->setPlaying(true);
    session->setPlaying(false); // pause
    session->setPlaying(true);
    session->stopPlayback();
    EXPECT_EQ(harness.sleep->calls, (std::vector<bool>{true, false, true, false}));
    EXPECT_FALSE(session->playing());
    EXPECT_FALSE(session->hasVideo());

    // The application's assertion lets go when the session goes.
    const auto inhibitor = std::make_shared<FakeInhibitor>();
    auto options = harness.options();
    options.playbackSleepPrevention = std::make_shared<PlaybackSleepAssertion>(inhibitor);
    auto playing = std::make_unique<PlayerSession>(std::move(options));
    playing->setPlaying(true);
    playing.reset();
    EXPECT_EQ(inhibitor->calls.back(), "uninhibit 7");
}

TEST(SessionPlayback, StopClosesTheVideoAndOnlyWhenOneIsOpen) {
    SessionHarness harness;
    const auto session = harness.make();
    session->stopPlayback();
    EXPECT_EQ(session->videoGeneration(), 0u);

    session->setHasVideo(true);
    session->setDuration(90);
    session->setPosition(42);
    session->stopPlayback();
    EXPECT_EQ(session->videoGeneration(), 1u);
    EXPECT_EQ(session->duration(), 0);
    EXPECT_EQ(session->position(), 0);
    EXPECT_EQ(session->positionReadout.value(), 0);
    EXPECT_EQ(session->filename(), "<動画を開いて始める>"); // looked up in the interface language
    EXPECT_EQ(session->resolution(), "—");
}

TEST(SessionReadouts, WhilePlayingTheTickerPublishesAtMostEveryTenthOfASecond) {
    SessionHarness harness;
    const auto session = harness.make();
    std::vector<double> published;
    const Connection listening =
        session->positionReadout.observe([&](const double& value) { published.push_back(value); });
    int statistics = 0;
    const Connection counting =
        session->statisticsReadout.observe([&](const PlaybackStatistics&) { ++statistics; });

    session->setPlaying(true);
    // A virtual 60 Hz display: a new position every frame for one second.
    for (int frame = 1; frame <= 60; ++frame) {
        session->setPosition(frame / 60.0);
        harness.loop.advance(1.0 / 60.0);
    }
    EXPECT_GE(published.size(), 9u);
    EXPECT_LE(published.size(), 10u);
    EXPECT_EQ(statistics, 0); // nothing changed, nothing announced

    // Paused: published at once, then no ticker; a seek reaches the readout at once.
    session->setPlaying(false);
    EXPECT_EQ(session->positionReadout.value(), 1.0);
    const std::size_t count = published.size();
    harness.loop.advance(1.0);
    EXPECT_EQ(published.size(), count);
    session->setPosition(5);
    EXPECT_EQ(session->positionReadout.value(), 5);
}

TEST(SessionReadouts, TheQuietTraceDisplayRunsNoTicker) {
    SessionHarness harness;
    PlaybackTimingTrace::Options quietOptions;
    quietOptions.quietHUD = true;
    PlaybackTimingTrace quiet(std::move(quietOptions));
    const auto session = harness.make(&quiet);
    session->setPlaying(true);
    session->setPosition(3);
    harness.loop.advance(1.0);
    EXPECT_EQ(session->positionReadout.value(), 0);
    session->setPlaying(false);
    EXPECT_EQ(session->positionReadout.value(), 3);
}

TEST(SessionDisplaySize, RoundsAndIgnoresUnusableSizes) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    struct Row {
        PixelSize reported;
        std::optional<PixelSize> stored;
    };
    const Row rows[] = {
        {{1919.5, 1080.4}, PixelSize{1920, 1080}},
        {{1.0, 1.0}, PixelSize{1, 1}},
        {{0, 0}, std::nullopt},
        {{0.9, 500}, std::nullopt},
        {{nan, 500}, std::nullopt},
        {{std::numeric_limits<double>::infinity(), 500}, std::nullopt},
    };
    for (const Row& row : rows) {
        SessionHarness harness;
        const auto session = harness.make();
        session->updateDisplayPixelSize(row.reported);
        EXPECT_EQ(session->reportedDisplaySize(), row.stored);
        harness.loop.advance(1);
        EXPECT_EQ(session->optimalOutputSize(), row.stored);
    }
}

TEST(SessionDisplaySize, OnlyASizeSteadyFor120MillisecondsIsApplied) {
    SessionHarness harness;
    const auto session = harness.make();
    session->updateDisplayPixelSize({1000, 500});
    harness.loop.advance(0.05);
    session->updateDisplayPixelSize({1200, 600});
    harness.loop.advance(0.05);
    session->updateDisplayPixelSize({1400, 700});
    harness.loop.advance(0.119);
    EXPECT_EQ(session->optimalOutputSize(), std::nullopt);
    const std::uint64_t generation = session->generation();
    harness.loop.advance(0.002);
    EXPECT_EQ(session->optimalOutputSize(), (PixelSize{1400, 700}));
    EXPECT_EQ(session->generation(), generation + 1); // the frame is enhanced again

    // The same size after rounding starts nothing.
    session->updateDisplayPixelSize({1400.2, 699.6});
    harness.loop.advance(1);
    EXPECT_EQ(session->generation(), generation + 1);
}

TEST(SessionDisplaySize, AFixedScaleOnlyRemembersTheSize) {
    SessionHarness harness;
    harness.store.set(PlayerSession::preferencesKey, DefaultsValue::Dictionary{{"outputScale", "2×"}});
    const auto session = harness.make();
    session->updateDisplayPixelSize({800, 450});
    harness.loop.advance(1);
    EXPECT_EQ(session->reportedDisplaySize(), (PixelSize{800, 450}));
    EXPECT_EQ(session->optimalOutputSize(), std::nullopt);
}

TEST(SessionDisplaySize, ASessionGoneBeforeTheSizeSettlesIsLeftAlone) {
    SessionHarness harness;
    auto session = harness.make();
    session->updateDisplayPixelSize({640, 360});
    session.reset();
    EXPECT_NO_THROW(harness.loop.advance(1));
}

} // namespace
} // namespace lumavane
