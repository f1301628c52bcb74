#include "Lumavane/Benchmarks/BenchmarkSubmission.hpp"

#include "Platform/Foundation/FileReading.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <ctime>

namespace lumavane {

namespace {

// Seconds from 1970-01-01 to 2001-01-01, the stored records' reference date.

const char* descriptionOf(BenchmarkSubmissionError::Case errorCase) {
    switch (errorCase) {
    case BenchmarkSubmissionError::incompleteMeasurements:
        return "The benchmark does not contain all eight measurements.";
    case BenchmarkSubmissionError::invalidCheckpoint:
        return "The model checkpoint identifier is invalid.";
    case BenchmarkSubmissionError::invalidEndpoint:
        return "The benchmark posting API URL is invalid.";
    case BenchmarkSubmissionError::invalidResponse:
        return "The benchmark server returned an invalid response.";
    case BenchmarkSubmissionError::invalidResultURL:
        return "The benchmark server returned an unsafe result URL.";
    case BenchmarkSubmissionError::missingModel:
    case BenchmarkSubmissionError::server:
        break;
    }
    return "";
}

// Whole numbers are written without a fraction ("100", not "100.0"), the shortest form.
nlohmann::json number(double value) {
    if (!std::isfinite(value)) throw JSONEncodingError("Unable to encode a non-finite number in JSON.");
    if (std::trunc(value) == value && std::fabs(value) < 9007199254740992.0)
        return static_cast<std::int64_t>(value);
    return value;
}

double decodeNumber(const json_decoding::Object& object, std::string_view key) {
    const nlohmann::json& value = object.required(key);
    if (!value.is_number()) json_decoding::Object::throwTypeMismatch(object.pathOf(key), "a number", value);
    return value.get<double>();
}

int daysInMonth(int year, int month) {
    static constexpr std::array<int, 12> days{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[static_cast<std::size_t>(month - 1)];
}

} // namespace

BenchmarkSubmissionError::BenchmarkSubmissionError(Case errorCase)
    : BenchmarkSubmissionError(errorCase, descriptionOf(errorCase)) {}

BenchmarkSubmissionError::BenchmarkSubmissionError(Case errorCase, std::string description)
    : std::runtime_error(std::move(description)), case_(errorCase) {}

BenchmarkSubmissionError BenchmarkSubmissionError::missingModelError(PerformanceBenchmarkModel role) {
    BenchmarkSubmissionError error(missingModel, "Missing benchmark model: " + rawValue(role) + ".");
    error.role_ = role;
    return error;
}

BenchmarkSubmissionError BenchmarkSubmissionError::serverError(int status,
                                                               std::optional<std::string> message) {
    BenchmarkSubmissionError error(
        server, message ? *message : "The benchmark server returned HTTP " + std::to_string(status) + ".");
    error.status_ = status;
    error.message_ = std::move(message);
    return error;
}

std::optional<std::string> normalizedCheckpoint(std::string_view text) {
    if (text.size() != 64 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; }))
        return std::nullopt;
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

std::string iso8601String(DefaultsDate date) {
    const auto seconds =
        static_cast<std::time_t>(std::floor(date.unixSeconds()));
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::optional<DefaultsDate> parseISO8601(std::string_view text) {
    std::size_t at = 0;
    const auto digits = [&](std::size_t count) -> std::optional<int> {
        if (at + count > text.size()) return std::nullopt;
        int value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const char c = text[at + i];
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + (c - '0');
        }
        at += count;
        return value;
    };
    const auto mark = [&](char expected) {
        if (at >= text.size() || text[at] != expected) return false;
        ++at;
        return true;
    };
    const auto year = digits(4);
    if (!year || !mark('-')) return std::nullopt;
    const auto month = digits(2);
    if (!month || !mark('-')) return std::nullopt;
    const auto day = digits(2);
    if (!day || !mark('T')) return std::nullopt;
    const auto hour = digits(2);
    if (!hour || !mark(':')) return std::nullopt;
    const auto minute = digits(2);
    if (!minute || !mark(':')) return std::nullopt;
    const auto second = digits(2);
    if (!second) return std::nullopt;
    if (*month < 1 || *month > 12 || *day < 1 || *day > daysInMonth(*year, *month) || *hour > 23 ||
        *minute > 59 || *second > 59)
        return std::nullopt;

    double fraction = 0;
    if (mark('.')) {
        const std::size_t start = at;
        double scale = 0.1;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            fraction += (text[at] - '0') * scale;
            scale /= 10;
            ++at;
        }
        if (at == start) return std::nullopt;
    }
    int offsetSeconds = 0;
    if (!mark('Z')) {
        if (at >= text.size() || (text[at] != '+' && text[at] != '-')) return std::nullopt;
        const int sign = text[at] == '-' ? -1 : 1;
        ++at;
        const auto offsetHours = digits(2);
        if (!offsetHours || !mark(':')) return std::nullopt;
        const auto offsetMinutes = digits(2);
        if (!offsetMinutes || *offsetHours > 23 || *offsetMinutes > 59) return std::nullopt;
        offsetSeconds = sign * (*offsetHours * 3600 + *offsetMinutes * 60);
    }
    if (at != text.size()) return std::nullopt;

    std::tm parts{};
    parts.tm_year = *year - 1900;
    parts.tm_mon = *month - 1;
    parts.tm_mday = *day;
    parts.tm_hour = *hour;
    parts.tm_min = *minute;
    parts.tm_sec = *second;
    const double unix = static_cast<double>(timegm(&parts)) - offsetSeconds + fraction;
    return DefaultsDate::fromUnixSeconds(unix);
}

nlohmann::json BenchmarkSubmission::Suite::json() const {
    return {{"id", id},
            {"version", version},
            {"warmup_frames", warmupFrames},
            {"measured_frames", measuredFrames},
            {"scope", scope}};
}

BenchmarkSubmission::Suite BenchmarkSubmission::Suite::decode(const nlohmann::json& json,
                                                              const std::string& path) {
    const json_decoding::Object object(json, path);
    return {object.string("id"), object.integer("version"), object.integer("warmup_frames"),
            object.integer("measured_frames"), object.string("scope")};
}

nlohmann::json BenchmarkSubmission::json() const {
    nlohmann::json modelsJSON = nlohmann::json::array();
    for (const Model& model : models) {
        modelsJSON.push_back({{"role", model.role},
                              {"series_id", model.seriesID},
                              {"series_version", model.seriesVersion},
                              {"variant_id", model.variantID},
                              {"checkpoint_sha256", model.checkpointSHA256}});
    }
    nlohmann::json measurementsJSON = nlohmann::json::array();
    for (const Measurement& m : measurements) {
        measurementsJSON.push_back({{"model_role", m.modelRole},
                                    {"profile", m.profile},
                                    {"input_width", m.inputWidth},
                                    {"input_height", m.inputHeight},
                                    {"scale", m.scale},
                                    {"output_width", m.outputWidth},
                                    {"output_height", m.outputHeight},
                                    {"median_ms", number(m.medianMS)},
                                    {"p95_ms", number(m.p95MS)},
                                    {"sustained_fps", number(m.sustainedFPS)},
                                    {"recommended_fps", m.recommendedFPS ? nlohmann::json(*m.recommendedFPS)
                                                                         : nlohmann::json(nullptr)}});
    }
    nlohmann::json publicationJSON = {{"visibility", publication.visibility},
                                      {"consent_notice_version", publication.consentNoticeVersion}};
    if (publication.comment) publicationJSON["comment"] = *publication.comment;
    // nlohmann::json keeps object keys in a std::map: ascending byte order, as the service expects.
    return {{"schema_version", schemaVersion},
            {"submission_id", submissionID},
            {"measured_at", iso8601String(measuredAt)},
            {"app", {{"name", app.name}, {"version", app.version}, {"channel", app.channel}}},
            {"system",
             {{"os_name", system.osName},
              {"os_version", system.osVersion},
              {"os_build", system.osBuild},
              {"hardware_model", system.hardwareModel},
              {"metal_device", system.metalDevice},
              {"memory_gib", system.memoryGiB}}},
            {"environment",
             {{"low_power_mode", environment.lowPowerMode},
              {"thermal_state", environment.thermalState},
              {"power_source", environment.powerSource}}},
            {"suite", suite.json()},
            {"models", modelsJSON},
            {"measurements", measurementsJSON},
            {"publication", publicationJSON}};
}

std::string BenchmarkSubmission::encoded(bool prettyPrinted) const {
    return json().dump(prettyPrinted ? 2 : -1, ' ', false, nlohmann::json::error_handler_t::strict);
}

BenchmarkSubmission BenchmarkSubmission::decode(const nlohmann::json& json) {
    using json_decoding::Object;
    const Object root(json, "");
    BenchmarkSubmission s;
    s.schemaVersion = root.integer("schema_version");
    s.submissionID = root.string("submission_id");
    const std::string measuredAt = root.string("measured_at");
    const std::optional<DefaultsDate> date = parseISO8601(measuredAt);
    if (!date) throw JSONDecodingError(root.pathOf("measured_at"), "not an ISO 8601 date: " + measuredAt);
    s.measuredAt = *date;

    const Object app(root.required("app"), root.pathOf("app"));
    s.app = {app.string("name"), app.string("version"), app.string("channel")};
    const Object system(root.required("system"), root.pathOf("system"));
    s.system = {system.string("os_name"),        system.string("os_version"),   system.string("os_build"),
                system.string("hardware_model"), system.string("metal_device"), system.integer("memory_gib")};
    const Object environment(root.required("environment"), root.pathOf("environment"));
    s.environment = {environment.boolean("low_power_mode"), environment.string("thermal_state"),
                     environment.string("power_source")};
    s.suite = Suite::decode(root.required("suite"), root.pathOf("suite"));
    s.models = root.array("models", [](const nlohmann::json& value, const std::string& path) {
        const Object o(value, path);
        return Model{o.string("role"), o.string("series_id"), o.string("series_version"),
                     o.string("variant_id"), o.string("checkpoint_sha256")};
    });
    s.measurements = root.array("measurements", [](const nlohmann::json& value, const std::string& path) {
        const Object o(value, path);
        return Measurement{o.string("model_role"),
                           o.string("profile"),
                           o.integer("input_width"),
                           o.integer("input_height"),
                           o.integer("scale"),
                           o.integer("output_width"),
                           o.integer("output_height"),
                           decodeNumber(o, "median_ms"),
                           decodeNumber(o, "p95_ms"),
                           decodeNumber(o, "sustained_fps"),
                           o.optionalInteger("recommended_fps")};
    });
    const Object publication(root.required("publication"), root.pathOf("publication"));
    s.publication = {publication.string("visibility"), publication.integer("consent_notice_version"),
                     publication.optionalString("comment")};
    return s;
}

std::string BenchmarkSubmission::checkpointSHA256(const std::filesystem::path& modelFolder) {
    // A model manifest is a few hundred bytes; the cap keeps a wrong file from being loaded whole.
    const std::string text = files::readWholeText(modelFolder / "manifest.json", 1 << 20);
    const nlohmann::json document = json_decoding::parse(text);
    const json_decoding::Object manifest(document, "");
    std::optional<std::string> checkpoint = normalizedCheckpoint(manifest.string("checkpoint_sha256"));
    if (!checkpoint) throw BenchmarkSubmissionError(BenchmarkSubmissionError::invalidCheckpoint);
    return std::move(*checkpoint);
}

namespace {

constexpr std::array benchmarkRoles{PerformanceBenchmarkModel::fast, PerformanceBenchmarkModel::quality};

BundledModelPreset presetOf(PerformanceBenchmarkModel role) {
    return role == PerformanceBenchmarkModel::fast ? BundledModelPreset::fast : BundledModelPreset::quality;
}

} // namespace

BenchmarkCheckpointMap
benchmarkComparisonCheckpoints(const std::map<BundledModelPreset, std::filesystem::path>& modelURLs) {
    BenchmarkCheckpointMap checkpoints;
    for (const PerformanceBenchmarkModel role : benchmarkRoles) {
        const auto folder = modelURLs.find(presetOf(role));
        if (folder == modelURLs.end()) throw BenchmarkSubmissionError::missingModelError(role);
        checkpoints[rawValue(role)] = BenchmarkSubmission::checkpointSHA256(folder->second);
    }
    return checkpoints;
}

BenchmarkSubmission makeBenchmarkSubmission(const BenchmarkSubmissionInputs& inputs) {
    using Error = BenchmarkSubmissionError;
    if (!inputs.report || !inputs.measuredAt || !inputs.manifest) throw Error(Error::incompleteMeasurements);
    for (const PerformanceBenchmarkModel role : benchmarkRoles) {
        if (!inputs.modelURLs.count(presetOf(role))) throw Error::missingModelError(role);
    }

    BenchmarkSubmission submission;
    for (const PerformanceBenchmarkModel role : benchmarkRoles) {
        const std::string roleText = rawValue(role);
        const auto& variants = inputs.manifest->variants;
        const auto variant = std::find_if(variants.begin(), variants.end(),
                                          [&](const auto& candidate) { return candidate.role == roleText; });
        if (variant == variants.end()) throw Error::missingModelError(role);
        submission.models.push_back(
            {roleText, inputs.manifest->id, inputs.manifest->version, variant->id,
             BenchmarkSubmission::checkpointSHA256(inputs.modelURLs.at(presetOf(role)))});
    }

    if (inputs.report->measurements.size() != 8) throw Error(Error::incompleteMeasurements);
    for (const PerformanceBenchmarkMeasurement& m : inputs.report->measurements) {
        const std::int64_t w = width(m.profile);
        const std::int64_t h = height(m.profile);
        const std::int64_t scale = factor(m.scale);
        submission.measurements.push_back({rawValue(m.model), rawValue(m.profile), w, h, scale, w * scale,
                                           h * scale, m.medianMS, m.p95MS, m.sustainedFPS, m.recommendedFPS});
    }

    submission.submissionID = inputs.submissionID;
    std::transform(submission.submissionID.begin(), submission.submissionID.end(),
                   submission.submissionID.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    submission.measuredAt = *inputs.measuredAt;
    submission.app = {"Lumavane", inputs.appVersion.value_or("0.9.1"), inputs.channel};
    const double gib = static_cast<double>(inputs.physicalMemoryBytes) / 1073741824.0;
    submission.system = {"Linux",
                         inputs.osVersion,
                         inputs.osBuild,
                         inputs.hardwareModel,
                         inputs.gpuDevice.value_or("unavailable"),
                         std::max<std::int64_t>(1, std::llround(gib))};
    static constexpr std::array thermalStates{"nominal", "fair", "serious", "critical"};
    const bool knownThermalState =
        std::find(thermalStates.begin(), thermalStates.end(), inputs.thermalState) != thermalStates.end();
    submission.environment = {inputs.lowPowerMode, knownThermalState ? inputs.thermalState : "unknown",
                              "unknown"};
    if (inputs.comment && !inputs.comment->empty()) submission.publication.comment = inputs.comment;
    return submission;
}

} // namespace lumavane
