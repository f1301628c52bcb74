#include "Platform/Foundation/HttpClient.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace lumavane {

namespace {

std::string lowerCased(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

std::string_view trimmed(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

void initializeCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

const char* descriptionOf(HttpTransportError::Code code) {
    switch (code) {
    case HttpTransportError::timedOut:
        return "The request timed out.";
    case HttpTransportError::cannotConnect:
        return "Could not connect to the server.";
    case HttpTransportError::secureConnectionFailed:
        return "A TLS error occurred and a secure connection to the server cannot be made.";
    case HttpTransportError::responseTooLarge:
        return "The server's response is too large.";
    case HttpTransportError::unsupportedURL:
        return "unsupported URL";
    case HttpTransportError::failed:
        break;
    }
    return "The network connection was lost.";
}

HttpTransportError::Code codeOf(CURLcode result) {
    switch (result) {
    case CURLE_OPERATION_TIMEDOUT:
        return HttpTransportError::timedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
        return HttpTransportError::cannotConnect;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return HttpTransportError::secureConnectionFailed;
    case CURLE_FILESIZE_EXCEEDED:
        return HttpTransportError::responseTooLarge;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return HttpTransportError::unsupportedURL;
    default:
        return HttpTransportError::failed;
    }
}

struct Exchange {
    HttpResponse response;
    std::size_t maxBytes = 0;
    bool overflowed = false;
};

std::size_t receiveBody(char* data, std::size_t size, std::size_t count, void* context) {
    auto* exchange = static_cast<Exchange*>(context);
    const std::size_t bytes = size * count;
    if (exchange->response.body.size() + bytes > exchange->maxBytes) {
        exchange->overflowed = true;
        return 0; // ends the transfer with CURLE_WRITE_ERROR
    }
    exchange->response.body.append(data, bytes);
    return bytes;
}

std::size_t receiveHeader(char* data, std::size_t size, std::size_t count, void* context) {
    auto* exchange = static_cast<Exchange*>(context);
    const std::string_view line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        exchange->response.headers.clear(); // a new response (after a 100 Continue) starts over
    } else if (const std::size_t colon = line.find(':'); colon != std::string_view::npos) {
        exchange->response.headers.emplace_back(lowerCased(trimmed(line.substr(0, colon))),
                                                std::string(trimmed(line.substr(colon + 1))));
    }
    return size * count;
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct HeaderListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// A multi handle that owns one easy handle while the transfer runs.
class Transfer {
public:
    explicit Transfer(CURL* easy) : multi_(curl_multi_init()), easy_(easy) {
        if (!multi_ || curl_multi_add_handle(multi_, easy_) != CURLM_OK)
            throw HttpTransportError(HttpTransportError::failed, "curl_multi_add_handle failed");
    }
    ~Transfer() {
        curl_multi_remove_handle(multi_, easy_);
        curl_multi_cleanup(multi_);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Drives the transfer to its end, looking at the token between short waits so that a
    // cancelled request stops within a few tens of milliseconds.
    CURLcode run(const CancellationToken& cancellation) {
        int running = 1;
        for (;;) {
            cancellation.throwIfCancelled();
            if (curl_multi_perform(multi_, &running) != CURLM_OK)
                throw HttpTransportError(HttpTransportError::failed, "curl_multi_perform failed");
            if (running == 0) break;
            curl_multi_poll(multi_, nullptr, 0, 25, nullptr);
        }
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
            if (message->msg == CURLMSG_DONE) return message->data.result;
        }
        return CURLE_RECV_ERROR;
    }

private:
    CURLM* multi_;
    CURL* easy_;
};

} // namespace

std::optional<std::string> HttpResponse::header(std::string_view lowerCaseName) const {
    for (const auto& [name, value] : headers) {
        if (name == lowerCaseName) return value;
    }
    return std::nullopt;
}

HttpTransportError::HttpTransportError(Code code, std::string detail)
    : PlatformError("lumavane.http", code, std::string(descriptionOf(code))), detail_(std::move(detail)) {}

CurlHttpClient::CurlHttpClient() : CurlHttpClient(Options{}) {}

CurlHttpClient::CurlHttpClient(Options options) : options_(std::move(options)) { initializeCurlOnce(); }

HttpResponse CurlHttpClient::send(const HttpRequest& request, const CancellationToken& cancellation) {
    cancellation.throwIfCancelled();
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) throw HttpTransportError(HttpTransportError::failed, "curl_easy_init failed");
    CURL* handle = easy.get();

    Exchange exchange;
    exchange.maxBytes = request.maxResponseBytes;
    const long timeoutMS = std::max(1L, static_cast<long>(request.timeoutSeconds * 1000.0));

    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    // No proxy reaches our own machine; the user's own exceptions still count.
    std::string noProxy = "localhost,127.0.0.1,::1";
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        if (const char* value = std::getenv(name); value && *value) {
            noProxy = std::string_view(value) == "*" ? "*" : noProxy + "," + value;
            break;
        }
    }
    curl_easy_setopt(handle, CURLOPT_NOPROXY, noProxy.c_str());
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMS);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, timeoutMS);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (options_.certificateAuthorities)
        curl_easy_setopt(handle, CURLOPT_CAINFO, options_.certificateAuthorities->c_str());
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxResponseBytes));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, receiveBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &exchange);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, receiveHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &exchange);

    if (request.method == "GET") {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    } else if (request.method == "POST") {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
    } else {
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    if (!request.body.empty() || request.method == "POST") {
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    }

    // Only the caller's fields: libcurl's own Accept and Expect lines are switched off.
    curl_slist* list = nullptr;
    bool hasAccept = false;
    for (const auto& [name, value] : request.headers) {
        hasAccept = hasAccept || lowerCased(name) == "accept";
        list = curl_slist_append(list, (name + ": " + value).c_str());
    }
    if (!hasAccept) list = curl_slist_append(list, "Accept:");
    list = curl_slist_append(list, "Expect:");
    const std::unique_ptr<curl_slist, HeaderListDeleter> headers(list);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());

    CURLcode result;
    {
        Transfer transfer(handle);
        result = transfer.run(cancellation);
    }
    if (result != CURLE_OK) {
        const HttpTransportError::Code code =
            exchange.overflowed ? HttpTransportError::responseTooLarge : codeOf(result);
        throw HttpTransportError(code, curl_easy_strerror(result));
    }
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &exchange.response.status);
    return std::move(exchange.response);
}

std::optional<ParsedURL> parseURL(const std::string& url) {
    initializeCurlOnce();
    std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(),
                                CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) != CURLUE_OK)
        return std::nullopt;
    const auto part = [&](CURLUPart which, unsigned int flags) -> std::optional<std::string> {
        char* text = nullptr;
        if (curl_url_get(handle.get(), which, &text, flags) != CURLUE_OK || !text) return std::nullopt;
        std::string result(text);
        curl_free(text);
        return result;
    };
    ParsedURL parsed;
    parsed.scheme = part(CURLUPART_SCHEME, 0).value_or("");
    parsed.host = part(CURLUPART_HOST, 0);
    if (parsed.host && parsed.host->empty()) parsed.host.reset();
    parsed.path = part(CURLUPART_PATH, CURLU_URLDECODE).value_or("");
    parsed.query = part(CURLUPART_QUERY, 0);
    return parsed;
}

std::optional<std::string> replacingQuery(const std::string& url, const std::string& query) {
    initializeCurlOnce();
    std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
    if (!handle ||
        curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) !=
            CURLUE_OK ||
        curl_url_set(handle.get(), CURLUPART_QUERY, query.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    char* text = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_URL, &text, 0) != CURLUE_OK || !text) return std::nullopt;
    std::string result(text);
    curl_free(text);
    return result;
}

bool isHTTPSScheme(std::string_view scheme) { return lowerCased(scheme) == "https"; }

} // namespace lumavane
