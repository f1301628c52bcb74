#include "Lumavane/Benchmarks/PerformanceBenchmarkRunner.hpp"

#include <utility>

namespace lumavane {

PerformanceBenchmarkRunner::PerformanceBenchmarkRunner(MainExecutor& executor,
                                                       PerformanceBenchmarkSettings settings)
    : executor_(executor), settings_(std::move(settings)) {
    settings_.progress = nullptr;
}

PerformanceBenchmarkRunner::~PerformanceBenchmarkRunner() {
    current_.cancel();
    alive_.reset();
    queue_.shutdown();
}

void PerformanceBenchmarkRunner::cancel() { current_.cancel(); }

template <typename Report>
CancellationToken PerformanceBenchmarkRunner::start(
    std::function<Report(const CancellationToken&, const PerformanceBenchmarkSettings&)> body,
    Progress progress, Completion<Report> completion) {
    current_.cancel();
    current_ = CancellationToken();
    const CancellationToken token = current_;
    const std::weak_ptr<bool> alive = alive_;
    MainExecutor* executor = &executor_;
    PerformanceBenchmarkSettings settings = settings_;
    if (progress) {
        settings.progress = [executor, alive, progress](int done, int total) {
            executor->post([alive, progress, done, total] {
                if (alive.lock()) progress(done, total);
            });
        };
    }
    queue_.async([body = std::move(body), completion = std::move(completion), settings = std::move(settings),
                  token, alive, executor] {
        BenchmarkOutcome<Report> outcome;
        try {
            outcome.report = body(token, settings);
            // A run that finished after its cancellation counts as cancelled.
            if (token.isCancelled()) {
                outcome.report.reset();
                outcome.cancelled = true;
            }
        } catch (const CancellationError&) {
            outcome.cancelled = true;
        } catch (...) {
            outcome.error = std::current_exception();
        }
        executor->post([alive, completion, outcome = std::move(outcome)] {
            if (alive.lock() && completion) completion(outcome);
        });
    });
    return token;
}

CancellationToken
PerformanceBenchmarkRunner::runStandard(std::map<PerformanceBenchmarkModel, std::filesystem::path> modelURLs,
                                        Progress progress,
                                        Completion<PerformanceBenchmarkReport> completion) {
    return start<PerformanceBenchmarkReport>(
        [modelURLs = std::move(modelURLs)](const CancellationToken& token,
                                           const PerformanceBenchmarkSettings& settings) {
            return PerformanceBenchmark::run(modelURLs, token, settings);
        },
        std::move(progress), std::move(completion));
}

CancellationToken PerformanceBenchmarkRunner::runModel(std::filesystem::path modelURL,
                                                       std::vector<PerformanceBenchmarkScale> scales,
                                                       Progress progress,
                                                       Completion<ModelBenchmarkReport> completion) {
    return start<ModelBenchmarkReport>(
        [modelURL = std::move(modelURL), scales = std::move(scales)](
            const CancellationToken& token, const PerformanceBenchmarkSettings& settings) {
            return PerformanceBenchmark::run(modelURL, scales, token, settings);
        },
        std::move(progress), std::move(completion));
}

} // namespace lumavane
