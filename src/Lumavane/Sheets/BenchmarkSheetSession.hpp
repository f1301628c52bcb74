#pragma once

#include "Lumavane/Sheets/BenchmarkSheet.hpp"

namespace lumavane {

class ContentView;
class PlayerSession;

// The benchmark sheets' view of the application's session.
class PlayerSessionBenchmarkSource final : public BenchmarkSheetSession {
public:
    explicit PlayerSessionBenchmarkSource(PlayerSession& session) : session_(session) {}
    PlayerSession& session() const noexcept { return session_; }

    bool benchmarkRunning() const override;
    std::optional<std::string> modelBenchmarkRunningKey() const override;
    bool canRequestBenchmark() const override;
    bool loadingModel() const override;
    bool hasVideo() const override;
    std::optional<std::filesystem::path> customModelURL() const override;
    bool hasBundledModels() const override;
    std::optional<ModelSeriesManifest> bundledModelManifest() const override;
    std::optional<ModelInfo> modelInfo() const override;
    std::optional<PerformanceBenchmarkReport> benchmarkReport() const override;
    std::optional<DefaultsDate> benchmarkMeasuredAt() const override;
    std::optional<BenchmarkRunError> benchmarkError() const override;
    ModelSeriesManifest::Variant benchmarkVariant(const ImportedModelSeries& series) const override;
    std::string modelBenchmarkKey(const ImportedModelSeries& series,
                                  const ModelSeriesManifest::Variant& variant) const override;
    std::optional<ModelBenchmarkReport> modelBenchmarkReport(const ImportedModelSeries& series,
                                                             const ModelSeriesManifest::Variant& variant) const override;
    std::optional<std::string> benchmarkInformation() const override;
    BenchmarkCheckpointMap benchmarkComparisonCheckpoints() const override;
    BenchmarkSubmission benchmarkSubmission(const std::string& submissionID,
                                            const std::optional<std::string>& comment) const override;
    void runBenchmark() override;
    void runModelBenchmark(const ImportedModelSeries& series, const ModelSeriesManifest::Variant& variant) override;
    void cancelBenchmark() override;
    void stopPlayback() override;
    void reloadCurrentModel() override;
    void removeModelSeries(const ImportedModelSeries& series) override;
    void removeImportedModel(const std::filesystem::path& url) override;
    Connection observe(std::function<void()> changed) override;

private:
    PlayerSession& session_;
};

// Makes the main view's benchmark sheet requests open and close the sheet over `window`; other
// sheet requests still go to the presenter set before. `source` must outlive the view.
void presentBenchmarkSheets(ContentView& content, PlayerSessionBenchmarkSource& source, QWidget* window);

} // namespace lumavane
