#include "Lumavane/Benchmarks/BenchmarkReports.hpp"
#include "Lumavane/Benchmarks/BenchmarkScoreSummary.hpp"

#include "Platform/Foundation/JSONDecoding.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace lumavane {
namespace {

TEST(BenchmarkReports, StoredFormsRoundTripAndOmitAbsentValues) {
    DefaultBenchmarkSnapshot snapshot{
        "machine|1.0",
        DefaultsDate{786000000.5},
        {{{PerformanceBenchmarkModel::quality, PerformanceBenchmarkProfile::fullHD1080,
           PerformanceBenchmarkScale::four, 40.5, 44.25, 22.6, std::nullopt},
          {PerformanceBenchmarkModel::fast, PerformanceBenchmarkProfile::hd720,
           PerformanceBenchmarkScale::two, 5, 6, 166.7, 120}}}};
    const nlohmann::json json = toJSON(snapshot);
    EXPECT_EQ(
        json["report"]["measurements"][0].dump(),
        R"({"medianMS":40.5,"model":"quality","p95MS":44.25,"profile":"1080p","scale":"4×","sustainedFPS":22.6})");
    EXPECT_EQ(defaultBenchmarkSnapshotFromJSON(nlohmann::json::parse(json.dump())), snapshot);

    ModelBenchmarkReport report{
        {{PerformanceBenchmarkProfile::hd720, PerformanceBenchmarkScale::two, 8, 125, 120}}, std::nullopt};
    EXPECT_FALSE(toJSON(report).contains("measuredAt"));
    EXPECT_EQ(modelBenchmarkReportFromJSON(toJSON(report)), report);
    report.measuredAt = DefaultsDate{12.5};
    EXPECT_EQ(toJSON(report)["measuredAt"], 12.5);
    EXPECT_EQ(modelBenchmarkReportFromJSON(toJSON(report)), report);
}

TEST(BenchmarkReports, DecodingRefusesWhatTheRecordsCannotHold) {
    const char* refused[] = {
        R"({"measurements":[{"profile":"720p","scale":"2x","p95MS":8,"sustainedFPS":125}]})",
        R"({"measurements":[{"profile":"480p","scale":"2×","p95MS":8,"sustainedFPS":125}]})",
        R"({"measurements":[{"profile":"720p","scale":"2×","sustainedFPS":125}]})",
        R"({"measurements":[{"profile":"720p","scale":"2×","p95MS":"8","sustainedFPS":125}]})",
        R"({"measurements":[{"profile":"720p","scale":"2×","p95MS":8,"sustainedFPS":125,"recommendedFPS":59.5}]})",
        R"({"measurements":[],"measuredAt":"today"})",
        R"({})",
    };
    for (const char* text : refused) {
        EXPECT_THROW(modelBenchmarkReportFromJSON(nlohmann::json::parse(text)), JSONDecodingError) << text;
    }
    const auto accepted = modelBenchmarkReportFromJSON(nlohmann::json::parse(
        R"({"measurements":[{"profile":"1080p","scale":"4×","p95MS":8,"sustainedFPS":125,"extra":1}],"note":"x"})"));
    EXPECT_EQ(accepted.measurements.at(0).scale, PerformanceBenchmarkScale::four);
}

TEST(BenchmarkReports, TheFirstMeasurementOfAConditionIsFound) {
    PerformanceBenchmarkReport report{{{PerformanceBenchmarkModel::fast, PerformanceBenchmarkProfile::hd720,
                                        PerformanceBenchmarkScale::two, 1, 1, 1, std::nullopt},
                                       {PerformanceBenchmarkModel::fast, PerformanceBenchmarkProfile::hd720,
                                        PerformanceBenchmarkScale::two, 2, 2, 2, std::nullopt}}};
    EXPECT_EQ(report
                  .measurement(PerformanceBenchmarkModel::fast, PerformanceBenchmarkProfile::hd720,
                               PerformanceBenchmarkScale::two)
                  ->medianMS,
              1);
    EXPECT_FALSE(report.measurement(PerformanceBenchmarkModel::quality, PerformanceBenchmarkProfile::hd720,
                                    PerformanceBenchmarkScale::two));
}

// The eight cells of the standard suite, fast at `fastMS` and quality at `qualityMS`.
PerformanceBenchmarkReport suite(double fastMS, double qualityMS) {
    PerformanceBenchmarkReport report;
    for (const auto model : {PerformanceBenchmarkModel::fast, PerformanceBenchmarkModel::quality}) {
        for (const auto scale : {PerformanceBenchmarkScale::two, PerformanceBenchmarkScale::four}) {
            for (const auto profile :
                 {PerformanceBenchmarkProfile::hd720, PerformanceBenchmarkProfile::fullHD1080}) {
                const double ms = model == PerformanceBenchmarkModel::fast ? fastMS : qualityMS;
                report.measurements.push_back({model, profile, scale, ms, ms, 1000 / ms, std::nullopt});
            }
        }
    }
    return report;
}

TEST(BenchmarkScoreSummary, GeometricMeanOfTheEightCellsAndThe1080p2xRates) {
    const auto even = BenchmarkScoreSummary::from(suite(10, 10));
    ASSERT_TRUE(even);
    EXPECT_NEAR(even->performance, 100, 1e-9);
    const auto mixed = BenchmarkScoreSummary::from(suite(10, 40));
    ASSERT_TRUE(mixed);
    EXPECT_NEAR(mixed->performance, 50, 1e-9);
    EXPECT_DOUBLE_EQ(mixed->fastFPS, 100);
    EXPECT_DOUBLE_EQ(mixed->qualityFPS, 25);

    const std::pair<const char*, std::function<void(PerformanceBenchmarkReport&)>> refused[] = {
        {"seven", [](auto& r) { r.measurements.pop_back(); }},
        {"nine", [](auto& r) { r.measurements.push_back(r.measurements[0]); }},
        {"duplicate for a missing cell", [](auto& r) { r.measurements[2] = r.measurements[0]; }},
        {"zero", [](auto& r) { r.measurements[5].p95MS = 0; }},
        {"negative", [](auto& r) { r.measurements[5].p95MS = -1; }},
        {"NaN", [](auto& r) { r.measurements[5].p95MS = NAN; }},
        {"infinite", [](auto& r) { r.measurements[5].p95MS = INFINITY; }},
        {"rate overflows",
         [](auto& r) { r.measurements[5].p95MS = std::numeric_limits<double>::denorm_min(); }},
    };
    for (const auto& [what, change] : refused) {
        auto report = suite(10, 40);
        change(report);
        EXPECT_FALSE(BenchmarkScoreSummary::from(report)) << what;
    }
}

TEST(BenchmarkReports, TextReportListsEachSizeWithQualityBeforeFast) {
    PerformanceBenchmarkReport partial{
        {{PerformanceBenchmarkModel::fast, PerformanceBenchmarkProfile::hd720, PerformanceBenchmarkScale::two,
          5.126, 6.5, 153.84615, 120},
         {PerformanceBenchmarkModel::quality, PerformanceBenchmarkProfile::hd720,
          PerformanceBenchmarkScale::two, 40, 44, 22.72727, std::nullopt}}};
    EXPECT_EQ(partial.text("1.0 (7)", "Lumavane Diagnostics\nLinux: Debian"),
              "Lumavane Benchmark 1.0 (7)\n"
              "Warm-up: 5 frames per profile, scale, and model\n"
              "Measured: 30 frames per profile, scale, and model\n"
              "Scope: enhancement pipeline only; video decoding, display, and audio are excluded\n"
              "\n"
              "720p: 1280 x 720\n\n"
              "2×: 2560 x 1440\n\n"
              "Quality model\nMedian: 40.00 ms\nP95: 44.00 ms\nSustained: 22.7 fps\n"
              "Recommended standard rate: below 24 fps\n\n"
              "Fast model\nMedian: 5.13 ms\nP95: 6.50 ms\nSustained: 153.8 fps\n"
              "Recommended standard rate: 120 fps\n\n"
              "4×: 5120 x 2880\n\n"
              "1080p: 1920 x 1080\n\n"
              "2×: 3840 x 2160\n\n"
              "4×: 7680 x 4320\n\n"
              "Lumavane Diagnostics\nLinux: Debian");

    const std::string complete = suite(10, 40).text("1.0", "D");
    EXPECT_NE(
        complete.find("excluded\n\nOverall FPS: 50.0\nFast FPS: 100.0\nQuality FPS: 25.0\n"
                      "Overall: geometric mean of 8 FPS derived from P95; Fast/Quality: 1080p 2x\n\n720p: "),
        std::string::npos)
        << complete;
    EXPECT_EQ(std::count(complete.begin(), complete.end(), '\n'), 5 + 5 + 2 * (2 + 2 * (2 + 2 * 6)));
}

} // namespace
} // namespace lumavane
