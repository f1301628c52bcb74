#pragma once

#include "Lumavane/Benchmarks/BenchmarkReports.hpp"
#include "Lumavane/Models/BundledModelPreset.hpp"
#include "Lumavane/Models/ModelSeriesManifest.hpp"
#include "Platform/Foundation/DefaultsStore.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lumavane {

// The errors of the submission, posting and comparison code, each with a fixed English text.
class BenchmarkSubmissionError : public std::runtime_error {
public:
    enum Case {
        missingModel,
        server,
        incompleteMeasurements,
        invalidCheckpoint,
        invalidEndpoint,
        invalidResponse,
        invalidResultURL,
    };
    explicit BenchmarkSubmissionError(Case errorCase);
    static BenchmarkSubmissionError missingModelError(PerformanceBenchmarkModel role);
    static BenchmarkSubmissionError serverError(int status, std::optional<std::string> message);

    Case errorCase() const noexcept { return case_; }
    std::optional<PerformanceBenchmarkModel> role() const noexcept { return role_; }
    int status() const noexcept { return status_; }
    const std::optional<std::string>& message() const noexcept { return message_; }
    std::string errorDescription() const { return what(); }

private:
    BenchmarkSubmissionError(Case errorCase, std::string description);
    Case case_;
    std::optional<PerformanceBenchmarkModel> role_;
    int status_ = 0;
    std::optional<std::string> message_;
};

// A double that JSON cannot hold (infinity, NaN): the document is not written at all.
class JSONEncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One standard benchmark result as the benchmark web service receives it.
struct BenchmarkSubmission {
    struct App {
        std::string name = "Lumavane";
        std::string version;
        std::string channel;
        bool operator==(const App&) const = default;
    };
    struct System {
        std::string osName = "Linux";
        std::string osVersion; // the distribution, e.g. "Debian GNU/Linux 12 (bookworm)"
        std::string osBuild;   // the kernel release
        std::string hardwareModel;
        std::string metalDevice; // the compute device's name, or "unavailable"
        std::int64_t memoryGiB = 1;
        bool operator==(const System&) const = default;
    };
    struct Environment {
        bool lowPowerMode = false;
        std::string thermalState = "unknown";
        std::string powerSource = "unknown";
        bool operator==(const Environment&) const = default;
    };
    struct Suite {
        std::string id = "lumavane.standard";
        std::int64_t version = 1;
        std::int64_t warmupFrames = 5;
        std::int64_t measuredFrames = 30;
        std::string scope = "enhancement_pipeline_only";
        bool operator==(const Suite&) const = default;
        // True for the five values above.
        bool isStandard() const { return *this == Suite{}; }
        // The same JSON form in a submission and in a comparison cohort.
        nlohmann::json json() const;
        static Suite decode(const nlohmann::json& json, const std::string& path);
    };
    struct Model {
        std::string role;
        std::string seriesID;
        std::string seriesVersion;
        std::string variantID;
        std::string checkpointSHA256;
        bool operator==(const Model&) const = default;
    };
    struct Measurement {
        std::string modelRole;
        std::string profile;
        std::int64_t inputWidth = 0;
        std::int64_t inputHeight = 0;
        std::int64_t scale = 0;
        std::int64_t outputWidth = 0;
        std::int64_t outputHeight = 0;
        double medianMS = 0;
        double p95MS = 0;
        double sustainedFPS = 0;
        std::optional<std::int64_t> recommendedFPS;
        bool operator==(const Measurement&) const = default;
    };
    struct Publication {
        std::string visibility = "public";
        std::int64_t consentNoticeVersion = 1;
        std::optional<std::string> comment;
        bool operator==(const Publication&) const = default;
    };

    std::int64_t schemaVersion = 1;
    std::string submissionID; // canonical upper-case UUID text; also the POST's idempotency key
    DefaultsDate measuredAt;
    App app;
    System system;
    Environment environment;
    Suite suite;
    std::vector<Model> models;
    std::vector<Measurement> measurements;
    Publication publication;
    bool operator==(const BenchmarkSubmission&) const = default;

    // The web form: snake_case keys in ascending order, slashes unescaped, "measured_at" in
    // ISO 8601 UTC whole seconds, "recommended_fps" null when absent, "comment" omitted when
    // absent. Throws JSONEncodingError for a non-finite double. The posted body is the compact form.
    std::string encoded(bool prettyPrinted) const;
    nlohmann::json json() const; // the same document, unchecked
    // Reads the same form back; every key is required but "recommended_fps" and "comment".
    static BenchmarkSubmission decode(const nlohmann::json& json);

    // The "checkpoint_sha256" of folder/manifest.json under the checkpoint rule below. File and
    // decoding errors pass through; a malformed hash is BenchmarkSubmissionError::invalidCheckpoint.
    static std::string checkpointSHA256(const std::filesystem::path& modelFolder);
};

// The one checkpoint rule: 64 hexadecimal digits in either letter case, lower-cased; anything
// else is absent.
std::optional<std::string> normalizedCheckpoint(std::string_view text);

// Role ("fast", "quality") to that shipped model's lower-case checkpoint hash.
using BenchmarkCheckpointMap = std::map<std::string, std::string>;

// "2026-03-04T05:06:07Z" (UTC, whole seconds, fractions dropped).
std::string iso8601String(DefaultsDate date);
// An internet date-time with or without fractional seconds, "Z" or a "+hh:mm" offset.
std::optional<DefaultsDate> parseISO8601(std::string_view text);

// What the session knows when it builds a submission; it fills these from its own state and the
// machine's facts and passes the comment already normalized for publication.
struct BenchmarkSubmissionInputs {
    std::string submissionID;
    std::optional<std::string> comment;
    std::optional<PerformanceBenchmarkReport> report;
    std::optional<DefaultsDate> measuredAt;
    std::optional<ModelSeriesManifest> manifest;                   // the shipped series
    std::map<BundledModelPreset, std::filesystem::path> modelURLs; // the shipped model folders
    std::optional<std::string> appVersion; // "CFBundleShortVersionString"; "0.9.1" when absent
    std::string channel = "linux";
    std::optional<std::string> gpuDevice; // "unavailable" when absent
    std::string hardwareModel = "unavailable";
    std::string osBuild = "unavailable";
    std::string osVersion = "unavailable";
    std::uint64_t physicalMemoryBytes = 0;
    bool lowPowerMode = false;
    std::string thermalState = "unknown";
};

// The submission of the session's last standard result. Throws incompleteMeasurements (no
// report, time or series, or not eight measurements), missingModel (fast before quality: no
// folder, or no variant with that role), invalidCheckpoint, or a file or decoding error.
BenchmarkSubmission makeBenchmarkSubmission(const BenchmarkSubmissionInputs& inputs);

// The checkpoint map of the two shipped models (missingModel, invalidCheckpoint or the file's error).
BenchmarkCheckpointMap
benchmarkComparisonCheckpoints(const std::map<BundledModelPreset, std::filesystem::path>& modelURLs);

} // namespace lumavane
