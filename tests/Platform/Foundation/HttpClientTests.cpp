#include "Platform/Foundation/HttpClient.hpp"

#include "support/LoopbackTls.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace lumavane {
namespace {

using test::LoopbackHttpServer;
using test::LoopbackReply;
using namespace std::chrono_literals;

class HttpClientTest : public ::testing::Test {
protected:
    std::string url(const LoopbackHttpServer& server, const std::string& path = "/x") const {
        return "https://localhost:" + std::to_string(server.port()) + path;
    }
    HttpTransportError::Code failureOf(HttpClient& client, const HttpRequest& request) {
        try {
            client.send(request);
        } catch (const HttpTransportError& error) {
            return error.transportCode();
        }
        ADD_FAILURE() << "the request succeeded";
        return HttpTransportError::failed;
    }

    test::TemporaryDirectory folder;
    test::SelfSignedCertificate certificate{folder.path()};
    CurlHttpClient client{{certificate.pemPath()}};
};

TEST_F(HttpClientTest, SendsOnlyTheGivenFieldsAndReturnsTheResponse) {
    LoopbackHttpServer server(
        [](const std::string&) {
            return LoopbackHttpServer::reply(201, "application/json", "{\"a\":\"b/c\"}");
        },
        certificate.wrap());
    HttpRequest request;
    request.method = "POST";
    request.url = url(server, "/api?q=1");
    request.headers = {{"Content-Type", "application/json"}, {"X-One", "1"}};
    request.body = std::string(2000, 'x'); // large enough that libcurl would otherwise ask to continue

    const HttpResponse response = client.send(request);
    EXPECT_EQ(response.status, 201);
    EXPECT_EQ(response.header("content-type"), "application/json");
    EXPECT_EQ(response.body, "{\"a\":\"b/c\"}");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0],
              "POST /api?q=1 HTTP/1.1\r\nHost: localhost:" + std::to_string(server.port()) +
                  "\r\nContent-Type: application/json\r\nX-One: 1\r\nContent-Length: 2000\r\n\r\n" +
                  request.body);
}

TEST_F(HttpClientTest, FailuresAreTransportErrors) {
    const std::string big(2048, 'x');
    struct Case {
        const char* name;
        LoopbackReply reply;
        std::size_t maxBytes;
        HttpTransportError::Code expected;
    };
    const Case cases[] = {
        {"declared length over the cap", LoopbackHttpServer::reply(200, "application/json", big), 1024,
         HttpTransportError::responseTooLarge},
        {"undeclared length over the cap",
         {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n" + big},
         1024,
         HttpTransportError::responseTooLarge},
        {"no answer in time", {"", 3000ms}, 1024, HttpTransportError::timedOut},
        {"headers then silence",
         {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", 3000ms},
         1024,
         HttpTransportError::timedOut},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server([&](const std::string&) { return c.reply; }, certificate.wrap());
        HttpRequest request;
        request.url = url(server);
        request.timeoutSeconds = 0.3;
        request.maxResponseBytes = c.maxBytes;
        EXPECT_EQ(failureOf(client, request), c.expected);
    }
}

TEST_F(HttpClientTest, AnUntrustedCertificateOrAClosedPortFailsToConnect) {
    LoopbackHttpServer server(
        [](const std::string&) { return LoopbackHttpServer::reply(200, "text/plain", "x"); },
        certificate.wrap());
    CurlHttpClient systemTrust;
    HttpRequest request;
    request.url = url(server);
    EXPECT_EQ(failureOf(systemTrust, request), HttpTransportError::secureConnectionFailed);
    EXPECT_TRUE(server.requests().empty());

    int closedPort = 0;
    {
        LoopbackHttpServer gone([](const std::string&) { return LoopbackReply{}; }, {}, 0);
        closedPort = gone.port();
    }
    request.url = "https://127.0.0.1:" + std::to_string(closedPort) + "/";
    EXPECT_EQ(failureOf(client, request), HttpTransportError::cannotConnect);
    request.url = "ftp://127.0.0.1/";
    EXPECT_EQ(failureOf(client, request), HttpTransportError::unsupportedURL);
}

TEST_F(HttpClientTest, CancellationStopsAWaitingRequestPromptly) {
    LoopbackHttpServer server(
        [](const std::string&) {
            return LoopbackReply{"", 5000ms};
        },
        certificate.wrap());
    HttpRequest request;
    request.url = url(server);
    CancellationToken token;
    std::thread canceller([token] {
        std::this_thread::sleep_for(200ms);
        token.cancel();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(client.send(request, token), CancellationError);
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s); // well before the server would answer

    const std::size_t seen = server.requests().size();
    EXPECT_THROW(client.send(request, token), CancellationError); // already cancelled: nothing is sent
    EXPECT_EQ(server.requests().size(), seen);
}

} // namespace
} // namespace lumavane
