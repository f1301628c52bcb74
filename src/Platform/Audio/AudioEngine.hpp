#pragma once

#include "Platform/Audio/AudioBuffer.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace lumavane::audio {

class AudioEngine;

// Plays buffers scheduled at sample positions of its own timeline (48 kHz source frames, 0 at the
// first play after a stop). Gaps between buffers play as silence.
class AudioPlayerNode {
public:
    AudioPlayerNode(const AudioPlayerNode&) = delete;
    AudioPlayerNode& operator=(const AudioPlayerNode&) = delete;

    // Any thread, lock-free. The buffer must be 48 kHz stereo (the engine's format()); frames at
    // positions already played are skipped. False when refused (wrong format, empty, or over a
    // thousand buffers waiting), and nothing is scheduled.
    bool scheduleBuffer(std::shared_ptr<const AudioPCMBuffer> buffer, std::int64_t sampleTime);

    void play();
    void pause();
    // Discards every scheduled buffer; the player time returns to 0.
    void stop();
    bool isPlaying() const noexcept;

    // The output's position now, or empty while the engine is not running.
    std::optional<AudioTime> lastRenderTime() const;
    // Source frames played at the moment nodeTime stands for, counted from the play() after the
    // last stop(): empty until the node first plays, then advancing while playing (through gaps
    // and past the last buffer), frozen while paused, 0 after stop(). Like the render position,
    // it runs outputPresentationLatency() x rate ahead of the frame being heard.
    std::optional<AudioTime> playerTime(const AudioTime& nodeTime) const;
    // Seconds from rendering to hearing: the device buffer. 0 while the engine is not running.
    double outputPresentationLatency() const noexcept;

    // Any thread, no lock. Clamped to 0...1 (NaN gives 0).
    void setVolume(float volume) noexcept;
    float volume() const noexcept;

private:
    friend class AudioEngine;
    explicit AudioPlayerNode(AudioEngine& engine) : engine_(engine) {}
    AudioEngine& engine_;
};

// Changes speed without changing pitch (SoundTouch).
class AudioUnitTimePitch {
public:
    AudioUnitTimePitch(const AudioUnitTimePitch&) = delete;
    AudioUnitTimePitch& operator=(const AudioUnitTimePitch&) = delete;

    // Any thread. Clamped to 0.5...2 (1 when not finite); applies from the next device buffer.
    void setRate(float rate) noexcept;
    float rate() const noexcept;

private:
    friend class AudioEngine;
    explicit AudioUnitTimePitch(AudioEngine& engine) : engine_(engine) {}
    AudioEngine& engine_;
};

// The audio graph: one player node feeding one time-pitch unit feeding the output device (SDL2).
// When no real output can be opened it plays into SDL's silent dummy output, which consumes audio
// in real time, so the player clock still runs. Engines running at the same time share one output
// and are mixed.
class AudioEngine {
public:
    AudioEngine();
    ~AudioEngine(); // stops
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    AudioPlayerNode& playerNode() noexcept { return node_; }
    AudioUnitTimePitch& timePitch() noexcept { return timePitch_; }
    // 32-bit float, 48 kHz, 2 channels, non-interleaved: every buffer is in this format.
    static AudioFormat format() noexcept { return AudioFormat{48000.0, 2}; }

    // Opens the output and starts rendering; does nothing when running. Throws PlatformError
    // (domain "Lumavane.Audio", code 1) when not even the silent output can be opened.
    void start();
    // Closes the output. The node keeps its schedule and position.
    void stop();
    bool isRunning() const noexcept;
    // The SDL driver in use ("dummy" for the silent output); empty while stopped.
    std::string outputDriver() const;

private:
    friend class AudioPlayerNode;
    friend class AudioUnitTimePitch;
    struct Impl;
    std::unique_ptr<Impl> impl_;
    AudioPlayerNode node_;
    AudioUnitTimePitch timePitch_;
};

} // namespace lumavane::audio
