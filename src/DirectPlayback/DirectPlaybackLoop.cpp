// The running core: the decode loop, the receivers of decoded frames and audio, the media clock and the
// presentation timer.
#include "DirectPlayback/DirectPlaybackEngine.hpp"

#include "Platform/Foundation/HostClock.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

namespace lumavane {

namespace {

constexpr double kOutputRate = 48000.0;
// Frames held ahead at most. When full the loop stops decoding rather than dropping frames not yet due.
constexpr std::size_t kMaxQueuedFrames = 120;
// Decode-ahead targets in media seconds, times the playback rate.
constexpr double kVideoAhead = 0.6;
constexpr double kAudioAhead = 0.4;
// Audio needed before the clock starts and before it leaves buffering, and the level at which it enters
// buffering; times the rate.
constexpr double kAudioToStart = 0.25;
constexpr double kAudioUnderrun = 0.03;
// The timer wakes this long before the scheduled audio runs out.
constexpr double kAudioWakeMargin = 0.035;
// Audio whose timestamps jitter by less than this continues the previous buffer seamlessly.
constexpr double kAudioSnapSeconds = 0.002;
// Demuxers interleave audio within a fraction of a second of the video. Video decoded this far past
// the end of the audio means the audio has ended (or never comes), and the clock must not wait for it.
constexpr double kAudioLagLimit = 2.0;
// Sample positions are kept well inside 64 bits so that adding a buffer's length cannot overflow.
constexpr double kMaxSamplePosition = 4.0e18;
// A frame is due this long before the clock reaches it.
constexpr double kDueSlack = 0.002;

} // namespace

std::optional<AudioPlacement> placeAudio(const std::optional<AudioSampleTimeline>& timeline,
                                         std::int64_t played, double sampleRate, double pts, double seekFloor,
                                         std::int64_t frameCount) {
    const double startSample = std::round(sampleRate * (pts - seekFloor)); // halves away from zero
    if (!(std::abs(startSample) <= kMaxSamplePosition)) return std::nullopt;
    std::int64_t start = static_cast<std::int64_t>(startSample);

    std::int64_t floor = played;
    if (timeline) {
        const std::int64_t next = timeline->nextSample;
        const double tolerance = std::round(sampleRate * kAudioSnapSeconds);
        if (std::abs(static_cast<double>(start - next)) <= tolerance) start = next;
        floor = std::max(next, played);
    }
    // Trims samples before the seek point and samples overlapping audio already scheduled or played.
    std::int64_t skip = 0;
    if (start < floor) {
        skip = std::min(floor - start, frameCount);
        if (skip >= frameCount) return std::nullopt;
    }
    return AudioPlacement{start + skip, skip, frameCount - skip};
}

double DirectPlaybackEngine::currentTime() const {
    std::lock_guard lock(mutex_);
    return clampPositionLocked(clockLocked());
}

std::uint64_t DirectPlaybackEngine::framesPassedOver() const {
    std::lock_guard lock(mutex_);
    return framesPassedOver_;
}

bool DirectPlaybackEngine::playing() const {
    std::lock_guard lock(mutex_);
    return playing_;
}

double DirectPlaybackEngine::clampPositionLocked(double seconds) const noexcept {
    if (!(seconds > 0)) return 0;
    // A duration of 0 means unknown: only the lower bound applies.
    if (duration_ > 0 && seconds > duration_) return duration_;
    return seconds;
}

bool DirectPlaybackEngine::audioClockLocked() const noexcept {
    return hasAudio_ && audioOutput_ && !audioFinished_;
}

std::optional<audio::AudioTime> DirectPlaybackEngine::playerTimeLocked() const {
    const auto renderTime = audioNode_.lastRenderTime();
    if (!renderTime) return std::nullopt;
    return audioNode_.playerTime(*renderTime);
}

double DirectPlaybackEngine::clockLocked() const {
    if (!(playing_ && started_ && !buffering_ && !resettingAudio_)) return basePosition_;
    if (audioClockLocked()) {
        if (seekFloor_ < audioEnd_) {
            if (const auto t = playerTimeLocked()) {
                const double played = static_cast<double>(t->sampleTime) / t->sampleRate;
                return std::max(seekFloor_,
                                seekFloor_ + played - audioNode_.outputPresentationLatency() * playbackRate_);
            }
        }
        return basePosition_;
    }
    return basePosition_ + (hostTimeSeconds() - baseHostTime_) * playbackRate_;
}

void DirectPlaybackEngine::finishAudioLocked() {
    if (audioFinished_ || !hasAudio_) return;
    // Continue on the host clock from where the audio clock stands.
    if (playing_ && started_ && !buffering_ && !resettingAudio_) basePosition_ = clockLocked();
    baseHostTime_ = hostTimeSeconds();
    audioFinished_ = true;
    if (buffering_) {
        buffering_ = false;
        if (playing_ && audioOutput_) audioNode_.play();
    }
}

bool DirectPlaybackEngine::shouldDecodeLocked() {
    if (reachedEOF_) return false;
    bool wanted = previewGeneration_ == generation_;
    bool audioShort = false;
    if (!wanted && playing_) {
        const double c = clockLocked();
        const double last = frames_.empty() ? c : frames_.back().pts;
        audioShort = audioClockLocked() && audioEnd_ - c <= kAudioAhead * playbackRate_;
        wanted = last - c <= kVideoAhead * playbackRate_ || audioShort;
    }
    if (!wanted) return false;
    if (frames_.size() < kMaxQueuedFrames) return true;
    // Full while the clock waits for audio: the demuxer has given a whole queue of video without it, so
    // the audio is over (waiting would never end, as nothing is decoded while the queue is full).
    if (audioShort && (buffering_ || !started_)) finishAudioLocked();
    return false;
}

void DirectPlaybackEngine::decodeLoop() {
    std::array<char, 1024> err{};
    const int errLen = static_cast<int>(err.size());
    std::unique_lock lock(mutex_);
    while (running_) {
        if (resettingAudio_) {
            condition_.wait(lock);
            continue;
        }
        if (!pendingSeek_ && !shouldDecodeLocked()) {
            condition_.wait(lock);
            continue;
        }
        const std::optional<double> target = std::exchange(pendingSeek_, std::nullopt);
        const std::optional<int> track = std::exchange(pendingAudioTrack_, std::nullopt);
        const std::uint64_t g = generation_;
        decodingGeneration_ = g;
        lv_decoder* const decoder = decoder_;
        lock.unlock();

        if (track && decoder) {
            err[0] = '\0';
            if (lv_decoder_select_audio_track(decoder, *track, err.data(), errLen) < 0)
                postError(err.data(), std::nullopt);
        }

        lock.lock();
        if (!running_) break;
        if (generation_ == g && target && decoder) {
            lock.unlock();
            err[0] = '\0';
            const int result = lv_decoder_seek(decoder, err.data(), errLen, *target);
            lock.lock();
            if (result < 0) {
                postError(err.data(), g);
            } else if (running_ && generation_ == g && !pendingSeek_) {
                basePosition_ = *target;
                baseHostTime_ = hostTimeSeconds();
            }
            if (!running_) break;
        }
        if (generation_ != g) continue;
        if (!decoder) break;
        lock.unlock();

        err[0] = '\0';
        const int result = lv_decoder_read(decoder, err.data(), errLen);

        lock.lock();
        if (result == 0) {
            if (decodingGeneration_ == generation_) {
                reachedEOF_ = true;
                finishAudioLocked(); // everything there is has been scheduled
                // A seek past the last frame while playing (the sound runs longer) shows that frame,
                // not the picture from before the seek.
                if (playing_ && awaitingSeekFrame_ && frames_.empty() && seekLastFrame_) {
                    frames_.push_back(*seekLastFrame_);
                    condition_.notify_all();
                }
                if (!playing_ && previewGeneration_ == generation_ && seekLastFrame_) {
                    const Frame last = *seekLastFrame_;
                    publishSeekPreviewLocked(last.buffer, last.pts);
                }
            }
        } else if (result < 0) {
            if (running_ && generation_ == g) {
                // Stop where playback stood, and stop decoding for a pending preview too: reading on
                // would only repeat the error.
                basePosition_ = clockLocked();
                playing_ = false;
                previewGeneration_.reset();
                audioNode_.pause();
                postError(err.data(), g);
            }
        }
    }
}

void DirectPlaybackEngine::receiveVideo(lv_pixel_buffer* buffer, double pts) {
    std::lock_guard lock(mutex_);
    if (!running_ || resettingAudio_ || pendingSeek_ || decodingGeneration_ != generation_) return;
    Frame frame{PixelBuffer(buffer, PixelBuffer::retain), pts};

    if (previewGeneration_ == decodingGeneration_) {
        seekLastFrame_ = frame;
    } else if (awaitingSeekFrame_ && (!seekLastFrame_ || seekLastFrame_->pts < seekFloor_)) {
        seekLastFrame_ = frame;
    }

    if (!(pts >= seekFloor_)) return;
    frames_.push_back(frame);
    if (!playing_ && previewGeneration_ == generation_) publishSeekPreviewLocked(frame.buffer, pts);
    if (audioClockLocked() && pts - audioEnd_ > kAudioLagLimit) finishAudioLocked();
}

void DirectPlaybackEngine::receiveAudio(const float* interleaved, std::int64_t frameCount,
                                        std::int64_t channels, double sampleRate, double pts) {
    std::lock_guard lock(mutex_);
    if (!running_ || resettingAudio_ || pendingSeek_ || decodingGeneration_ != generation_) return;
    if (!std::isfinite(pts) || !std::isfinite(seekFloor_) || !(sampleRate > 0) ||
        !std::isfinite(sampleRate) || frameCount < 1)
        return;

    std::int64_t played = 0;
    if (started_) {
        if (const auto t = playerTimeLocked()) {
            const double atRate = std::round(static_cast<double>(t->sampleTime) * sampleRate / t->sampleRate);
            if (atRate > 0) played = static_cast<std::int64_t>(std::min(atRate, kMaxSamplePosition));
        }
    }

    const auto placed = placeAudio(audioTimeline_, played, sampleRate, pts, seekFloor_, frameCount);
    if (!placed) return;
    const auto [position, skip, count] = *placed;
    audioTimeline_ = AudioSampleTimeline{position + count};

    if (!hasAudio_ || !audioOutput_ || channels != 2 || sampleRate != kOutputRate) return;
    auto pcm = audio::AudioPCMBuffer::make(audio::AudioEngine::format(), static_cast<std::uint32_t>(count));
    if (!pcm) return;
    float* left = pcm->floatChannelData(0);
    float* right = pcm->floatChannelData(1);
    if (!left || !right) return;
    pcm->setFrameLength(static_cast<std::uint32_t>(count));
    const float* source = interleaved + skip * 2;
    for (std::int64_t i = 0; i < count; ++i) {
        left[i] = source[2 * i];
        right[i] = source[2 * i + 1];
    }
    audioEnd_ = static_cast<double>(position + count) / kOutputRate + seekFloor_;
    audioNode_.scheduleBuffer(std::move(pcm), std::max<std::int64_t>(position, 0));
}

void DirectPlaybackEngine::presentDueFrame() {
    std::unique_lock lock(mutex_);
    if (!(running_ && playing_ && !resettingAudio_ && !pendingSeek_)) {
        scheduleNextPresentationLocked();
        return;
    }

    // Under-run: hold the clock and let the decoder refill.
    if (started_ && audioClockLocked() && !buffering_ && !reachedEOF_) {
        if (const auto t = playerTimeLocked()) {
            const double playedTo = seekFloor_ + static_cast<double>(t->sampleTime) / t->sampleRate;
            if (audioEnd_ - playedTo < kAudioUnderrun * playbackRate_) {
                basePosition_ = clockLocked();
                audioNode_.pause();
                buffering_ = true;
            }
        }
    }
    if (buffering_) {
        if (audioEnd_ - basePosition_ < kAudioToStart * playbackRate_ && !reachedEOF_) {
            condition_.notify_all();
            scheduleNextPresentationLocked();
            return;
        }
        buffering_ = false;
        audioNode_.play();
    }

    if (!started_) {
        if (frames_.empty() && !reachedEOF_) {
            scheduleNextPresentationLocked();
            return;
        }
        if (audioClockLocked() && audioEnd_ - seekFloor_ < kAudioToStart * playbackRate_ && !reachedEOF_) {
            scheduleNextPresentationLocked();
            return;
        }
        started_ = true;
        baseHostTime_ = hostTimeSeconds();
        // Also when the audio is already over: audio arriving late then still plays in step.
        if (hasAudio_ && audioOutput_) audioNode_.play();
    }

    const double c = clockLocked();
    const double due = c + videoPresentationLeadTime_ * playbackRate_ + kDueSlack;
    // The first frame of a run (after opening or a seek) is handed over however late this pass comes
    // (preempted, or a lead of several frames): the frames due after it are passed over in the next
    // pass, a millisecond later, so the clock is not touched.
    const bool runStart = handedOutPTS_ == -std::numeric_limits<double>::infinity();
    std::optional<Frame> shown;
    while (!frames_.empty() && frames_.front().pts <= due) {
        if (shown) ++framesPassedOver_;
        shown = std::move(frames_.front()); // earlier frames taken in the same pass are late: dropped
        frames_.pop_front();
        if (runStart) break;
    }
    if (shown) handedOutPTS_ = shown->pts;

    // Frames handed out ahead by the lead time are shown when the clock reaches them: the end waits
    // for that, or the client never shows the last ones.
    const bool ended = frames_.empty() && reachedEOF_ && c >= audioEnd_ && c + kDueSlack >= handedOutPTS_;
    if (ended) {
        playing_ = false;
        endedGeneration_ = generation_;
        basePosition_ = duration_ > 0 ? duration_ : std::max(c, shown ? shown->pts : c);
        audioNode_.pause();
        condition_.notify_all();
    } else {
        condition_.notify_all(); // room was made in the queue
        if (!shown) {
            scheduleNextPresentationLocked();
            return;
        }
    }
    // The frame at the seek target has been shown, so no preview is pending any more.
    if (shown) previewGeneration_.reset();

    mainExecutor_.post([weak = weak_from_this(), shown = std::move(shown), g = generation_, ended] {
        auto engine = weak.lock();
        if (!engine) return;
        {
            std::lock_guard lock(engine->mutex_);
            // A frame handed out before the end is still shown when this runs only after the end (a
            // busy main thread): a clip played through on a loaded machine must not look pictureless.
            const bool current = engine->playing_ || ended || engine->endedGeneration_ == g;
            if (!engine->running_ || engine->generation_ != g || !current) return;
            engine->awaitingSeekFrame_ = false;
            engine->seekLastFrame_.reset();
        }
        if (shown && engine->onVideoFrame) engine->onVideoFrame(shown->buffer, shown->pts);
        if (ended && engine->onEnded) engine->onEnded();
    });
    scheduleNextPresentationLocked();
}

void DirectPlaybackEngine::scheduleNextPresentationLocked() {
    if (!presentationTimer_) return;
    if (!running_ || !playing_) {
        presentationTimer_->park();
        return;
    }
    if (!started_ || buffering_ || pendingSeek_) {
        presentationTimer_->scheduleAfter(0.005);
        return;
    }
    const double c = clockLocked();
    const double next = frames_.empty() ? c + 0.05 * playbackRate_ : frames_.front().pts;
    double interval = std::clamp(
        (next - c - videoPresentationLeadTime_ * playbackRate_ - 0.001) / playbackRate_, 0.001, 0.05);
    // Everything handed out: wake when the clock reaches the end.
    if (frames_.empty() && reachedEOF_)
        interval = std::clamp((std::max(audioEnd_, handedOutPTS_) - c) / playbackRate_, 0.001, 0.05);
    if (audioClockLocked() && !reachedEOF_) {
        if (const auto t = playerTimeLocked()) {
            const double playedTo = seekFloor_ + static_cast<double>(t->sampleTime) / t->sampleRate;
            const double untilDry =
                std::max((audioEnd_ - playedTo) / playbackRate_ - kAudioWakeMargin, 0.001);
            interval = std::min(interval, untilDry);
        }
    }
    presentationTimer_->scheduleAfter(interval, 0.0005);
}

} // namespace lumavane
