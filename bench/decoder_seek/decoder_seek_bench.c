/* Opens a clip with a playback decoder, seeks to a time and reads until the first frame at or
 * after it comes; prints the best wall-clock seconds of the seek and of the open, and how many
 * frames were decoded on the way.
 * Usage: decoder_seek_bench CLIP SECONDS [RUNS] */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "MediaDecoder/MediaDecoder.h"

struct progress {
    double target;
    int frames;
    int reached;
};

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void on_video(void* opaque, lv_pixel_buffer* frame, double pts) {
    (void)frame;
    struct progress* progress = opaque;
    progress->frames++;
    if (pts >= progress->target - 1e-6) progress->reached = 1;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s CLIP SECONDS [RUNS]\n", argv[0]);
        return 2;
    }
    struct progress progress = {atof(argv[2]), 0, 0};
    int runs = argc > 3 ? atoi(argv[3]) : 3;
    double bestSeek = 1e30, bestOpen = 1e30;
    for (int run = 0; run < runs; run++) {
        char err[256] = "";
        double start = now();
        lv_decoder* decoder = lv_decoder_create(argv[1], &progress, on_video, NULL, NULL, err, sizeof err);
        if (!decoder) {
            fprintf(stderr, "%s\n", err);
            return 1;
        }
        double opened = now();
        progress.frames = 0;
        progress.reached = 0;
        int result = lv_decoder_seek(decoder, err, sizeof err, progress.target);
        while (result >= 0 && !progress.reached && (result = lv_decoder_read(decoder, err, sizeof err)) > 0) {}
        double sought = now();
        lv_decoder_destroy(decoder);
        if (result < 0 || !progress.reached) {
            fprintf(stderr, "no frame at %s: %s\n", argv[2], err);
            return 1;
        }
        if (sought - opened < bestSeek) bestSeek = sought - opened;
        if (opened - start < bestOpen) bestOpen = opened - start;
        fprintf(stderr, "run %d: open %.3f s, seek %.3f s, %d frames decoded\n", run + 1, opened - start,
                sought - opened, progress.frames);
    }
    printf("seek %.3f s\nopen %.3f s\n", bestSeek, bestOpen);
    return 0;
}
