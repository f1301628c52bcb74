// The session's benchmarks on fake engines and a fake machine: results, cancellation, stored
// per-model results, the cached standard result and its identity, diagnostics and submission.
#include "SessionTestSupport.hpp"

#include "Lumavane/Benchmarks/BenchmarkIdentity.hpp"
#include "Lumavane/Benchmarks/BenchmarkSubmission.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>

namespace lumavane {
namespace {

namespace fs = std::filesystem;
using test::SessionHarness;

const std::string fastCheckpoint(64, 'a');
const std::string qualityCheckpoint(64, 'b');

// Enhance calls wait while the gate has no permits left.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    int permits = 1 << 30;
    int calls = 0;

    void setPermits(int count) {
        std::lock_guard lock(mutex);
        permits = count;
        changed.notify_all();
    }
    // Waits (no main-thread work is posted meanwhile) until `count` calls have begun.
    bool waitForCalls(int count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return calls >= count; });
    }
};

class GatedEngine final : public PerformanceBenchmarkEngine {
public:
    explicit GatedEngine(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}
    void enhance(const PixelBuffer&) override {
        std::unique_lock lock(gate_->mutex);
        ++gate_->calls;
        gate_->changed.notify_all();
        gate_->changed.wait(lock, [&] { return gate_->permits > 0; });
        --gate_->permits;
    }

private:
    std::shared_ptr<Gate> gate_;
};

// Model loads fail at once: these tests never enhance a frame.
class RefusingFactory final : public PlaybackEnhancerFactory {
public:
    std::shared_ptr<PlaybackEnhancer> make(const fs::path&, OutputScale) override {
        throw std::runtime_error("no models here");
    }
};

ModelSeriesManifest::Variant variant(std::string id, std::optional<std::string> role, std::string path,
                                     std::vector<std::int64_t> scales = {2, 4}) {
    ModelSeriesManifest::Variant v;
    v.id = std::move(id);
    v.role = std::move(role);
    v.path = std::move(path);
    v.outputScales = std::move(scales);
    return v;
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

// A session on a fake machine with two shipped model folders and tiny benchmark runs.
struct BenchmarkHarness {
    SessionHarness harness;
    std::map<std::string, std::string> kernel{{"hw.model", "Test Board"}, {"kern.osversion", "Test OS 1, 6.1.0 #1"}};
    std::optional<std::string> appBuild = "42";
    bool engineFails = false;
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    fs::path shipped = harness.directory.path() / "shipped";
    ModelSeriesManifest manifest;

    BenchmarkHarness() {
        manifest.id = "com.example.shipped";
        manifest.version = "3";
        manifest.variants = {variant("fast-v", "fast", "fast"), variant("quality-v", "quality", "quality")};
        writeCheckpoint("fast", fastCheckpoint);
        writeCheckpoint("quality", qualityCheckpoint);
        writeFile(shipped / "model-series.json", "{}");
    }

    void writeCheckpoint(const std::string& role, const std::string& checkpoint) {
        writeFile(shipped / role / "manifest.json", R"({"checkpoint_sha256": ")" + checkpoint + "\"}");
    }

    std::unique_ptr<PlayerSession> make(bool withShippedModels = true) {
        PlayerSession::Options options = harness.options();
        options.hardwareModelIdentifier = [this](std::string_view name) {
            const auto found = kernel.find(std::string(name));
            return found == kernel.end() ? std::string("unavailable") : found->second;
        };
        options.appInfo = [this](const std::string& key) -> std::optional<std::string> {
            if (key == "CFBundleVersion") return appBuild;
            if (key == "CFBundleShortVersionString") return "1.2.3";
            return std::nullopt;
        };
        options.loadModelSeriesManifest = [this](const fs::path&) { return manifest; };
        options.enhancerFactory = std::make_shared<RefusingFactory>();
        options.benchmarkSettings.warmUpCount = 1;
        options.benchmarkSettings.timedCount = 2;
        options.benchmarkSettings.hd720 = {8, 8};
        options.benchmarkSettings.fullHD1080 = {16, 8};
        options.benchmarkSettings.makeEngine = [this](const fs::path&, PerformanceBenchmarkScale) {
            if (engineFails) throw BenchmarkError::sourceBuffer();
            return std::make_unique<GatedEngine>(gate);
        };
        auto session = std::make_unique<PlayerSession>(std::move(options));
        if (withShippedModels) loadShippedModels(*session);
        return session;
    }

    void loadShippedModels(PlayerSession& session) {
        session.loadBundledModelIfAvailable(shipped / "model-series.json");
        harness.loop.runUntil([&] { return !session.loadingModel(); }, 10);
    }

    bool finish(PlayerSession& session) {
        return harness.loop.runUntil(
            [&] { return !session.benchmarkRunning() && !session.modelBenchmarkRunningKey(); }, 20);
    }

    // An imported series whose variants all point at one existing model folder.
    ImportedModelSeries importedSeries(std::string id, std::vector<ModelSeriesManifest::Variant> variants) {
        const fs::path folder = harness.directory.path() / "imported" / std::to_string(importedCount++);
        writeFile(folder / "model" / "weights.bin", "x");
        ImportedModelSeries series{folder / "model-series.json", {}};
        series.manifest.id = std::move(id);
        series.manifest.version = "2.0";
        series.manifest.variants = std::move(variants);
        return series;
    }
    int importedCount = 0;
};

TEST(SessionBenchmarks, StandardRunPublishesItsResultAndCachesItWithTheIdentity) {
    BenchmarkHarness b;
    auto session = b.make();
    ASSERT_TRUE(session->canRequestBenchmark());

    session->runBenchmark();
    EXPECT_TRUE(session->benchmarkRunning());
    EXPECT_FALSE(session->canRequestBenchmark());
    // Only one run at a time: the per-model run is refused while the suite runs.
    const ImportedModelSeries series = b.importedSeries("com.example.other", {variant("v", std::nullopt, "model")});
    session->runModelBenchmark(series, series.manifest.variants[0]);
    EXPECT_FALSE(session->modelBenchmarkRunningKey());

    ASSERT_TRUE(b.finish(*session));
    ASSERT_TRUE(session->benchmarkReport());
    EXPECT_EQ(8u, session->benchmarkReport()->measurements.size());
    ASSERT_TRUE(session->benchmarkMeasuredAt());
    EXPECT_FALSE(session->benchmarkError());
    ASSERT_TRUE(session->savedDefaultBenchmark());
    const DefaultBenchmarkSnapshot saved = *session->savedDefaultBenchmark();
    EXPECT_EQ(*session->benchmarkReport(), saved.report);
    EXPECT_EQ(*session->benchmarkMeasuredAt(), saved.measuredAt);
    // The build, machine model, device and system build, in that order, from the injected facts.
    EXPECT_NE(std::string::npos, saved.identity.find("|42|Test Board|Test GPU|Test OS 1, 6.1.0 #1|com.example.shipped|3|"))
        << saved.identity;
    EXPECT_NE(std::string::npos, saved.identity.find("|fast|fast-v|" + fastCheckpoint + "|")) << saved.identity;

    // A failing run shows the runner's text, localized, and keeps the last result.
    b.engineFails = true;
    session->runBenchmark();
    ASSERT_TRUE(b.finish(*session));
    EXPECT_EQ("<ベンチマーク用の入力を作成できません。>", session->benchmarkError().value_or(""));
    EXPECT_EQ("", session->benchmarkErrorRunKey()); // the standard suite's
    EXPECT_EQ(saved.report, session->benchmarkReport());

    // The next launch shows the cached result again.
    session.reset();
    auto again = b.make();
    again->restoreDefaultBenchmarkIfCompatible();
    EXPECT_EQ(saved.report, again->benchmarkReport());
    EXPECT_EQ(saved.measuredAt, again->benchmarkMeasuredAt());
}

TEST(SessionBenchmarks, CachedResultIsShownOnlyWhileItsIdentityHolds) {
    const std::vector<std::pair<std::string, std::function<void(BenchmarkHarness&)>>> cases{
        {"unchanged", [](BenchmarkHarness&) {}},
        {"machine model", [](BenchmarkHarness& b) { b.kernel["hw.model"] = "Other Board"; }},
        {"operating-system build", [](BenchmarkHarness& b) { b.kernel["kern.osversion"] = "Test OS 1, 6.1.0 #2"; }},
        {"compute device", [](BenchmarkHarness& b) { b.harness.facts->gpu = std::nullopt; }},
        {"application build", [](BenchmarkHarness& b) { b.appBuild = std::nullopt; }},
        {"shipped checkpoint", [](BenchmarkHarness& b) { b.writeCheckpoint("quality", std::string(64, 'c')); }},
        // Same checkpoint in upper case: the manifest file's digest differs.
        {"shipped manifest file", [](BenchmarkHarness& b) { b.writeCheckpoint("fast", std::string(64, 'A')); }},
    };
    for (const auto& [name, change] : cases) {
        SCOPED_TRACE(name);
        BenchmarkHarness b;
        {
            auto session = b.make();
            session->runBenchmark();
            ASSERT_TRUE(b.finish(*session));
            ASSERT_TRUE(session->savedDefaultBenchmark());
        }
        change(b);
        auto session = b.make(false);
        ASSERT_TRUE(session->savedDefaultBenchmark()); // read back at construction
        b.loadShippedModels(*session);
        session->restoreDefaultBenchmarkIfCompatible();
        const bool shown = name == "unchanged";
        EXPECT_EQ(shown, session->benchmarkReport().has_value());
        EXPECT_EQ(shown, session->benchmarkMeasuredAt().has_value());
        EXPECT_EQ(shown, session->savedDefaultBenchmark().has_value());
        EXPECT_EQ(shown, b.harness.store.data("player.defaultBenchmark").has_value());
    }
}

TEST(SessionBenchmarks, ResultWithoutIdentityIsShownButNotCached) {
    BenchmarkHarness b;
    b.writeCheckpoint("quality", std::string(63, 'b'));
    auto session = b.make();
    session->runBenchmark();
    ASSERT_TRUE(b.finish(*session));
    EXPECT_TRUE(session->benchmarkReport());
    EXPECT_FALSE(session->savedDefaultBenchmark());
    EXPECT_FALSE(b.harness.store.data("player.defaultBenchmark"));
}

TEST(SessionBenchmarks, CancelledAndStaleRunsPublishNothing) {
    BenchmarkHarness b;
    auto session = b.make();
    const ImportedModelSeries series =
        b.importedSeries("com.example.series", {variant("one", std::nullopt, "model"), variant("two", std::nullopt, "model")});
    const auto& one = series.manifest.variants[0];
    const auto& two = series.manifest.variants[1];

    b.gate->setPermits(0);
    session->runBenchmark();
    EXPECT_TRUE(b.gate->waitForCalls(1));
    session->cancelBenchmark();
    EXPECT_FALSE(session->benchmarkRunning());
    session->runModelBenchmark(series, one);
    EXPECT_EQ(session->modelBenchmarkKey(series, one), session->modelBenchmarkRunningKey());
    session->cancelBenchmark();
    EXPECT_FALSE(session->modelBenchmarkRunningKey());
    session->runModelBenchmark(series, two);
    // The suite's call in flight ends, the first model run stops before measuring, and the
    // second one waits in its first call: both dropped completions have come back by then.
    b.gate->setPermits(1);
    EXPECT_TRUE(b.gate->waitForCalls(2));
    b.harness.loop.runUntilIdle();
    EXPECT_EQ(session->modelBenchmarkKey(series, two), session->modelBenchmarkRunningKey());
    EXPECT_FALSE(session->benchmarkRunning());
    b.gate->setPermits(1 << 30);
    ASSERT_TRUE(b.finish(*session));

    EXPECT_FALSE(session->benchmarkReport());
    EXPECT_FALSE(session->savedDefaultBenchmark());
    EXPECT_FALSE(session->modelBenchmarkReport(series, one));
    EXPECT_TRUE(session->modelBenchmarkReport(series, two));
    EXPECT_EQ(1u, session->modelBenchmarkReports().size());
}

TEST(SessionBenchmarks, ModelResultsAreStoredUnderTheirKeys) {
    BenchmarkHarness b;
    auto session = b.make(false); // no shipped models needed
    const ImportedModelSeries plain = b.importedSeries("com.example.plain", {variant("v1", std::nullopt, "model", {4, 2})});
    const ImportedModelSeries barred = b.importedSeries("com.example|odd", {variant("v|1", std::nullopt, "model", {2})});
    const ImportedModelSeries unusable = b.importedSeries("com.example.x", {variant("v", std::nullopt, "model", {1, 3})});

    session->runModelBenchmark(unusable, unusable.manifest.variants[0]);
    EXPECT_FALSE(session->modelBenchmarkRunningKey());
    for (const ImportedModelSeries* series : {&plain, &barred}) {
        session->runModelBenchmark(*series, series->manifest.variants[0]);
        ASSERT_TRUE(b.finish(*session));
    }
    EXPECT_EQ("Test Board|com.example.plain|2.0|v1", session->modelBenchmarkKey(plain, plain.manifest.variants[0]));
    EXPECT_EQ(modelBenchmarkKey("Test Board", "com.example|odd", "2.0", "v|1"),
              session->modelBenchmarkKey(barred, barred.manifest.variants[0]));

    const auto plainReport = session->modelBenchmarkReport(plain, plain.manifest.variants[0]);
    ASSERT_TRUE(plainReport);
    EXPECT_TRUE(plainReport->measuredAt);
    ASSERT_EQ(4u, plainReport->measurements.size());
    EXPECT_EQ(PerformanceBenchmarkScale::four, plainReport->measurements[0].scale); // the variant's order
    ASSERT_TRUE(session->modelBenchmarkReport(barred, barred.manifest.variants[0]));
    // A failed model run's error carries that run's key, so only its own sheet shows it.
    b.engineFails = true;
    session->runModelBenchmark(plain, plain.manifest.variants[0]);
    ASSERT_TRUE(b.finish(*session));
    EXPECT_TRUE(session->benchmarkError());
    EXPECT_EQ(session->modelBenchmarkKey(plain, plain.manifest.variants[0]), session->benchmarkErrorRunKey());
    b.engineFails = false;

    // Both come back with the next launch, under the same keys.
    const auto reports = session->modelBenchmarkReports();
    session.reset();
    auto again = b.make(false);
    EXPECT_EQ(reports, again->modelBenchmarkReports());
    // Another machine has results of its own.
    b.kernel["hw.model"] = "Other Board";
    auto elsewhere = b.make(false);
    EXPECT_FALSE(elsewhere->modelBenchmarkReport(plain, plain.manifest.variants[0]));
}

TEST(SessionBenchmarks, MeasuredVariantIsTheRememberedOneElseTheFirst) {
    BenchmarkHarness b;
    auto session = b.make(false);
    const ImportedModelSeries series = b.importedSeries(
        "com.example.series", {variant("one", std::nullopt, "model"), variant("two", std::nullopt, "model")});
    EXPECT_EQ("one", session->benchmarkVariant(series).id);
    b.harness.store.set("player.seriesVariant.com.example.series", std::string("two"));
    EXPECT_EQ("two", session->benchmarkVariant(series).id);
    b.harness.store.set("player.seriesVariant.com.example.series", std::string("gone"));
    EXPECT_EQ("one", session->benchmarkVariant(series).id);
}

TEST(SessionBenchmarks, DiagnosticsTellTheSessionsState) {
    BenchmarkHarness b;
    auto session = b.make(false);
    session->setPlaybackRate(1.5);
    session->setMode(ViewMode::enhanced);
    const std::string text = session->diagnosticInformation();
    for (const char* line : {"App version: 1.2.3\n", "Linux: Test OS, kernel test x86_64\n",
                             "Machine model: Test Board\n", "OpenCL device: Test GPU\n", "Memory: 1 GB\n",
                             "Video loaded: false\n", "Playback backend: None\n", "Playback rate: 1.50x\n",
                             "View mode: Enhanced\n", "Processing mode: Quality\n", "Model source: None\n"}) {
        EXPECT_NE(std::string::npos, text.find(line)) << line << "\nin:\n" << text;
    }
    EXPECT_FALSE(session->benchmarkInformation());
}

TEST(SessionBenchmarks, SubmissionIsBuiltFromTheSessionsState) {
    BenchmarkHarness b;
    auto session = b.make();
    EXPECT_EQ((BenchmarkCheckpointMap{{"fast", fastCheckpoint}, {"quality", qualityCheckpoint}}),
              session->benchmarkComparisonCheckpoints());
    try {
        session->benchmarkSubmission("0b6f3f0e-8f5c-4a0e-9a39-2d2f6c1c9f10", std::nullopt);
        ADD_FAILURE() << "a submission without a result";
    } catch (const BenchmarkSubmissionError& error) {
        EXPECT_EQ(BenchmarkSubmissionError::incompleteMeasurements, error.errorCase());
    }

    session->runBenchmark();
    ASSERT_TRUE(b.finish(*session));
    const BenchmarkSubmission submission =
        session->benchmarkSubmission("0b6f3f0e-8f5c-4a0e-9a39-2d2f6c1c9f10", "fast machine");
    EXPECT_EQ("0B6F3F0E-8F5C-4A0E-9A39-2D2F6C1C9F10", submission.submissionID);
    EXPECT_EQ(*session->benchmarkMeasuredAt(), submission.measuredAt);
    EXPECT_EQ("1.2.3", submission.app.version);
    EXPECT_EQ((BenchmarkSubmission::System{"Linux", "Test OS", "Test OS 1, 6.1.0 #1", "Test Board", "Test GPU", 1}),
              submission.system);
    ASSERT_EQ(2u, submission.models.size());
    EXPECT_EQ("quality-v", submission.models[1].variantID);
    EXPECT_EQ(qualityCheckpoint, submission.models[1].checkpointSHA256);
    ASSERT_EQ(8u, submission.measurements.size());
    EXPECT_EQ(session->benchmarkReport()->measurements[5].sustainedFPS, submission.measurements[5].sustainedFPS);
    EXPECT_EQ("fast machine", submission.publication.comment.value_or(""));

    const std::string information = session->benchmarkInformation().value_or("");
    EXPECT_NE(std::string::npos, information.find("Lumavane Diagnostics")) << information;
}

} // namespace
} // namespace lumavane
