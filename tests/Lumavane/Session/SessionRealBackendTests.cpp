#include "SessionTestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>

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

// Raw H.264 and HEVC streams carry no index and no times: GStreamer guesses their length (an 8 s
// stream read 6 s, and its last second and a half could not be reached). The platform back-end
// refuses them, whatever their name, and the direct one plays them with the length it counts.
TEST(SessionRealBackendTests, RawVideoStreamsPlayDirectlyWithTheirTrueLength) {
    const TemporaryDirectory directory;
    SessionHarness harness;
    PlayerSession session(harness.options());
    for (const auto& [encoder, format, name] : {std::tuple{"libx264", "h264", "eight_seconds.h264"},
                                                std::tuple{"libx265", "hevc", "eight_seconds.265"}}) {
        SCOPED_TRACE(name);
        const std::filesystem::path path = directory.path() / name;
        const std::string command =
            std::string("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
                        "testsrc2=s=160x96:r=25:d=8 -pix_fmt yuv420p -preset veryfast "
                        "-x265-params log-level=error -c:v ") +
            encoder + " -f " + format + " '" + path.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        session.loadVideo(path);
        for (int i = 0; i < 2000 && !session.hasVideo() && !session.message(); ++i) {
            harness.loop.runUntilIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_TRUE(session.hasVideo()) << session.message().value_or("");
        EXPECT_TRUE(session.directEngine() != nullptr);
        EXPECT_FALSE(session.platformItem());
        EXPECT_NEAR(session.duration(), 8.0, 0.04);
    }
    session.stopPlayback();
}

} // namespace
} // namespace lumavane::test
