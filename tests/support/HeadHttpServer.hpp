// A one-connection HTTP server on the loopback for network fault tests: it announces a
// Content-Length, sends only `head`, then stalls with the connection open or cuts it.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace lumavane::test {

class HeadHttpServer {
public:
    enum class After { stall, cut };

    // A stall gives up after giveUpAfter, so that a read nobody interrupts fails its test
    // instead of hanging it.
    HeadHttpServer(std::string head, std::uint64_t contentLength, After after,
                   std::chrono::seconds giveUpAfter = std::chrono::seconds(10))
        : head_(std::move(head)), contentLength_(contentLength), after_(after), giveUpAfter_(giveUpAfter) {
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
    ~HeadHttpServer() {
        stop_ = true;
        shutdown(listener_, SHUT_RDWR);
        close(listener_);
        thread_.join();
    }
    HeadHttpServer(const HeadHttpServer&) = delete;
    HeadHttpServer& operator=(const HeadHttpServer&) = delete;

    std::string url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
    }

private:
    void serve() {
        const int client = accept(listener_, nullptr, nullptr);
        if (client < 0) return;
        char request[4096];
        (void)recv(client, request, sizeof request, 0);
        const std::string header = "HTTP/1.1 200 OK\r\nContent-Type: video/x-matroska\r\nContent-Length: " +
                                   std::to_string(contentLength_) + "\r\n\r\n";
        (void)send(client, header.data(), header.size(), MSG_NOSIGNAL);
        (void)send(client, head_.data(), head_.size(), MSG_NOSIGNAL);
        if (after_ == After::stall) {
            const auto deadline = std::chrono::steady_clock::now() + giveUpAfter_;
            while (!stop_ && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        close(client);
    }

    std::string head_;
    std::uint64_t contentLength_;
    After after_;
    std::chrono::seconds giveUpAfter_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace lumavane::test
