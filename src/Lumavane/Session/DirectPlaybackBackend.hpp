#pragma once

#include "DirectPlayback/DirectPlaybackTypes.hpp"
#include "Platform/Foundation/MainExecutor.hpp"
#include "Platform/Video/PixelBuffer.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumavane {

// All the session asks of the direct back-end: the stream facts, the transport, the clock the
// frame pipeline presents by, the lead by which frames are handed over early, and the callbacks.
// The engine through openDirectPlaybackEngine; tests fake it. Callbacks are set on the main
// thread before play() and run there.
class DirectPlaybackBackend {
public:
    virtual ~DirectPlaybackBackend() = default;

    virtual double currentTime() const = 0;
    virtual void play() = 0;
    virtual void pause() = 0;
    virtual void seek(double seconds, bool preview) = 0;
    virtual void setVideoPresentationLeadTime(double seconds) = 0;

    virtual double duration() const = 0;
    virtual double frameRate() const = 0;
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual double rotationDegrees() const = 0;
    virtual std::vector<DirectAudioTrack> audioTracks() const = 0;
    virtual std::optional<int> initialAudioTrackID() const = 0;
    virtual std::vector<DirectSubtitleTrack> subtitleTracks() const = 0;

    virtual void stop() = 0;
    virtual void setVolume(float volume) = 0;
    virtual void setPlaybackRate(double rate) = 0;
    virtual void selectAudioTrack(int id) = 0;

    std::function<void(const PixelBuffer& frame, double pts)> onVideoFrame;
    std::function<void()> onEnded;
    std::function<void(const std::string& message)> onError;
    std::function<void(const DirectSubtitleCue& cue)> onSubtitleCue;
    std::function<void()> onSubtitlesReset;
};

// Opens `path` on the direct playback engine; throws its error ("Lumavane.DirectPlayback").
std::shared_ptr<DirectPlaybackBackend> openDirectPlaybackEngine(const std::filesystem::path& path,
                                                                MainExecutor& executor);

} // namespace lumavane
