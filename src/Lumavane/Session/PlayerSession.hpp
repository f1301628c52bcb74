#pragma once

#include "DirectPlayback/DirectPlaybackTypes.hpp"
#include "EnhancementCore/EnhancementLatencyCompensator.hpp"
#include "Lumavane/Session/DirectPlaybackBackend.hpp"
#include "EnhancementCore/ModelInfo.hpp"
#include "EnhancementCore/PresentationGate.hpp"
#include "Lumavane/Benchmarks/BenchmarkReports.hpp"
#include "Lumavane/Benchmarks/BenchmarkSubmission.hpp"
#include "Lumavane/Benchmarks/PerformanceBenchmarkRunner.hpp"
#include "Lumavane/Models/BundledModelPreset.hpp"
#include "Lumavane/Models/ModelImportCandidate.hpp"
#include "Lumavane/Models/ModelSeriesManifest.hpp"
#include "Lumavane/Session/AutoProcessingPolicy.hpp"
#include "Lumavane/Session/PlaybackEnhancer.hpp"
#include "Lumavane/Session/PlaybackHistoryEntry.hpp"
#include "Lumavane/Session/PlaybackReadoutTicker.hpp"
#include "Lumavane/Session/PresentationFrames.hpp"
#include "Lumavane/Session/Published.hpp"
#include "Lumavane/Session/SeekThumbnailSource.hpp"
#include "Lumavane/Session/SessionTypes.hpp"
#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Foundation/DefaultsStore.hpp"
#include "Platform/Foundation/MainExecutor.hpp"
#include "Platform/Foundation/SerialQueue.hpp"
#include "Platform/Media/MediaPlayer.hpp"
#include "VideoPresentation/PostProcessSettings.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumavane {

class PlaybackSleepPreventing;
class PlaybackTimingTrace;
class SystemFacts;

// The player's one hub: every view reads it and every control calls it. Main thread only.
// Properties views observe are Published members; assignments go through the session's setters,
// which run each property's change behaviour. Fast-changing values reach views through the
// three readouts.
class PlayerSession {
public:
    // Where the saved choices live and what the session talks to. Every service has a
    // stand-in for tests; empty fields get the application's real ones.
    struct Options {
        DefaultsStore preferences = DefaultsStore::standard();
        // Imported model packages; default $XDG_DATA_HOME (else ~/.local/share)/Lumavane/ImportedModels.
        std::optional<std::filesystem::path> modelImportsDirectory;
        // Default: a PlaybackSleepAssertion on the desktop's screen saver.
        std::shared_ptr<PlaybackSleepPreventing> playbackSleepPrevention;
        // Required: the main thread's executor (timers, settling delays).
        MainExecutor* executor = nullptr;
        // Default: this machine's facts.
        std::shared_ptr<const SystemFacts> systemFacts;
        // Default: PlaybackTimingTrace::shared().
        PlaybackTimingTrace* timingTrace = nullptr;
        // Reads a "model-series.json"; default ModelSeriesManifest::load.
        std::function<ModelSeriesManifest(const std::filesystem::path&)> loadModelSeriesManifest;
        // Looks a user-interface text up by its Japanese source text; default AppLocalization.
        std::function<std::string(const std::string&)> localize;
        // Builds enhancers for model loading; default ModelPlaybackEnhancerFactory.
        std::shared_ptr<PlaybackEnhancerFactory> enhancerFactory{};
        // Host seconds for the frame pipeline's timings; default hostTimeSeconds().
        std::function<double()> hostClock{};
        // The platform back-end's player; default: GStreamer's.
        std::shared_ptr<media::Player> platformPlayer{};
        // Opens a file on the direct back-end, throwing its error; default: the direct engine.
        // Called through runFileWork, so away from the main thread unless that says otherwise.
        std::function<std::shared_ptr<DirectPlaybackBackend>(const std::filesystem::path&)> openDirectPlayback{};
        // Runs an opening's file work (the file check, the direct back-end's open and probe),
        // which may block as long as the file system likes; default: a thread of its own that
        // nothing ever waits for.
        std::function<void(std::function<void()>)> runFileWork{};
        // The seek bar's thumbnails of a video; default: a SeekThumbnailProvider.
        SeekThumbnailSourceFactory makeThumbnailSource{};
        // A machine fact by its kernel name ("hw.model", "kern.osversion"); default hardwareModelIdentifier.
        std::function<std::string(std::string_view)> hardwareModelIdentifier{};
        // The application's information dictionary; default appInfoString.
        std::function<std::optional<std::string>(const std::string&)> appInfo{};
        // How benchmarks measure (counts, frame sizes, engines); the defaults are the standard suite's.
        PerformanceBenchmarkSettings benchmarkSettings{};
    };

    static constexpr std::size_t historyLimit = 50;
    static constexpr double optimalResizeSettleSeconds = 0.12;
    static constexpr const char* preferencesKey = "player.preferences";

    // Restores the saved state (models, benchmarks, history, settings); never fails.
    explicit PlayerSession(Options options);
    // Releases what it holds and nothing more: no save, no explicit stop.
    ~PlayerSession();
    PlayerSession(const PlayerSession&) = delete;
    PlayerSession& operator=(const PlayerSession&) = delete;

    // --- Published state, in the order the views meet it.
    Published<std::string> filename{"動画を開いて始める"};
    Published<std::optional<ModelInfo>> modelInfo{std::nullopt};
    Published<std::optional<std::filesystem::path>> customModelURL{std::nullopt};
    Published<std::vector<std::filesystem::path>> recentModelURLs{{}};
    Published<std::vector<ImportedModelSeries>> importedModelSeries{{}};
    Published<bool> loadingModel{false};
    Published<bool> playing{false};
    Published<bool> isPaused{false};
    Published<double> duration{0};
    Published<double> volume{1.0};
    Published<bool> isMuted{false};
    Published<double> playbackRate{1.0};
    Published<ViewMode> mode{ViewMode::compare};
    Published<bool> enabled{true};
    Published<double> split{0.5};
    Published<std::optional<std::string>> message{std::nullopt};
    Published<std::string> status{"モデル未選択"};
    Published<std::string> resolution{"—"};
    Published<std::string> outputResolution{"—"};
    Published<bool> sharpenEnabled{false};
    Published<double> sharpenAmount{0.3};
    Published<bool> debandEnabled{false};
    Published<double> debandAmount{0.45};
    Published<bool> grainEnabled{false};
    Published<double> grainAmount{0.12};
    Published<double> brightness{0};
    Published<double> gamma{1.0};
    Published<bool> enhancementCleanupEnabled{true};
    Published<double> enhancementCleanupAmount{0.75};
    Published<bool> fxComparison{false};
    Published<double> fxSplit{0.5};
    Published<bool> fxDifferencePreview{false};
    Published<bool> fxEnabled{true};
    Published<FXPipelineOrder> fxPipelineOrder{FXPipelineOrder::afterUpscale};
    Published<OutputScale> outputScale{OutputScale::optimal};
    Published<bool> supports4xOutput{false};
    Published<BundledModelPreset> bundledModelPreset{BundledModelPreset::quality};
    Published<BundledModelPreset> activeModelPreset{BundledModelPreset::quality};
    Published<double> sourceFPS{0};
    Published<std::vector<DirectAudioTrack>> audioTracks{{}};
    Published<std::optional<int>> selectedAudioTrackID{std::nullopt};
    Published<std::vector<DirectSubtitleTrack>> subtitleTracks{{}};
    Published<std::optional<int>> selectedSubtitleTrackID{std::nullopt};
    Published<std::string> subtitleText{""};
    Published<bool> hasBundledModelChoices{false};
    Published<bool> hasVideo{false};
    Published<std::vector<std::filesystem::path>> playlist{{}};
    Published<std::optional<std::filesystem::path>> currentVideoURL{std::nullopt};
    Published<bool> showingEnhancement{false};
    Published<bool> benchmarkRunning{false};
    Published<std::optional<PerformanceBenchmarkReport>> benchmarkReport{std::nullopt};
    Published<std::optional<DefaultsDate>> benchmarkMeasuredAt{std::nullopt};
    Published<std::optional<std::string>> benchmarkError{std::nullopt};
    Published<std::optional<std::string>> modelBenchmarkRunningKey{std::nullopt};
    Published<std::map<std::string, ModelBenchmarkReport>> modelBenchmarkReports{{}};
    Published<bool> preparingModelImport{false};
    Published<double> videoAspectRatio{16.0 / 9.0};
    Published<std::optional<double>> scrubPosition{std::nullopt};
    Published<std::optional<double>> seekPreviewPosition{std::nullopt};
    Published<std::optional<image::CPUImage>> seekPreviewThumbnail{std::nullopt};
    Published<std::optional<ModelSeriesManifest>> bundledModelManifest{std::nullopt};

    // --- Readouts: published at most every 0.1 s while playing, at once otherwise.
    PlaybackReadout<double> positionReadout{0};
    PlaybackReadout<PlaybackStatistics> statisticsReadout{PlaybackStatistics{}};
    PlaybackReadout<std::vector<PlaybackHistoryEntry>> historyReadout{{}};

    // --- Settings (each persists "player.preferences" through its change behaviour).
    void setMode(ViewMode mode);
    void setEnabled(bool enabled);
    void setSplit(double split); // non-finite: ignored
    void setSharpenEnabled(bool enabled);
    void setSharpenAmount(double amount); // non-finite: ignored
    void setDebandEnabled(bool enabled);
    void setDebandAmount(double amount); // non-finite: ignored
    void setGrainEnabled(bool enabled);
    void setGrainAmount(double amount);    // non-finite: ignored
    void setBrightness(double brightness); // non-finite: ignored
    void setGamma(double gamma);           // non-finite: ignored
    void setEnhancementCleanupEnabled(bool enabled);
    void setEnhancementCleanupAmount(double amount); // non-finite: ignored
    void setFxEnabled(bool enabled);
    void setFxComparison(bool on);
    void setFxSplit(double split); // non-finite: ignored
    void setFxDifferencePreview(bool on);
    void setFxPipelineOrder(FXPipelineOrder order);
    // Clamped to 0...1 (non-finite: ignored); a volume above 0 unmutes.
    void setVolume(double volume);
    void setIsMuted(bool muted);
    // Snapped to the offered rate within 0.001; others, and the current rate, are ignored.
    void setPlaybackRate(double rate);
    // Display width / height of the open video; non-finite or not positive: ignored.
    void setVideoAspectRatio(double ratio);

    // What the surface and the comparison overlay draw with: in compare mode the effects and the
    // cleanup cover only the enhanced part right of the split; in the effects comparison
    // (enhanced mode) the effects start at fxSplit; effects before upscaling are not drawn.
    PostProcessConfiguration postProcessConfiguration() const;
    // Whether the picture on screen is the enhanced one; assigned by the frame pipeline.
    void setShowingEnhancement(bool showing);

    // Rewrites the whole "player.preferences" dictionary; nothing until the restore is done.
    void savePreferences();
    // The alert showing `message` was dismissed.
    void clearMessage() { message.set(std::nullopt); }
    // An effect setting changed: save, and re-enhance the current frame when the effects run
    // before the model.
    void fxSettingsDidChange();

    // --- Playback state, assigned by the playback back-ends; each runs its change behaviour.
    // Playing keeps the display awake and runs the readout ticker.
    void setPlaying(bool playing);
    void setPaused(bool paused);
    void setHasVideo(bool hasVideo);
    void setDuration(double duration);
    void setSourceFPS(double fps);
    void setPosition(double position); // non-finite: ignored
    double position() const noexcept { return position_; }

    // --- Opening and closing videos.
    // Resets everything of the video being left at once, then opens `url` in a main-thread task on
    // the platform back-end, or the direct one for its kinds and whenever the platform refuses.
    void loadVideo(const std::filesystem::path& url, std::optional<PlaybackHistoryEntry> resume = std::nullopt);
    // The drop target: true when something playable was found and the first of it is opening.
    bool openDroppedVideo(const std::vector<std::filesystem::path>& urls);
    // Closes the open, opening or failed video (nothing when none) and writes the timing trace.
    void stopPlayback();
    // --- Seeking, tracks, playlist and history (PlayerSessionSeeking/Tracks/Playlist.cpp).
    // Clamped to the video; only shown while scrubbing. Ignored without a video or a finite time.
    void seek(double seconds);
    // The seek bar's drag: the position is only shown until it ends, then sought once.
    void setScrubbing(bool scrubbing);
    bool scrubbing() const noexcept { return scrubbing_; }
    // The pointer over the seek bar (nothing: it left): shows a cached thumbnail at once and
    // decodes the rest one request at a time, then prefetches in the direction of travel.
    void setSeekPreview(std::optional<double> seconds);
    void selectAudioTrack(int id);
    // Nothing turns subtitles off; an id the video lacks is ignored.
    void selectSubtitle(std::optional<int> id);
    // The open panel's choice: replaces the playlist and opens the first video, or only appends.
    void chooseVideos(const std::vector<std::filesystem::path>& chosen, bool appendOnly);
    // Dropped on the playlist: appended, nothing opened; false when nothing playable was found.
    bool appendDroppedVideos(const std::vector<std::filesystem::path>& urls);
    void playPlaylistItem(const std::filesystem::path& url);
    void removePlaylistItem(const std::filesystem::path& url);
    // Opens the entry after the open video; false after the last one or without one.
    bool playNextPlaylistItem();
    // Opens the entry's file and resumes it; a missing file only shows a message.
    void playHistoryItem(const PlaybackHistoryEntry& entry);
    void removeHistoryItem(const std::filesystem::path& url);
    void clearHistory();
    const std::shared_ptr<media::PlayerItem>& platformItem() const noexcept { return platformItem_; }
    const std::shared_ptr<DirectPlaybackBackend>& directEngine() const noexcept { return directEngine_; }
    bool seeking() const noexcept { return seeking_; }

    // --- Readouts.
    void publishPlaybackReadouts();
    // Stops the ticker, publishes once, and starts a new ticker when playing (and the quiet
    // trace display is off).
    void updateReadoutTicker();

    // --- Display size: the surface's drawable in pixels. With `optimal` output, a size that
    // stays unchanged for 120 ms becomes the enhancer's target and the frame is enhanced again.
    void updateDisplayPixelSize(PixelSize size);
    std::optional<PixelSize> reportedDisplaySize() const noexcept { return reportedDisplaySize_; }
    std::optional<PixelSize> optimalOutputSize() const noexcept { return optimalOutputSize_; }
    // The surface's GPU time per frame; the surface decides how often it is stored.
    double lastDisplayMetricsUpdate() const noexcept { return lastDisplayMetricsUpdate_; }
    void storeDisplayGPUms(double milliseconds, double now) {
        displayGPUms_ = milliseconds;
        lastDisplayMetricsUpdate_ = now;
    }

    // --- Frame pipeline (PlayerSessionPipeline.cpp).
    // Installed by the surface: show a picture with its cleanup guide; save the picture on screen.
    DisplayHook display;
    CaptureFrameHook captureFrame;
    // Once per display refresh, with the display link's target time.
    void tick(double hostTime);
    // The direct engine's frame callback.
    void consumeDirectFrame(const PixelBuffer& buffer, double pts);
    void enqueueSourceForPresentation(image::Image picture, double pts);
    // Drops enhancement work in flight and the queued frames: a new generation, readouts republished.
    void invalidate();
    // The same for a change of model or enhancement settings, which leaves the video's queued
    // source frames due: only what the enhancer made or is making is dropped.
    void invalidateEnhancements();
    // Chooses the picture due at the playback clock and hands it to `display` when it changed.
    void refreshDisplay();
    // Starts enhancing the newest frame unless a step runs or nothing may be enhanced.
    void submitLatest();
    void togglePlayback();
    void resetPresentationGate();
    // 0 unless playing with enhancement on, a model loaded and no seek running.
    double activeEnhancementLeadTime() const;
    double presentationTolerance() const;
    // The newest queued frame due at `clock` (the older ones are dropped); while paused the last one.
    std::optional<SourcePresentationFrame> sourceFrame(double clock, double tolerance);
    std::optional<EnhancedPresentationFrame> enhancedFrame(double clock, double tolerance);
    // The installed model; model loading installs it (and drops the frames in flight).
    void setEnhancer(std::shared_ptr<PlaybackEnhancer> enhancer);
    const std::shared_ptr<PlaybackEnhancer>& enhancer() const noexcept { return enhancer_; }
    PlaybackEnhancerFactory& enhancerFactory() noexcept { return *enhancerFactory_; }
    // The direct back-end, the clock and frame source while present; set by opening videos.
    void setDirectPlayback(std::shared_ptr<DirectPlaybackBackend> engine);
    // The video track's preferred transform, applied to every source picture.
    void setTrackTransform(const image::AffineTransform& transform);
    const std::optional<image::Image>& latest() const noexcept { return latest_; }
    std::optional<image::Size> latestSourceSize() const;
    const AutoProcessingPolicy& autoPolicy() const noexcept { return autoPolicy_; }
    void applyVolume();

    // --- Models (PlayerSessionModels.cpp). Loads build on the inference queue; only the newest
    // load is installed. Removal edits the lists and their saved keys, never files.
    // The launch restore, called once after construction: the shipped series (the resources'
    // Models/model-series.json unless given) and the saved model choice.
    void loadBundledModelIfAvailable(std::optional<std::filesystem::path> manifestURL = std::nullopt);
    void loadModel(const std::filesystem::path& url, bool automatic, std::optional<OutputScale> requestedScale,
                   std::optional<ModelSeriesManifest::Variant> requiredVariant, bool fallbackToDefaultOnFailure,
                   std::function<void()> onSuccess);
    // The user's own choice of a model file or folder (the --model option, the model table).
    void requestModelLoad(const std::filesystem::path& url);
    void setBundledModel(BundledModelPreset preset);
    void useDefaultModel();
    void selectModelSeries(const ImportedModelSeries& series, std::optional<std::string> variantID,
                           bool fallbackToDefaultOnFailure);
    void loadModelSeriesVariant(const ImportedModelSeries& series, std::optional<std::string> variantID,
                                bool fallbackToDefaultOnFailure);
    void reloadCurrentModel();
    // The recent models that belong to no imported series.
    std::vector<std::filesystem::path> standaloneModelURLs() const;
    std::vector<OutputScale> availableOutputScales() const;
    void setOutputScale(OutputScale scale);
    void persistSelectedDefault();
    void persistSelectedSeries(const ImportedModelSeries& series, const ModelSeriesManifest::Variant& variant);
    void persistSelectedStandalone(const std::filesystem::path& url);
    std::optional<std::string> autoContextKey() const;
    BundledModelPreset rememberedAutoPreset() const;
    // The shipped series' id (a fallback id without one): no imported series may carry it.
    std::string reservedSeriesID() const;
    // Classifies a picked series document, folder or model; a ZIP gives nothing here (ZIPs are
    // unpacked only by prepareModelImportCandidate, off the main thread).
    std::optional<ModelImportCandidate> modelImportCandidate(const std::filesystem::path& url);
    // Always answers: while a load or another preparation runs, at once with nothing.
    void prepareModelImportCandidate(const std::filesystem::path& url,
                                     std::function<void(std::optional<ModelImportCandidate>)> completion);
    // The import sheet closed: a preparation still running stops soon and is dropped with its
    // staging folder.
    void cancelModelImportPreparation();
    void discardModelImport(const std::optional<ModelImportCandidate>& candidate);
    void importModel(const ModelImportCandidate& candidate);
    void importModelSeries(const std::filesystem::path& manifestURL);
    void removeModelSeries(const ImportedModelSeries& series);
    void removeImportedModel(const std::filesystem::path& url);
    const std::map<BundledModelPreset, std::filesystem::path>& bundledModelURLs() const noexcept {
        return bundledModelURLs_;
    }
    const std::optional<std::filesystem::path>& modelURL() const noexcept { return modelURL_; }

    // --- Benchmarks, diagnostics and the web submission (PlayerSessionBenchmarks.cpp). One run at
    // a time; a result that comes back after a cancel or another start is dropped.
    // Whether the standard suite may start now: nothing running or loading, both shipped models known.
    bool canRequestBenchmark() const;
    // The run benchmarkError belongs to: "" for the standard suite, else the model run's key.
    const std::string& benchmarkErrorRunKey() const noexcept { return benchmarkErrorRunKey_; }
    // Nothing while a video is open or when the suite may not start.
    void runBenchmark();
    // One imported model at its 2x and 4x scales, kept under "player.modelBenchmarks".
    void runModelBenchmark(const ImportedModelSeries& series, const ModelSeriesManifest::Variant& variant);
    void cancelBenchmark();
    std::string modelBenchmarkKey(const ImportedModelSeries& series, const ModelSeriesManifest::Variant& variant) const;
    std::optional<ModelBenchmarkReport> modelBenchmarkReport(const ImportedModelSeries& series,
                                                             const ModelSeriesManifest::Variant& variant) const;
    // The variant loaded now, else the one remembered for the series, else the first.
    ModelSeriesManifest::Variant benchmarkVariant(const ImportedModelSeries& series) const;
    // What the cached standard result is tied to (build: "CFBundleVersion", else "development").
    std::optional<std::string> defaultBenchmarkIdentity(std::optional<std::string> appBuild = std::nullopt) const;
    // At launch, once the shipped models are known: the cached result is shown while its identity
    // holds, and forgotten otherwise.
    void restoreDefaultBenchmarkIfCompatible();
    // The machine and the player's state as plain text; names no file.
    std::string diagnosticInformation() const;
    std::string diagnosticInformation(std::optional<std::string> appVersion) const;
    // The last standard result as text, diagnostics appended; nothing without one.
    std::optional<std::string> benchmarkInformation() const;
    // Both throw BenchmarkSubmissionError or the shipped models' file and decoding errors.
    BenchmarkCheckpointMap benchmarkComparisonCheckpoints() const;
    BenchmarkSubmission benchmarkSubmission(const std::string& submissionID, std::optional<std::string> comment) const;

    // --- Restored and fixed state.
    const std::vector<PlaybackHistoryEntry>& history() const noexcept { return history_; }
    const std::optional<DefaultBenchmarkSnapshot>& savedDefaultBenchmark() const noexcept {
        return savedDefaultBenchmark_;
    }
    const std::string& autoMachine() const noexcept { return autoMachine_; }
    const std::filesystem::path& modelImportsDirectory() const noexcept { return modelImportsDirectory_; }
    bool preferencesReady() const noexcept { return preferencesReady_; }
    std::uint64_t generation() const noexcept { return generation_; }
    std::uint64_t videoGeneration() const noexcept { return videoGeneration_; }
    const DefaultsStore& preferences() const noexcept { return preferences_; }
    PlaybackStatistics statistics() const;

    static std::filesystem::path defaultModelImportsDirectory();

private:
    void restoreModelsAndRecords();
    void restorePreferences();
    DefaultsValue::Dictionary preferencesDictionary() const;
    void pushLeadTime();
    // Opening, a seek or playing again from the end: the next frame queued is the run's first.
    void beginRun();
    void reenhanceCurrentFrame();
    void updateHistoryProgress(bool force);

    // Opening and closing (PlayerSessionOpening.cpp).
    struct AssetLoad;
    void runOpening(const std::filesystem::path& url, std::uint64_t token,
                    const std::optional<PlaybackHistoryEntry>& resume, const std::shared_ptr<AssetLoad>& asset);
    void openDirectly(const std::filesystem::path& url, std::uint64_t token,
                      const std::optional<PlaybackHistoryEntry>& resume);
    void directOpened(const std::filesystem::path& url, std::uint64_t token,
                      const std::optional<PlaybackHistoryEntry>& resume,
                      std::shared_ptr<DirectPlaybackBackend> engine, std::exception_ptr error);
    void showCannotPlay(const std::filesystem::path& url);
    void finishOpening(const std::filesystem::path& url, std::uint64_t token,
                       const std::optional<PlaybackHistoryEntry>& resume);
    void configurePlayback(const std::filesystem::path& url, std::uint64_t token, const std::shared_ptr<AssetLoad>& asset,
                           std::function<void(std::exception_ptr refusal)> done);
    void installPlatformItem(const std::filesystem::path& url, std::uint64_t token,
                             const media::AssetProperties& asset);
    void installItemObservers(const std::shared_ptr<media::PlayerItem>& item, std::uint64_t token);
    void removeItemObservers();
    void itemStatusChanged(std::uint64_t token, const media::PlayerItem& item);
    void itemPlayedToEnd(std::uint64_t token, const std::shared_ptr<media::PlayerItem>& item);
    void configureDirectPlayback(std::uint64_t token, std::shared_ptr<DirectPlaybackBackend> engine);
    void directPlaybackEnded();
    bool endedWithoutPicture();
    // Makes the buffer the newest source picture (the track's transform applied, moved to the
    // origin) and queues it when it has a time; false when the image layer cannot read it.
    bool takeSourceFrame(const PixelBuffer& buffer, std::optional<double> pts);
    // The platform back-end's part of tick() and togglePlayback().
    void pollPlatformOutput(double hostTime);
    void togglePlatformPlayback();
    void clearPicture();
    // The playback clock the picture is chosen by: the direct engine's, else the platform player's.
    double presentationClock() const;
    // On pausing: the frame due at the paused position becomes the newest, to be enhanced.
    void holdFrameDueNow();
    void resetAutomaticPolicy();
    void updateSubtitle(double time);
    // Seeking and the seek preview (PlayerSessionSeeking.cpp).
    struct SeekPreviewTask;
    void platformSeekCompleted(std::uint64_t seekToken, std::uint64_t videoToken);
    void resetSeekPreview();
    void cancelSeekPreviewTasks();
    void configureThumbnailProvider(const std::filesystem::path& url, bool containingTime);
    void scheduleSeekPreview(double seconds);
    bool seekPreviewStale(const SeekPreviewTask& task) const;
    void endSeekPreviewTask(const std::shared_ptr<SeekPreviewTask>& task);
    void runSeekPreview(const std::shared_ptr<SeekPreviewTask>& task, double target);
    void seekPreviewImageArrived(const std::shared_ptr<SeekPreviewTask>& task, double target,
                                 std::optional<image::CPUImage> image, std::exception_ptr error);
    void startSeekPrefetch(double origin);
    void endSeekPrefetch(const std::shared_ptr<SeekPreviewTask>& task);
    void prefetchSeekThumbnail(const std::shared_ptr<SeekPreviewTask>& task, int index);
    void appendToPlaylist(const std::vector<std::filesystem::path>& urls);
    void setHistory(std::vector<PlaybackHistoryEntry> entries);
    void persistHistory();
    struct EnhancementCompletion;
    void completeEnhancement(EnhancementCompletion completion);
    void prepareAutomaticContext();
    void updateAutomaticMode(double milliseconds, double now);
    void setStatus(const char* key);
    double publicationInterval() const;
    void configureBenchmarks(Options& options);
    std::string benchmarkErrorText(const std::exception_ptr& error) const;
    std::string benchmarkErrorRunKey_;
    std::string defaultAppBuild() const;
    void saveDefaultBenchmark(const PerformanceBenchmarkReport& report, DefaultsDate measuredAt);
    friend struct PlayerSessionTestAccess;
    struct Models;

    MainExecutor& executor_;
    PlaybackTimingTrace& timingTrace_;
    std::shared_ptr<const SystemFacts> systemFacts_;
    std::function<ModelSeriesManifest(const std::filesystem::path&)> loadModelSeriesManifest_;
    std::function<std::string(const std::string&)> localize_;

    double position_ = 0;
    std::unique_ptr<PlaybackReadoutTicker> readoutTicker_;
    double processingMS_ = 0;
    double enhancedFPS_ = 0;
    int tiles_ = 0;
    double frameAgeMS_ = 0;
    double displayGPUms_ = 0;
    std::optional<std::filesystem::path> pendingModelURL_;
    bool automaticModelSwitch_ = false;
    std::optional<std::string> autoContext_;
    std::string autoMachine_;
    bool updatingHistoryProgress_ = false;
    std::vector<PlaybackHistoryEntry> history_;
    std::optional<double> lastHistoryWrite_; // host seconds; none: never written
    std::optional<PixelSize> reportedDisplaySize_;
    std::optional<PixelSize> optimalOutputSize_;
    std::optional<MainExecutor::TaskId> optimalResizeTask_;
    std::uint64_t benchmarkGeneration_ = 0;
    DefaultsStore preferences_;
    std::filesystem::path modelImportsDirectory_;
    std::shared_ptr<PlaybackSleepPreventing> playbackSleepPrevention_;
    SerialQueue modelImportWorker_{"Lumavane.modelImport", QualityOfService::userInitiated};
    std::uint64_t modelImportPreparationGeneration_ = 0;
    // Of the latest preparation; after the queue, so that quitting stops the work it waits for.
    ScopedCancellation modelImportCancellation_;
    std::optional<DefaultBenchmarkSnapshot> savedDefaultBenchmark_;
    bool preferencesReady_ = false;
    PresentationGate presentationGate_;
    SerialQueue worker_{"Lumavane.inference", QualityOfService::userInitiated}; // model builds
    // The per-frame steps, apart from the builds: during an automatic switch the model in place
    // goes on enhancing while the next one builds.
    SerialQueue stepQueue_{"Lumavane.enhance", QualityOfService::userInitiated};
    std::uint64_t generation_ = 0;
    std::uint64_t importGeneration_ = 0;
    std::uint64_t videoGeneration_ = 0;
    EnhancementLatencyCompensator latencyCompensator_{0.5};
    std::vector<double> completionTimes_;
    std::optional<std::filesystem::path> modelURL_;
    std::map<BundledModelPreset, std::filesystem::path> bundledModelURLs_;
    std::vector<DirectSubtitleCue> subtitleCues_;
    std::shared_ptr<media::Player> platformPlayer_;
    std::function<std::shared_ptr<DirectPlaybackBackend>(const std::filesystem::path&)> openDirectPlayback_;
    std::function<void(std::function<void()>)> runFileWork_;
    // Hands the results of file work back to the main thread while the session lives; work that
    // finishes later (a file system that answered at last) is dropped where it finishes.
    struct FileWorkReturn {
        std::mutex mutex;
        MainExecutor* executor = nullptr;
        void post(std::function<void()> work) {
            std::lock_guard lock(mutex);
            if (executor) executor->post(std::move(work));
        }
        void close() {
            std::lock_guard lock(mutex);
            executor = nullptr;
        }
    };
    std::shared_ptr<FileWorkReturn> fileWorkReturn_ = std::make_shared<FileWorkReturn>();
    std::shared_ptr<DirectPlaybackBackend> directEngine_;
    bool pictureArrived_ = false; // the open video has given a picture
    double directLead_ = 0; // the lead last given to the direct engine
    bool firstDirectFrameDue_ = true; // no frame came since the engine was opened or sought
    // How long after its tick the refresh being drawn is shown (the display link's target lies
    // ahead): pictures are chosen for that moment. The direct engine hands frames over the most
    // of it seen earlier, so that its lead does not move with every refresh.
    double displayAhead_ = 0;
    double displayLeadAllowance_ = 0;
    std::shared_ptr<media::PlayerItem> platformItem_; // also the platform frame source
    std::optional<media::MediaSelectionGroup> nativeAudioGroup_;
    bool scrubbing_ = false;
    std::uint64_t seekPreviewRequest_ = 0;
    double seekPreviewStep_ = 0.1;
    double seekPreviewDirection_ = 1.0;
    int seekPreviewStableSteps_ = 0;
    std::optional<double> seekPreviewLastMovement_;
    bool seeking_ = false;
    std::uint64_t seekGeneration_ = 0;
    SeekThumbnailSourceFactory makeThumbnailSource_;
    std::shared_ptr<SeekThumbnailSource> thumbnailProvider_;
    std::filesystem::path thumbnailProviderURL_;
    std::shared_ptr<SeekPreviewTask> seekPreviewTask_;
    std::shared_ptr<SeekPreviewTask> seekPrefetchTask_;
    double lastPositionUpdate_ = 0;
    double lastMetricsUpdate_ = 0;
    double lastAgeUpdate_ = 0;
    double lastDisplayMetricsUpdate_ = 0;
    std::optional<std::filesystem::path> modelToRemoveAfterSwitch_;
    // Frame pipeline.
    std::function<double()> hostClock_;
    std::shared_ptr<PlaybackEnhancerFactory> enhancerFactory_;
    std::shared_ptr<PlaybackEnhancer> enhancer_;
    std::shared_ptr<PreEnhancementProcessor> preEnhancementProcessor_ = std::make_shared<PreEnhancementProcessor>();
    image::AffineTransform transform_;
    std::optional<image::Image> latest_;
    std::optional<PixelBuffer> latestBuffer_;
    std::optional<double> latestPTS_;
    std::optional<double> lastSubmittedPTS_;
    bool busy_ = false;
    std::optional<CancellationToken> inferenceTask_;
    std::optional<image::Image> enhanced_;
    std::optional<image::Image> pairedOriginal_;
    std::optional<double> enhancedPTS_;
    // The time of the picture last handed to the display; nothing after the queues were emptied.
    std::optional<double> lastShownPTS_;
    // The first frame of a run (after opening, a seek or playing again from the end) stays on
    // screen from a refresh to the next however late it comes. Pending until that frame is queued;
    // its time until the refresh after the one that showed it.
    bool runStartPending_ = false;
    std::optional<double> runFirstPTS_;
    bool runFirstOnScreen_ = false;
    PresentationQueue<SourcePresentationFrame> sourcePresentationFrames_;
    PresentationQueue<EnhancedPresentationFrame> enhancedPresentationFrames_;
    AutoProcessingPolicy autoPolicy_;
    // Enhancement went off after a failed step: saved as on, so the next launch tries again.
    bool enhancementOffAfterFailure_ = false;
    // Held by the settling task so a destroyed session is noticed.
    std::shared_ptr<PlayerSession*> alive_ = std::make_shared<PlayerSession*>(this);
    // Benchmarks.
    std::function<std::string(std::string_view)> hardwareModelIdentifier_;
    std::function<std::optional<std::string>(const std::string&)> appInfo_;
    std::optional<CancellationToken> benchmarkTask_;
    // Last: destroyed first, so no run outlives what its completion would touch.
    std::unique_ptr<PerformanceBenchmarkRunner> benchmarkRunner_;
};

} // namespace lumavane
