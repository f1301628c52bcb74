#include "Lumavane/Benchmarks/BenchmarkScoreSummary.hpp"

#include <algorithm>
#include <cmath>

namespace lumavane {

namespace {

std::optional<double> cellFPS(double p95MS) {
    if (!std::isfinite(p95MS) || p95MS <= 0) return std::nullopt;
    const double fps = 1000 / p95MS;
    if (!std::isfinite(fps) || fps <= 0) return std::nullopt;
    return fps;
}

} // namespace

std::optional<BenchmarkScoreSummary> BenchmarkScoreSummary::from(const PerformanceBenchmarkReport& report) {
    if (report.measurements.size() != 8) return std::nullopt;
    double logSum = 0;
    for (const auto model : {PerformanceBenchmarkModel::fast, PerformanceBenchmarkModel::quality}) {
        for (const auto profile :
             {PerformanceBenchmarkProfile::hd720, PerformanceBenchmarkProfile::fullHD1080}) {
            for (const auto scale : {PerformanceBenchmarkScale::two, PerformanceBenchmarkScale::four}) {
                const auto same = [&](const PerformanceBenchmarkMeasurement& m) {
                    return m.model == model && m.profile == profile && m.scale == scale;
                };
                if (std::count_if(report.measurements.begin(), report.measurements.end(), same) != 1)
                    return std::nullopt;
                const auto fps = cellFPS(
                    std::find_if(report.measurements.begin(), report.measurements.end(), same)->p95MS);
                if (!fps) return std::nullopt;
                logSum += std::log(*fps);
            }
        }
    }
    const auto at1080p2x = [&](PerformanceBenchmarkModel model) {
        return 1000 / report
                          .measurement(model, PerformanceBenchmarkProfile::fullHD1080,
                                       PerformanceBenchmarkScale::two)
                          ->p95MS;
    };
    return BenchmarkScoreSummary{std::exp(logSum / 8), at1080p2x(PerformanceBenchmarkModel::fast),
                                 at1080p2x(PerformanceBenchmarkModel::quality)};
}

} // namespace lumavane
