#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace lumavane::audio {

// 32-bit float, non-interleaved PCM. The engine renders 48 kHz stereo; buffers in any other
// format are refused when scheduled.
struct AudioFormat {
    double sampleRate = 48000.0;
    std::uint32_t channelCount = 2;

    bool operator==(const AudioFormat&) const = default;
};

// A moment on a node's or a player's timeline: a sample position at a rate, and the host time
// (hostTimeSeconds()) it stands for.
struct AudioTime {
    std::int64_t sampleTime = 0;
    double sampleRate = 48000.0;
    double hostTime = 0;
};

// One channel array per channel, frameCapacity floats each. frameLength frames are valid.
class AudioPCMBuffer {
public:
    // Empty when the buffer cannot be made: no channels, a rate that is not positive and finite,
    // a capacity of 0, or no memory.
    static std::shared_ptr<AudioPCMBuffer> make(const AudioFormat& format, std::uint32_t frameCapacity);

    const AudioFormat& format() const noexcept { return format_; }
    std::uint32_t frameCapacity() const noexcept { return capacity_; }
    std::uint32_t frameLength() const noexcept { return length_; }
    // Clamped to the capacity.
    void setFrameLength(std::uint32_t frames) noexcept { length_ = frames < capacity_ ? frames : capacity_; }

    // Null for a channel index out of range.
    float* floatChannelData(std::uint32_t channel) noexcept;
    const float* floatChannelData(std::uint32_t channel) const noexcept;

private:
    AudioPCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity);

    AudioFormat format_;
    std::uint32_t capacity_ = 0;
    std::uint32_t length_ = 0;
    std::vector<float> samples_;
};

} // namespace lumavane::audio
