#pragma once

#include "Platform/Audio/AudioBuffer.hpp"
#include "Platform/Audio/SpscRing.hpp"

#include <SoundTouch.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace lumavane::audio {

// The player node and the tempo unit as one pull-driven mixer: the device callback calls
// render(), which reads the schedule timeline at its cursor, time-stretches it with SoundTouch
// and applies the volume. It owns no device, so tests drive it directly.
//
// Threads: scheduleBuffer(), the volume and the rate may be used from any thread and never wait
// for render(). Buffers reach render() through a lock-free ring and go back through another
// ring to be freed off the audio thread, so render() neither locks nor allocates nor frees.
// Methods ending in Locked must be excluded from render() by the caller (the device lock, or
// the same thread). The clock readers are lock-free.
class AudioRenderer {
public:
    static constexpr double kSampleRate = 48000.0;
    static constexpr int kChannels = 2;
    static constexpr float kMinRate = 0.5f;
    static constexpr float kMaxRate = 2.0f;

    // SoundTouch's buffers are grown once here, for render calls of up to maxRenderFrames.
    explicit AudioRenderer(int maxRenderFrames = 8192);
    ~AudioRenderer();
    AudioRenderer(const AudioRenderer&) = delete;
    AudioRenderer& operator=(const AudioRenderer&) = delete;

    // Plays buffer from source frame sampleTime on (48 kHz, counted from the last stop). Frames
    // the cursor has already passed are skipped; overlapping buffers are mixed. False when the
    // buffer is missing, empty, not 48 kHz stereo, or too many buffers are waiting.
    bool scheduleBuffer(std::shared_ptr<const AudioPCMBuffer> buffer, std::int64_t sampleTime);

    void playLocked(double hostTime);
    void pauseLocked();
    // Discards every scheduled buffer and what the tempo unit holds; the player time is 0 again.
    void stopLocked();
    bool isPlaying() const noexcept;

    // The device callback body: frames interleaved stereo frames asked for at hostTime, which
    // start to be heard outputLatency() later. Silence unless playing.
    void render(float* interleaved, int frames, double hostTime) noexcept;

    // Seconds from a render to hearing its first frame: the output buffered ahead of it. Any
    // thread; applies from the next render.
    void setOutputLatency(double seconds) noexcept;
    double outputLatency() const noexcept { return outputLatency_.load(std::memory_order_relaxed); }

    // Source frames played (empty before the first play(), 0 after stop()), as the render
    // position: the frame heard at hostTime plus outputLatency() of output at the current rate.
    std::optional<double> playerSampleTime(double hostTime) const noexcept;
    // Output frames heard by hostTime.
    double outputSampleTime(double hostTime) const noexcept;

    // Clamped to 0.5...2 (1 when not finite); takes effect at the next render.
    void setRate(float rate) noexcept;
    float rate() const noexcept { return rate_.load(std::memory_order_relaxed); }
    // Clamped to 0...1 (0 for NaN); ramped over the next render.
    void setVolume(float volume) noexcept;
    float volume() const noexcept { return volume_.load(std::memory_order_relaxed); }

    // Mean distance, in source frames, by which the frame SoundTouch emits leads the count of
    // frames fed minus frames it holds, at a tempo.
    static double tempoAlignmentFrames(double rate) noexcept;

private:
    enum class State : int { NeverPlayed, Stopped, Paused, Playing };

    struct Entry {
        std::shared_ptr<const AudioPCMBuffer> buffer;
        std::int64_t start = 0;
        std::int64_t frames = 0;
    };

    // What one render call played: a span of the source timeline and when it is heard. Until
    // then what the output holds before it is being heard: the clock reads that back at this
    // span's pace, down to floorPosition, where playing last started.
    struct Chunk {
        double hostTime = 0;
        double frames = 0;
        double startPosition = 0;
        double endPosition = 0;
        double outputFramesBefore = 0;
        State state = State::NeverPlayed;
        double floorPosition = 0;
    };

    // Seqlock: one writer (render() or a Locked method), any number of lock-free readers.
    class ClockCell {
    public:
        void store(const Chunk& chunk) noexcept;
        Chunk load() const noexcept;

    private:
        std::atomic<std::uint32_t> sequence_{0};
        std::atomic<double> hostTime_{0}, frames_{0}, start_{0}, end_{0}, outputBefore_{0}, floor_{0};
        std::atomic<int> state_{0};
    };

    // The source frame heard at hostTime.
    static double heardPosition(const Chunk& chunk, double hostTime) noexcept;
    void acceptScheduled() noexcept;
    void feed(int frames) noexcept;
    void retireConsumed() noexcept;
    void applyVolume(float* interleaved, int frames) noexcept;
    void drainRetiredLocked();
    void publish(const Chunk& chunk) noexcept;

    static constexpr std::size_t kRingCapacity = 1024;
    static constexpr std::size_t kTimelineCapacity = 1024;
    static constexpr int kFeedFrames = 256;

    // Producer side.
    std::mutex producerMutex_;
    SpscRing<Entry, kRingCapacity> scheduled_;
    SpscRing<std::shared_ptr<const AudioPCMBuffer>, kRingCapacity * 2> retired_;

    // Render side (and Locked methods).
    std::vector<Entry> timeline_; // sorted by start, capacity never exceeded
    soundtouch::SoundTouch tempo_;
    float appliedRate_ = 1.0f;
    float appliedVolume_ = 1.0f;
    std::int64_t cursor_ = 0; // next source frame to feed
    double position_ = 0;     // source frames played out of the tempo unit
    double outputFrames_ = 0; // output frames rendered
    Chunk last_;
    std::vector<float> feedScratch_;

    std::atomic<double> outputLatency_{0.0};
    std::atomic<float> rate_{1.0f};
    std::atomic<float> volume_{1.0f};
    ClockCell clock_;
};

} // namespace lumavane::audio
