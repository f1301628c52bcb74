#include "Platform/Audio/AudioBuffer.hpp"

#include <cmath>
#include <new>

namespace lumavane::audio {

AudioPCMBuffer::AudioPCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity)
    : format_(format),
      capacity_(frameCapacity),
      samples_(static_cast<std::size_t>(frameCapacity) * format.channelCount, 0.0f) {}

std::shared_ptr<AudioPCMBuffer> AudioPCMBuffer::make(const AudioFormat& format, std::uint32_t frameCapacity) {
    if (format.channelCount == 0 || frameCapacity == 0) return nullptr;
    if (!std::isfinite(format.sampleRate) || format.sampleRate <= 0) return nullptr;
    try {
        return std::shared_ptr<AudioPCMBuffer>(new AudioPCMBuffer(format, frameCapacity));
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
}

float* AudioPCMBuffer::floatChannelData(std::uint32_t channel) noexcept {
    if (channel >= format_.channelCount) return nullptr;
    return samples_.data() + static_cast<std::size_t>(channel) * capacity_;
}

const float* AudioPCMBuffer::floatChannelData(std::uint32_t channel) const noexcept {
    if (channel >= format_.channelCount) return nullptr;
    return samples_.data() + static_cast<std::size_t>(channel) * capacity_;
}

} // namespace lumavane::audio
