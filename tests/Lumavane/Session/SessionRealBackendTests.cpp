#include "SessionTestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace lumavane::test {
namespace {

std::filesystem::path media(const char* name) { return std::filesystem::path(LUMAVANE_TEST_MEDIA_DIR) / name; }

// Both real back-ends behind the session: GStreamer for MP4, the direct engine for Matroska.
TEST(SessionRealBackendTests, GeneratedClipsOpenOnTheirBackEnds) {
    SessionHarness harness;
    PlayerSession session(harness.options());
    const auto waitFor = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 2000 && !done(); ++i) {
            harness.loop.runUntilIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    };

    session.loadVideo(media("h264_aac.mp4"));
    ASSERT_TRUE(waitFor([&] { return session.hasVideo() || session.message(); }));
    EXPECT_TRUE(session.platformItem() != nullptr);
    EXPECT_FALSE(session.directEngine());
    EXPECT_NEAR(session.duration(), 3.0, 0.1);
    EXPECT_EQ(session.sourceFPS(), 25);

    // Two audio tracks in Matroska: the direct back-end, with both tracks listed.
    session.loadVideo(media("tracks.mkv"));
    ASSERT_TRUE(waitFor([&] { return session.hasVideo() || session.message(); }));
    EXPECT_TRUE(session.directEngine() != nullptr);
    EXPECT_FALSE(session.platformItem());
    ASSERT_EQ(session.audioTracks().size(), 2u);
    EXPECT_EQ(session.audioTracks()[1].language, "jpn");
    EXPECT_EQ(session.resolution(), "320 × 180");

    // Files neither back-end can read (no bytes, text named .mp4): the player's message naming
    // the file, never the decoder's "open media: Invalid data found when processing input".
    for (const char* name : {"not_media.mp4", "empty.mp4"}) {
        session.loadVideo(media(name));
        ASSERT_TRUE(waitFor([&] { return session.message().has_value(); })) << name;
        EXPECT_EQ(session.message(), "<動画を再生できません。>\n" + std::string(name));
        EXPECT_FALSE(session.hasVideo());
    }
    session.stopPlayback();
}

} // namespace
} // namespace lumavane::test
