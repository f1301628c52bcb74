#pragma once

#include "EnhancementCore/ModelInfo.hpp"
#include "Lumavane/Benchmarks/BenchmarkComparisonReference.hpp"
#include "Lumavane/Benchmarks/BenchmarkReports.hpp"
#include "Lumavane/Benchmarks/BenchmarkSubmission.hpp"
#include "Lumavane/Models/ModelSeriesManifest.hpp"
#include "Lumavane/Presentation/QtMainExecutor.hpp"
#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Foundation/DefaultsStore.hpp"
#include "Platform/Foundation/HttpClient.hpp"
#include "Platform/Foundation/SerialQueue.hpp"
#include "Platform/Foundation/Signal.hpp"

#include <QDialog>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QLabel;
class QVBoxLayout;

namespace lumavane {

// The failed run's text, with the run it belongs to: the default suite (empty key) or a model's
// run key, so a sheet shows only its own run's error.
struct BenchmarkRunError {
    std::string runKey;
    std::string text;
    bool operator==(const BenchmarkRunError&) const = default;
};

// What the benchmark sheets read of the session and ask it to do; everything on the main thread.
class BenchmarkSheetSession {
public:
    virtual ~BenchmarkSheetSession() = default;

    virtual bool benchmarkRunning() const = 0;
    virtual std::optional<std::string> modelBenchmarkRunningKey() const = 0;
    virtual bool canRequestBenchmark() const = 0;
    virtual bool loadingModel() const = 0;
    virtual bool hasVideo() const = 0;
    virtual std::optional<std::filesystem::path> customModelURL() const = 0;
    virtual bool hasBundledModels() const = 0;
    virtual std::optional<ModelSeriesManifest> bundledModelManifest() const = 0;
    virtual std::optional<ModelInfo> modelInfo() const = 0;
    virtual std::optional<PerformanceBenchmarkReport> benchmarkReport() const = 0;
    virtual std::optional<DefaultsDate> benchmarkMeasuredAt() const = 0;
    virtual std::optional<BenchmarkRunError> benchmarkError() const = 0;
    virtual ModelSeriesManifest::Variant benchmarkVariant(const ImportedModelSeries& series) const = 0;
    virtual std::string modelBenchmarkKey(const ImportedModelSeries& series,
                                          const ModelSeriesManifest::Variant& variant) const = 0;
    virtual std::optional<ModelBenchmarkReport> modelBenchmarkReport(const ImportedModelSeries& series,
                                                                     const ModelSeriesManifest::Variant& variant) const = 0;
    virtual std::optional<std::string> benchmarkInformation() const = 0;
    // Throw as the session does (missing model, bad checkpoint, unreadable manifest).
    virtual BenchmarkCheckpointMap benchmarkComparisonCheckpoints() const = 0;
    virtual BenchmarkSubmission benchmarkSubmission(const std::string& submissionID,
                                                    const std::optional<std::string>& comment) const = 0;

    virtual void runBenchmark() = 0;
    virtual void runModelBenchmark(const ImportedModelSeries& series, const ModelSeriesManifest::Variant& variant) = 0;
    virtual void cancelBenchmark() = 0;
    virtual void stopPlayback() = 0;
    virtual void reloadCurrentModel() = 0;
    virtual void removeModelSeries(const ImportedModelSeries& series) = 0;
    virtual void removeImportedModel(const std::filesystem::path& url) = 0;

    // Called after any change of what the sheets read.
    [[nodiscard]] virtual Connection observe(std::function<void()> changed) = 0;
};

// The services of the web parts, replaceable by tests.
struct BenchmarkWebServices {
    HttpClient* http = nullptr;                                  // default: one CurlHttpClient
    std::function<std::optional<std::string>()> postingEndpoint; // default: benchmarkPostingEndpoint
    std::function<std::optional<std::string>()> comparisonEndpoint;
    std::function<std::optional<std::string>()> resultsURL; // default: "LumavaneBenchmarkResultsURL"
    std::function<void(const QString&)> openURL;            // default: the desktop's handler
    std::optional<DefaultsStore> preferences;               // default: the standard store

    // Fills every member left empty.
    BenchmarkWebServices completed() const;
};

// The model details and benchmark sheet: the default suite of the shipped models, an imported
// series' variant, or a standalone model file (details only).
class BenchmarkSheet final : public QDialog {
    Q_OBJECT
public:
    enum class ResultsState { requirement, running, results, error, idle };
    using Configuration = std::pair<PerformanceBenchmarkProfile, PerformanceBenchmarkScale>;
    static constexpr int copiedMarkMilliseconds = 2000;

    BenchmarkSheet(BenchmarkSheetSession& session, std::optional<ImportedModelSeries> series,
                   std::optional<std::filesystem::path> standaloneURL, BenchmarkWebServices services = {},
                   QWidget* parent = nullptr);
    ~BenchmarkSheet() override;

    // The application's sheet over the window: window-modal, deleted on close.
    static BenchmarkSheet* present(BenchmarkSheetSession& session, std::optional<ImportedModelSeries> series,
                                   std::optional<std::filesystem::path> standaloneURL, QWidget* window);

    bool running() const;
    bool canRun() const;
    // Why a series cannot run although nothing else is busy; empty otherwise.
    QString cannotRunReason() const;
    std::optional<PerformanceBenchmarkReport> report() const;
    std::optional<DefaultsDate> measuredAt() const;
    std::vector<Configuration> configurations() const;
    // This sheet's run's error; another run's error is not shown here.
    std::optional<std::string> runError() const;
    ResultsState resultsState() const;

    // The run and "再測定" buttons: a confirmation first while a video is open.
    void startBenchmark();
    void closeVideoAndStartBenchmark();
    bool showsCloseVideoConfirmation() const noexcept { return showsCloseVideoConfirmation_; }
    void copyBenchmark();
    bool copied() const noexcept { return copied_; }
    QTimer& copiedMarkTimer() noexcept { return copiedMarkTimer_; }
    void openResultsWebsite();
    bool showsWebsiteUnavailable() const noexcept { return showsWebsiteUnavailable_; }

    // The comparison refresh; a request while one is in flight is dropped, so an older answer
    // can never overwrite a newer one.
    void updateComparisonReference();
    bool comparisonRefreshing() const noexcept { return refresh_ != nullptr; }
    const std::optional<BenchmarkComparisonReference>& comparisonReference() const noexcept {
        return comparisonReference_;
    }
    bool comparisonUsesSavedReference() const noexcept { return comparisonUsesSavedReference_; }
    bool comparisonUnavailable() const noexcept { return comparisonUnavailable_; }
    std::optional<double> scoreIndex() const;

    // "Webに投稿": the posting sheet, window-modal over this one.
    void showWebPost();

    static QString recommendedFPSLabel(const PerformanceBenchmarkMeasurement& measurement);
    static QString categoryLabel(const std::string& category);
    static QString variantLine(const ModelSeriesManifest::Variant& variant);

    // Rebuilt from the session and the sheet's state.
    void refresh();

    void reject() override;

private:
    struct Refresh;
    QWidget* buildHeader();
    QWidget* buildDetails();
    QWidget* buildResults();
    QWidget* buildScoreCard(const BenchmarkScoreSummary& summary);
    QWidget* buildResultCard(const PerformanceBenchmarkReport& report, const Configuration& configuration);
    QWidget* buildFooter();
    void startRun();
    void comparisonKeyChanged();
    void finishRefresh(const std::shared_ptr<Refresh>& refresh, std::optional<BenchmarkComparisonReference> result,
                       std::exception_ptr error);
    std::string runKey() const;

    BenchmarkSheetSession& session_;
    std::optional<ImportedModelSeries> series_;
    std::optional<std::filesystem::path> standaloneURL_;
    BenchmarkWebServices services_;
    std::unique_ptr<HttpClient> ownHttp_;

    bool copied_ = false;
    QTimer copiedMarkTimer_;
    bool showsWebsiteUnavailable_ = false;
    bool showsCloseVideoConfirmation_ = false;
    std::optional<BenchmarkComparisonReference> comparisonReference_;
    BenchmarkCheckpointMap comparisonCheckpoints_;
    bool comparisonUsesSavedReference_ = true;
    bool comparisonUnavailable_ = false;
    std::optional<std::optional<double>> comparisonTaskID_; // outer: not yet evaluated
    std::shared_ptr<Refresh> refresh_;

    QVBoxLayout* body_ = nullptr;
    QWidget* content_ = nullptr;
    QtMainExecutor mainExecutor_{this};
    SerialQueue webQueue_{"Lumavane.benchmarkWeb"};
    Connection observation_;
};

} // namespace lumavane
