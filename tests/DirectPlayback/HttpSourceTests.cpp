// Network sources through the engine: a read stuck on a stalled server, and a connection cut short.
#include "DirectPlayback/PlaybackTestSupport.hpp"

#include "support/HeadHttpServer.hpp"

#include <chrono>

using namespace lumavane;
using namespace lumavane::test;

namespace {

// The head of a file served over HTTP with the whole length announced.
HeadHttpServer headOf(const std::string& file, double headFraction, HeadHttpServer::After after) {
    std::ifstream in(file, std::ios::binary);
    const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto head = static_cast<std::size_t>(static_cast<double>(body.size()) * headFraction);
    return HeadHttpServer(body.substr(0, head), body.size(), after);
}

} // namespace

TEST(DirectPlaybackNetwork, StopEndsAReadStuckOnAStalledServer) {
    const HeadHttpServer server = headOf(mediaPath("tracks.mkv"), 0.5, HeadHttpServer::After::stall);
    std::weak_ptr<DirectPlaybackEngine> weak;
    const auto start = std::chrono::steady_clock::now();
    {
        EngineHarness h(server.url("clip.mkv"));
        weak = h.engine;
        h.engine->play();
        ASSERT_TRUE(h.playUntil(0.3));
        h.engine->stop();
    }
    // The read gives up at once: the engine is gone long before the server would close.
    for (int i = 0; i < 500 && !weak.expired(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(weak.expired());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
}

TEST(DirectPlaybackNetwork, AReadErrorStopsPlaybackWhereItWasAndIsReportedOnce) {
    const HeadHttpServer server = headOf(mediaPath("tracks.mkv"), 0.5, HeadHttpServer::After::cut);
    EngineHarness h(server.url("clip.mkv"));
    h.engine->play();
    ASSERT_TRUE(h.runUntil([&] { return !h.errors.empty(); }));
    const double position = h.engine->currentTime();
    h.runFor(0.5);
    ASSERT_EQ(h.errors.size(), 1u);
    EXPECT_EQ(h.errors[0], "read packet: Input/output error");
    // Up to where the audio had been decoded before the connection broke.
    ASSERT_FALSE(h.frames.empty());
    EXPECT_GE(position, h.frames.back().pts - 0.05);
    EXPECT_EQ(h.engine->currentTime(), position);
    EXPECT_EQ(h.ended, 0);
}

TEST(DirectPlaybackNetwork, APreviewBeyondABrokenConnectionReportsTheErrorOnce) {
    // Paused with a preview pending, the loop decodes towards a target it cannot reach; after the read
    // error it must wait instead of reading (and reporting) again and again.
    const HeadHttpServer server = headOf(mediaPath("tracks.mkv"), 0.5, HeadHttpServer::After::cut);
    EngineHarness h(server.url("clip.mkv"));
    h.engine->seek(2.5, true);
    ASSERT_TRUE(h.runUntil([&] { return !h.errors.empty(); }));
    h.runFor(0.5);
    EXPECT_EQ(h.errors, std::vector<std::string>{"read packet: Input/output error"});
    EXPECT_EQ(h.engine->currentTime(), 2.5);
}
