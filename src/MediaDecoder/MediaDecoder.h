/* Decoding layer over FFmpeg, callable from C.
 *
 * A decoder opens one media file or URL, chooses one video stream, one audio
 * stream and every subtitle stream, and turns packets into callbacks: video
 * frames as pixel buffers, audio as interleaved float stereo at 48000 Hz and
 * subtitle texts with their times. Every time given or taken is media time:
 * 0 is the start of the file, whatever its first timestamp, and the frames of
 * a stream without timestamps (raw H.264 or HEVC) are timed by their frame
 * rate. Functions that can fail return a negative FFmpeg error code (or NULL)
 * and write a NUL-terminated "%s: %s" message into the caller's buffer `err`
 * of `errLen` bytes when `err` is not NULL and `errLen` is at least 1.
 *
 * A decoder is not thread-safe: one thread at a time calls its functions and
 * the callbacks run on that thread. The exception is lv_decoder_interrupt,
 * which may be called from any thread. */
#ifndef LUMAVANE_MEDIA_DECODER_H
#define LUMAVANE_MEDIA_DECODER_H

#include <stdint.h>

#include "Platform/Video/PixelBuffer.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct lv_decoder lv_decoder;

/* The buffer is lent for the call only; a callee that keeps it retains it. */
typedef void (*lv_video_cb)(void* opaque, lv_pixel_buffer* frame, double ptsSeconds);
/* channels is always 2 and sampleRate always 48000; the samples are valid during the call. */
typedef void (*lv_audio_cb)(void* opaque, const float* interleaved, int frameCount, int channels,
                            int sampleRate, double ptsSeconds);
/* trackIndex is the position in the decoder's subtitle table; text is UTF-8, valid during the call. */
typedef void (*lv_subtitle_cb)(void* opaque, int trackIndex, const char* text, double startSeconds,
                               double endSeconds);

typedef struct {
    double demux_seconds;
    double submit_seconds;
    double receive_seconds;
    int32_t hardware_frames;
    int32_t software_frames;
    double seek_seconds;
    double reset_seconds;
    int64_t io_bytes_read;
    int32_t io_buffer_size;
    int32_t io_max_packet_size;
    int32_t network_source;
    /* Video frames lost because no pixel buffer or converter could be had. */
    int32_t dropped_frames;
} lv_decoder_stats_t;

lv_decoder* lv_decoder_create(const char* path, void* opaque, lv_video_cb video, lv_audio_cb audio,
                              lv_subtitle_cb subtitle, char* err, int errLen);
lv_decoder* lv_decoder_create_thumbnail(const char* path, void* opaque, lv_video_cb video, char* err,
                                        int errLen);

double lv_decoder_duration(const lv_decoder* decoder);
double lv_decoder_frame_rate(const lv_decoder* decoder);
double lv_decoder_rotation_degrees(const lv_decoder* decoder);
int lv_decoder_width(const lv_decoder* decoder);
int lv_decoder_height(const lv_decoder* decoder);
int lv_decoder_has_audio(const lv_decoder* decoder);

int lv_decoder_audio_count(const lv_decoder* decoder);
const char* lv_decoder_audio_title(const lv_decoder* decoder, int index);
const char* lv_decoder_audio_language(const lv_decoder* decoder, int index);
int lv_decoder_audio_is_default(const lv_decoder* decoder, int index);
int lv_decoder_selected_audio_track(const lv_decoder* decoder);

int lv_decoder_subtitle_count(const lv_decoder* decoder);
const char* lv_decoder_subtitle_title(const lv_decoder* decoder, int index);
const char* lv_decoder_subtitle_language(const lv_decoder* decoder, int index);
int lv_decoder_subtitle_is_default(const lv_decoder* decoder, int index);

/* 1: a packet was consumed, call again; 0: end of input, everything drained;
 * negative: FFmpeg error. */
int lv_decoder_read(lv_decoder* decoder, char* err, int errLen);
/* Seeks to the key frame at or before `seconds`. A non-finite time gives
 * AVERROR(EINVAL) and changes nothing. */
int lv_decoder_seek(lv_decoder* decoder, char* err, int errLen, double seconds);
int lv_decoder_select_audio_track(lv_decoder* decoder, int index, char* err, int errLen);

/* Media time of the last video key frame at or before `seconds` that the file's
 * index lists, NaN when it lists none (no index, or none read yet). Some formats
 * index decode times: the key frame's picture may then lie up to the reordering
 * delay later, past `seconds`. Does not move the input. */
double lv_decoder_key_frame_time(lv_decoder* decoder, double seconds);

void lv_decoder_set_keyframe_preview(lv_decoder* decoder, int on);
void lv_decoder_set_thumbnail_target(lv_decoder* decoder, double seconds);
void lv_decoder_set_thumbnail_preroll(lv_decoder* decoder, double seconds);

lv_decoder_stats_t lv_decoder_stats(const lv_decoder* decoder);

/* Makes the decoder's blocking input operations give up (AVERROR_EXIT), now
 * and for the rest of its life. Safe from any thread, also while another
 * thread is inside lv_decoder_read or lv_decoder_seek: an owner that stops
 * calls it first so that a read stuck on a stalled source returns. */
void lv_decoder_interrupt(lv_decoder* decoder);

void lv_decoder_destroy(lv_decoder* decoder);

#ifdef __cplusplus
}
#endif

#endif
