#include "Lumavane/Benchmarks/BenchmarkComparisonReference.hpp"
#include "Lumavane/Benchmarks/BenchmarkPostingClient.hpp"

#include "Platform/Foundation/JSONDecoding.hpp"
#include "Platform/Foundation/Resources.hpp"
#include "support/LoopbackTls.hpp"
#include "support/ScopedEnv.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <variant>

namespace lumavane {
namespace {

using Error = BenchmarkSubmissionError;
using test::LoopbackHttpServer;
using test::LoopbackReply;

const std::string fastHash = "7e1dd94a07dc48960a2e55e4ecf96f588929a09072dda8525469ed83f50c95ac";
const std::string qualityHash = "affd077fc8b81daa39646001d1ac99b912fd1f5f757412c6acc011035cc66d98";
const BenchmarkCheckpointMap checkpoints{{"fast", fastHash}, {"quality", qualityHash}};
const std::string anchor = "01HZX3Y8Q9R2S4T6V8W0XYZABC";

// What a call ended with: a value, a BenchmarkSubmissionError case, or another error's type.
enum class Other { decoding, transport, none };
using Outcome = std::variant<Error::Case, Other>;
template <typename Call> Outcome outcomeOf(Call call) {
    try {
        call();
        return Other::none;
    } catch (const Error& error) {
        return error.errorCase();
    } catch (const JSONDecodingError&) {
        return Other::decoding;
    } catch (const HttpTransportError&) {
        return Other::transport;
    }
}

std::string cohortJSON(const std::string& median = "250.0", const std::string& ranked = "12",
                       const std::string& checkpointsJSON = "") {
    return R"({"ranked_count":)" + ranked + R"(,"median_performance":)" + median +
           R"(,"suite":{"id":"lumavane.standard","version":1,"warmup_frames":5,"measured_frames":30,)"
           R"("scope":"enhancement_pipeline_only"},"checkpoints":)" +
           (checkpointsJSON.empty() ? R"({"fast":")" + fastHash + R"(","quality":")" + qualityHash + "\"}"
                                    : checkpointsJSON) +
           "}";
}

BenchmarkComparisonReference referenceWith(double median, std::int64_t ranked = 12) {
    return {anchor, {ranked, median, {}, checkpoints}, "2026-03-04T02:40:00Z"};
}

class BenchmarkWebTest : public ::testing::Test {
protected:
    // The server answers every request with `reply`.
    LoopbackReply reply = LoopbackHttpServer::reply(200, "application/json", "{}");
    test::TemporaryDirectory folder;
    test::SelfSignedCertificate certificate{folder.path()};
    CurlHttpClient http{{certificate.pemPath()}};
    LoopbackHttpServer server{[this](const std::string&) { return reply; }, certificate.wrap()};
    const std::string host = "localhost:" + std::to_string(server.port());
    const std::string endpoint = "https://" + host + benchmarkResultsPath;
};

// --- posting ---

BenchmarkSubmission sampleSubmission() {
    BenchmarkSubmission s;
    s.submissionID = "0B9C3D6E-1F2A-4B5C-8D7E-9F0A1B2C3D4E";
    s.system.hardwareModel = "Vendor/Board";
    s.measurements = {{"fast", "720p", 1280, 720, 2, 2560, 1440, 12.5, 20, 50, std::nullopt}};
    return s;
}

std::string receipt(const std::string& resultURL) {
    return R"({"id":"R1","duplicate":false,"received_at":"2026-03-04T02:40:01Z","result_url":")" + resultURL +
           "\"}";
}

TEST_F(BenchmarkWebTest, PostSendsExactlyTheCompactDocument) {
    reply = LoopbackHttpServer::reply(201, "application/json", receipt("https://" + host + "/r/R1"));
    const BenchmarkSubmission submission = sampleSubmission();
    const BenchmarkPostResponse response = BenchmarkPostingClient(endpoint, http).post(submission, "ja");
    EXPECT_EQ(response,
              (BenchmarkPostResponse{"R1", false, "2026-03-04T02:40:01Z", "https://" + host + "/r/R1"}));

    const std::string body = submission.encoded(false);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0],
              "POST /api/v1/lumavane/benchmark-results HTTP/1.1\r\nHost: " + host +
                  "\r\nContent-Type: application/json\r\nAccept: application/json\r\n"
                  "Accept-Language: ja\r\nIdempotency-Key: 0B9C3D6E-1F2A-4B5C-8D7E-9F0A1B2C3D4E"
                  "\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_NE(body.find("\"Vendor/Board\""), std::string::npos);
}

TEST_F(BenchmarkWebTest, EndpointRule) {
    const std::pair<std::string, bool> cases[] = {
        {"https://h.example/api/v1/lumavane/benchmark-results", true},
        {"HTTPS://h.example/api/v1/lumavane/benchmark-results", true},
        {"https://h.example:8443/api/v1/lumavane/%62enchmark-results?x=1", true},
        {"http://h.example/api/v1/lumavane/benchmark-results", false},
        {"https://h.example/api/v1/lumavane/Benchmark-results", false},
        {"https://h.example/api/v1/lumavane/benchmark-result", false},
        {"https:///api/v1/lumavane/benchmark-results", false},
        {"/api/v1/lumavane/benchmark-results", false},
    };
    for (const auto& [url, valid] : cases) {
        SCOPED_TRACE(url);
        const auto expected = valid ? Outcome(Other::none) : Error::invalidEndpoint;
        EXPECT_EQ(outcomeOf([&] { BenchmarkPostingClient(url, http); }), expected);
        // The comparison client keeps the same rule, checked before its anchor.
        BenchmarkComparisonReference noAnchor = referenceWith(250);
        noAnchor.anchorID = "x";
        const auto comparison =
            outcomeOf([&] { BenchmarkWebScoreClient(url, http).reference(noAnchor, {}); });
        EXPECT_EQ(comparison, Outcome(valid ? Error::invalidResponse : Error::invalidEndpoint));
    }
}

TEST_F(BenchmarkWebTest, PostAnswers) {
    const std::string json = "application/json";
    const std::string longMessage(400, 'e');
    struct Case {
        const char* name;
        LoopbackReply reply;
        Outcome outcome;
        std::string description = "";
    };
    const Case cases[] = {
        {"200", LoopbackHttpServer::reply(200, json, receipt("https://" + host + "/r")), Other::none},
        {"result host in capitals", LoopbackHttpServer::reply(200, json, receipt("HTTPS://LOCALHOST/r")),
         Other::none},
        {"409 with a message",
         LoopbackHttpServer::reply(409, json, R"({"error":{"message":"Already ranked."}})"), Error::server,
         "Already ranked."},
        {"500 HTML page", LoopbackHttpServer::reply(500, "text/html", "<html>oops</html>"), Error::server,
         "The benchmark server returned HTTP 500."},
        {"redirect",
         LoopbackHttpServer::reply(302, "text/html", "", "Location: https://" + host + "/elsewhere\r\n"),
         Error::server, "The benchmark server returned HTTP 302."},
        {"long message",
         LoopbackHttpServer::reply(400, json, R"({"error":{"message":")" + longMessage + "\"}}"),
         Error::server, std::string(maxServerMessageLength, 'e') + "…"},
        {"over 1 MiB", LoopbackHttpServer::reply(200, json, std::string((1 << 20) + 1, ' ')),
         Other::transport},
        {"malformed JSON", LoopbackHttpServer::reply(200, json, "{\"id\":"), Other::decoding},
        {"wrong schema", LoopbackHttpServer::reply(200, json, R"({"id":"R1","duplicate":"no"})"),
         Other::decoding},
        {"result over http", LoopbackHttpServer::reply(200, json, receipt("http://" + host + "/r")),
         Error::invalidResultURL},
        {"result on a sub-domain", LoopbackHttpServer::reply(200, json, receipt("https://www.localhost/r")),
         Error::invalidResultURL},
        {"relative result", LoopbackHttpServer::reply(200, json, receipt("/r/R1")), Error::invalidResultURL},
    };
    const BenchmarkPostingClient client(endpoint, http);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reply = c.reply;
        EXPECT_EQ(outcomeOf([&] { client.post(sampleSubmission(), "en"); }), c.outcome);
        if (!c.description.empty()) {
            try {
                client.post(sampleSubmission(), "en");
            } catch (const Error& error) {
                EXPECT_EQ(error.errorDescription(), c.description);
            }
        }
    }
    // Nothing was ever sent to the redirect's target.
    for (const std::string& request : server.requests()) EXPECT_EQ(request.rfind("POST /api/", 0), 0u);
}

TEST_F(BenchmarkWebTest, ANonFiniteDocumentIsNotSent) {
    BenchmarkSubmission submission = sampleSubmission();
    submission.measurements[0].p95MS = std::numeric_limits<double>::infinity();
    EXPECT_THROW(BenchmarkPostingClient(endpoint, http).post(submission, "en"), JSONEncodingError);
    EXPECT_TRUE(server.requests().empty());
}

// --- comparison ---

TEST_F(BenchmarkWebTest, ComparisonAsksForTheAnchorsCohort) {
    reply = LoopbackHttpServer::reply(200, "application/json",
                                      R"({"cohort":)" + cohortJSON("310.5") +
                                          R"(,"snapshot_at":"2026-05-01T00:00:00.5Z"})");
    const BenchmarkComparisonReference old = referenceWith(250);
    const BenchmarkComparisonReference fresh =
        BenchmarkWebScoreClient(endpoint + "?page=2", http).reference(old, checkpoints);
    EXPECT_EQ(fresh,
              (BenchmarkComparisonReference{anchor, {12, 310.5, {}, checkpoints}, "2026-05-01T00:00:00.5Z"}));
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0], "GET /api/v1/lumavane/benchmark-results?result=" + anchor +
                                        "&sort=performance&before=0&after=0 HTTP/1.1\r\nHost: " + host +
                                        "\r\nAccept: application/json\r\n\r\n");
}

TEST_F(BenchmarkWebTest, ComparisonAnswers) {
    const std::string json = "application/json";
    const auto body = [](const std::string& cohort,
                         const std::string& snapshot = "\"2026-05-01T00:00:00Z\"") {
        return R"({"cohort":)" + cohort + R"(,"snapshot_at":)" + snapshot + "}";
    };
    struct Case {
        const char* name;
        LoopbackReply reply;
        Outcome outcome;
    };
    const Case cases[] = {
        {"ok", LoopbackHttpServer::reply(200, json, body(cohortJSON())), Other::none},
        {"upper-case cohort checkpoints",
         LoopbackHttpServer::reply(
             200, json,
             body(cohortJSON(
                 "1", "1",
                 R"({"fast":")" + fastHash +
                     R"(","quality":"AFFD077FC8B81DAA39646001D1AC99B912FD1F5F757412C6ACC011035CC66D98"})"))),
         Other::none},
        {"201", LoopbackHttpServer::reply(201, json, body(cohortJSON())), Error::invalidResponse},
        {"204", LoopbackHttpServer::reply(204, json, ""), Error::invalidResponse},
        {"304", LoopbackHttpServer::reply(304, json, ""), Error::invalidResponse},
        {"redirect", LoopbackHttpServer::reply(301, json, "", "Location: https://" + host + "/x\r\n"),
         Error::invalidResponse},
        {"median null", LoopbackHttpServer::reply(200, json, body(cohortJSON("null"))),
         Error::invalidResponse},
        {"nobody ranked", LoopbackHttpServer::reply(200, json, body(cohortJSON("250", "0"))),
         Error::invalidResponse},
        {"other checkpoints",
         LoopbackHttpServer::reply(200, json,
                                   body(cohortJSON("250", "3", R"({"fast":")" + fastHash + "\"}"))),
         Error::invalidResponse},
        {"snapshot not a date", LoopbackHttpServer::reply(200, json, body(cohortJSON(), "\"yesterday\"")),
         Error::invalidResponse},
        {"snapshot missing", LoopbackHttpServer::reply(200, json, R"({"cohort":)" + cohortJSON() + "}"),
         Other::decoding},
        {"malformed JSON", LoopbackHttpServer::reply(200, json, "{"), Other::decoding},
        {"nested past the bound",
         LoopbackHttpServer::reply(
             200, json,
             body(cohortJSON())
                 .insert(1, "\"x\":" + std::string(50000, '[') + std::string(50000, ']') + ",")),
         Other::decoding},
    };
    const BenchmarkWebScoreClient client(endpoint, http);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reply = c.reply;
        EXPECT_EQ(outcomeOf([&] { client.reference(referenceWith(250), checkpoints); }), c.outcome);
    }
}

TEST_F(BenchmarkWebTest, AMalformedAnchorIsAnInvalidResponseAndNothingIsSent) {
    const BenchmarkWebScoreClient client(endpoint, http);
    for (const std::string& bad :
         {std::string("01hzx3y8q9r2s4t6v8w0xyzabc"), anchor.substr(1), anchor + "A", std::string()}) {
        BenchmarkComparisonReference old = referenceWith(250);
        old.anchorID = bad;
        EXPECT_EQ(outcomeOf([&] { client.reference(old, checkpoints); }), (Outcome(Error::invalidResponse)))
            << bad;
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST(BenchmarkComparisonReference, MatchesAndScoreIndex) {
    const std::string upperFast = "7E1DD94A07DC48960A2E55E4ECF96F588929A09072DDA8525469ED83F50C95AC";
    struct Case {
        const char* name;
        BenchmarkComparisonReference reference;
        BenchmarkCheckpointMap given;
        bool matches;
        std::optional<double> index; // for a local performance of 300
    };
    BenchmarkComparisonReference thirdEntry = referenceWith(250);
    thirdEntry.cohort.checkpoints["extra"] = fastHash;
    BenchmarkComparisonReference otherSuite = referenceWith(250);
    otherSuite.cohort.suite.measuredFrames = 60;
    const Case cases[] = {
        {"median 250", referenceWith(250), checkpoints, true, 120.0},
        {"upper-case given checkpoint",
         referenceWith(250),
         {{"fast", upperFast}, {"quality", qualityHash}},
         true,
         120.0},
        {"median 0", referenceWith(0), checkpoints, true, std::nullopt},
        {"median tiny: infinite index", referenceWith(1e-308), checkpoints, true, std::nullopt},
        {"nobody ranked", referenceWith(250, 0), checkpoints, true, std::nullopt},
        {"third cohort entry", thirdEntry, checkpoints, false, std::nullopt},
        {"one role given", referenceWith(250), {{"fast", fastHash}}, false, std::nullopt},
        {"other checkpoint",
         referenceWith(250),
         {{"fast", qualityHash}, {"quality", qualityHash}},
         false,
         std::nullopt},
        {"malformed given checkpoint",
         referenceWith(250),
         {{"fast", "x"}, {"quality", qualityHash}},
         false,
         std::nullopt},
        {"other suite", otherSuite, checkpoints, false, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.reference.matches(c.given), c.matches);
        const std::optional<double> index = c.reference.scoreIndex({300, 1, 1}, c.given);
        ASSERT_EQ(index.has_value(), c.index.has_value());
        if (index) {
            EXPECT_DOUBLE_EQ(*index, *c.index);
        }
    }
}

TEST(BenchmarkComparisonReference, StoredReferenceOverTheShippedOne) {
    test::TemporaryDirectory folder;
    DefaultsStore store(folder.path() / "defaults.json");
    const std::filesystem::path shippedFile = folder.path() / "BenchmarkComparisonReference.json";
    BenchmarkComparisonReference shipped = referenceWith(200);
    shipped.snapshotAt = "not checked for the shipped file";
    std::ofstream(shippedFile) << shipped.json().dump();
    const auto saved = [&] { return BenchmarkComparisonReference::saved(checkpoints, store, shippedFile); };

    EXPECT_EQ(saved(), shipped); // nothing stored yet

    BenchmarkComparisonReference newer = referenceWith(260);
    newer.cohort.medianPerformance.reset(); // stored without a median: still shown, just no index
    newer.save(store);
    EXPECT_EQ(saved(), newer);
    const DefaultsValue::Data data = *store.data(BenchmarkComparisonReference::defaultsKey);
    const std::string stored(data.begin(), data.end());
    EXPECT_EQ(nlohmann::json::parse(stored).count("anchorID"), 1u);
    EXPECT_EQ(nlohmann::json::parse(stored)["cohort"].count("median_performance"), 0u);

    BenchmarkComparisonReference badTime = referenceWith(260);
    badTime.snapshotAt = "2026-05-01";
    const std::string otherSuite = [] {
        BenchmarkComparisonReference r = referenceWith(260);
        r.cohort.suite.version = 2;
        return r.json().dump();
    }();
    for (const std::string& bytes : {badTime.json().dump(), otherSuite, std::string("{not json")}) {
        SCOPED_TRACE(bytes);
        store.set(BenchmarkComparisonReference::defaultsKey, DefaultsValue::Data(bytes.begin(), bytes.end()));
        EXPECT_EQ(saved(), shipped);
        EXPECT_TRUE(store.data(BenchmarkComparisonReference::defaultsKey)); // left in place
    }

    referenceWith(std::numeric_limits<double>::infinity()).save(store); // not encodable: nothing stored
    EXPECT_EQ(saved(), shipped);

    // A shipped placeholder (no ranked result, or no real anchor) is no reference.
    store.remove(BenchmarkComparisonReference::defaultsKey);
    const auto placeholder = [] {
        BenchmarkComparisonReference r = referenceWith(0, 0);
        r.anchorID = std::string(26, '0');
        r.cohort.medianPerformance.reset();
        return r;
    }();
    BenchmarkComparisonReference unanchored = referenceWith(200);
    unanchored.anchorID = "not-an-anchor";
    for (const BenchmarkComparisonReference& unusable : {placeholder, referenceWith(200, 0), unanchored}) {
        SCOPED_TRACE(unusable.json().dump());
        std::ofstream(shippedFile) << unusable.json().dump();
        EXPECT_FALSE(saved());
    }

    std::filesystem::remove(shippedFile);
    EXPECT_FALSE(saved());
    EXPECT_FALSE(BenchmarkComparisonReference::saved({{"fast", fastHash}}, store, shippedFile));
}

TEST(BenchmarkEndpoints, EnvironmentThenAppInfoAndTheShippedResources) {
    // As shipped: no service is configured, and no comparison reference for the shipped models
    // until the service has ranked results for them.
    {
        test::ScopedEnv unset("LUMAVANE_BENCHMARK_API_URL", nullptr);
        EXPECT_FALSE(benchmarkPostingEndpoint());
        EXPECT_FALSE(benchmarkComparisonEndpoint());
        const std::filesystem::path models = resourcesDirectory() / "Models";
        const BenchmarkCheckpointMap shippedModels = benchmarkComparisonCheckpoints(
            {{BundledModelPreset::fast, models / "Lumavane-Fast-4x"},
             {BundledModelPreset::quality, models / "Lumavane-Quality-4x"}});
        test::TemporaryDirectory empty;
        EXPECT_FALSE(BenchmarkComparisonReference::saved(shippedModels, DefaultsStore(empty.path() / "defaults.json")));
    }

    test::TemporaryDirectory folder;
    const test::ResourcesOverride resources(folder.path());
    std::ofstream(folder.path() / "AppInfo.json")
        << R"({"LumavaneBenchmarkAPIURL": "https://info.example/api/v1/lumavane/benchmark-results"})";
    const std::string fromInfo = "https://info.example/api/v1/lumavane/benchmark-results";
    const std::pair<const char*, std::string> cases[] = {
        {"https://env.example/api/v1/lumavane/benchmark-results",
         "https://env.example/api/v1/lumavane/benchmark-results"},
        {"not a url", fromInfo},
        {"", fromInfo},
    };
    for (const auto& [environment, posting] : cases) {
        test::ScopedEnv variable("LUMAVANE_BENCHMARK_API_URL", environment);
        EXPECT_EQ(benchmarkPostingEndpoint(), posting) << environment;
        EXPECT_EQ(benchmarkComparisonEndpoint(), fromInfo);
    }
}

} // namespace
} // namespace lumavane
