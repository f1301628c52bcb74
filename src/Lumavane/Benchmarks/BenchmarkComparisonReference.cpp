#include "Lumavane/Benchmarks/BenchmarkComparisonReference.hpp"

#include "Lumavane/Benchmarks/BenchmarkPostingClient.hpp"
#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"
#include "Platform/Foundation/Resources.hpp"

#include <algorithm>
#include <cmath>

namespace lumavane {

namespace {

using json_decoding::Object;

std::optional<BenchmarkCheckpointMap> normalizedMap(const BenchmarkCheckpointMap& checkpoints) {
    BenchmarkCheckpointMap result;
    for (const auto& [role, checkpoint] : checkpoints) {
        std::optional<std::string> normalized = normalizedCheckpoint(checkpoint);
        if (!normalized) return std::nullopt;
        result.emplace(role, std::move(*normalized));
    }
    return result;
}

BenchmarkComparisonReference::Cohort decodeCohort(const nlohmann::json& json, const std::string& path) {
    const Object cohort(json, path);
    BenchmarkComparisonReference::Cohort result;
    result.rankedCount = cohort.integer("ranked_count");
    if (const nlohmann::json* median = cohort.optional("median_performance")) {
        if (!median->is_number())
            Object::throwTypeMismatch(cohort.pathOf("median_performance"), "a number", *median);
        result.medianPerformance = median->get<double>();
    }
    result.suite = BenchmarkSubmission::Suite::decode(cohort.required("suite"), cohort.pathOf("suite"));
    const nlohmann::json& checkpoints = cohort.required("checkpoints");
    if (!checkpoints.is_object())
        Object::throwTypeMismatch(cohort.pathOf("checkpoints"), "an object", checkpoints);
    for (const auto& [role, value] : checkpoints.items()) {
        result.checkpoints[role] = json_decoding::string(value, cohort.pathOf("checkpoints") + "." + role);
    }
    return result;
}

bool isRanked(const BenchmarkComparisonReference::Cohort& cohort) {
    return cohort.rankedCount >= 1 && cohort.medianPerformance && std::isfinite(*cohort.medianPerformance) &&
           *cohort.medianPerformance > 0;
}

// A ranked result's id: 26 characters of 0-9 and A-Z.
bool isAnchor(const std::string& anchor) {
    return anchor.size() == 26 && std::all_of(anchor.begin(), anchor.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
           });
}

} // namespace

bool BenchmarkComparisonReference::matches(const BenchmarkCheckpointMap& checkpoints) const {
    if (!cohort.suite.isStandard() || checkpoints.size() != 2) return false;
    const auto given = normalizedMap(checkpoints);
    const auto cohortCheckpoints = normalizedMap(cohort.checkpoints);
    return given && cohortCheckpoints && *given == *cohortCheckpoints;
}

std::optional<double>
BenchmarkComparisonReference::scoreIndex(const BenchmarkScoreSummary& summary,
                                         const BenchmarkCheckpointMap& checkpoints) const {
    if (!matches(checkpoints) || !isRanked(cohort)) return std::nullopt;
    const double index = summary.performance / *cohort.medianPerformance * 100.0;
    if (!std::isfinite(index)) return std::nullopt;
    return index;
}

nlohmann::json BenchmarkComparisonReference::json() const {
    nlohmann::json cohortJSON = {{"ranked_count", cohort.rankedCount},
                                 {"suite", cohort.suite.json()},
                                 {"checkpoints", cohort.checkpoints}};
    if (cohort.medianPerformance) cohortJSON["median_performance"] = *cohort.medianPerformance;
    return {{"anchorID", anchorID}, {"cohort", cohortJSON}, {"snapshot_at", snapshotAt}};
}

BenchmarkComparisonReference BenchmarkComparisonReference::decode(const nlohmann::json& json) {
    const Object root(json, "");
    return {root.string("anchorID"), decodeCohort(root.required("cohort"), "cohort"),
            root.string("snapshot_at")};
}

void BenchmarkComparisonReference::save(DefaultsStore& preferences) const {
    // JSON has no non-finite numbers: such a reference is not stored.
    if (cohort.medianPerformance && !std::isfinite(*cohort.medianPerformance)) return;
    try {
        const std::string text = json().dump();
        preferences.set(defaultsKey, DefaultsValue::Data(text.begin(), text.end()));
    } catch (const nlohmann::json::exception&) {
        // Text that is not UTF-8: nothing is stored.
    }
}

std::optional<BenchmarkComparisonReference>
BenchmarkComparisonReference::saved(const BenchmarkCheckpointMap& checkpoints,
                                    const DefaultsStore& preferences,
                                    const std::filesystem::path& shippedFile) {
    const auto read = [](std::string_view text) -> std::optional<BenchmarkComparisonReference> {
        try {
            return decode(json_decoding::parse(text));
        } catch (const JSONDecodingError&) {
            return std::nullopt;
        }
    };
    if (const auto data = preferences.data(defaultsKey)) {
        const auto stored = read(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
        if (stored && stored->matches(checkpoints) && parseISO8601(stored->snapshotAt)) return stored;
    }
    try {
        const auto shipped = read(files::readWholeText(shippedFile, 1 << 20));
        // A placeholder (no ranked results, a made-up anchor) is no reference: it would be shown
        // as a saved one and its anchor sent to the service.
        if (shipped && shipped->matches(checkpoints) && isAnchor(shipped->anchorID) && isRanked(shipped->cohort))
            return shipped;
    } catch (const std::filesystem::filesystem_error&) {
        // No shipped reference.
    }
    return std::nullopt;
}

std::filesystem::path BenchmarkComparisonReference::shippedReferencePath() {
    return resourcesDirectory() / "BenchmarkComparisonReference.json";
}

BenchmarkComparisonReference BenchmarkWebScoreClient::reference(const BenchmarkComparisonReference& updating,
                                                                const BenchmarkCheckpointMap& checkpoints,
                                                                const CancellationToken& cancellation) const {
    using Error = BenchmarkSubmissionError;
    validatedBenchmarkEndpointHost(endpoint_);
    // The anchor comes from a stored or shipped reference, not from the user's setting.
    if (!isAnchor(updating.anchorID)) throw Error(Error::invalidResponse);
    const std::optional<std::string> url =
        replacingQuery(endpoint_, "result=" + updating.anchorID + "&sort=performance&before=0&after=0");
    if (!url) throw Error(Error::invalidEndpoint);

    HttpRequest request;
    request.url = *url;
    request.timeoutSeconds = 8;
    request.headers = {{"Accept", "application/json"}};
    const HttpResponse response = http_->send(request, cancellation);
    if (response.status != 200) throw Error(Error::invalidResponse);

    const nlohmann::json document = json_decoding::parse(response.body);
    const Object body(document, "");
    BenchmarkComparisonReference fresh{updating.anchorID, decodeCohort(body.required("cohort"), "cohort"),
                                       body.string("snapshot_at")};
    if (!fresh.matches(checkpoints) || !parseISO8601(fresh.snapshotAt) || !isRanked(fresh.cohort))
        throw Error(Error::invalidResponse);
    return fresh;
}

} // namespace lumavane
