// Network sources through the engine: a read stuck on a stalled server, and a connection cut short.
#include "DirectPlayback/PlaybackTestSupport.hpp"

#include <atomic>
#include <chrono>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace lumavane;
using namespace lumavane::test;

namespace {

// Serves the head of a file over HTTP, announcing the whole length, then either keeps the connection
// open without sending more (stall) or closes it (cut).
class HeadServer {
public:
    enum class After { stall, cut };

    HeadServer(const std::string& file, double headFraction, After after) : after_(after) {
        std::ifstream in(file, std::ios::binary);
        body_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        head_ = static_cast<std::size_t>(static_cast<double>(body_.size()) * headFraction);
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listener_, 4);
        thread_ = std::thread([this] { serve(); });
    }
    ~HeadServer() {
        stop_ = true;
        shutdown(listener_, SHUT_RDWR);
        close(listener_);
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/clip.mkv"; }

private:
    void serve() {
        const int client = accept(listener_, nullptr, nullptr);
        if (client < 0) return;
        char request[4096];
        (void)recv(client, request, sizeof request, 0);
        const std::string header = "HTTP/1.1 200 OK\r\nContent-Type: video/x-matroska\r\nContent-Length: " +
                                   std::to_string(body_.size()) + "\r\n\r\n";
        (void)send(client, header.data(), header.size(), MSG_NOSIGNAL);
        (void)send(client, body_.data(), head_, MSG_NOSIGNAL);
        if (after_ == After::stall) {
            // Give up after a while, so a stop that waits for the read fails the test instead of hanging it.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!stop_ && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        close(client);
    }

    After after_;
    std::vector<char> body_;
    std::size_t head_ = 0;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace

TEST(DirectPlaybackNetwork, StopEndsAReadStuckOnAStalledServer) {
    HeadServer server(mediaPath("tracks.mkv"), 0.5, HeadServer::After::stall);
    std::weak_ptr<DirectPlaybackEngine> weak;
    const auto start = std::chrono::steady_clock::now();
    {
        EngineHarness h(server.url());
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
    HeadServer server(mediaPath("tracks.mkv"), 0.5, HeadServer::After::cut);
    EngineHarness h(server.url());
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
    HeadServer server(mediaPath("tracks.mkv"), 0.5, HeadServer::After::cut);
    EngineHarness h(server.url());
    h.engine->seek(2.5, true);
    ASSERT_TRUE(h.runUntil([&] { return !h.errors.empty(); }));
    h.runFor(0.5);
    EXPECT_EQ(h.errors, std::vector<std::string>{"read packet: Input/output error"});
    EXPECT_EQ(h.engine->currentTime(), 2.5);
}
