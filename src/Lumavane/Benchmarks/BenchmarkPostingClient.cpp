#include "Lumavane/Benchmarks/BenchmarkPostingClient.hpp"

#include "Platform/Foundation/AppInfo.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include <cctype>
#include <cstdlib>

namespace lumavane {

namespace {

std::optional<std::string> urlIfParseable(const std::optional<std::string>& text) {
    if (!text || !parseURL(*text)) return std::nullopt;
    return text;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// The first maxServerMessageLength characters (Unicode scalars, never half of one), then "…".
std::string shownMessage(const std::string& message) {
    std::size_t scalars = 0;
    for (std::size_t i = 0; i < message.size(); ++i) {
        if ((static_cast<unsigned char>(message[i]) & 0xC0) == 0x80) continue;
        if (scalars++ == maxServerMessageLength) return message.substr(0, i) + "…";
    }
    return message;
}

std::optional<std::string> serverMessage(const std::string& body) {
    try {
        const nlohmann::json document = json_decoding::parse(body);
        const json_decoding::Object root(document, "");
        const json_decoding::Object error(root.required("error"), "error");
        return shownMessage(error.string("message"));
    } catch (const JSONDecodingError&) {
        return std::nullopt;
    }
}

} // namespace

std::optional<std::string> benchmarkPostingEndpoint() {
    if (const char* fromEnvironment = std::getenv("LUMAVANE_BENCHMARK_API_URL")) {
        if (auto url = urlIfParseable(std::string(fromEnvironment))) return url;
    }
    return benchmarkComparisonEndpoint();
}

std::optional<std::string> benchmarkComparisonEndpoint() {
    return urlIfParseable(appInfoString("LumavaneBenchmarkAPIURL"));
}

std::string validatedBenchmarkEndpointHost(const std::string& endpoint) {
    const std::optional<ParsedURL> url = parseURL(endpoint);
    if (!url || !isHTTPSScheme(url->scheme) || !url->host || url->path != benchmarkResultsPath)
        throw BenchmarkSubmissionError(BenchmarkSubmissionError::invalidEndpoint);
    return *url->host;
}

BenchmarkPostingClient::BenchmarkPostingClient(std::string endpoint, HttpClient& http)
    : endpoint_(std::move(endpoint)),
      permittedResultHost_(validatedBenchmarkEndpointHost(endpoint_)),
      http_(&http) {}

BenchmarkPostResponse BenchmarkPostingClient::post(const BenchmarkSubmission& submission,
                                                   const std::string& language,
                                                   const CancellationToken& cancellation) const {
    HttpRequest request;
    request.method = "POST";
    request.url = endpoint_;
    request.timeoutSeconds = 30;
    request.body = submission.encoded(false);
    request.headers = {{"Content-Type", "application/json"},
                       {"Accept", "application/json"},
                       {"Accept-Language", language},
                       {"Idempotency-Key", submission.submissionID}};
    const HttpResponse response = http_->send(request, cancellation);

    // Redirects are not followed, so a 3xx lands here too: the service never sends one.
    if (response.status != 200 && response.status != 201)
        throw BenchmarkSubmissionError::serverError(static_cast<int>(response.status),
                                                    serverMessage(response.body));

    const nlohmann::json document = json_decoding::parse(response.body);
    const json_decoding::Object receipt(document, "");
    BenchmarkPostResponse result{receipt.string("id"), receipt.boolean("duplicate"),
                                 receipt.string("received_at"), receipt.string("result_url")};
    if (result.resultURL.empty()) throw JSONDecodingError("result_url", "not a URL");

    const std::optional<ParsedURL> resultURL = parseURL(result.resultURL);
    if (!resultURL || !isHTTPSScheme(resultURL->scheme) || !resultURL->host ||
        !equalIgnoringCase(*resultURL->host, permittedResultHost_))
        throw BenchmarkSubmissionError(BenchmarkSubmissionError::invalidResultURL);
    return result;
}

} // namespace lumavane
