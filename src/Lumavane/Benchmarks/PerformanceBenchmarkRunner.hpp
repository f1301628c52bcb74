#pragma once

#include "Lumavane/Benchmarks/PerformanceBenchmark.hpp"
#include "Platform/Foundation/MainExecutor.hpp"
#include "Platform/Foundation/SerialQueue.hpp"

#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace lumavane {

// How a benchmark started through the runner ended. Exactly one of: a report, an error, or
// cancelled (the caller treats a cancellation as a silent stop).
template <typename Report> struct BenchmarkOutcome {
    std::optional<Report> report;
    std::exception_ptr error;
    bool cancelled = false;
};

// Runs one benchmark at a time on a worker queue of its own ("Lumavane.benchmark") and posts its
// progress and its outcome to the main executor. Generations stay with the caller: the runner
// only guarantees that a completion is posted once per start, and never after the runner is gone.
class PerformanceBenchmarkRunner {
public:
    // (conditions done, conditions in the run), on the main thread.
    using Progress = std::function<void(int, int)>;
    template <typename Report> using Completion = std::function<void(BenchmarkOutcome<Report>)>;

    // `settings` is for tests (small counts and frames, fake engines); its progress is ignored.
    explicit PerformanceBenchmarkRunner(MainExecutor& executor, PerformanceBenchmarkSettings settings = {});
    // Cancels the running benchmark and waits for its current enhance call to finish.
    ~PerformanceBenchmarkRunner();
    PerformanceBenchmarkRunner(const PerformanceBenchmarkRunner&) = delete;
    PerformanceBenchmarkRunner& operator=(const PerformanceBenchmarkRunner&) = delete;

    // Each start cancels the benchmark before it and returns the new run's token; cancel() on it
    // (or a later start) stops the run at its next check point and completes it as cancelled.
    CancellationToken runStandard(std::map<PerformanceBenchmarkModel, std::filesystem::path> modelURLs,
                                  Progress progress, Completion<PerformanceBenchmarkReport> completion);
    CancellationToken runModel(std::filesystem::path modelURL, std::vector<PerformanceBenchmarkScale> scales,
                               Progress progress, Completion<ModelBenchmarkReport> completion);
    // Cancels whichever run is going; nothing when none.
    void cancel();

private:
    template <typename Report>
    CancellationToken
    start(std::function<Report(const CancellationToken&, const PerformanceBenchmarkSettings&)> body,
          Progress progress, Completion<Report> completion);

    MainExecutor& executor_;
    PerformanceBenchmarkSettings settings_;
    CancellationToken current_;
    // Dropped in the destructor: posted work checks it before calling back.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    SerialQueue queue_{"Lumavane.benchmark", QualityOfService::userInitiated};
};

} // namespace lumavane
