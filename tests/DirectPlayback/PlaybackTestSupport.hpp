#pragma once

#include "DirectPlayback/DirectPlaybackEngine.hpp"
#include "MediaDecoder/DecoderTestSupport.hpp"
#include "Platform/Foundation/ManualRunLoop.hpp"
#include "support/ScopedEnv.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace lumavane::test {

// Clips made for these tests by generate-playback-media.sh, once per build.
inline std::string playbackMediaPath(const std::string& name) {
    static const bool generated = [] {
        const std::string command =
            std::string("'") + LUMAVANE_PLAYBACK_MEDIA_SCRIPT + "' '" + LUMAVANE_PLAYBACK_MEDIA_DIR + "'";
        return std::system(command.c_str()) == 0;
    }();
    EXPECT_TRUE(generated) << "generate-playback-media.sh failed";
    return std::string(LUMAVANE_PLAYBACK_MEDIA_DIR) + "/" + name;
}

// The green byte of the BGRA pixel at (280, 90): the grey of the right half of a 320x180 picture.
inline int rightGrey(const PixelBuffer& frame) {
    if (frame.width() < 320 || frame.height() < 180 || frame.pixelFormat() != LV_PIXEL_FORMAT_32BGRA)
        return -1;
    const auto* base = static_cast<const std::uint8_t*>(frame.baseAddress());
    return base[90 * frame.bytesPerRow() + 280 * 4 + 1];
}

// The upper median; NaN for no values.
inline double median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct DeliveredFrame {
    double pts = 0;
    int grey = -1;
    double clock = 0; // currentTime() when it arrived
    bool onMainThread = false;
};

// An engine on a manual run loop that records every callback.
class EngineHarness {
public:
    explicit EngineHarness(const std::string& path) {
        engine = DirectPlaybackEngine::create(path, loop);
        engine->onVideoFrame = [this](const PixelBuffer& frame, double pts) {
            frames.push_back({pts, rightGrey(frame), engine->currentTime(), loop.isMainThread()});
            if (frameHook) frameHook(frame, pts);
        };
        engine->onEnded = [this] {
            ++ended;
            endedAfterFrames = frames.size();
            onMainThread = onMainThread && loop.isMainThread();
        };
        engine->onError = [this](const std::string& message) { errors.push_back(message); };
        engine->onSubtitleCue = [this](const DirectSubtitleCue& cue) {
            cues.push_back(cue);
            cueClocks.push_back(engine->currentTime());
            onMainThread = onMainThread && loop.isMainThread();
        };
        engine->onSubtitlesReset = [this] { ++resets; };
    }
    ~EngineHarness() {
        if (engine) engine->stop();
    }

    bool runUntil(const std::function<bool()>& done, double seconds = 20) {
        return loop.runUntil(done, seconds);
    }
    void runFor(double seconds) {
        loop.runUntil([] { return false; }, seconds);
    }
    // Runs the loop until the engine's clock reaches `position`.
    bool playUntil(double position, double seconds = 20) {
        return runUntil([&] { return engine->currentTime() >= position; }, seconds);
    }

    ManualRunLoop loop;
    std::shared_ptr<DirectPlaybackEngine> engine;
    std::vector<DeliveredFrame> frames;
    std::vector<DirectSubtitleCue> cues;
    std::vector<double> cueClocks;
    std::vector<std::string> errors;
    int ended = 0;
    std::size_t endedAfterFrames = 0;
    int resets = 0;
    bool onMainThread = true;
    std::function<void(const PixelBuffer&, double)> frameHook;
};

// Reads what SDL's "disk" output driver has written: 32-bit float stereo at 48 kHz.
class DiskOutput {
public:
    DiskOutput()
        : path_(std::filesystem::temp_directory_path() / ("lumavane-playback-" + std::to_string(::getpid()) +
                                                          "-" + std::to_string(counter()++) + ".raw")),
          driver_("SDL_AUDIODRIVER", "disk"),
          file_("SDL_DISKAUDIOFILE", path_.string()) {}
    ~DiskOutput() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }

    // The left channel written so far.
    std::vector<float> left() const {
        std::ifstream in(path_, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<float> samples(bytes.size() / 8);
        for (std::size_t i = 0; i < samples.size(); ++i) std::memcpy(&samples[i], bytes.data() + i * 8, 4);
        return samples;
    }
    std::size_t frames() const {
        std::error_code error;
        const auto size = std::filesystem::file_size(path_, error);
        return error ? 0 : static_cast<std::size_t>(size / 8);
    }

private:
    static int& counter() {
        static int n = 0;
        return n;
    }
    std::filesystem::path path_;
    ScopedEnv driver_;
    ScopedEnv file_;
};

// First sample louder than a faint threshold, or empty.
inline std::optional<std::size_t> onset(const std::vector<float>& samples, std::size_t from = 0) {
    for (std::size_t i = from; i < samples.size(); ++i)
        if (std::abs(samples[i]) > 0.02f) return i;
    return std::nullopt;
}

// Frequency of a tone from its rising zero crossings over [from, from + count).
inline double toneFrequency(const std::vector<float>& samples, std::size_t from, std::size_t count) {
    if (from + count > samples.size() || count < 2) return 0;
    int crossings = 0;
    std::optional<std::size_t> first, last;
    for (std::size_t i = from + 1; i < from + count; ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            ++crossings;
            if (!first) first = i;
            last = i;
        }
    }
    if (crossings < 2) return 0;
    return (crossings - 1) * 48000.0 / static_cast<double>(*last - *first);
}

inline double rms(const std::vector<float>& samples, std::size_t from, std::size_t count) {
    if (from + count > samples.size() || count == 0) return 0;
    double sum = 0;
    for (std::size_t i = from; i < from + count; ++i) sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / static_cast<double>(count));
}

} // namespace lumavane::test
