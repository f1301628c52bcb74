#pragma once

#include "Lumavane/Benchmarks/BenchmarkReports.hpp"

#include <optional>

namespace lumavane {

// A complete standard report condensed: the geometric mean of the eight cells' frame rates
// (1000 / p95MS) and the two models' rates at 1080p 2x. All three finite and above 0.
struct BenchmarkScoreSummary {
    double performance = 0;
    double fastFPS = 0;
    double qualityFPS = 0;

    // Absent unless the report holds exactly the eight cells once each, every p95MS giving a
    // finite positive frame rate.
    static std::optional<BenchmarkScoreSummary> from(const PerformanceBenchmarkReport& report);
};

} // namespace lumavane
