// The frame road: source frames in, one enhancement at a time, and on every refresh the picture
// that is due handed to the surface.
#include "Lumavane/Session/PlayerSession.hpp"

#include "Lumavane/Session/PlaybackTimingTrace.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace lumavane {

namespace {

constexpr double lateAfterMS = 150;
constexpr double mediaTimescale = 600;
// A display link's target is its next refresh; a later one is not believed.
constexpr double maximumDisplayAhead = 0.05;
// How far the playback clock may fall back between refreshes and still be the same playback.
constexpr double maximumClockWaver = 1.0;

PresentationGate::Object identity(const image::Image& picture) { return picture.node(); }

std::string sizeText(const image::Rect& extent) {
    return std::to_string(static_cast<long long>(extent.width)) + " × " +
           std::to_string(static_cast<long long>(extent.height));
}

} // namespace

// What one enhancement step hands back to the main thread.
struct PlayerSession::EnhancementCompletion {
    double pts = 0;
    std::uint64_t generation = 0;
    std::optional<EnhancementResult> result;
    std::exception_ptr error;
    double elapsedMS = 0;
    std::shared_ptr<PlaybackEnhancer> enhancer;
    image::Image source;
    image::Image cleanupGuide;
};

double PlayerSession::publicationInterval() const { return timingTrace_.quietHUD() ? 1000 : 0.1; }

void PlayerSession::setEnhancer(std::shared_ptr<PlaybackEnhancer> enhancer) {
    enhancer_ = std::move(enhancer);
    invalidateEnhancements();
    submitLatest();
}

void PlayerSession::setDirectPlayback(std::shared_ptr<DirectPlaybackBackend> engine) {
    directEngine_ = std::move(engine);
    directLead_ = 0;
    firstDirectFrameDue_ = true;
    beginRun();
    pushLeadTime();
}

void PlayerSession::setSourceFPS(double fps) { sourceFPS.set(fps); }

void PlayerSession::setTrackTransform(const image::AffineTransform& transform) { transform_ = transform; }

std::optional<image::Size> PlayerSession::latestSourceSize() const {
    if (!latest_) return std::nullopt;
    const image::Rect extent = latest_->extent();
    return image::Size{extent.width, extent.height};
}

void PlayerSession::resetPresentationGate() { presentationGate_.reset(); }

void PlayerSession::setStatus(const char* key) {
    std::string text = localize_(key);
    if (status() != text) status.set(std::move(text));
}

// --- Frames in.

void PlayerSession::tick(double hostTime) {
    timingTrace_.record("tick", -1, hostTime);
    // The last refresh drew the run's first frame: from this one on, the frame due is shown.
    if (std::exchange(runFirstOnScreen_, false)) runFirstPTS_.reset();
    const double ahead = hostTime - hostClock_();
    displayAhead_ = ahead > 0 ? std::min(ahead, maximumDisplayAhead) : 0;
    if (displayAhead_ > displayLeadAllowance_ + 0.001) displayLeadAllowance_ = displayAhead_;
    // The direct engine's lead reaches the allowance in steps.
    if (directEngine_ && playing() && directLead_ < displayLeadAllowance_) pushLeadTime();
    if (directEngine_) {
        const double time = directEngine_->currentTime();
        if (hostTime - lastPositionUpdate_ >= publicationInterval()) {
            setPosition(time);
            lastPositionUpdate_ = hostTime;
        }
        updateSubtitle(time);
        refreshDisplay();
    } else {
        pollPlatformOutput(hostTime);
    }
    runFirstOnScreen_ = runFirstPTS_ && playing() && lastShownPTS_ == runFirstPTS_;
}

void PlayerSession::consumeDirectFrame(const PixelBuffer& buffer, double pts) {
    if (seeking_) {
        seeking_ = false;
        // Hovers during the seek were refused.
        if (!seekPreviewThumbnail() && seekPreviewPosition()) scheduleSeekPreview(*seekPreviewPosition());
    }
    firstDirectFrameDue_ = false;
    const std::optional<double> time =
        std::isfinite(pts) ? std::optional<double>(std::round(pts * mediaTimescale) / mediaTimescale) : std::nullopt;
    if (!takeSourceFrame(buffer, time)) return;
    submitLatest();
    refreshDisplay();
}

bool PlayerSession::takeSourceFrame(const PixelBuffer& buffer, std::optional<double> pts) {
    std::optional<image::Image> picture;
    try {
        picture = image::Image::fromPixelBuffer(buffer).transformed(transform_);
    } catch (const std::exception&) {
        return false; // a format the image layer cannot read: nothing to show or enhance
    }
    const image::Rect extent = picture->extent();
    latest_ = picture->transformed(image::AffineTransform::translation(-extent.x, -extent.y));
    latestBuffer_ = transform_.isIdentity() ? std::optional<PixelBuffer>(buffer) : std::nullopt;
    latestPTS_ = pts;
    if (latestPTS_) enqueueSourceForPresentation(*latest_, *latestPTS_);
    return true;
}

void PlayerSession::enqueueSourceForPresentation(image::Image picture, double pts) {
    // The buffer goes along while the picture is the newest's, for holding it when paused.
    std::optional<PixelBuffer> buffer = latestPTS_ == pts ? latestBuffer_ : std::nullopt;
    sourcePresentationFrames_.append(SourcePresentationFrame{std::move(picture), pts, std::move(buffer)});
    if (std::exchange(runStartPending_, false)) runFirstPTS_ = pts;
}

// --- One enhancement at a time.

void PlayerSession::submitLatest() {
    prepareAutomaticContext();
    if (busy_ || seeking_) return;
    if (loadingModel() && !automaticModelSwitch_) return; // an automatic switch keeps the old model working
    if (!enabled() || mode() == ViewMode::original || !enhancer_ || !latest_ || !latestPTS_) return;
    if (lastSubmittedPTS_ == latestPTS_) return;

    busy_ = true;
    const std::uint64_t generation = generation_;
    const double pts = *latestPTS_;
    const image::Image source = *latest_;
    const std::optional<PixelBuffer> buffer = latestBuffer_;
    std::shared_ptr<PlaybackEnhancer> enhancer = enhancer_;

    // The effect settings over the whole source picture; no difference preview and no cleanup.
    PostProcessConfiguration::Options options;
    options.settings = postProcessConfiguration().settings;
    options.settings.differencePreview = false;
    options.effectStart = 0;
    options.effectEnd = 1;
    const PostProcessConfiguration configuration(options);
    std::shared_ptr<PreEnhancementProcessor> processor;
    if (fxEnabled() && fxPipelineOrder() == FXPipelineOrder::beforeUpscale && configuration.isEnabled())
        processor = preEnhancementProcessor_;

    std::optional<image::Size> outputSize;
    if (outputScale() == OutputScale::optimal) {
        if (const std::optional<PixelSize> size = optimalOutputSize_ ? optimalOutputSize_ : reportedDisplaySize_)
            outputSize = image::Size{size->width, size->height};
    }

    lastSubmittedPTS_ = pts;
    const double start = hostClock_();
    timingTrace_.record("submit", pts, 0);

    CancellationToken cancellation;
    inferenceTask_ = cancellation;
    // The step holds the enhancer it started with: a switch may install another meanwhile.
    stepQueue_.async([weak = std::weak_ptr(alive_), &executor = executor_, &trace = timingTrace_, clock = hostClock_,
                   generation, pts, source, buffer, enhancer, processor, configuration, outputSize, start,
                   cancellation] {
        if (weak.expired()) return;
        trace.record("worker", pts, 0);
        EnhancementCompletion completion{pts, generation, std::nullopt, nullptr, 0, enhancer, source, source};
        try {
            std::optional<image::Image> processed;
            if (processor) processed = processor->render(source, configuration);
            if (processed) completion.cleanupGuide = *processed;
            // The decoder's buffer is the source only while no pass changed the picture.
            completion.result = enhancer->enhancePipelined(completion.cleanupGuide,
                                                           processed ? std::nullopt : buffer, outputSize,
                                                           cancellation);
        } catch (...) {
            completion.error = std::current_exception();
        }
        const double end = clock();
        trace.record("complete", pts, enhancer->lastGPUMS());
        completion.elapsedMS = (end - start) * 1000;
        executor.post([weak, completion = std::move(completion)]() mutable {
            if (const auto session = weak.lock()) (*session)->completeEnhancement(std::move(completion));
        });
    });
}

void PlayerSession::completeEnhancement(EnhancementCompletion completion) {
    timingTrace_.record("main", completion.pts, completion.elapsedMS);
    busy_ = false;
    inferenceTask_.reset();
    if (completion.generation != generation_) {
        submitLatest();
        return;
    }

    if (completion.error && isOutputBusy(completion.error)) {
        // No buffer for this frame: skipped like a step without output; the next frame tries again
        // once the display has let go of an older one.
    } else if (completion.error) {
        // Off for this session only: a passing fault must not turn enhancement off for good.
        enabled.set(false);
        enhancementOffAfterFailure_ = true;
        invalidateEnhancements();
        pushLeadTime();
        refreshDisplay();
        const std::string model = modelURL_ ? displayName(*modelURL_) : completion.enhancer->info().name;
        message.set(
            modelFailureDescription(completion.error, localize_, ModelFailureMessage::enhancement, model));
    } else {
        // A step of the model an automatic switch has just replaced: its picture is good, but
        // the model description and the policy's timings are the new model's now.
        const bool replaced = completion.enhancer != enhancer_;
        const ModelInfo& info = completion.enhancer->info();
        if (!replaced && (!modelInfo() || modelInfo()->inputWidth != info.inputWidth ||
                          modelInfo()->inputHeight != info.inputHeight))
            modelInfo.set(info);
        const image::Image& picture = completion.result->image;
        enhanced_ = picture;
        if (std::string text = sizeText(picture.extent()); outputResolution() != text) outputResolution.set(text);
        pairedOriginal_ = completion.source;
        enhancedPTS_ = completion.pts;
        const double now = hostClock_();
        enhancedPresentationFrames_.append(
            EnhancedPresentationFrame{picture, completion.source, completion.cleanupGuide, completion.pts});

        latencyCompensator_.record(completion.elapsedMS / 1000);
        pushLeadTime();
        if (!replaced) updateAutomaticMode(completion.elapsedMS, now);

        completionTimes_.push_back(now);
        std::erase_if(completionTimes_, [now](double time) { return time < now - 1.0; });
        if (now - lastMetricsUpdate_ >= publicationInterval()) {
            lastMetricsUpdate_ = now;
            processingMS_ = completion.elapsedMS;
            tiles_ = completion.result->tileCount;
            const double oldest = completionTimes_.front();
            enhancedFPS_ = completionTimes_.size() >= 2 && oldest < now
                               ? double(completionTimes_.size() - 1) / (now - oldest)
                               : 0;
        }
    }
    if (!playing()) publishPlaybackReadouts();
    refreshDisplay();
    submitLatest();
}

double PlayerSession::activeEnhancementLeadTime() const {
    if (!playing() || !enabled() || mode() == ViewMode::original || !enhancer_ || seeking_) return 0;
    return latencyCompensator_.leadSeconds(sourceFPS() * playbackRate());
}

void PlayerSession::pushLeadTime() {
    double lead = activeEnhancementLeadTime();
    // The platform output is asked for frames at the refresh's own time plus the lead.
    if (!directEngine_) return platformPlayer_->setVideoPresentationLeadTime(lead);
    if (playing()) lead += displayLeadAllowance_;
    // The engine hands over at once every frame that a longer lead makes due and shows only the
    // newest of them, so the lead grows by at most half a frame per step: no frame is skipped
    // for it. It shrinks at once (frames then only wait).
    const double rate = sourceFPS() * playbackRate();
    const double step = 0.5 / (std::isfinite(rate) && rate > 0 ? rate : 60);
    directLead_ = lead > directLead_ ? std::min(lead, directLead_ + step) : lead;
    // The engine's first hand-over of a run (after opening, a seek or playing again from the end)
    // takes every frame due within the lead and keeps the newest: with a lead of a frame or more
    // the run's first frame would never be shown.
    if (firstDirectFrameDue_) directLead_ = std::min(directLead_, step);
    directEngine_->setVideoPresentationLeadTime(directLead_);
}

void PlayerSession::invalidate() {
    sourcePresentationFrames_.clear();
    lastShownPTS_.reset(); // what comes next may be of any moment (a seek, another video)
    beginRun();
    firstDirectFrameDue_ = true;
    if (directEngine_) pushLeadTime();
    invalidateEnhancements();
}

void PlayerSession::beginRun() {
    runStartPending_ = true;
    runFirstPTS_.reset();
    runFirstOnScreen_ = false;
}

// The frames already queued are still the video's and stay due: dropping them would leave
// nothing to show until the next frame arrives a lead time ahead.
void PlayerSession::invalidateEnhancements() {
    autoPolicy_.resetMeasurements();
    ++generation_;
    // Not awaited: `busy_` stays until the stale completion arrives and resubmits.
    if (inferenceTask_) inferenceTask_->cancel();
    lastSubmittedPTS_.reset();
    enhancedPTS_.reset();
    enhanced_.reset();
    pairedOriginal_.reset();
    enhancedPresentationFrames_.clear();
    if (showingEnhancement()) setShowingEnhancement(false);
    processingMS_ = 0;
    enhancedFPS_ = 0;
    if (outputResolution() != "—") outputResolution.set("—");
    completionTimes_.clear();
    publishPlaybackReadouts();
}

// --- Automatic model choice.

void PlayerSession::updateAutomaticMode(double milliseconds, double now) {
    const bool eligible = !customModelURL() && bundledModelPreset() == BundledModelPreset::automatic &&
                          hasBundledModelChoices() && playing() && enabled() && mode() != ViewMode::original &&
                          !loadingModel() && !seeking_;
    if (!eligible) {
        autoPolicy_.resetMeasurements();
        return;
    }
    const std::optional<BundledModelPreset> next =
        autoPolicy_.record(milliseconds, sourceFPS() * playbackRate(), now, activeModelPreset());
    if (!next || !bundledModelURLs_.contains(*next)) return;
    loadModel(bundledModelURLs_.at(*next), true, std::nullopt, std::nullopt, false, {});
}

// --- Choosing the picture.

std::optional<SourcePresentationFrame> PlayerSession::sourceFrame(double clock, double tolerance) {
    if (!playing()) {
        if (!latest_) return std::nullopt;
        return SourcePresentationFrame{*latest_, latestPTS_.value_or(0)};
    }
    return sourcePresentationFrames_.due(clock, tolerance);
}

std::optional<EnhancedPresentationFrame> PlayerSession::enhancedFrame(double clock, double tolerance) {
    if (playing()) return enhancedPresentationFrames_.due(clock, tolerance);
    // Paused: only an enhancement of the frame shown, never one of another moment.
    if (!latestPTS_) return std::nullopt;
    if (enhanced_ && pairedOriginal_ && enhancedPTS_ == latestPTS_)
        return EnhancedPresentationFrame{*enhanced_, *pairedOriginal_, *pairedOriginal_, *enhancedPTS_};
    if (const EnhancedPresentationFrame* queued = enhancedPresentationFrames_.at(*latestPTS_))
        return EnhancedPresentationFrame{queued->image, queued->original, queued->original, queued->pts};
    return std::nullopt;
}

double PlayerSession::presentationClock() const {
    const double now = directEngine_ ? directEngine_->currentTime() : platformPlayer_->currentTime();
    return std::isfinite(now) ? now : 0;
}

// Frames reach the session ahead of the clock by the enhancement lead, and the enhancer lags
// behind them: on pausing, the newest frame and the newest enhancement are of other moments.
// The frame due at the paused position becomes the newest, and is enhanced unless it was.
void PlayerSession::holdFrameDueNow() {
    std::optional<SourcePresentationFrame> due =
        sourcePresentationFrames_.due(presentationClock(), presentationTolerance());
    // The last refresh showed the frame for its own time, a refresh ahead of the clock: that
    // one holds, rather than a step back.
    if (!due && !sourcePresentationFrames_.frames().empty()) due = sourcePresentationFrames_.frames().front();
    if (!due) return; // nothing due yet (a seek's first frame is still to come): the newest stays
    latest_ = due->image;
    latestBuffer_ = due->buffer;
    latestPTS_ = due->pts;
    if (enhancedPTS_ != due->pts && enhancedPresentationFrames_.at(due->pts))
        lastSubmittedPTS_ = due->pts; // enhanced already: not again
    submitLatest();
    refreshDisplay();
}

double PlayerSession::presentationTolerance() const { return lumavane::presentationTolerance(sourceFPS()); }

void PlayerSession::refreshDisplay() {
    if (!latest_) {
        if (showingEnhancement()) setShowingEnhancement(false);
        if (presentationGate_.accept(nullptr, nullptr, std::nullopt) && display) display(std::nullopt, std::nullopt);
        if (!playing()) publishPlaybackReadouts();
        return;
    }
    double now = presentationClock();
    // The picture drawn now is seen at the refresh ahead.
    if (playing()) now += displayAhead_ * playbackRate();
    const double tolerance = presentationTolerance();
    std::optional<SourcePresentationFrame> source;
    std::optional<EnhancedPresentationFrame> frame;
    // The run's first frame, once due, is shown before any later one however late it came (a busy
    // main thread, a frame handed over late): newer frames wait for the next refresh.
    // Once a later moment is on screen the first frame is past: held, it would never be shown (a
    // picture never follows one of a later moment) and every refresh would keep the screen as it is.
    if (runFirstPTS_ && lastShownPTS_ && *lastShownPTS_ > *runFirstPTS_) runFirstPTS_.reset();
    const SourcePresentationFrame* first = playing() && runFirstPTS_ && *runFirstPTS_ <= now + tolerance
                                               ? sourcePresentationFrames_.at(*runFirstPTS_)
                                               : nullptr;
    if (first) {
        source = *first;
        if (const EnhancedPresentationFrame* enhanced = enhancedPresentationFrames_.at(first->pts))
            frame = *enhanced;
    } else {
        source = sourceFrame(now, tolerance);
        frame = enhancedFrame(now, tolerance);
    }

    double ageMS = frame ? std::max(now - frame->pts, 0.0) * 1000 : 0;
    if (!std::isfinite(ageMS)) ageMS = 0;
    if (const double host = hostClock_(); host - lastAgeUpdate_ >= publicationInterval()) {
        frameAgeMS_ = ageMS;
        lastAgeUpdate_ = host;
    }

    // Playing forward, a picture never follows one of a later moment: the clock the refresh goes by
    // wavers by part of a frame (the display's target, the audio clock's steps), and a frame enhanced
    // late may be due while its source has already been shown and forgotten. Such a refresh keeps
    // what is on screen.
    if (playing() && lastShownPTS_) {
        // Far behind is no wavering but a jump (a loop or seek the road was not told of).
        if (now < *lastShownPTS_ - maximumClockWaver) lastShownPTS_.reset();
    }
    const auto behindScreen = [&](double pts) { return playing() && lastShownPTS_ && pts < *lastShownPTS_; };
    const bool heldBack = (source && behindScreen(source->pts)) || (frame && behindScreen(frame->pts));
    if (source && behindScreen(source->pts)) source.reset();
    if (frame && behindScreen(frame->pts)) frame.reset();
    if (heldBack && !source && !frame) return;

    // While playing every source frame is shown once: an enhanced frame of an earlier moment
    // (the enhancer skipped or has not finished the frame that is due) does not stand in for it.
    // While paused an enhanced frame is never too late.
    const bool sourceMovedOn = playing() && frame && source && frame->pts < source->pts - tolerance;
    if (enabled() && mode() != ViewMode::original && frame && !sourceMovedOn && !(playing() && ageMS > lateAfterMS)) {
        if (!showingEnhancement()) setShowingEnhancement(true);
        setStatus("Enhance");
        if (mode() == ViewMode::enhanced) {
            if (presentationGate_.accept(identity(frame->image), nullptr, std::nullopt) && display)
                display(frame->image, frame->cleanupGuide);
        } else if (presentationGate_.accept(identity(frame->image), identity(frame->original), split()) && display) {
            display(compareComposite(frame->image, frame->original, split()), frame->cleanupGuide);
        }
        lastShownPTS_ = frame->pts;
    } else {
        if (showingEnhancement()) setShowingEnhancement(false);
        if (source && presentationGate_.accept(identity(source->image), nullptr, std::nullopt) && display)
            display(source->image, std::nullopt);
        if (source) lastShownPTS_ = source->pts;
        if (!loadingModel()) {
            setStatus(!enabled() || mode() == ViewMode::original ? "Original"
                      : modelInfo()                              ? "Original · 推論待ち / 遅延超過"
                                                                 : "モデル未選択");
        }
    }
    if (!playing()) publishPlaybackReadouts();
}

void PlayerSession::togglePlayback() {
    if (!hasVideo()) return;
    if (directEngine_) {
        if (playing()) {
            directEngine_->pause();
            setPlaying(false);
            setPaused(true);
            holdFrameDueNow();
        } else {
            if (position_ >= duration() - 0.05) { // play again from the start
                invalidate();
                directEngine_->seek(0, false);
            }
            directEngine_->play();
            setPlaying(true);
            setPaused(false);
        }
        return;
    }
    togglePlatformPlayback();
}

} // namespace lumavane
