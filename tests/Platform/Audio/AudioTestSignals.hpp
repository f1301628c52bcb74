#pragma once

#include "Platform/Audio/AudioBuffer.hpp"

#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

namespace lumavane::audio::test {

constexpr double kRate = 48000.0;

// A 48 kHz stereo buffer whose frame i holds (left(i), right(i)).
template <class Left, class Right>
std::shared_ptr<AudioPCMBuffer> makeBuffer(std::uint32_t frames, Left left, Right right) {
    auto buffer = AudioPCMBuffer::make(AudioFormat{kRate, 2}, frames);
    buffer->setFrameLength(frames);
    float* l = buffer->floatChannelData(0);
    float* r = buffer->floatChannelData(1);
    for (std::uint32_t i = 0; i < frames; ++i) {
        l[i] = static_cast<float>(left(i));
        r[i] = static_cast<float>(right(i));
    }
    return buffer;
}

inline auto sine(double hz, double amplitude, std::int64_t phaseFrames = 0) {
    return [=](std::uint32_t i) {
        return amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(phaseFrames + i) / kRate);
    };
}

// Frequency of a tone from its rising zero crossings, first to last.
inline double zeroCrossingFrequency(const std::vector<float>& samples, std::size_t from, std::size_t to) {
    double first = -1, last = -1;
    int crossings = 0;
    for (std::size_t i = from + 1; i < to; ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            const double at = static_cast<double>(i - 1) + samples[i - 1] / (samples[i - 1] - samples[i]);
            if (first < 0) first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings < 2) return 0;
    return (crossings - 1) * kRate / (last - first);
}

inline double rms(const std::vector<float>& samples, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += static_cast<double>(samples[i]) * samples[i];
    return std::sqrt(sum / static_cast<double>(to - from));
}

} // namespace lumavane::audio::test
