#include "Lumavane/Benchmarks/BenchmarkScoreSummary.hpp"
#include "Lumavane/Benchmarks/PerformanceBenchmark.hpp"
#include "Lumavane/Benchmarks/PerformanceBenchmarkRunner.hpp"
#include "Platform/Foundation/ManualRunLoop.hpp"
#include "Platform/Foundation/Resources.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <mutex>

namespace lumavane {
namespace {

using Model = PerformanceBenchmarkModel;
using Profile = PerformanceBenchmarkProfile;
using Scale = PerformanceBenchmarkScale;

static_assert(PerformanceBenchmark::Clock::is_steady, "timings must not follow wall-clock steps");

TEST(PerformanceBenchmark, StatisticsFollowTheNearestRankRule) {
    struct Case {
        std::vector<double> times;
        double median, p95;
        std::optional<std::int64_t> recommended;
    };
    std::vector<double> thirty;
    for (int i = 30; i >= 1; --i) thirty.push_back(i); // unsorted on purpose
    const Case cases[] = {
        {{}, 0, 0, std::nullopt},
        {{7}, 7, 7, 120},     // 1000 / 7 = 142.9
        {{3, 1}, 1, 3, 120},  // rank ceil(1.9) = 2: the larger time
        {thirty, 15, 29, 30}, // 29th smallest, not the largest; 0.9 x 34.48 = 31.03
    };
    for (const auto& c : cases) {
        const auto statistics = PerformanceBenchmark::statistics(c.times);
        EXPECT_EQ(statistics.medianMS, c.median) << c.times.size();
        EXPECT_EQ(statistics.p95MS, c.p95) << c.times.size();
        EXPECT_DOUBLE_EQ(statistics.sustainedFPS, c.p95 > 0 ? 1000 / c.p95 : 0) << c.times.size();
        EXPECT_EQ(statistics.recommendedFPS, c.recommended) << c.times.size();
    }
}

TEST(PerformanceBenchmark, RecommendedRateIsTheFirstStandardRateNinetyPercentReaches) {
    const std::pair<double, std::optional<std::int64_t>> cases[] = {
        {133.34, 120}, {133.3, 60},          {70, 60},         {34.48, 30},
        {26.67, 24},   {26.6, std::nullopt}, {0, std::nullopt}};
    for (const auto& [sustained, expected] : cases)
        EXPECT_EQ(PerformanceBenchmark::recommendedFPS(sustained), expected) << sustained;
}

// Each engine call advances a virtual clock by its own call number (warm-ups included) in ms.
struct FakeRun {
    double now = 0;
    std::vector<std::pair<std::filesystem::path, Scale>> engines;
    int calls = 0;
    std::function<void(int)> onCall;

    PerformanceBenchmarkSettings settings(int warmUp, int timed) {
        PerformanceBenchmarkSettings settings;
        settings.warmUpCount = warmUp;
        settings.timedCount = timed;
        settings.hd720 = {8, 4};
        settings.fullHD1080 = {12, 6};
        settings.clock = [this] { return now; };
        settings.makeEngine = [this](const std::filesystem::path& url, Scale scale) {
            engines.emplace_back(url, scale);
            struct Engine final : PerformanceBenchmarkEngine {
                FakeRun* run;
                int own = 0;
                explicit Engine(FakeRun* run) : run(run) {}
                void enhance(const PixelBuffer&) override {
                    run->now += ++own / 1000.0;
                    ++run->calls;
                    if (run->onCall) run->onCall(run->calls);
                }
            };
            return std::make_unique<Engine>(this);
        };
        return settings;
    }
};

TEST(PerformanceBenchmark, StandardSuiteMeasuresEachModelScaleAndProfileInOrder) {
    FakeRun fake;
    const auto report =
        PerformanceBenchmark::run({{Model::quality, "q"}, {Model::fast, "f"}}, {}, fake.settings(1, 3));
    ASSERT_EQ(report.measurements.size(), 8u);
    const std::vector<std::pair<std::filesystem::path, Scale>> engines{
        {"f", Scale::two}, {"f", Scale::four}, {"q", Scale::two}, {"q", Scale::four}};
    EXPECT_EQ(fake.engines, engines);
    for (std::size_t i = 0; i < 8; ++i) {
        const auto& m = report.measurements[i];
        EXPECT_EQ(m.model, i < 4 ? Model::fast : Model::quality) << i;
        EXPECT_EQ(m.scale, i % 4 < 2 ? Scale::two : Scale::four) << i;
        EXPECT_EQ(m.profile, i % 2 == 0 ? Profile::hd720 : Profile::fullHD1080) << i;
        // 720p: warm-up call 1, timed 2, 3, 4 ms; 1080p on the same engine: 5, then 6, 7, 8.
        EXPECT_NEAR(m.medianMS, i % 2 == 0 ? 3 : 7, 1e-9) << i;
        EXPECT_NEAR(m.p95MS, i % 2 == 0 ? 4 : 8, 1e-9) << i;
    }

    FakeRun onlyFast;
    try {
        PerformanceBenchmark::run({{Model::fast, "f"}}, {}, onlyFast.settings(1, 1));
        FAIL() << "ran without the quality model";
    } catch (const BenchmarkError& error) {
        EXPECT_EQ(error, BenchmarkError::missingModel(Model::quality));
        EXPECT_STREQ(error.what(), "高画質モデルを読み込めません。");
    }
    EXPECT_EQ(onlyFast.calls, 8); // the four fast conditions ran first
}

TEST(PerformanceBenchmark, PerModelRunFollowsTheGivenScalesAndRefusesCoreMLModels) {
    FakeRun fake;
    const auto report = PerformanceBenchmark::run("m", {Scale::four, Scale::two}, {}, fake.settings(0, 1));
    ASSERT_EQ(report.measurements.size(), 4u);
    EXPECT_EQ(report.measurements[0].scale, Scale::four);
    EXPECT_EQ(report.measurements[1].profile, Profile::fullHD1080);
    EXPECT_EQ(report.measurements[2].scale, Scale::two);
    EXPECT_FALSE(report.measuredAt);

    FakeRun none;
    EXPECT_TRUE(PerformanceBenchmark::run("m", {}, {}, none.settings(0, 1)).measurements.empty());
    EXPECT_TRUE(none.engines.empty());

    for (const char* url : {"x.mlpackage", "x.mlmodel", "x.mlmodelc"}) {
        FakeRun coreML;
        try {
            PerformanceBenchmark::run(url, {Scale::two}, {}, coreML.settings(0, 1));
            FAIL() << url;
        } catch (const BenchmarkError& error) {
            EXPECT_EQ(error.errorCase(), BenchmarkError::Case::unsupportedModelFormat) << url;
        }
        EXPECT_TRUE(coreML.engines.empty()) << url;
    }
}

TEST(PerformanceBenchmark, CancellingDuringTheWarmUpStopsBeforeTheFirstTimedCall) {
    FakeRun fake;
    CancellationToken cancellation;
    fake.onCall = [&](int call) {
        if (call == 2) cancellation.cancel();
    };
    EXPECT_THROW(PerformanceBenchmark::run("m", {Scale::two}, cancellation, fake.settings(4, 5)),
                 CancellationError);
    EXPECT_EQ(fake.calls, 4);
}

TEST(PerformanceBenchmark, SourceFrameCarriesTheSyntheticPattern) {
    const PixelBuffer frame = PerformanceBenchmark::makeSourceBuffer(101, 51);
    ASSERT_EQ(frame.pixelFormat(), std::uint32_t(LV_PIXEL_FORMAT_32BGRA));
    const auto* base = static_cast<const std::uint8_t*>(frame.baseAddress());
    const std::uint8_t* origin = base;
    const std::uint8_t* at = base + 50 * frame.bytesPerRow() + 100 * 4;
    EXPECT_EQ(std::vector<int>(origin, origin + 4), (std::vector<int>{0, 0, 0, 255}));
    EXPECT_EQ(std::vector<int>(at, at + 4), (std::vector<int>{94, 200, 86, 255}));
    EXPECT_THROW(PerformanceBenchmark::makeSourceBuffer(0, 0), BenchmarkError);
}

// Holds every engine call until released.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int waiting = 0;
    void pass() {
        std::unique_lock lock(mutex);
        ++waiting;
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
    }
    void waitForCaller() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return waiting > 0; });
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

TEST(PerformanceBenchmarkRunner, ANewStartCancelsTheRunBeforeItAndEachCompletesOnTheMainThread) {
    ManualRunLoop loop;
    Gate gate;
    PerformanceBenchmarkSettings settings;
    settings.warmUpCount = 1;
    settings.timedCount = 1;
    settings.hd720 = {8, 4};
    settings.fullHD1080 = {8, 4};
    settings.makeEngine = [&](const std::filesystem::path&, Scale) {
        struct Engine final : PerformanceBenchmarkEngine {
            Gate& gate;
            explicit Engine(Gate& gate) : gate(gate) {}
            void enhance(const PixelBuffer&) override { gate.pass(); }
        };
        return std::make_unique<Engine>(gate);
    };
    PerformanceBenchmarkRunner runner(loop, settings);

    std::optional<BenchmarkOutcome<PerformanceBenchmarkReport>> first;
    std::optional<BenchmarkOutcome<ModelBenchmarkReport>> second;
    std::vector<std::pair<int, int>> progress;
    const auto firstToken = runner.runStandard({{Model::fast, "f"}, {Model::quality, "q"}}, nullptr,
                                               [&](BenchmarkOutcome<PerformanceBenchmarkReport> outcome) {
                                                   EXPECT_TRUE(loop.isMainThread());
                                                   first = std::move(outcome);
                                               });
    gate.waitForCaller();
    runner.runModel(
        "m", {Scale::two}, [&](int done, int total) { progress.emplace_back(done, total); },
        [&](BenchmarkOutcome<ModelBenchmarkReport> outcome) { second = std::move(outcome); });
    EXPECT_TRUE(firstToken.isCancelled());
    gate.release();
    ASSERT_TRUE(loop.runUntil([&] { return first && second; }, 30));

    EXPECT_TRUE(first->cancelled);
    EXPECT_FALSE(first->report);
    EXPECT_FALSE(first->error);
    ASSERT_TRUE(second->report);
    EXPECT_EQ(second->report->measurements.size(), 2u);
    EXPECT_EQ(progress, (std::vector<std::pair<int, int>>{{1, 2}, {2, 2}}));

    // A failure arrives as the error itself.
    std::optional<BenchmarkOutcome<PerformanceBenchmarkReport>> failed;
    runner.runStandard({}, nullptr, [&](auto outcome) { failed = std::move(outcome); });
    ASSERT_TRUE(loop.runUntil([&] { return failed.has_value(); }, 30));
    EXPECT_THROW(std::rethrow_exception(failed->error), BenchmarkError);
}

TEST(PerformanceBenchmark, ShortSuiteRunsThroughTheShippedModelsOnTheRealEngine) {
    const auto models = resourcesDirectory() / "Models";
    PerformanceBenchmarkSettings settings;
    settings.warmUpCount = 1;
    settings.timedCount = 2;
    settings.hd720 = {64, 36};
    settings.fullHD1080 = {96, 54};
    const auto report = PerformanceBenchmark::run(
        {{Model::fast, models / "Lumavane-Fast-4x"}, {Model::quality, models / "Lumavane-Quality-4x"}}, {},
        settings);
    ASSERT_EQ(report.measurements.size(), 8u);
    for (const auto& m : report.measurements) {
        EXPECT_GT(m.medianMS, 0);
        EXPECT_GE(m.p95MS, m.medianMS);
        EXPECT_DOUBLE_EQ(m.sustainedFPS, 1000 / m.p95MS);
    }
    EXPECT_TRUE(BenchmarkScoreSummary::from(report));
}

} // namespace
} // namespace lumavane
