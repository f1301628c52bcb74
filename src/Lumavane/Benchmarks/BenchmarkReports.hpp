#pragma once

#include "Platform/Foundation/DefaultsStore.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumavane {

enum class PerformanceBenchmarkModel { fast, quality };
enum class PerformanceBenchmarkProfile { hd720, fullHD1080 };
enum class PerformanceBenchmarkScale { two, four };

std::string rawValue(PerformanceBenchmarkModel model);
std::string rawValue(PerformanceBenchmarkProfile profile);
// "2×" and "4×", with the multiplication sign.
std::string rawValue(PerformanceBenchmarkScale scale);
std::optional<PerformanceBenchmarkModel> performanceBenchmarkModelFromRawValue(std::string_view raw);
std::optional<PerformanceBenchmarkProfile> performanceBenchmarkProfileFromRawValue(std::string_view raw);
std::optional<PerformanceBenchmarkScale> performanceBenchmarkScaleFromRawValue(std::string_view raw);
// 1280 x 720 and 1920 x 1080; 2 and 4.
int width(PerformanceBenchmarkProfile profile);
int height(PerformanceBenchmarkProfile profile);
int factor(PerformanceBenchmarkScale scale);

// One condition of the standard suite.
struct PerformanceBenchmarkMeasurement {
    PerformanceBenchmarkModel model = PerformanceBenchmarkModel::fast;
    PerformanceBenchmarkProfile profile = PerformanceBenchmarkProfile::hd720;
    PerformanceBenchmarkScale scale = PerformanceBenchmarkScale::two;
    double medianMS = 0;
    double p95MS = 0;
    double sustainedFPS = 0;
    std::optional<std::int64_t> recommendedFPS;
    bool operator==(const PerformanceBenchmarkMeasurement&) const = default;
};

struct PerformanceBenchmarkReport {
    std::vector<PerformanceBenchmarkMeasurement> measurements;

    // The first measurement of that condition, in list order.
    std::optional<PerformanceBenchmarkMeasurement> measurement(PerformanceBenchmarkModel model,
                                                               PerformanceBenchmarkProfile profile,
                                                               PerformanceBenchmarkScale scale) const;
    // The plain-text report the user copies: header, score block when the suite is complete,
    // each profile and scale with its quality and fast results, then `diagnostics` unchanged.
    std::string text(const std::string& appVersion, const std::string& diagnostics) const;
    bool operator==(const PerformanceBenchmarkReport&) const = default;
};

// One condition of a per-model run (no model, no median).
struct ModelBenchmarkMeasurement {
    PerformanceBenchmarkProfile profile = PerformanceBenchmarkProfile::hd720;
    PerformanceBenchmarkScale scale = PerformanceBenchmarkScale::two;
    double p95MS = 0;
    double sustainedFPS = 0;
    std::optional<std::int64_t> recommendedFPS;
    bool operator==(const ModelBenchmarkMeasurement&) const = default;
};

struct ModelBenchmarkReport {
    std::vector<ModelBenchmarkMeasurement> measurements;
    // Absent as the runner returns it; the session stamps it before storing.
    std::optional<DefaultsDate> measuredAt;
    bool operator==(const ModelBenchmarkReport&) const = default;
};

// The cached standard result under "player.defaultBenchmark".
struct DefaultBenchmarkSnapshot {
    std::string identity;
    DefaultsDate measuredAt;
    PerformanceBenchmarkReport report;
    bool operator==(const DefaultBenchmarkSnapshot&) const = default;
};

// JSON forms: field names as keys, dates as seconds since 2001-01-01, absent optionals omitted.
// Decoding requires every non-optional key, ignores unknown keys, and throws JSONDecodingError
// for anything else (an unknown enumeration text included).
nlohmann::json toJSON(const PerformanceBenchmarkMeasurement& measurement);
nlohmann::json toJSON(const PerformanceBenchmarkReport& report);
nlohmann::json toJSON(const ModelBenchmarkMeasurement& measurement);
nlohmann::json toJSON(const ModelBenchmarkReport& report);
nlohmann::json toJSON(const DefaultBenchmarkSnapshot& snapshot);

PerformanceBenchmarkReport performanceBenchmarkReportFromJSON(const nlohmann::json& json,
                                                              const std::string& path = "");
ModelBenchmarkReport modelBenchmarkReportFromJSON(const nlohmann::json& json, const std::string& path = "");
DefaultBenchmarkSnapshot defaultBenchmarkSnapshotFromJSON(const nlohmann::json& json,
                                                          const std::string& path = "");

} // namespace lumavane
