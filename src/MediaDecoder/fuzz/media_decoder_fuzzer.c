/* libFuzzer target: opens arbitrary bytes as a media file and drives a
 * playback decoder through reading, seeking and track switching, then a
 * thumbnail decoder through targeted seeks. Aborts when
 * a pixel buffer outlives the decoder. */
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <libavutil/log.h>

#include "MediaDecoder/MediaDecoder.h"

typedef struct {
    unsigned sum;
} fuzz_state;

static void on_video(void* opaque, lv_pixel_buffer* frame, double pts) {
    (void)pts;
    fuzz_state* state = opaque;
    const unsigned char* pixels = lv_pixel_buffer_get_base_address(frame);
    size_t height = lv_pixel_buffer_get_height(frame);
    size_t width = lv_pixel_buffer_get_width(frame);
    size_t stride = lv_pixel_buffer_get_bytes_per_row(frame);
    if (height && width) state->sum += pixels[0] + pixels[(height - 1) * stride + width * 4 - 1];
}

static void on_audio(void* opaque, const float* samples, int frames, int channels, int rate, double pts) {
    (void)rate;
    (void)pts;
    fuzz_state* state = opaque;
    float total = 0;
    for (int i = 0; i < frames * channels; i++) total += samples[i];
    state->sum += total != total ? 1u : 0u;
}

static void on_subtitle(void* opaque, int track, const char* text, double start, double end) {
    (void)track;
    (void)start;
    (void)end;
    ((fuzz_state*)opaque)->sum += (unsigned)strlen(text);
}

static void read_some(lv_decoder* decoder, int packets) {
    char err[128];
    for (int i = 0; i < packets; i++) {
        if (lv_decoder_read(decoder, err, sizeof err) <= 0) break;
    }
}

int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    (void)argv;
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = memfd_create("media", 0);
    if (fd < 0) return 0;
    size_t written = 0;
    while (written < size) {
        ssize_t n = write(fd, data + written, size - written);
        if (n <= 0) break;
        written += (size_t)n;
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);

    fuzz_state state = {0};
    char err[256];
    lv_decoder* decoder = lv_decoder_create(path, &state, on_video, on_audio, on_subtitle, err, sizeof err);
    if (decoder) {
        state.sum += (unsigned)lv_decoder_width(decoder) + (unsigned)lv_decoder_audio_count(decoder);
        for (int i = 0; i < lv_decoder_subtitle_count(decoder); i++)
            state.sum += (unsigned)strlen(lv_decoder_subtitle_title(decoder, i));
        read_some(decoder, 400);
        lv_decoder_seek(decoder, err, sizeof err, lv_decoder_duration(decoder) / 2);
        read_some(decoder, 100);
        if (lv_decoder_audio_count(decoder) > 1) lv_decoder_select_audio_track(decoder, 1, err, sizeof err);
        lv_decoder_seek(decoder, err, sizeof err, 0);
        read_some(decoder, 100);
        lv_decoder_set_keyframe_preview(decoder, 1);
        lv_decoder_seek(decoder, err, sizeof err, 0.5);
        read_some(decoder, 50);
        lv_decoder_destroy(decoder);
    }
    /* A thumbnail decoder: the asynchronous path for H.264 and HEVC, with its fallback. */
    decoder = lv_decoder_create_thumbnail(path, &state, on_video, err, sizeof err);
    if (decoder) {
        double target = lv_decoder_duration(decoder) / 3;
        lv_decoder_set_thumbnail_target(decoder, target);
        lv_decoder_set_thumbnail_preroll(decoder, 0.12);
        lv_decoder_seek(decoder, err, sizeof err, target);
        read_some(decoder, 300);
        lv_decoder_set_thumbnail_target(decoder, 0);
        lv_decoder_seek(decoder, err, sizeof err, 0);
        read_some(decoder, 50);
        lv_decoder_destroy(decoder);
    }
    close(fd);
    if (lv_pixel_buffer_live_count() != 0) abort();
    return 0;
}
