#pragma once

#include "Lumavane/Benchmarks/BenchmarkSubmission.hpp"
#include "Platform/Foundation/HttpClient.hpp"

#include <cstddef>
#include <optional>
#include <string>

namespace lumavane {

// The path every benchmark endpoint must have.
inline constexpr const char* benchmarkResultsPath = "/api/v1/lumavane/benchmark-results";

// Where results are posted: LUMAVANE_BENCHMARK_API_URL when set and a URL, else the application's
// "LumavaneBenchmarkAPIURL". Absent when neither is (the shipped value is empty: no service).
std::optional<std::string> benchmarkPostingEndpoint();
// Where comparisons are fetched: "LumavaneBenchmarkAPIURL" alone.
std::optional<std::string> benchmarkComparisonEndpoint();
// The endpoint rule both clients share: an https URL (scheme in any letter case) with a host and
// exactly the results path. Returns the host as parsed; throws invalidEndpoint.
std::string validatedBenchmarkEndpointHost(const std::string& endpoint);

// The service's receipt for a posted result.
struct BenchmarkPostResponse {
    std::string id;
    bool duplicate = false;
    std::string receivedAt;
    std::string resultURL;
    bool operator==(const BenchmarkPostResponse&) const = default;
};

// A server's own error message is shown to the user: it is cut to this many characters.
inline constexpr std::size_t maxServerMessageLength = 300;

// Posts one submission. The exchange is synchronous: run post() on a worker queue.
class BenchmarkPostingClient {
public:
    // Throws BenchmarkSubmissionError::invalidEndpoint. http must outlive the client.
    BenchmarkPostingClient(std::string endpoint, HttpClient& http);

    const std::string& endpoint() const noexcept { return endpoint_; }
    const std::string& permittedResultHost() const noexcept { return permittedResultHost_; }

    // POSTs the compact document with the submission id as idempotency key, 30 s timeout. Throws
    // BenchmarkSubmissionError (server, invalidResultURL), JSONDecodingError for an unreadable
    // receipt, HttpTransportError, JSONEncodingError, or CancellationError.
    BenchmarkPostResponse post(const BenchmarkSubmission& submission, const std::string& language,
                               const CancellationToken& cancellation = {}) const;

private:
    std::string endpoint_;
    std::string permittedResultHost_;
    HttpClient* http_;
};

} // namespace lumavane
