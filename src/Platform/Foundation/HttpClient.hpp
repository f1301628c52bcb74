#pragma once

#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Foundation/PlatformError.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumavane {

// One HTTP exchange. Header fields are sent in the order given, and no others besides the
// Host and Content-Length lines the transport needs.
struct HttpRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    double timeoutSeconds = 60; // for the whole exchange
    // A longer response body fails the exchange with HttpTransportError::responseTooLarge.
    std::size_t maxResponseBytes = std::size_t(1) << 20;
};

struct HttpResponse {
    long status = 0;
    // Header fields with lower-cased names, in arrival order.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The first field of that (lower-case) name.
    std::optional<std::string> header(std::string_view lowerCaseName) const;
};

// A failed exchange: no answer, or none that could be read in full.
class HttpTransportError : public PlatformError {
public:
    enum Code {
        failed = 1,
        timedOut,
        cannotConnect,
        secureConnectionFailed,
        responseTooLarge,
        unsupportedURL,
    };
    HttpTransportError(Code code, std::string detail);
    Code transportCode() const noexcept { return static_cast<Code>(code()); }
    // libcurl's own words, for logs.
    const std::string& detail() const noexcept { return detail_; }

private:
    std::string detail_;
};

// Performs HTTP requests synchronously on the calling thread, so it belongs on a worker queue
// (a SerialQueue) whose caller posts the outcome to the main executor. The session and the
// benchmark clients take this interface so tests can use a loopback server or a fake.
class HttpClient {
public:
    virtual ~HttpClient() = default;
    // Any status is a response; redirects are never followed (a 3xx comes back as it is).
    // Throws HttpTransportError, or CancellationError once the token is cancelled.
    virtual HttpResponse send(const HttpRequest& request, const CancellationToken& cancellation = {}) = 0;
};

// libcurl: http and https only, TLS peer and host verification always on, no redirects, no
// cookies, the system's proxy settings (never for the loopback). Thread-safe: each send uses its own handle.
class CurlHttpClient final : public HttpClient {
public:
    struct Options {
        // Certificates to trust instead of the system's (a test server's own certificate).
        std::optional<std::filesystem::path> certificateAuthorities;
    };
    CurlHttpClient();
    explicit CurlHttpClient(Options options);
    HttpResponse send(const HttpRequest& request, const CancellationToken& cancellation = {}) override;

private:
    Options options_;
};

// An absolute URL taken apart (libcurl's parser): scheme and host as written, the path
// percent-decoded, query and fragment without their marks.
struct ParsedURL {
    std::string scheme;
    std::optional<std::string> host;
    std::string path;
    std::optional<std::string> query;
};
std::optional<ParsedURL> parseURL(const std::string& url);
// The URL with its query replaced by `query` (already encoded, without "?").
std::optional<std::string> replacingQuery(const std::string& url, const std::string& query);
// True when the scheme is "https" in any letter case.
bool isHTTPSScheme(std::string_view scheme);

} // namespace lumavane
