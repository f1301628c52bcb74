#include "Lumavane/Session/PlayerSession.hpp"

#include "Lumavane/Benchmarks/BenchmarkIdentity.hpp"
#include "Lumavane/Benchmarks/DiagnosticsInformation.hpp"
#include "Lumavane/Benchmarks/PerformanceBenchmark.hpp"
#include "Lumavane/Session/SameFile.hpp"
#include "Platform/Foundation/AppInfo.hpp"
#include "Platform/System/MachineFacts.hpp"

#include <chrono>
#include <exception>
#include <utility>

namespace lumavane {

namespace {

DefaultsValue::Data bytes(const nlohmann::json& json) {
    const std::string text = json.dump();
    return DefaultsValue::Data(text.begin(), text.end());
}

} // namespace

void PlayerSession::configureBenchmarks(Options& options) {
    hardwareModelIdentifier_ = options.hardwareModelIdentifier
                                   ? std::move(options.hardwareModelIdentifier)
                                   : [](std::string_view name) { return hardwareModelIdentifier(name); };
    appInfo_ = options.appInfo ? std::move(options.appInfo) : &appInfoString;
    benchmarkRunner_ = std::make_unique<PerformanceBenchmarkRunner>(executor_, std::move(options.benchmarkSettings));
}

bool PlayerSession::canRequestBenchmark() const {
    return !loadingModel() && !benchmarkRunning() && !modelBenchmarkRunningKey() &&
           bundledModelURLs_.count(BundledModelPreset::fast) && bundledModelURLs_.count(BundledModelPreset::quality);
}

std::string PlayerSession::benchmarkErrorText(const std::exception_ptr& error) const {
    return errorDescription(error, localize_, localize_("ベンチマークを実行できませんでした。"));
}

void PlayerSession::runBenchmark() {
    if (hasVideo() || !canRequestBenchmark()) return;
    std::map<PerformanceBenchmarkModel, std::filesystem::path> urls{
        {PerformanceBenchmarkModel::fast, bundledModelURLs_.at(BundledModelPreset::fast)},
        {PerformanceBenchmarkModel::quality, bundledModelURLs_.at(BundledModelPreset::quality)}};

    const std::uint64_t generation = ++benchmarkGeneration_;
    benchmarkRunning.set(true);
    benchmarkError.set(std::nullopt);
    benchmarkMeasuredAt.set(std::nullopt);
    const std::weak_ptr<PlayerSession*> alive = alive_;
    benchmarkTask_ = benchmarkRunner_->runStandard(
        std::move(urls), nullptr, [alive, generation](BenchmarkOutcome<PerformanceBenchmarkReport> outcome) {
            const auto session = alive.lock();
            if (!session || (*session)->benchmarkGeneration_ != generation || outcome.cancelled) return;
            PlayerSession& self = **session;
            if (outcome.report) {
                const DefaultsDate measuredAt = DefaultsDate::now();
                self.benchmarkReport.set(*outcome.report);
                self.benchmarkMeasuredAt.set(measuredAt);
                self.saveDefaultBenchmark(*outcome.report, measuredAt);
            } else if (outcome.error) {
                self.benchmarkErrorRunKey_.clear();
                self.benchmarkError.set(self.benchmarkErrorText(outcome.error));
            }
            self.benchmarkRunning.set(false);
            self.benchmarkTask_.reset();
        });
}

std::string PlayerSession::modelBenchmarkKey(const ImportedModelSeries& series,
                                             const ModelSeriesManifest::Variant& variant) const {
    return lumavane::modelBenchmarkKey(hardwareModelIdentifier_("hw.model"), series.manifest.id,
                                       series.manifest.version, variant.id);
}

void PlayerSession::runModelBenchmark(const ImportedModelSeries& series, const ModelSeriesManifest::Variant& variant) {
    if (hasVideo() || loadingModel() || benchmarkRunning() || modelBenchmarkRunningKey()) return;
    std::vector<PerformanceBenchmarkScale> scales;
    for (const std::int64_t scale : variant.outputScales) {
        if (scale == 2) scales.push_back(PerformanceBenchmarkScale::two);
        if (scale == 4) scales.push_back(PerformanceBenchmarkScale::four);
    }
    if (scales.empty()) return;

    const std::string key = modelBenchmarkKey(series, variant);
    std::filesystem::path url;
    try {
        url = ModelSeriesManifest::modelURL(variant, series.manifestURL);
    } catch (...) {
        // The variant's file is gone: say so rather than start a run that cannot build its engine.
        benchmarkErrorRunKey_ = key;
        benchmarkError.set(benchmarkErrorText(std::current_exception()));
        return;
    }

    if (benchmarkTask_) benchmarkTask_->cancel();
    const std::uint64_t generation = ++benchmarkGeneration_;
    modelBenchmarkRunningKey.set(key);
    benchmarkError.set(std::nullopt);
    const std::weak_ptr<PlayerSession*> alive = alive_;
    benchmarkTask_ = benchmarkRunner_->runModel(
        std::move(url), std::move(scales), nullptr,
        [alive, generation, key](BenchmarkOutcome<ModelBenchmarkReport> outcome) {
            const auto session = alive.lock();
            if (!session || (*session)->benchmarkGeneration_ != generation || outcome.cancelled) return;
            PlayerSession& self = **session;
            if (outcome.report) {
                ModelBenchmarkReport report = std::move(*outcome.report);
                report.measuredAt = DefaultsDate::now();
                std::map<std::string, ModelBenchmarkReport> reports = self.modelBenchmarkReports();
                reports[key] = std::move(report);
                nlohmann::json stored = nlohmann::json::object();
                for (const auto& [storedKey, value] : reports) stored[storedKey] = toJSON(value);
                self.modelBenchmarkReports.set(std::move(reports));
                self.preferences_.set("player.modelBenchmarks", bytes(stored));
            } else if (outcome.error) {
                self.benchmarkErrorRunKey_ = key;
                self.benchmarkError.set(self.benchmarkErrorText(outcome.error));
            }
            self.modelBenchmarkRunningKey.set(std::nullopt);
            self.benchmarkTask_.reset();
        });
}

void PlayerSession::cancelBenchmark() {
    ++benchmarkGeneration_;
    if (benchmarkTask_) benchmarkTask_->cancel();
    benchmarkTask_.reset();
    benchmarkRunning.set(false);
    modelBenchmarkRunningKey.set(std::nullopt);
}

std::optional<ModelBenchmarkReport> PlayerSession::modelBenchmarkReport(const ImportedModelSeries& series,
                                                                        const ModelSeriesManifest::Variant& variant) const {
    const auto found = modelBenchmarkReports().find(modelBenchmarkKey(series, variant));
    if (found == modelBenchmarkReports().end()) return std::nullopt;
    return found->second;
}

ModelSeriesManifest::Variant PlayerSession::benchmarkVariant(const ImportedModelSeries& series) const {
    const std::vector<ModelSeriesManifest::Variant>& variants = series.manifest.variants;
    if (const auto& custom = customModelURL()) {
        for (const auto& variant : variants) {
            try {
                if (sameFile(ModelSeriesManifest::modelURL(variant, series.manifestURL), *custom)) return variant;
            } catch (const std::exception&) {}
        }
    }
    if (const auto remembered = preferences_.string("player.seriesVariant." + series.manifest.id)) {
        for (const auto& variant : variants) {
            if (variant.id == *remembered) return variant;
        }
    }
    return variants.empty() ? ModelSeriesManifest::Variant{} : variants.front();
}

std::string PlayerSession::defaultAppBuild() const { return appInfo_("CFBundleVersion").value_or("development"); }

std::optional<std::string> PlayerSession::defaultBenchmarkIdentity(std::optional<std::string> appBuild) const {
    return lumavane::defaultBenchmarkIdentity({
        .appBuild = appBuild ? *appBuild : defaultAppBuild(),
        .hardwareModel = hardwareModelIdentifier_("hw.model"),
        .operatingSystemBuild = hardwareModelIdentifier_("kern.osversion"),
        .machine = autoMachine_,
        .manifest = bundledModelManifest(),
        .modelURLs = bundledModelURLs_,
    });
}

void PlayerSession::saveDefaultBenchmark(const PerformanceBenchmarkReport& report, DefaultsDate measuredAt) {
    const std::optional<std::string> identity = defaultBenchmarkIdentity();
    if (!identity) return;
    savedDefaultBenchmark_ = DefaultBenchmarkSnapshot{*identity, measuredAt, report};
    try {
        preferences_.set("player.defaultBenchmark", bytes(toJSON(*savedDefaultBenchmark_)));
    } catch (const std::exception&) {
        // A result that cannot be encoded (a non-finite rate) is shown but not cached.
    }
}

void PlayerSession::restoreDefaultBenchmarkIfCompatible() {
    const std::optional<std::string> identity = defaultBenchmarkIdentity();
    if (identity && savedDefaultBenchmark_ && savedDefaultBenchmark_->identity == *identity) {
        benchmarkReport.set(savedDefaultBenchmark_->report);
        benchmarkMeasuredAt.set(savedDefaultBenchmark_->measuredAt);
        return;
    }
    benchmarkReport.set(std::nullopt);
    benchmarkMeasuredAt.set(std::nullopt);
    savedDefaultBenchmark_.reset();
    preferences_.remove("player.defaultBenchmark");
}

std::string PlayerSession::diagnosticInformation(std::optional<std::string> appVersion) const {
    DiagnosticsFacts facts;
    facts.appVersion = std::move(appVersion);
    facts.operatingSystem = diagnosticsOperatingSystem(*systemFacts_);
    facts.gpuDevice = systemFacts_->gpuDeviceName();
    facts.hardwareModel = hardwareModelIdentifier_("hw.model");
    facts.physicalMemory = systemFacts_->physicalMemoryBytes().value_or(0);
    facts.hasVideo = hasVideo();
    facts.currentVideoURL = currentVideoURL();
    facts.directEngine = directEngine_ != nullptr;
    facts.playing = playing();
    facts.isPaused = isPaused();
    facts.playbackRate = playbackRate();
    facts.resolution = resolution();
    facts.sourceFPS = sourceFPS();
    facts.outputResolution = outputResolution();
    facts.viewMode = rawValue(mode());
    facts.enabled = enabled();
    facts.showingEnhancement = showingEnhancement();
    facts.processingMode = rawValue(activeModelPreset());
    facts.outputScale = rawValue(outputScale());
    facts.modelInfo = modelInfo();
    facts.customModel = customModelURL().has_value();
    facts.processingMS = processingMS_;
    facts.enhancedFPS = enhancedFPS_;
    facts.tiles = tiles_;
    facts.frameAgeMS = frameAgeMS_;
    facts.displayGPUms = displayGPUms_;
    return lumavane::diagnosticInformation(facts);
}

std::string PlayerSession::diagnosticInformation() const {
    return diagnosticInformation(appInfo_("CFBundleShortVersionString"));
}

std::optional<std::string> PlayerSession::benchmarkInformation() const {
    if (!benchmarkReport()) return std::nullopt;
    const std::optional<std::string> appVersion = appInfo_("CFBundleShortVersionString");
    return benchmarkReport()->text(appVersion.value_or("0.9.1"), diagnosticInformation(appVersion));
}

BenchmarkCheckpointMap PlayerSession::benchmarkComparisonCheckpoints() const {
    return lumavane::benchmarkComparisonCheckpoints(bundledModelURLs_);
}

BenchmarkSubmission PlayerSession::benchmarkSubmission(const std::string& submissionID,
                                                       std::optional<std::string> comment) const {
    BenchmarkSubmissionInputs inputs;
    inputs.submissionID = submissionID;
    inputs.comment = std::move(comment);
    inputs.report = benchmarkReport();
    inputs.measuredAt = benchmarkMeasuredAt();
    inputs.manifest = bundledModelManifest();
    inputs.modelURLs = bundledModelURLs_;
    inputs.appVersion = appInfo_("CFBundleShortVersionString");
    inputs.gpuDevice = systemFacts_->gpuDeviceName();
    inputs.hardwareModel = hardwareModelIdentifier_("hw.model");
    inputs.osBuild = hardwareModelIdentifier_("kern.osversion");
    inputs.osVersion = systemFacts_->operatingSystemName().value_or("unavailable");
    inputs.physicalMemoryBytes = systemFacts_->physicalMemoryBytes().value_or(0);
    return makeBenchmarkSubmission(inputs);
}

} // namespace lumavane
