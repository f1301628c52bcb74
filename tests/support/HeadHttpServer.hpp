// HTTP servers on the loopback for network tests.
// LoopbackHttpServer answers each request with what its handler says (and can hold the
// connection open afterwards); LoopbackTls.hpp puts TLS under it. HeadHttpServer is the fault
// server of the media tests: it announces a Content-Length, sends only `head`, then stalls with
// the connection open or cuts it.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumavane::test {

// One accepted connection, plain or wrapped (TLS).
class LoopbackConnection {
public:
    virtual ~LoopbackConnection() = default;
    // Bytes read, 0 at the end, negative on failure.
    virtual long read(char* buffer, std::size_t size) = 0;
    virtual void write(const std::string& bytes) = 0;
};

class PlainConnection final : public LoopbackConnection {
public:
    explicit PlainConnection(int fd) : fd_(fd) {}
    ~PlainConnection() override { close(fd_); }
    long read(char* buffer, std::size_t size) override { return recv(fd_, buffer, size, 0); }
    void write(const std::string& bytes) override {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
    }

private:
    int fd_;
};

struct LoopbackReply {
    std::string bytes; // the whole response, status line included
    std::chrono::milliseconds holdOpen{
        0}; // then keep the connection open this long (or until the server stops)
};

// Serves connections one after another on 127.0.0.1, one request each. Every request (head
// and body, exactly as received) is recorded.
class LoopbackHttpServer {
public:
    using Handler = std::function<LoopbackReply(const std::string& request)>;
    // Takes an accepted socket; null when the connection could not be set up (a refused handshake).
    using Wrap = std::function<std::unique_ptr<LoopbackConnection>(int fd)>;

    explicit LoopbackHttpServer(Handler handler, Wrap wrap = {}, int maxConnections = INT_MAX)
        : handler_(std::move(handler)), wrap_(std::move(wrap)), maxConnections_(maxConnections) {
        if (!wrap_) wrap_ = [](int fd) { return std::make_unique<PlainConnection>(fd); };
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listener_, 8);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackHttpServer() {
        stop_ = true;
        shutdown(listener_, SHUT_RDWR);
        close(listener_);
        thread_.join();
    }
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    int port() const { return port_; }
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

    // A plain response with the given status, content type and body.
    static LoopbackReply reply(int status, const std::string& contentType, const std::string& body,
                               const std::string& extraHeaders = "") {
        return {"HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: " + contentType +
                "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders +
                "Connection: close\r\n\r\n" + body};
    }

private:
    void serve() {
        for (int served = 0; served < maxConnections_ && !stop_; ++served) {
            const int client = accept(listener_, nullptr, nullptr);
            if (client < 0) return;
            // A client that never finishes its request must not hang the server.
            timeval timeout{5, 0};
            setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            const std::unique_ptr<LoopbackConnection> connection = wrap_(client);
            if (!connection) continue;
            const std::string request = readRequest(*connection);
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            const LoopbackReply reply = handler_(request);
            connection->write(reply.bytes);
            const auto deadline = std::chrono::steady_clock::now() + reply.holdOpen;
            while (!stop_ && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    static std::string readRequest(LoopbackConnection& connection) {
        std::string request;
        char buffer[4096];
        std::size_t headEnd = std::string::npos;
        std::size_t wanted = SIZE_MAX;
        while (request.size() < wanted) {
            const long n = connection.read(buffer, sizeof buffer);
            if (n <= 0) break;
            request.append(buffer, static_cast<std::size_t>(n));
            if (headEnd == std::string::npos && (headEnd = request.find("\r\n\r\n")) != std::string::npos)
                wanted = headEnd + 4 + contentLength(request.substr(0, headEnd));
        }
        return request;
    }

    static std::size_t contentLength(std::string head) {
        std::transform(head.begin(), head.end(), head.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        const std::size_t at = head.find("\r\ncontent-length:");
        return at == std::string::npos ? 0 : std::stoul(head.substr(at + 17));
    }

    Handler handler_;
    Wrap wrap_;
    int maxConnections_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

class HeadHttpServer {
public:
    enum class After { stall, cut };

    // A stall gives up after giveUpAfter, so that a read nobody interrupts fails its test
    // instead of hanging it.
    HeadHttpServer(std::string head, std::uint64_t contentLength, After after,
                   std::chrono::seconds giveUpAfter = std::chrono::seconds(10))
        : server_(
              [head = std::move(head), contentLength, after, giveUpAfter](const std::string&) {
                  return LoopbackReply{
                      "HTTP/1.1 200 OK\r\nContent-Type: video/x-matroska\r\nContent-Length: " +
                          std::to_string(contentLength) + "\r\n\r\n" + head,
                      after == After::stall ? giveUpAfter : std::chrono::milliseconds(0)};
              },
              {}, 1) {}

    std::string url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(server_.port()) + "/" + name;
    }

private:
    LoopbackHttpServer server_;
};

} // namespace lumavane::test
