#pragma once

#include "DirectPlayback/DirectPlaybackTypes.hpp"
#include "MediaDecoder/MediaDecoder.h"
#include "Platform/Audio/AudioEngine.hpp"
#include "Platform/Foundation/MainExecutor.hpp"
#include "Platform/Foundation/OneShotTimer.hpp"
#include "Platform/Foundation/SerialQueue.hpp"
#include "Platform/Video/PixelBuffer.hpp"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumavane {

class DirectPlaybackEngine;

// The opaque pointer handed to the C decoder. It holds the engine weakly, so decoder callbacks never
// keep the engine alive and are ignored once it is gone.
class DirectPlaybackCallbacks {
public:
    std::weak_ptr<DirectPlaybackEngine> engine;

    static void video(void* opaque, lv_pixel_buffer* frame, double pts);
    static void audio(void* opaque, const float* interleaved, int frameCount, int channels, int sampleRate,
                      double pts);
    static void subtitle(void* opaque, int trackIndex, const char* text, double startTime, double endTime);
};

// Plays one media file through the lv_ decoder: decodes on its own serial queue, plays audio through an
// audio engine whose player node is the master clock, and hands each video frame to the client when it
// is due. Created paused; the client sets the callbacks, calls play(), and ends it with stop().
//
// Every client callback runs on the main executor given at creation, never under the engine's lock, so
// it may call back into the engine. The executor must outlive the engine.
class DirectPlaybackEngine final : public std::enable_shared_from_this<DirectPlaybackEngine> {
    struct PrivateTag {};

public:
    inline static const char* const errorDomain = "Lumavane.DirectPlayback";

    // Opens the file and starts the decode loop, paused. Throws PlatformError(errorDomain, 1, the decoder's
    // message) when the file cannot be opened. Until stop() the decode loop keeps the engine alive.
    static std::shared_ptr<DirectPlaybackEngine> create(const std::filesystem::path& path,
                                                        MainExecutor& mainExecutor);

    DirectPlaybackEngine(PrivateTag, MainExecutor& mainExecutor);
    ~DirectPlaybackEngine(); // stops
    DirectPlaybackEngine(const DirectPlaybackEngine&) = delete;
    DirectPlaybackEngine& operator=(const DirectPlaybackEngine&) = delete;

    // Set by the client on the main thread before play(); invoked on the main thread only.
    std::function<void(const PixelBuffer& frame, double pts)> onVideoFrame; // show this frame now
    std::function<void()> onEnded;
    std::function<void(const std::string& message)> onError;
    std::function<void(const DirectSubtitleCue& cue)> onSubtitleCue;
    std::function<void()> onSubtitlesReset; // cues received so far are stale

    // Stream facts, fixed at creation; any thread.
    double duration() const noexcept { return duration_; } // 0 when the file does not tell
    double frameRate() const noexcept { return frameRate_; }
    int width() const noexcept { return width_; }
    int height() const noexcept { return height_; }
    bool hasAudio() const noexcept { return hasAudio_; }
    double rotationDegrees() const noexcept { return rotationDegrees_; }
    const std::vector<DirectAudioTrack>& audioTracks() const noexcept { return audioTracks_; }
    std::optional<int> initialAudioTrackID() const noexcept { return initialAudioTrackID_; }
    const std::vector<DirectSubtitleTrack>& subtitleTracks() const noexcept { return subtitleTracks_; }

    // Media seconds, never below 0 and, when the duration is known, never above it.
    double currentTime() const;
    // Frames passed over because a newer one was already due when the presentation came late.
    std::uint64_t framesPassedOver() const;
    // Whether the clock runs: false while paused and once the end has been reached.
    bool playing() const;

    void play();
    // Shows the frame at the last seek target if none has been shown since.
    void pause();
    // Non-finite targets are ignored. With `preview` the frame at the target is shown even while paused.
    void seek(double seconds, bool preview);
    void setPlaybackRate(double rate);                 // 0.5...2, pitch kept; 1 when not finite
    void setVolume(float volume);                      // 0...1
    void setVideoPresentationLeadTime(double seconds); // 0...0.5; 0 when not finite
    // Switches the decoded audio track at the current position; ids outside the track list are ignored.
    void selectAudioTrack(int id);
    // Ends playback for good; later calls do nothing. Never waits for a stalled source.
    void stop();

    // A decoder's subtitle text (an ASS event line or plain text) as the plain text to show.
    static std::string plainSubtitleText(std::string_view text);

private:
    friend class DirectPlaybackCallbacks;

    struct Frame {
        PixelBuffer buffer;
        double pts = 0;
    };

    void open(const std::filesystem::path& path);
    void startDecodeLoop();

    // Decode loop, receivers, clock and presentation.
    void decodeLoop();
    bool shouldDecodeLocked();
    void receiveVideo(lv_pixel_buffer* buffer, double pts);
    void receiveAudio(const float* interleaved, std::int64_t frameCount, std::int64_t channels,
                      double sampleRate, double pts);
    void presentDueFrame();
    void scheduleNextPresentationLocked();
    double clockLocked() const;
    bool audioClockLocked() const noexcept;
    std::optional<audio::AudioTime> playerTimeLocked() const;
    void finishAudioLocked();
    double clampPositionLocked(double seconds) const noexcept;

    // Transport and subtitles.
    void positionReset(std::unique_lock<std::mutex>& lock, double position, std::optional<bool> preview);
    void publishSeekPreviewLocked(const PixelBuffer& buffer, double pts);
    void receiveSubtitle(int trackIndex, std::string text, double startTime, double endTime);
    void postError(std::string message, std::optional<std::uint64_t> generation);

    MainExecutor& mainExecutor_;

    double duration_ = 0;
    double frameRate_ = 0;
    int width_ = 0;
    int height_ = 0;
    bool hasAudio_ = false;
    double rotationDegrees_ = 0;
    std::vector<DirectAudioTrack> audioTracks_;
    std::optional<int> initialAudioTrackID_;
    std::vector<DirectSubtitleTrack> subtitleTracks_;

    SerialQueue queue_{"Lumavane.direct-playback", QualityOfService::userInteractive};
    // The one lock of the engine (guards everything below) and its wake-up signal.
    mutable std::mutex mutex_;
    std::condition_variable condition_;
    DirectPlaybackCallbacks callbacks_;
    lv_decoder* decoder_ = nullptr;
    bool running_ = true;
    bool playing_ = false;
    std::optional<double> pendingSeek_;
    std::optional<int> pendingAudioTrack_;
    double basePosition_ = 0; // media seconds at baseHostTime_
    double baseHostTime_ = 0;
    double seekFloor_ = 0; // media time of the player node's sample 0
    std::uint64_t generation_ = 0;
    std::uint64_t decodingGeneration_ = 0;
    std::optional<std::uint64_t> previewGeneration_;
    bool awaitingSeekFrame_ = false;
    std::optional<Frame> seekLastFrame_;
    std::deque<Frame> frames_;
    // Time of the last frame handed to the client since the last seek.
    double handedOutPTS_ = -std::numeric_limits<double>::infinity();
    std::uint64_t framesPassedOver_ = 0;
    // The generation that played to its end: frames it handed out before are still shown.
    std::optional<std::uint64_t> endedGeneration_;
    double audioEnd_ = 0;
    std::optional<AudioSampleTimeline> audioTimeline_;
    bool started_ = false;
    bool buffering_ = false;
    bool resettingAudio_ = false;
    bool reachedEOF_ = false;
    // No more audio is expected for this position: the clock runs on the host clock.
    bool audioFinished_ = false;
    SerialQueue presentationQueue_{"Lumavane.presentation", QualityOfService::userInteractive};
    std::unique_ptr<OneShotTimer> presentationTimer_;
    double videoPresentationLeadTime_ = 0;
    double playbackRate_ = 1.0;
    audio::AudioEngine audioEngine_;
    audio::AudioPlayerNode& audioNode_;
    audio::AudioUnitTimePitch& timePitch_;
    // False when not even the silent output could be started; video then keeps the host clock.
    bool audioOutput_ = true;
};

} // namespace lumavane
