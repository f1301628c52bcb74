#include "Lumavane/Session/PlayerSession.hpp"

#include "Lumavane/Session/SeekThumbnailSource.hpp"

#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Session/PlaybackSleepAssertion.hpp"
#include "Lumavane/Session/PlaybackTimingTrace.hpp"
#include "Platform/Media/GStreamerPlayer.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Foundation/JSONDecoding.hpp"
#include "Platform/System/MachineFacts.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string_view>
#include <thread>

#include <pthread.h>

namespace lumavane {

namespace {

// The JSON record stored as data under key; one that does not parse, or that holds more values
// than a whole defaults file may (millions of array items cost hundreds of megabytes to parse),
// reads as absent.
std::optional<nlohmann::json> storedJSON(const DefaultsStore& store, const std::string& key) {
    const std::optional<DefaultsValue::Data> data = store.data(key);
    if (!data) return std::nullopt;
    const std::string_view text(reinterpret_cast<const char*>(data->data()), data->size());
    if (!DefaultsStore::withinValueLimit(text)) return std::nullopt;
    try {
        return json_decoding::parse(text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace

PlayerSession::PlayerSession(Options options)
    : executor_(options.executor ? *options.executor
                                 : throw std::invalid_argument("PlayerSession needs a main executor")),
      timingTrace_(options.timingTrace ? *options.timingTrace : PlaybackTimingTrace::shared()),
      systemFacts_(options.systemFacts ? std::move(options.systemFacts) : std::make_shared<MachineFacts>()),
      loadModelSeriesManifest_(options.loadModelSeriesManifest ? std::move(options.loadModelSeriesManifest)
                                                               : &ModelSeriesManifest::load),
      localize_(options.localize ? std::move(options.localize)
                                 : [](const std::string& text) { return AppLocalization::string(text); }),
      autoMachine_(systemFacts_->gpuDeviceName().value_or("unknown")),
      preferences_(std::move(options.preferences)),
      modelImportsDirectory_(options.modelImportsDirectory ? std::move(*options.modelImportsDirectory)
                                                           : defaultModelImportsDirectory()),
      playbackSleepPrevention_(options.playbackSleepPrevention ? std::move(options.playbackSleepPrevention)
                                                               : std::make_shared<PlaybackSleepAssertion>()) {
    platformPlayer_ = options.platformPlayer ? std::move(options.platformPlayer)
                                             : std::shared_ptr<media::Player>(media::makeGStreamerPlayer(executor_));
    openDirectPlayback_ = options.openDirectPlayback
                              ? std::move(options.openDirectPlayback)
                              : [&executor = executor_](const std::filesystem::path& path) {
                                    return openDirectPlaybackEngine(path, executor);
                                };
    runFileWork_ = options.runFileWork ? std::move(options.runFileWork) : [](std::function<void()> work) {
        std::thread([work = std::move(work)] {
            pthread_setname_np(pthread_self(), "Lumavane.open");
            work();
        }).detach();
    };
    fileWorkReturn_->executor = &executor_;
    enhancerFactory_ = options.enhancerFactory ? std::move(options.enhancerFactory)
                                               : std::make_shared<ModelPlaybackEnhancerFactory>();
    hostClock_ = options.hostClock ? std::move(options.hostClock) : [] { return hostTimeSeconds(); };
    configureBenchmarks(options);
    makeThumbnailSource_ = options.makeThumbnailSource
                               ? std::move(options.makeThumbnailSource)
                               : [&executor = executor_](const std::filesystem::path& url, bool containingTime) {
                                     return makeSeekThumbnailProvider(url, containingTime, executor);
                                 };
    restoreModelsAndRecords();
    restorePreferences();
    preferencesReady_ = true;
    historyReadout.update(history_);
    publishPlaybackReadouts();
    applyVolume();
}

PlayerSession::~PlayerSession() { fileWorkReturn_->close(); }

std::filesystem::path PlayerSession::defaultModelImportsDirectory() {
    std::filesystem::path base;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && std::filesystem::path(data).is_absolute()) {
        base = data;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::filesystem::path(home) / ".local" / "share";
    } else {
        base = std::filesystem::temp_directory_path();
    }
    return base / "Lumavane" / "ImportedModels";
}

void PlayerSession::restoreModelsAndRecords() {
    if (const auto paths = preferences_.stringArray("player.recentModels")) {
        recentModelURLs.set(std::vector<std::filesystem::path>(paths->begin(), paths->end()));
    }

    if (const auto paths = preferences_.stringArray("player.modelSeries")) {
        std::vector<ImportedModelSeries> series;
        for (const std::string& path : *paths) {
            try {
                series.push_back(ImportedModelSeries{path, loadModelSeriesManifest_(path)});
            } catch (const std::exception&) {
                // A package that no longer loads is dropped without a word.
            }
        }
        importedModelSeries.set(std::move(series));
    }

    if (const auto json = storedJSON(preferences_, "player.modelBenchmarks")) {
        try {
            const json_decoding::Object object(*json, "");
            std::map<std::string, ModelBenchmarkReport> reports;
            for (const auto& [key, value] : json->items()) {
                reports.emplace(key, modelBenchmarkReportFromJSON(value, object.pathOf(key)));
            }
            modelBenchmarkReports.set(std::move(reports));
        } catch (const std::exception&) {}
    }

    if (const auto json = storedJSON(preferences_, "player.defaultBenchmark")) {
        try {
            savedDefaultBenchmark_ = defaultBenchmarkSnapshotFromJSON(*json);
        } catch (const std::exception&) {}
    }

    if (const auto json = storedJSON(preferences_, "player.history"); json && json->is_array()) {
        try {
            std::vector<PlaybackHistoryEntry> entries;
            for (std::size_t i = 0; i < json->size(); ++i) {
                entries.push_back(playbackHistoryEntryFromJSON((*json)[i], "[" + std::to_string(i) + "]"));
            }
            if (entries.size() > historyLimit) entries.resize(historyLimit);
            history_ = std::move(entries);
        } catch (const std::exception&) {}
    }
}

void PlayerSession::restorePreferences() {
    const DefaultsValue::Dictionary stored =
        preferences_.dictionary(preferencesKey).value_or(DefaultsValue::Dictionary{});
    const auto find = [&](const char* key) -> const DefaultsValue* {
        const auto found = stored.find(key);
        return found == stored.end() ? nullptr : &found->second;
    };
    const auto text = [&](const char* key) -> std::optional<std::string> {
        const DefaultsValue* value = find(key);
        if (const std::string* string = value ? value->get<std::string>() : nullptr) return *string;
        return std::nullopt;
    };
    const auto finiteNumber = [&](const char* key) -> std::optional<double> {
        const DefaultsValue* value = find(key);
        if (!value) return std::nullopt;
        if (const double* real = value->get<double>(); real && std::isfinite(*real)) return *real;
        if (const std::int64_t* integer = value->get<std::int64_t>()) return double(*integer);
        return std::nullopt;
    };
    const auto fraction = [&](const char* key, double fallback) {
        const std::optional<double> number = finiteNumber(key);
        return number ? std::clamp(*number, 0.0, 1.0) : fallback;
    };
    const auto flag = [&](const char* key, bool fallback) {
        const DefaultsValue* value = find(key);
        const bool* stored = value ? value->get<bool>() : nullptr;
        return stored ? *stored : fallback;
    };

    setMode(viewModeFromRawValue(text("mode").value_or("")).value_or(ViewMode::compare));
    setEnabled(flag("enabled", true));
    setSplit(fraction("split", 0.5));
    volume.set(fraction("volume", 1.0));
    isMuted.set(flag("isMuted", false));
    // Taken only when it lies within 0.001 of an offered rate, and then as it was stored.
    if (const auto rate = finiteNumber("playbackRate"); rate && snappedPlaybackRate(*rate)) playbackRate.set(*rate);
    setSharpenEnabled(flag("sharpenEnabled", false));
    setSharpenAmount(fraction("sharpenAmount", 0.3));
    setDebandEnabled(flag("debandEnabled", false));
    setDebandAmount(fraction("debandAmount", 0.45));
    setGrainEnabled(flag("grainEnabled", false));
    setGrainAmount(fraction("grainAmount", 0.12));
    if (const auto value = finiteNumber("brightness")) setBrightness(std::clamp(*value, -1.0, 1.0));
    if (const auto value = finiteNumber("gamma")) setGamma(std::clamp(*value, 0.25, 3.0));
    setEnhancementCleanupEnabled(flag("enhancementCleanupEnabled", true));
    setEnhancementCleanupAmount(fraction("enhancementCleanupAmount", 0.75));
    setFxComparison(false);
    setFxEnabled(flag("fxEnabled", true));
    setFxSplit(fraction("fxSplit", 0.5));
    setFxDifferencePreview(false);
    setFxPipelineOrder(text("fxPipelineOrder") == "beforeUpscale" ? FXPipelineOrder::beforeUpscale
                                                                  : FXPipelineOrder::afterUpscale);
    const std::optional<OutputScale> scale = outputScaleFromRawValue(text("outputScale").value_or(""));
    outputScale.set(scale.value_or(OutputScale::optimal));
}

DefaultsValue::Dictionary PlayerSession::preferencesDictionary() const {
    return {
        {"mode", rawValue(mode())},
        {"enabled", enabled() || enhancementOffAfterFailure_},
        {"split", split()},
        {"volume", volume()},
        {"isMuted", isMuted()},
        {"playbackRate", playbackRate()},
        {"sharpenEnabled", sharpenEnabled()},
        {"sharpenAmount", sharpenAmount()},
        {"debandEnabled", debandEnabled()},
        {"debandAmount", debandAmount()},
        {"grainEnabled", grainEnabled()},
        {"grainAmount", grainAmount()},
        {"brightness", brightness()},
        {"gamma", gamma()},
        {"enhancementCleanupEnabled", enhancementCleanupEnabled()},
        {"enhancementCleanupAmount", enhancementCleanupAmount()},
        {"fxEnabled", fxEnabled()},
        {"fxComparison", fxComparison()},
        {"fxSplit", fxSplit()},
        {"fxDifferencePreview", fxDifferencePreview()},
        {"fxPipelineOrder", rawValue(fxPipelineOrder())},
        {"outputScale", rawValue(outputScale())},
    };
}

PostProcessConfiguration PlayerSession::postProcessConfiguration() const {
    PostProcessSettings::Options settings;
    settings.sharpenEnabled = sharpenEnabled();
    settings.sharpenAmount = float(sharpenAmount());
    settings.debandEnabled = debandEnabled();
    settings.debandAmount = float(debandAmount());
    settings.grainEnabled = grainEnabled();
    settings.grainAmount = float(grainAmount());
    settings.differencePreview = fxDifferencePreview() && fxComparison() && mode() == ViewMode::enhanced;
    settings.brightness = float(brightness());
    settings.gamma = float(gamma());

    const bool enhancedOnScreen = showingEnhancement() && mode() != ViewMode::original;
    const float enhancedStart = mode() == ViewMode::compare ? float(split()) : 0.0f;
    PostProcessConfiguration::Options options;
    options.settings = PostProcessSettings(settings);
    if (fxEnabled() && fxPipelineOrder() == FXPipelineOrder::afterUpscale && enhancedOnScreen) {
        const bool effectsComparison = fxComparison() && mode() == ViewMode::enhanced;
        options.effectStart = effectsComparison ? float(fxSplit()) : enhancedStart;
        options.effectEnd = 1;
    }
    options.cleanupEnabled = enhancementCleanupEnabled();
    options.cleanupStrength = float(enhancementCleanupAmount());
    if (fxEnabled() && enhancementCleanupEnabled() && enhancedOnScreen) {
        options.cleanupStart = enhancedStart;
        options.cleanupEnd = 1;
    }
    return PostProcessConfiguration(options);
}

void PlayerSession::setShowingEnhancement(bool value) { showingEnhancement.set(value); }

void PlayerSession::savePreferences() {
    if (!preferencesReady_) return;
    preferences_.set(preferencesKey, preferencesDictionary());
}

// --- Settings and their change behaviour.

// Enhancement coming on (or the view leaving Original) enhances the frame on screen at once:
// while paused no new frame would ever start a step.
void PlayerSession::setMode(ViewMode value) {
    mode.set(value);
    pushLeadTime();
    submitLatest();
    refreshDisplay();
    savePreferences();
}

void PlayerSession::setEnabled(bool value) {
    enabled.set(value);
    enhancementOffAfterFailure_ = false;
    invalidateEnhancements();
    pushLeadTime();
    submitLatest();
    refreshDisplay();
    savePreferences();
}

void PlayerSession::setSplit(double value) {
    if (!std::isfinite(value)) return;
    split.set(value);
    refreshDisplay();
    savePreferences();
}

void PlayerSession::setSharpenEnabled(bool value) {
    sharpenEnabled.set(value);
    fxSettingsDidChange();
}

void PlayerSession::setSharpenAmount(double value) {
    if (!std::isfinite(value)) return;
    sharpenAmount.set(value);
    fxSettingsDidChange();
}

void PlayerSession::setDebandEnabled(bool value) {
    debandEnabled.set(value);
    fxSettingsDidChange();
}

void PlayerSession::setDebandAmount(double value) {
    if (!std::isfinite(value)) return;
    debandAmount.set(value);
    fxSettingsDidChange();
}

void PlayerSession::setGrainEnabled(bool value) {
    grainEnabled.set(value);
    fxSettingsDidChange();
}

void PlayerSession::setGrainAmount(double value) {
    if (!std::isfinite(value)) return;
    grainAmount.set(value);
    fxSettingsDidChange();
}

void PlayerSession::setBrightness(double value) {
    if (!std::isfinite(value)) return;
    brightness.set(value);
    fxSettingsDidChange();
}

void PlayerSession::setGamma(double value) {
    if (!std::isfinite(value)) return;
    gamma.set(value);
    fxSettingsDidChange();
}

void PlayerSession::setEnhancementCleanupEnabled(bool value) {
    enhancementCleanupEnabled.set(value);
    savePreferences();
    refreshDisplay();
}

void PlayerSession::setEnhancementCleanupAmount(double value) {
    if (!std::isfinite(value)) return;
    enhancementCleanupAmount.set(value);
    savePreferences();
    refreshDisplay();
}

void PlayerSession::setFxEnabled(bool value) {
    fxEnabled.set(value);
    fxSettingsDidChange();
}

void PlayerSession::setFxComparison(bool value) {
    fxComparison.set(value);
    savePreferences();
}

void PlayerSession::setFxSplit(double value) {
    if (!std::isfinite(value)) return;
    fxSplit.set(value);
    savePreferences();
}

void PlayerSession::setFxDifferencePreview(bool value) {
    fxDifferencePreview.set(value);
    savePreferences();
}

void PlayerSession::setFxPipelineOrder(FXPipelineOrder value) {
    const FXPipelineOrder previous = fxPipelineOrder();
    fxPipelineOrder.set(value);
    if (value == previous) return;
    if (value == FXPipelineOrder::beforeUpscale) {
        // Comparison and difference preview exist only for effects drawn after upscaling.
        fxComparison.set(false);
        fxDifferencePreview.set(false);
    }
    savePreferences();
    reenhanceCurrentFrame();
}

void PlayerSession::fxSettingsDidChange() {
    savePreferences();
    // After upscaling the surface applies the effects when it draws.
    if (fxPipelineOrder() == FXPipelineOrder::afterUpscale) return;
    reenhanceCurrentFrame();
}

void PlayerSession::reenhanceCurrentFrame() {
    invalidateEnhancements();
    // The newest frame is due again, for its new enhancement, if it already left the queue.
    if (latest_ && latestPTS_) {
        const auto& frames = sourcePresentationFrames_.frames();
        if (frames.empty() || frames.back().pts != *latestPTS_) enqueueSourceForPresentation(*latest_, *latestPTS_);
    }
    submitLatest();
    refreshDisplay();
}

void PlayerSession::setVolume(double value) {
    if (!std::isfinite(value)) return;
    volume.set(std::clamp(value, 0.0, 1.0));
    // Raising the volume unmutes; one write holds both.
    if (volume() > 0 && isMuted()) isMuted.set(false);
    savePreferences();
    applyVolume();
}

void PlayerSession::setIsMuted(bool value) {
    isMuted.set(value);
    savePreferences();
    applyVolume();
}

void PlayerSession::setPlaybackRate(double value) {
    const std::optional<double> rate = snappedPlaybackRate(value);
    if (!rate || *rate == playbackRate()) return;
    playbackRate.set(*rate);
    savePreferences();
    if (directEngine_) directEngine_->setPlaybackRate(*rate);
    platformPlayer_->setDefaultRate(*rate);
    if (platformItem_ && playing()) platformPlayer_->setRate(*rate);
    pushLeadTime();
}

void PlayerSession::setVideoAspectRatio(double value) {
    if (!std::isfinite(value) || value <= 0) return;
    videoAspectRatio.set(value);
}

void PlayerSession::applyVolume() {
    const float gain = isMuted() ? 0.0f : float(volume());
    if (platformPlayer_) platformPlayer_->setVolume(gain);
    if (directEngine_) directEngine_->setVolume(gain);
}

// --- Playback state.

void PlayerSession::setPlaying(bool value) {
    playing.set(value);
    updateReadoutTicker();
    if (!value) updateHistoryProgress(true);
    playbackSleepPrevention_->setPlaybackActive(value);
    pushLeadTime();
}

void PlayerSession::setPaused(bool value) { isPaused.set(value); }

void PlayerSession::setHasVideo(bool value) { hasVideo.set(value); }

void PlayerSession::setDuration(double value) { duration.set(std::isfinite(value) ? value : 0); }

void PlayerSession::setPosition(double value) {
    if (!std::isfinite(value)) return;
    position_ = value;
    updateHistoryProgress(false);
    // A paused seek shows at once; while playing the ticker carries it.
    if (!playing()) positionReadout.update(position_);
}

// --- Readouts.

PlaybackStatistics PlayerSession::statistics() const {
    return PlaybackStatistics{processingMS_, enhancedFPS_, tiles_, frameAgeMS_, displayGPUms_};
}

void PlayerSession::publishPlaybackReadouts() {
    positionReadout.update(position_);
    historyReadout.update(history_);
    statisticsReadout.update(statistics());
}

void PlayerSession::updateReadoutTicker() {
    if (readoutTicker_) {
        readoutTicker_->stop();
        readoutTicker_.reset();
    }
    publishPlaybackReadouts();
    if (playing() && !timingTrace_.quietHUD()) {
        readoutTicker_ = std::make_unique<PlaybackReadoutTicker>(executor_, [weak = std::weak_ptr(alive_)] {
            if (const auto session = weak.lock()) (*session)->publishPlaybackReadouts();
        });
    }
}

// --- Display size.

void PlayerSession::updateDisplayPixelSize(PixelSize size) {
    if (!std::isfinite(size.width) || !std::isfinite(size.height) || size.width < 1 || size.height < 1)
        return;
    const PixelSize rounded{std::round(size.width), std::round(size.height)};
    if (reportedDisplaySize_ == rounded) return;
    reportedDisplaySize_ = rounded;
    if (optimalResizeTask_) executor_.cancel(*std::exchange(optimalResizeTask_, std::nullopt));
    // With a fixed scale the size is only remembered, for when `optimal` is chosen.
    if (outputScale() != OutputScale::optimal) return;
    optimalResizeTask_ =
        executor_.postAfter(optimalResizeSettleSeconds, [weak = std::weak_ptr(alive_), rounded] {
            const auto alive = weak.lock();
            if (!alive) return;
            PlayerSession& session = **alive;
            session.optimalResizeTask_.reset();
            if (session.reportedDisplaySize_ != rounded || session.optimalOutputSize_ == rounded) return;
            session.optimalOutputSize_ = rounded;
            session.invalidateEnhancements();
            session.submitLatest();
        });
}

} // namespace lumavane
