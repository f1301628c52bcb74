#include "Lumavane/Benchmarks/BenchmarkReports.hpp"

#include "Lumavane/Benchmarks/BenchmarkScoreSummary.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include <fmt/format.h>

namespace lumavane {

namespace {

double number(const json_decoding::Object& object, std::string_view key) {
    const nlohmann::json& value = object.required(key);
    if (!value.is_number()) json_decoding::Object::throwTypeMismatch(object.pathOf(key), "a number", value);
    return value.get<double>();
}

template <typename Enum, typename FromRaw>
Enum enumeration(const json_decoding::Object& object, std::string_view key, FromRaw fromRaw) {
    const std::string text = object.string(key);
    if (const std::optional<Enum> value = fromRaw(text)) return *value;
    throw JSONDecodingError(object.pathOf(key), "unknown value \"" + text + "\"");
}

// The fields both measurement records have.
template <typename Measurement> void encodeCondition(nlohmann::json& json, const Measurement& measurement) {
    json["profile"] = rawValue(measurement.profile);
    json["scale"] = rawValue(measurement.scale);
    json["p95MS"] = measurement.p95MS;
    json["sustainedFPS"] = measurement.sustainedFPS;
    if (measurement.recommendedFPS) json["recommendedFPS"] = *measurement.recommendedFPS;
}

template <typename Measurement>
void decodeCondition(const json_decoding::Object& item, Measurement& measurement) {
    measurement.profile =
        enumeration<PerformanceBenchmarkProfile>(item, "profile", performanceBenchmarkProfileFromRawValue);
    measurement.scale =
        enumeration<PerformanceBenchmarkScale>(item, "scale", performanceBenchmarkScaleFromRawValue);
    measurement.p95MS = number(item, "p95MS");
    measurement.sustainedFPS = number(item, "sustainedFPS");
    measurement.recommendedFPS = item.optionalInteger("recommendedFPS");
}

} // namespace

std::string rawValue(PerformanceBenchmarkModel model) {
    return model == PerformanceBenchmarkModel::fast ? "fast" : "quality";
}
std::string rawValue(PerformanceBenchmarkProfile profile) {
    return profile == PerformanceBenchmarkProfile::hd720 ? "720p" : "1080p";
}
std::string rawValue(PerformanceBenchmarkScale scale) {
    return scale == PerformanceBenchmarkScale::two ? "2×" : "4×";
}

std::optional<PerformanceBenchmarkModel> performanceBenchmarkModelFromRawValue(std::string_view raw) {
    if (raw == "fast") return PerformanceBenchmarkModel::fast;
    if (raw == "quality") return PerformanceBenchmarkModel::quality;
    return std::nullopt;
}
std::optional<PerformanceBenchmarkProfile> performanceBenchmarkProfileFromRawValue(std::string_view raw) {
    if (raw == "720p") return PerformanceBenchmarkProfile::hd720;
    if (raw == "1080p") return PerformanceBenchmarkProfile::fullHD1080;
    return std::nullopt;
}
std::optional<PerformanceBenchmarkScale> performanceBenchmarkScaleFromRawValue(std::string_view raw) {
    if (raw == "2×") return PerformanceBenchmarkScale::two;
    if (raw == "4×") return PerformanceBenchmarkScale::four;
    return std::nullopt;
}

std::optional<PerformanceBenchmarkMeasurement>
PerformanceBenchmarkReport::measurement(PerformanceBenchmarkModel model, PerformanceBenchmarkProfile profile,
                                        PerformanceBenchmarkScale scale) const {
    for (const auto& candidate : measurements) {
        if (candidate.model == model && candidate.profile == profile && candidate.scale == scale)
            return candidate;
    }
    return std::nullopt;
}

int width(PerformanceBenchmarkProfile profile) {
    return profile == PerformanceBenchmarkProfile::hd720 ? 1280 : 1920;
}
int height(PerformanceBenchmarkProfile profile) {
    return profile == PerformanceBenchmarkProfile::hd720 ? 720 : 1080;
}
int factor(PerformanceBenchmarkScale scale) { return scale == PerformanceBenchmarkScale::two ? 2 : 4; }

std::string PerformanceBenchmarkReport::text(const std::string& appVersion,
                                             const std::string& diagnostics) const {
    // fmt formats numbers with a full stop whatever the user's locale.
    std::vector<std::string> lines{
        "Lumavane Benchmark " + appVersion, "Warm-up: 5 frames per profile, scale, and model",
        "Measured: 30 frames per profile, scale, and model",
        "Scope: enhancement pipeline only; video decoding, display, and audio are excluded", ""};
    if (const auto summary = BenchmarkScoreSummary::from(*this)) {
        lines.push_back(fmt::format("Overall FPS: {:.1f}", summary->performance));
        lines.push_back(fmt::format("Fast FPS: {:.1f}", summary->fastFPS));
        lines.push_back(fmt::format("Quality FPS: {:.1f}", summary->qualityFPS));
        lines.push_back("Overall: geometric mean of 8 FPS derived from P95; Fast/Quality: 1080p 2x");
        lines.push_back("");
    }
    for (const auto profile : {PerformanceBenchmarkProfile::hd720, PerformanceBenchmarkProfile::fullHD1080}) {
        lines.push_back(fmt::format("{}: {} x {}", rawValue(profile), width(profile), height(profile)));
        lines.push_back("");
        for (const auto scale : {PerformanceBenchmarkScale::two, PerformanceBenchmarkScale::four}) {
            lines.push_back(fmt::format("{}: {} x {}", rawValue(scale), width(profile) * factor(scale),
                                        height(profile) * factor(scale)));
            lines.push_back("");
            for (const auto model : {PerformanceBenchmarkModel::quality, PerformanceBenchmarkModel::fast}) {
                const auto found = measurement(model, profile, scale);
                if (!found) continue;
                lines.push_back(model == PerformanceBenchmarkModel::quality ? "Quality model" : "Fast model");
                lines.push_back(fmt::format("Median: {:.2f} ms", found->medianMS));
                lines.push_back(fmt::format("P95: {:.2f} ms", found->p95MS));
                lines.push_back(fmt::format("Sustained: {:.1f} fps", found->sustainedFPS));
                lines.push_back("Recommended standard rate: " +
                                (found->recommendedFPS ? fmt::format("{} fps", *found->recommendedFPS)
                                                       : std::string("below 24 fps")));
                lines.push_back("");
            }
        }
    }
    lines.push_back(diagnostics);
    return fmt::format("{}", fmt::join(lines, "\n"));
}

nlohmann::json toJSON(const PerformanceBenchmarkMeasurement& measurement) {
    nlohmann::json json = {{"model", rawValue(measurement.model)}, {"medianMS", measurement.medianMS}};
    encodeCondition(json, measurement);
    return json;
}

nlohmann::json toJSON(const PerformanceBenchmarkReport& report) {
    nlohmann::json measurements = nlohmann::json::array();
    for (const auto& measurement : report.measurements) measurements.push_back(toJSON(measurement));
    return {{"measurements", std::move(measurements)}};
}

nlohmann::json toJSON(const ModelBenchmarkMeasurement& measurement) {
    nlohmann::json json = nlohmann::json::object();
    encodeCondition(json, measurement);
    return json;
}

nlohmann::json toJSON(const ModelBenchmarkReport& report) {
    nlohmann::json measurements = nlohmann::json::array();
    for (const auto& measurement : report.measurements) measurements.push_back(toJSON(measurement));
    nlohmann::json json = {{"measurements", std::move(measurements)}};
    if (report.measuredAt) json["measuredAt"] = report.measuredAt->secondsSinceReferenceDate;
    return json;
}

nlohmann::json toJSON(const DefaultBenchmarkSnapshot& snapshot) {
    return {{"identity", snapshot.identity},
            {"measuredAt", snapshot.measuredAt.secondsSinceReferenceDate},
            {"report", toJSON(snapshot.report)}};
}

PerformanceBenchmarkReport performanceBenchmarkReportFromJSON(const nlohmann::json& json,
                                                              const std::string& path) {
    const json_decoding::Object object(json, path);
    PerformanceBenchmarkReport report;
    report.measurements =
        object.array("measurements", [](const nlohmann::json& element, const std::string& at) {
            const json_decoding::Object item(element, at);
            PerformanceBenchmarkMeasurement measurement;
            measurement.model =
                enumeration<PerformanceBenchmarkModel>(item, "model", performanceBenchmarkModelFromRawValue);
            measurement.medianMS = number(item, "medianMS");
            decodeCondition(item, measurement);
            return measurement;
        });
    return report;
}

ModelBenchmarkReport modelBenchmarkReportFromJSON(const nlohmann::json& json, const std::string& path) {
    const json_decoding::Object object(json, path);
    ModelBenchmarkReport report;
    report.measurements =
        object.array("measurements", [](const nlohmann::json& element, const std::string& at) {
            const json_decoding::Object item(element, at);
            ModelBenchmarkMeasurement measurement;
            decodeCondition(item, measurement);
            return measurement;
        });
    if (object.optional("measuredAt")) report.measuredAt = DefaultsDate{number(object, "measuredAt")};
    return report;
}

DefaultBenchmarkSnapshot defaultBenchmarkSnapshotFromJSON(const nlohmann::json& json,
                                                          const std::string& path) {
    const json_decoding::Object object(json, path);
    DefaultBenchmarkSnapshot snapshot;
    snapshot.identity = object.string("identity");
    snapshot.measuredAt = DefaultsDate{number(object, "measuredAt")};
    snapshot.report = performanceBenchmarkReportFromJSON(object.required("report"), object.pathOf("report"));
    return snapshot;
}

} // namespace lumavane
