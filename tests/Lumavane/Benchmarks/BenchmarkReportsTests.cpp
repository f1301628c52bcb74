#include "Lumavane/Benchmarks/BenchmarkReports.hpp"

#include "Platform/Foundation/JSONDecoding.hpp"

#include <gtest/gtest.h>

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

} // namespace
} // namespace lumavane
