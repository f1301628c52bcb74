#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "MediaDecoder/MediaDecoder.h"
#include "support/Ffprobe.hpp"
#include "support/ScopedEnv.hpp"

namespace lumavane::test {

inline std::string mediaPath(const std::string& name) {
    return std::string(LUMAVANE_TEST_MEDIA_DIR) + "/" + name;
}

/* The generated clips run at 25 frames per second; the left half is red, the
 * right half a grey of 16 + (frame mod 25) * 8. */
constexpr int kFrameRate = 25;
inline int frameNumber(double pts) { return static_cast<int>(std::floor(pts * kFrameRate + 0.3)); }
inline int expectedGrey(int frame) { return 16 + (frame % 25) * 8; }

struct VideoFrame {
    double pts;
    size_t width;
    size_t height;
    uint32_t format;
    std::array<uint8_t, 4> left;  // BGRA at (40, 90)
    std::array<uint8_t, 4> right; // BGRA at (280, 90)
    int luma = -1;                // of an 8-bit video-range 4:2:0 picture at (280, 90)
};

/* The video-range luma of the right half's grey. */
inline double expectedLuma(int frame) { return 16 + expectedGrey(frame) * 219.0 / 255.0; }

struct Cue {
    int track;
    std::string text;
    double start;
    double end;
};

struct AudioChunk {
    int frames;
    int channels;
    int rate;
    double pts;
};

/* Records every callback of a decoder. */
struct Recorder {
    std::vector<VideoFrame> frames;
    std::vector<AudioChunk> chunks;
    std::vector<float> samples; // interleaved stereo
    std::vector<Cue> cues;
    lv_pixel_buffer* kept = nullptr; // retained when keepFirstFrame is set
    bool keepFirstFrame = false;

    ~Recorder() { lv_pixel_buffer_release(kept); }

    static void video(void* opaque, lv_pixel_buffer* buffer, double pts) {
        auto* self = static_cast<Recorder*>(opaque);
        VideoFrame frame{pts,
                         lv_pixel_buffer_get_width(buffer),
                         lv_pixel_buffer_get_height(buffer),
                         lv_pixel_buffer_get_pixel_format(buffer),
                         {},
                         {}};
        const auto* base = static_cast<const uint8_t*>(lv_pixel_buffer_get_base_address(buffer));
        size_t stride = lv_pixel_buffer_get_bytes_per_row(buffer);
        if (frame.format == LV_PIXEL_FORMAT_32BGRA && frame.width >= 320 && frame.height >= 180) {
            for (int c = 0; c < 4; c++) {
                frame.left[c] = base[90 * stride + 40 * 4 + c];
                frame.right[c] = base[90 * stride + 280 * 4 + c];
            }
        }
        if (frame.format == LV_PIXEL_FORMAT_420V && frame.width >= 320 && frame.height >= 180)
            frame.luma = static_cast<const uint8_t*>(lv_pixel_buffer_get_base_address_of_plane(
                buffer, 0))[90 * lv_pixel_buffer_get_bytes_per_row_of_plane(buffer, 0) + 280];
        self->frames.push_back(frame);
        if (self->keepFirstFrame && !self->kept) self->kept = lv_pixel_buffer_retain(buffer);
    }

    static void audio(void* opaque, const float* interleaved, int frameCount, int channels, int sampleRate,
                      double pts) {
        auto* self = static_cast<Recorder*>(opaque);
        self->chunks.push_back({frameCount, channels, sampleRate, pts});
        self->samples.insert(self->samples.end(), interleaved, interleaved + frameCount * channels);
    }

    static void subtitle(void* opaque, int track, const char* text, double start, double end) {
        static_cast<Recorder*>(opaque)->cues.push_back({track, text, start, end});
    }

    double audioSeconds() const { return static_cast<double>(samples.size() / 2) / 48000.0; }

    /* Frequency of the left channel from rising zero crossings in [from, to) seconds. */
    double toneFrequency(double from, double to) const {
        size_t first = static_cast<size_t>(from * 48000), last = static_cast<size_t>(to * 48000);
        last = std::min(last, samples.size() / 2);
        int crossings = 0;
        for (size_t i = first + 1; i < last; i++) {
            if (samples[2 * (i - 1)] < 0 && samples[2 * i] >= 0) crossings++;
        }
        return last > first ? crossings / (static_cast<double>(last - first) / 48000.0) : 0;
    }
};

/* A decoder of a test clip that records what it delivers. */
struct Decoder {
    Recorder recorder;
    lv_decoder* decoder = nullptr;
    char err[256] = "";

    explicit Decoder(const std::string& name, bool audio = true, bool subtitles = true) {
        decoder = lv_decoder_create(mediaPath(name).c_str(), &recorder, Recorder::video,
                                    audio ? Recorder::audio : nullptr,
                                    subtitles ? Recorder::subtitle : nullptr, err, sizeof err);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    ~Decoder() { lv_decoder_destroy(decoder); }
    int read() { return lv_decoder_read(decoder, err, sizeof err); }
    int seek(double seconds) { return lv_decoder_seek(decoder, err, sizeof err, seconds); }
    /* The times of the video frames delivered from the `from`th on. */
    std::vector<double> times(size_t from) const {
        std::vector<double> times;
        for (size_t i = from; i < recorder.frames.size(); i++) times.push_back(recorder.frames[i].pts);
        return times;
    }
};

/* Reads until the decoder reports the end (0) or an error; returns that result. */
inline int readToEnd(lv_decoder* decoder, int limit = 100000) {
    char err[256];
    for (int i = 0; i < limit; i++) {
        int result = lv_decoder_read(decoder, err, sizeof err);
        if (result <= 0) return result;
    }
    return 1;
}

/* Writes a copy of a clip with bytes scrambled through the middle 40 percent
 * of the file and returns its path. */
inline std::string writeCorruptCopy(const std::string& name) {
    std::string bytes;
    if (FILE* in = std::fopen(mediaPath(name).c_str(), "rb")) {
        char chunk[65536];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) bytes.append(chunk, n);
        std::fclose(in);
    }
    uint32_t state = 12345;
    for (size_t i = bytes.size() * 3 / 10; i < bytes.size() * 7 / 10; i += 41) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    std::string path = testing::TempDir() + "corrupt_" + name;
    if (FILE* out = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), out);
        std::fclose(out);
    }
    return path;
}

} // namespace lumavane::test
