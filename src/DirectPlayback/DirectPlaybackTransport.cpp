// Play, pause, seeking with preview, rate, volume, lead time, audio tracks and subtitle cues.
#include "DirectPlayback/DirectPlaybackEngine.hpp"

#include "Platform/Foundation/HostClock.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace lumavane {

void DirectPlaybackEngine::play() {
    std::lock_guard lock(mutex_);
    if (!running_ || playing_) return;
    baseHostTime_ = hostTimeSeconds(); // basePosition_ keeps the paused position
    playing_ = true;
    if (presentationTimer_) presentationTimer_->fireNow();
    if (started_ && hasAudio_ && audioOutput_ && !buffering_) audioNode_.play();
    condition_.notify_all();
}

void DirectPlaybackEngine::pause() {
    std::lock_guard lock(mutex_);
    basePosition_ = clockLocked();
    playing_ = false;
    if (presentationTimer_) presentationTimer_->park();
    audioNode_.pause();
    if (!awaitingSeekFrame_) return;
    // No frame shown since the last seek: show the best one at hand, or decode on until it comes.
    previewGeneration_ = generation_;
    if (seekLastFrame_ && (seekLastFrame_->pts >= seekFloor_ || reachedEOF_)) {
        const Frame frame = *seekLastFrame_;
        publishSeekPreviewLocked(frame.buffer, frame.pts);
    } else if (!frames_.empty()) {
        const Frame frame = frames_.front();
        publishSeekPreviewLocked(frame.buffer, frame.pts);
    }
    condition_.notify_all();
}

void DirectPlaybackEngine::seek(double seconds, bool preview) {
    if (!std::isfinite(seconds)) return;
    std::unique_lock lock(mutex_);
    positionReset(lock, clampPositionLocked(seconds), preview);
}

void DirectPlaybackEngine::selectAudioTrack(int id) {
    if (id < 0 || id >= static_cast<int>(audioTracks_.size())) return;
    std::unique_lock lock(mutex_);
    const double position = clampPositionLocked(clockLocked());
    pendingAudioTrack_ = id;
    positionReset(lock, position, std::nullopt);
}

void DirectPlaybackEngine::positionReset(std::unique_lock<std::mutex>& lock, double position,
                                         std::optional<bool> preview) {
    resettingAudio_ = true; // receivers and presenter idle, decode loop waits
    pendingSeek_ = position;
    seekFloor_ = position;
    ++generation_;
    if (preview) previewGeneration_ = *preview ? std::optional<std::uint64_t>(generation_) : std::nullopt;
    awaitingSeekFrame_ = true;
    seekLastFrame_.reset();
    frames_.clear();
    handedOutPTS_ = -std::numeric_limits<double>::infinity();
    audioEnd_ = position;
    audioTimeline_.reset();
    started_ = false;
    buffering_ = false;
    reachedEOF_ = false;
    audioFinished_ = false;
    basePosition_ = position;
    baseHostTime_ = hostTimeSeconds();
    if (playing_ && presentationTimer_) presentationTimer_->fireNow();
    // Posted before the decode loop may go on: the cues shown at the target come with the seek and
    // must reach the client after the reset.
    mainExecutor_.post([weak = weak_from_this()] {
        auto engine = weak.lock();
        if (engine && engine->onSubtitlesReset) engine->onSubtitlesReset();
    });

    // Stopping discards every scheduled buffer; the node's sample 0 now stands for `position`.
    lock.unlock();
    audioNode_.stop();
    lock.lock();
    resettingAudio_ = false;
    condition_.notify_all();
    lock.unlock();
}

void DirectPlaybackEngine::publishSeekPreviewLocked(const PixelBuffer& buffer, double pts) {
    previewGeneration_.reset();
    seekLastFrame_.reset();
    mainExecutor_.post([weak = weak_from_this(), buffer, pts, g = generation_] {
        auto engine = weak.lock();
        if (!engine) return;
        {
            std::lock_guard lock(engine->mutex_);
            if (!engine->running_ || engine->generation_ != g) return;
            engine->awaitingSeekFrame_ = false;
            engine->seekLastFrame_.reset();
        }
        if (engine->onVideoFrame) engine->onVideoFrame(buffer, pts);
    });
}

void DirectPlaybackEngine::setPlaybackRate(double rate) {
    const double r = std::isfinite(rate) ? std::clamp(rate, 0.5, 2.0) : 1.0;
    std::lock_guard lock(mutex_);
    basePosition_ = clockLocked(); // re-anchored at the old rate
    baseHostTime_ = hostTimeSeconds();
    playbackRate_ = r;
    timePitch_.setRate(static_cast<float>(r));
    if (playing_ && presentationTimer_) presentationTimer_->fireNow();
    condition_.notify_all();
}

void DirectPlaybackEngine::setVolume(float volume) {
    const float v = std::isnan(volume) ? 0.0f : std::clamp(volume, 0.0f, 1.0f);
    audioNode_.setVolume(v);
}

void DirectPlaybackEngine::setVideoPresentationLeadTime(double seconds) {
    const double lead = std::isfinite(seconds) ? std::clamp(seconds, 0.0, 0.5) : 0.0;
    std::lock_guard lock(mutex_);
    videoPresentationLeadTime_ = lead;
    if (playing_ && presentationTimer_) presentationTimer_->fireNow();
    condition_.notify_all();
}

void DirectPlaybackEngine::receiveSubtitle(int trackIndex, std::string text, double startTime,
                                           double endTime) {
    std::uint64_t g = 0;
    {
        std::lock_guard lock(mutex_);
        if (!running_ || resettingAudio_ || pendingSeek_) return;
        g = generation_;
        if (decodingGeneration_ != g) return;
    }
    std::string plain = plainSubtitleText(text);
    if (plain.empty()) return;
    mainExecutor_.post([weak = weak_from_this(),
                        cue = DirectSubtitleCue{trackIndex, std::move(plain), startTime, endTime}, g] {
        auto engine = weak.lock();
        if (!engine) return;
        {
            std::lock_guard lock(engine->mutex_);
            if (!engine->running_ || engine->generation_ != g) return;
        }
        if (engine->onSubtitleCue) engine->onSubtitleCue(cue);
    });
}

} // namespace lumavane
