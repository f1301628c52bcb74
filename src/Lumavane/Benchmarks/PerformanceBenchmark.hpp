#pragma once

#include "Lumavane/Benchmarks/BenchmarkReports.hpp"
#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Video/PixelBuffer.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumavane {

// The runner's own failures; what() is the text the user sees.
class BenchmarkError : public std::runtime_error {
public:
    enum class Case { missingModel, sourceBuffer, unsupportedModelFormat };

    static BenchmarkError missingModel(PerformanceBenchmarkModel model);
    static BenchmarkError sourceBuffer();
    // A per-model run of a Core ML-format model: the runner measures compact engines only.
    static BenchmarkError unsupportedModelFormat();

    Case errorCase() const noexcept { return case_; }
    // The model of missingModel.
    std::optional<PerformanceBenchmarkModel> model() const noexcept { return model_; }
    std::optional<std::string> errorDescription() const { return std::string(what()); }
    bool operator==(const BenchmarkError& other) const noexcept {
        return case_ == other.case_ && model_ == other.model_;
    }

private:
    BenchmarkError(Case errorCase, std::optional<PerformanceBenchmarkModel> model, const std::string& text)
        : std::runtime_error(text), case_(errorCase), model_(model) {}

    Case case_;
    std::optional<PerformanceBenchmarkModel> model_;
};

// One engine of a run: enhances the source frame and drops the result.
class PerformanceBenchmarkEngine {
public:
    virtual ~PerformanceBenchmarkEngine() = default;
    virtual void enhance(const PixelBuffer& source) = 0;
};

// Nearest-rank statistics of one timed series.
struct PerformanceBenchmarkStatistics {
    double medianMS = 0;
    double p95MS = 0;
    double sustainedFPS = 0;
    std::optional<std::int64_t> recommendedFPS;
    bool operator==(const PerformanceBenchmarkStatistics&) const = default;
};

struct PerformanceBenchmarkFrameSize {
    std::size_t width = 0;
    std::size_t height = 0;
};

// How a run measures. The defaults are the standard suite's; only tests change them.
struct PerformanceBenchmarkSettings {
    int warmUpCount = 5;
    int timedCount = 30;
    PerformanceBenchmarkFrameSize hd720{1280, 720};
    PerformanceBenchmarkFrameSize fullHD1080{1920, 1080};
    // Builds the engine of one model folder and scale; empty: a CompactEnhancer with direct
    // input and native 4x output exactly for the 4x scale.
    std::function<std::unique_ptr<PerformanceBenchmarkEngine>(const std::filesystem::path&,
                                                              PerformanceBenchmarkScale)>
        makeEngine;
    // Seconds on a clock that never jumps; empty: the steady clock.
    std::function<double()> clock;
    // After each measured condition: (conditions done, conditions in the run). Called on the
    // thread that runs the benchmark.
    std::function<void(int, int)> progress;
};

// Measures how fast the enhancement engine alone turns a synthetic frame into an enhanced one.
// Both runs are blocking and strictly sequential: call them off the main thread. Cancellation
// is noticed before each model (standard suite) or scale (per-model run), after each warm-up
// and before every timed call after the first, and throws CancellationError; an enhance call
// in flight is never interrupted.
class PerformanceBenchmark {
public:
    // Timings never come from the wall clock: a clock step would corrupt them.
    using Clock = std::chrono::steady_clock;
    static constexpr int warmUpCount = 5;
    static constexpr int timedCount = 30;

    PerformanceBenchmark() = delete;

    // fast, quality x 2x, 4x x 720p, 1080p in that nesting order: eight measurements, or throws
    // (BenchmarkError, the engine's errors unchanged, CancellationError); nothing partial.
    static PerformanceBenchmarkReport
    run(const std::map<PerformanceBenchmarkModel, std::filesystem::path>& modelURLs,
        const CancellationToken& cancellation = {}, const PerformanceBenchmarkSettings& settings = {});
    // One model at each of `supportedScales` (in that order, repeats measured again) x 720p,
    // 1080p; measuredAt is left absent for the caller to stamp. A Core ML-format model is refused
    // with BenchmarkError::unsupportedModelFormat before anything is built.
    static ModelBenchmarkReport run(const std::filesystem::path& modelURL,
                                    const std::vector<PerformanceBenchmarkScale>& supportedScales,
                                    const CancellationToken& cancellation = {},
                                    const PerformanceBenchmarkSettings& settings = {});

    // The element at rank ceil(fraction x n) clamped to 1...n of an ascending list; 0 when empty.
    static double percentile(const std::vector<double>& sorted, double fraction);
    // The first of 120, 60, 30, 24 that 90 % of the sustained rate reaches; none below 24.
    static std::optional<std::int64_t> recommendedFPS(double sustainedFPS);
    // Sorts the times (ms) and derives median, P95, sustained and recommended rate.
    static PerformanceBenchmarkStatistics statistics(std::vector<double> timesMS);
    // A BGRA frame with blue (3x + y), green (x + 2y), red (x xor y), all mod 256, alpha 255.
    // Throws BenchmarkError::sourceBuffer.
    static PixelBuffer makeSourceBuffer(std::size_t width, std::size_t height);
};

} // namespace lumavane
