#pragma once

#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/App/AppTestSupport.hpp"
#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Sheets/BenchmarkPostingSheet.hpp"
#include "Lumavane/Sheets/BenchmarkSheet.hpp"
#include "support/HeadHttpServer.hpp"
#include "support/LoopbackTls.hpp"
#include "support/TemporaryDirectory.hpp"

#include <QAbstractButton>
#include <QLabel>
#include <QTest>

#include <cmath>
#include <stdexcept>

namespace lumavane::test {

inline const std::string fastHash = "7e1dd94a07dc48960a2e55e4ecf96f588929a09072dda8525469ed83f50c95ac";
inline const std::string qualityHash = "affd077fc8b81daa39646001d1ac99b912fd1f5f757412c6acc011035cc66d98";
inline const BenchmarkCheckpointMap checkpoints{{"fast", fastHash}, {"quality", qualityHash}};
inline const std::string anchor = "01HZX3Y8Q9R2S4T6V8W0XYZABC";

// The eight cells, the fast model twice as quick; frame rates 1000 / p95.
inline PerformanceBenchmarkReport standardReport() {
    PerformanceBenchmarkReport report;
    for (auto model : {PerformanceBenchmarkModel::quality, PerformanceBenchmarkModel::fast})
        for (auto profile : {PerformanceBenchmarkProfile::hd720, PerformanceBenchmarkProfile::fullHD1080})
            for (auto scale : {PerformanceBenchmarkScale::two, PerformanceBenchmarkScale::four}) {
                double p95 = (profile == PerformanceBenchmarkProfile::hd720 ? 8.0 : 18.0) *
                             (scale == PerformanceBenchmarkScale::two ? 1 : 2) *
                             (model == PerformanceBenchmarkModel::fast ? 0.5 : 1);
                const double fps = 1000 / p95;
                report.measurements.push_back({model, profile, scale, p95 * 0.9, p95, fps,
                                               0.9 * fps >= 120  ? std::optional<std::int64_t>(120)
                                               : 0.9 * fps >= 60 ? std::optional<std::int64_t>(60)
                                               : 0.9 * fps >= 30 ? std::optional<std::int64_t>(30)
                                               : 0.9 * fps >= 24 ? std::optional<std::int64_t>(24)
                                                                 : std::nullopt});
            }
    return report;
}

inline ImportedModelSeries series(std::vector<std::int64_t> scales) {
    ImportedModelSeries s;
    s.manifestURL = "/models/Crisp/model-series.json";
    s.manifest.id = "crisp";
    s.manifest.name = "Crisp";
    s.manifest.version = "1.2";
    s.manifest.author.name = "Someone";
    s.manifest.category = "anime";
    s.manifest.license = "MIT";
    s.manifest.variants = {{"v", "Crisp Small", std::nullopt, "small.onnx", "onnx", std::move(scales), false}};
    return s;
}

// The bundled series as the sheets show it: two variants at 2x and 4x.
inline ModelSeriesManifest standardManifest() {
    ModelSeriesManifest manifest = series({2, 4}).manifest;
    manifest.name = "Lumavane Standard";
    manifest.description = "高速と高画質の二つのモデルを同梱しています。";
    manifest.variants = {{"fast", "Fast", "fast", "fast.onnx", "onnx", {2, 4}, true},
                         {"quality", "Quality", "quality", "quality.onnx", "onnx", {2, 4}, true}};
    return manifest;
}

inline BenchmarkComparisonReference referenceWith(double median, std::string snapshot = "2026-03-04T02:40:00Z") {
    return {anchor, {12, median, {}, checkpoints}, std::move(snapshot)};
}

struct FakeSessionState {
    bool running = false;
    std::optional<std::string> runningKey;
    bool canRequest = true;
    bool loading = false;
    bool video = false;
    std::optional<std::filesystem::path> customModel;
    bool bundled = true;
    std::optional<ModelSeriesManifest> manifest;
    std::optional<ModelInfo> info;
    std::optional<PerformanceBenchmarkReport> report;
    std::optional<DefaultsDate> measuredAt;
    std::optional<BenchmarkRunError> error;
    std::map<std::string, ModelBenchmarkReport> modelReports;
    std::optional<std::string> information = std::string("Lumavane Benchmark");
    bool checkpointsFail = false;
    std::optional<BenchmarkCheckpointMap> ownCheckpoints; // else the test's own two hashes
    std::optional<std::string> submissionFailure;
    std::vector<std::string> calls;
};

// A session that records the sheets' calls and publishes whatever the test sets.
struct FakeBenchmarkSession final : FakeSessionState, BenchmarkSheetSession {
    Signal<> changed;

    void reset() { static_cast<FakeSessionState&>(*this) = FakeSessionState{}; }
    void publish() { changed.emit(); }

    bool benchmarkRunning() const override { return running; }
    std::optional<std::string> modelBenchmarkRunningKey() const override { return runningKey; }
    bool canRequestBenchmark() const override { return canRequest && !running && !runningKey && !loading; }
    bool loadingModel() const override { return loading; }
    bool hasVideo() const override { return video; }
    std::optional<std::filesystem::path> customModelURL() const override { return customModel; }
    bool hasBundledModels() const override { return bundled; }
    std::optional<ModelSeriesManifest> bundledModelManifest() const override { return manifest; }
    std::optional<ModelInfo> modelInfo() const override { return info; }
    std::optional<PerformanceBenchmarkReport> benchmarkReport() const override { return report; }
    std::optional<DefaultsDate> benchmarkMeasuredAt() const override { return measuredAt; }
    std::optional<BenchmarkRunError> benchmarkError() const override { return error; }
    ModelSeriesManifest::Variant benchmarkVariant(const ImportedModelSeries& s) const override {
        return s.manifest.variants.front();
    }
    std::string modelBenchmarkKey(const ImportedModelSeries& s, const ModelSeriesManifest::Variant& v) const override {
        return "machine|" + s.manifest.id + "|" + s.manifest.version + "|" + v.id;
    }
    std::optional<ModelBenchmarkReport> modelBenchmarkReport(const ImportedModelSeries& s,
                                                             const ModelSeriesManifest::Variant& v) const override {
        const auto found = modelReports.find(modelBenchmarkKey(s, v));
        return found == modelReports.end() ? std::nullopt : std::optional(found->second);
    }
    std::optional<std::string> benchmarkInformation() const override { return information; }
    BenchmarkCheckpointMap benchmarkComparisonCheckpoints() const override {
        if (checkpointsFail) throw std::runtime_error("no manifest");
        return ownCheckpoints.value_or(checkpoints);
    }
    BenchmarkSubmission benchmarkSubmission(const std::string& id, const std::optional<std::string>& comment) const override {
        if (submissionFailure) throw std::runtime_error(*submissionFailure);
        BenchmarkSubmission s;
        s.submissionID = id;
        s.publication.comment = comment;
        return s;
    }
    void runBenchmark() override { calls.push_back("runBenchmark"); }
    void runModelBenchmark(const ImportedModelSeries& s, const ModelSeriesManifest::Variant& v) override {
        calls.push_back("runModelBenchmark " + modelBenchmarkKey(s, v));
    }
    void cancelBenchmark() override { calls.push_back("cancelBenchmark"); }
    void stopPlayback() override {
        calls.push_back("stopPlayback");
        video = false;
    }
    void reloadCurrentModel() override { calls.push_back("reloadCurrentModel"); }
    void removeModelSeries(const ImportedModelSeries& s) override { calls.push_back("removeModelSeries " + s.id()); }
    void removeImportedModel(const std::filesystem::path& url) override {
        calls.push_back("removeImportedModel " + url.string());
    }
    Connection observe(std::function<void()> onChange) override { return changed.connect(std::move(onChange)); }
};

// A loopback HTTPS service and the client that trusts it; the defaults are the test's own file.
struct WebHarness {
    WebHarness() { application(); }
    TemporaryDirectory folder;
    SelfSignedCertificate certificate{folder.path()};
    CurlHttpClient http{{certificate.pemPath()}};
    std::function<LoopbackReply(const std::string&)> answer = [](const std::string&) {
        return LoopbackHttpServer::reply(500, "application/json", "{}");
    };
    LoopbackHttpServer server{[this](const std::string& request) { return answer(request); }, certificate.wrap()};
    const std::string endpoint = "https://localhost:" + std::to_string(server.port()) + benchmarkResultsPath;
    DefaultsStore defaults{(freshDefaults("sheets"), DefaultsStore::standard())};
    std::vector<QString> opened;

    // Without an endpoint unless one is given.
    BenchmarkWebServices services(std::optional<std::string> posting = std::nullopt,
                                  std::optional<std::string> comparison = std::nullopt,
                                  std::optional<std::string> results = std::nullopt) {
        BenchmarkWebServices s;
        s.http = &http;
        s.postingEndpoint = [posting] { return posting; };
        s.comparisonEndpoint = [comparison] { return comparison; };
        s.resultsURL = [results] { return results; };
        s.openURL = [this](const QString& url) { opened.push_back(url); };
        s.preferences = defaults;
        return s;
    }
};

template <typename T = QAbstractButton> T* find(QWidget& root, const char* name) {
    return root.findChild<T*>(name);
}

inline QString labelText(QWidget& root, const char* name) {
    auto* label = root.findChild<QLabel*>(name);
    return label ? label->text() : QString();
}

} // namespace lumavane::test
