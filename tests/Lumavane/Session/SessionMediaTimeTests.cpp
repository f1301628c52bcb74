// The position the session publishes on the real back-ends, played to the end.
#include "SessionTestSupport.hpp"

#include "Platform/Foundation/HostClock.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace lumavane::test {
namespace {

// A transport stream on the platform back-end: GStreamer counts its times from the first clock
// reference, 0.7 s before the first frame, so its position runs on past the length it states. The
// elapsed time shown never passes the total.
TEST(SessionMediaTimeTests, ThePositionNeverPassesTheDurationToTheEnd) {
    SessionHarness harness;
    PlayerSession session(harness.options());
    session.setPlaybackRate(2.0);
    session.loadVideo(std::filesystem::path(LUMAVANE_TEST_MEDIA_DIR) / "offset.ts");
    double most = 0;
    bool started = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline && !(started && !session.playing())) {
        harness.loop.runUntilIdle();
        session.tick(hostTimeSeconds());
        started = started || session.playing();
        most = std::max(most, session.position());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(session.platformItem() != nullptr) << session.message().value_or("");
    ASSERT_TRUE(started && !session.playing()) << "played to the end";
    for (int i = 0; i < 40; ++i) {
        harness.loop.runUntilIdle();
        session.tick(hostTimeSeconds() + i);
        most = std::max(most, session.position());
    }
    EXPECT_GT(session.duration(), 3.0);
    EXPECT_GT(most, session.duration() - 0.5);
    EXPECT_LE(most, session.duration());
}

// A cue from 0.5 to 3.5 s over key frames a second apart, on the direct back-end: a seek into it,
// paused or playing, shows its line.
TEST(SessionMediaTimeTests, ASeekIntoDialogueShowsTheLineActiveAtTheTarget) {
    SessionHarness harness;
    PlayerSession session(harness.options());
    session.loadVideo(std::filesystem::path(LUMAVANE_TEST_MEDIA_DIR) / "long_cue.mkv");
    const auto runUntil = [&](const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            harness.loop.runUntilIdle();
            session.tick(hostTimeSeconds());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    };
    ASSERT_TRUE(runUntil([&] { return session.latest().has_value(); })) << session.message().value_or("");
    ASSERT_TRUE(session.directEngine() != nullptr);
    session.togglePlayback(); // paused
    for (double target : {2.0, 3.0}) {
        SCOPED_TRACE(target);
        session.seek(target);
        ASSERT_TRUE(runUntil([&] { return !session.seeking(); }));
        EXPECT_TRUE(runUntil([&] { return session.subtitleText() == "A long line"; }))
            << session.subtitleText();
    }
    session.togglePlayback(); // playing
    session.seek(2.5);
    EXPECT_TRUE(runUntil([&] { return !session.seeking() && session.subtitleText() == "A long line"; }));
    session.stopPlayback();
}

} // namespace
} // namespace lumavane::test
