/* Reads a clip to the end with a playback decoder whose video callback takes
 * every frame as BGRA, and prints the wall-clock seconds of the best run.
 * Usage: decoder_read_bench CLIP [RUNS] */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "MediaDecoder/MediaDecoder.h"

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void on_video(void* opaque, lv_pixel_buffer* frame, double pts) {
    (void)pts;
    /* Touch the picture so the conversion cannot be skipped. */
    const unsigned char* pixels = lv_pixel_buffer_get_base_address(frame);
    size_t center = lv_pixel_buffer_get_bytes_per_row(frame) * (lv_pixel_buffer_get_height(frame) / 2) +
                    lv_pixel_buffer_get_width(frame) / 2 * 4;
    *(unsigned*)opaque += pixels[center];
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s CLIP [RUNS]\n", argv[0]);
        return 2;
    }
    int runs = argc > 2 ? atoi(argv[2]) : 1;
    double best = 1e30;
    for (int run = 0; run < runs; run++) {
        unsigned checksum = 0;
        char err[256] = "";
        double start = now();
        lv_decoder* decoder = lv_decoder_create(argv[1], &checksum, on_video, NULL, NULL, err, sizeof err);
        if (!decoder) {
            fprintf(stderr, "%s\n", err);
            return 1;
        }
        int result;
        while ((result = lv_decoder_read(decoder, err, sizeof err)) > 0) {}
        lv_decoder_stats_t stats = lv_decoder_stats(decoder);
        lv_decoder_destroy(decoder);
        double seconds = now() - start;
        if (result < 0) {
            fprintf(stderr, "%s\n", err);
            return 1;
        }
        if (seconds < best) best = seconds;
        if (runs > 1)
            fprintf(stderr, "run %d: %.3f s, %d frames (checksum %u)\n", run + 1, seconds,
                    stats.software_frames + stats.hardware_frames, checksum);
    }
    printf("%.3f\n", best);
    return 0;
}
