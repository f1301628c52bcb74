#pragma once

#include "Lumavane/Benchmarks/BenchmarkScoreSummary.hpp"
#include "Lumavane/Benchmarks/BenchmarkSubmission.hpp"
#include "Platform/Foundation/DefaultsStore.hpp"
#include "Platform/Foundation/HttpClient.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace lumavane {

// The public cohort of results that ran the standard suite with the same two shipped models,
// fetched for one ranked result (the anchor).
struct BenchmarkComparisonReference {
    struct Cohort {
        std::int64_t rankedCount = 0;
        std::optional<double> medianPerformance;
        BenchmarkSubmission::Suite suite;
        BenchmarkCheckpointMap checkpoints;
        bool operator==(const Cohort&) const = default;
    };

    std::string anchorID;
    Cohort cohort;
    std::string snapshotAt; // ISO 8601, kept as text
    bool operator==(const BenchmarkComparisonReference&) const = default;

    static constexpr const char* defaultsKey = "benchmark.webComparisonReference.v1";

    // The standard suite, exactly two checkpoints given, and the same map on both sides (both
    // under the checkpoint rule, so letter case does not matter).
    bool matches(const BenchmarkCheckpointMap& checkpoints) const;
    // The local performance on a scale where the cohort median is 100; absent unless matching,
    // ranked and with a finite positive median.
    std::optional<double> scoreIndex(const BenchmarkScoreSummary& summary,
                                     const BenchmarkCheckpointMap& checkpoints) const;

    // Stored form: {"anchorID", "cohort": {...snake_case...}, "snapshot_at"}.
    nlohmann::json json() const;
    // Throws JSONDecodingError.
    static BenchmarkComparisonReference decode(const nlohmann::json& json);

    // Stores the reference under defaultsKey; never fails.
    void save(DefaultsStore& preferences) const;
    // The stored reference when it decodes, matches and has a parseable snapshot time, else the
    // shipped file when it decodes, matches and is a real ranked result (a well-formed anchor, a
    // ranked cohort with a positive median), else absent.
    static std::optional<BenchmarkComparisonReference>
    saved(const BenchmarkCheckpointMap& checkpoints, const DefaultsStore& preferences,
          const std::filesystem::path& shippedFile = shippedReferencePath());
    // The resource "BenchmarkComparisonReference.json".
    static std::filesystem::path shippedReferencePath();
};

// Fetches a fresh cohort for a reference's anchor with one GET. Synchronous: run it on a worker
// queue; the caller stores the result.
class BenchmarkWebScoreClient {
public:
    // http must outlive the client.
    BenchmarkWebScoreClient(std::string endpoint, HttpClient& http)
        : endpoint_(std::move(endpoint)), http_(&http) {}

    // Throws invalidEndpoint (endpoint), invalidResponse (a malformed anchor, a status other than
    // 200, a cohort that does not match or is not ranked), JSONDecodingError, HttpTransportError
    // or CancellationError.
    BenchmarkComparisonReference reference(const BenchmarkComparisonReference& updating,
                                           const BenchmarkCheckpointMap& checkpoints,
                                           const CancellationToken& cancellation = {}) const;

private:
    std::string endpoint_;
    HttpClient* http_;
};

} // namespace lumavane
