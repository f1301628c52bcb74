#include "Lumavane/Sheets/BenchmarkSheetSession.hpp"

#include "Lumavane/Session/PlayerSession.hpp"
#include "Lumavane/Sheets/SheetRequests.hpp"
#include "Lumavane/Views/ContentView.hpp"

#include <QPointer>

namespace lumavane {

bool PlayerSessionBenchmarkSource::benchmarkRunning() const { return session_.benchmarkRunning(); }
std::optional<std::string> PlayerSessionBenchmarkSource::modelBenchmarkRunningKey() const {
    return session_.modelBenchmarkRunningKey();
}
bool PlayerSessionBenchmarkSource::canRequestBenchmark() const { return session_.canRequestBenchmark(); }
bool PlayerSessionBenchmarkSource::loadingModel() const { return session_.loadingModel(); }
bool PlayerSessionBenchmarkSource::hasVideo() const { return session_.hasVideo(); }
std::optional<std::filesystem::path> PlayerSessionBenchmarkSource::customModelURL() const {
    return session_.customModelURL();
}
bool PlayerSessionBenchmarkSource::hasBundledModels() const { return !session_.bundledModelURLs().empty(); }
std::optional<ModelSeriesManifest> PlayerSessionBenchmarkSource::bundledModelManifest() const {
    return session_.bundledModelManifest();
}
std::optional<ModelInfo> PlayerSessionBenchmarkSource::modelInfo() const { return session_.modelInfo(); }
std::optional<PerformanceBenchmarkReport> PlayerSessionBenchmarkSource::benchmarkReport() const {
    return session_.benchmarkReport();
}
std::optional<DefaultsDate> PlayerSessionBenchmarkSource::benchmarkMeasuredAt() const {
    return session_.benchmarkMeasuredAt();
}
std::optional<BenchmarkRunError> PlayerSessionBenchmarkSource::benchmarkError() const {
    if (!session_.benchmarkError()) return std::nullopt;
    return BenchmarkRunError{session_.benchmarkErrorRunKey(), *session_.benchmarkError()};
}
ModelSeriesManifest::Variant PlayerSessionBenchmarkSource::benchmarkVariant(const ImportedModelSeries& series) const {
    return session_.benchmarkVariant(series);
}
std::string PlayerSessionBenchmarkSource::modelBenchmarkKey(const ImportedModelSeries& series,
                                                            const ModelSeriesManifest::Variant& variant) const {
    return session_.modelBenchmarkKey(series, variant);
}
std::optional<ModelBenchmarkReport>
PlayerSessionBenchmarkSource::modelBenchmarkReport(const ImportedModelSeries& series,
                                                   const ModelSeriesManifest::Variant& variant) const {
    return session_.modelBenchmarkReport(series, variant);
}
std::optional<std::string> PlayerSessionBenchmarkSource::benchmarkInformation() const {
    return session_.benchmarkInformation();
}
BenchmarkCheckpointMap PlayerSessionBenchmarkSource::benchmarkComparisonCheckpoints() const {
    return session_.benchmarkComparisonCheckpoints();
}
BenchmarkSubmission PlayerSessionBenchmarkSource::benchmarkSubmission(const std::string& submissionID,
                                                                      const std::optional<std::string>& comment) const {
    return session_.benchmarkSubmission(submissionID, comment);
}
void PlayerSessionBenchmarkSource::runBenchmark() { session_.runBenchmark(); }
void PlayerSessionBenchmarkSource::runModelBenchmark(const ImportedModelSeries& series,
                                                     const ModelSeriesManifest::Variant& variant) {
    session_.runModelBenchmark(series, variant);
}
void PlayerSessionBenchmarkSource::cancelBenchmark() { session_.cancelBenchmark(); }
void PlayerSessionBenchmarkSource::stopPlayback() { session_.stopPlayback(); }
void PlayerSessionBenchmarkSource::reloadCurrentModel() { session_.reloadCurrentModel(); }
void PlayerSessionBenchmarkSource::removeModelSeries(const ImportedModelSeries& series) {
    session_.removeModelSeries(series);
}
void PlayerSessionBenchmarkSource::removeImportedModel(const std::filesystem::path& url) {
    session_.removeImportedModel(url);
}

Connection PlayerSessionBenchmarkSource::observe(std::function<void()> changed) {
    auto connections = std::make_shared<std::vector<Connection>>();
    auto add = [&](auto& published) {
        connections->push_back(published.observe([changed](const auto&) { changed(); }));
    };
    add(session_.benchmarkRunning);
    add(session_.modelBenchmarkRunningKey);
    add(session_.loadingModel);
    add(session_.hasVideo);
    add(session_.customModelURL);
    add(session_.bundledModelManifest);
    add(session_.modelInfo);
    add(session_.benchmarkReport);
    add(session_.benchmarkMeasuredAt);
    add(session_.benchmarkError);
    add(session_.modelBenchmarkReports);
    return Connection([connections] { connections->clear(); });
}

void presentBenchmarkSheets(ContentView& content, PlayerSessionBenchmarkSource& source, QWidget* window) {
    presentOnRequest(
        content, ContentView::Sheet::benchmark,
        [&content, &source, window]() -> QDialog* {
            std::optional<ImportedModelSeries> series;
            if (const auto& id = content.state().benchmarkSeriesID)
                for (const ImportedModelSeries& candidate : source.session().importedModelSeries())
                    if (candidate.id() == *id) series = candidate;
            return BenchmarkSheet::present(source, series, content.state().detailStandaloneURL, window);
        },
        [&content] { content.setShowsBenchmark(false); });
}

} // namespace lumavane
