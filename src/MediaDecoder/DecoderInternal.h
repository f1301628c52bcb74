/* The decoder object and the routines its source files share. C only. */
#ifndef LUMAVANE_MEDIA_DECODER_INTERNAL_H
#define LUMAVANE_MEDIA_DECODER_INTERNAL_H

#include <stdatomic.h>

#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>

#include "MediaDecoder/AsyncThumbnail.h"
#include "MediaDecoder/DecoderFrames.h"
#include "MediaDecoder/MediaDecoder.h"

/* Where the input stands: at the top, after a byte position (a seek of an untimed stream), after
 * a given packet, or at its end. */
typedef enum { LV_INPUT_AT_TOP, LV_INPUT_AT_BYTE, LV_INPUT_AFTER_PACKET, LV_INPUT_AT_END } lv_input_place;
typedef struct {
    lv_input_place place;
    int stream;
    int size;
    int64_t pos, dts, pts;
} lv_input_mark;

struct lv_decoder {
    AVFormatContext* format;
    AVCodecContext* video_codec;
    AVCodecContext* audio_codec;
    AVCodecContext** subtitle_codecs;
    AVBufferRef* hardware_device;
    lv_pixel_buffer_pool* bgra_pool;
    int32_t pool_width;
    int32_t pool_height;
    struct SwsContext* scaler;
    struct SwrContext* resampler;
    AVFrame* frame;
    AVPacket* packet;
    int32_t video_stream_index;
    int32_t audio_stream_index;
    int32_t* audio_stream_indices;
    char** audio_titles;
    char** audio_languages;
    int32_t* audio_default_flags;
    int32_t audio_track_count;
    int32_t selected_audio_track;
    int32_t* subtitle_stream_indices;
    AVRational* subtitle_time_bases;
    char** subtitle_titles;
    char** subtitle_languages;
    int32_t* subtitle_default_flags;
    int32_t subtitle_track_count;
    AVRational video_time_base;
    AVRational audio_time_base;
    double duration;
    double frame_rate;
    double rotation_degrees;
    double audio_clock;
    int32_t audio_clock_valid;
    int32_t thumbnail_mode;
    int32_t preroll_skip_armed;
    int64_t preroll_target_timestamp;
    double preroll_target_seconds;
    lv_decoder_stats_t stats;
    lv_async_thumbnail_ctx* async_thumbnail;
    double thumbnail_target_seconds;
    void* opaque;
    lv_video_cb video_callback;
    lv_audio_cb audio_callback;
    lv_subtitle_cb subtitle_callback;

    /* Key-frame preview is on: what frame skipping returns to after a pre-roll. */
    int32_t keyframe_preview;
    /* Input settings the resampler was built for; a frame that differs rebuilds it. */
    AVChannelLayout resampler_layout;
    int resampler_format;
    int resampler_rate;
    /* Picture the scaler was built for, and the colour settings last given to it. */
    int scaler_width;
    int scaler_height;
    int scaler_format;
    int scaler_colorspace;
    int scaler_range;
    /* Reused room for resampled audio, in stereo frames. */
    float* audio_buffer;
    int audio_buffer_frames;
    /* Frame that hardware surfaces are downloaded into before conversion. */
    AVFrame* transfer_frame;
    atomic_int interrupt_requested;

    /* Media time 0: the first timestamp of the file, subtracted from every time
     * handed out and added to every seek target (never negative). */
    double start_seconds;
    /* Where the video's last frame lies, in media seconds; 0 when unknown. */
    double video_end_seconds;
    /* The video has no timestamps (a raw elementary stream): frame times come
     * from the frame count and the frame rate, and seeks land on the key frames
     * met so far while reading (the top when none lies before the target). */
    int32_t untimed_video;
    int64_t untimed_frame_index;
    /* Key frames of an untimed stream: the file position of the packet and the frame's number. */
    struct lv_untimed_key {
        int64_t pos;
        int64_t frame;
    } * untimed_keys;
    int32_t untimed_key_count;
    int32_t untimed_key_capacity;
    /* A key packet read whose frame has not come out yet; -1 when none. */
    int64_t untimed_pending_key_pos;
    /* After a seek to a key frame, its packet's position until its frame comes out; -1 when none. */
    int64_t untimed_resync_pos;
    int32_t untimed_resync_drops;
    /* Time of the last video frame delivered since the last seek, for a frame that comes without one. */
    double last_video_pts;
    int32_t last_video_pts_valid;
    /* Packets read ahead while a seek looked for its key frame, served first. */
    AVPacket** queued_packets;
    int32_t queued_head;
    int32_t queued_count;
    int32_t queued_capacity;
    /* The input had ended when a seek failed: it stays ended until a seek succeeds. */
    int32_t input_ended;
    /* Where the reading of packets has brought the input (scans that a seek follows aside). */
    lv_input_mark input_mark;
};

/* DecoderCommon.c, below every other part. Writes "what: <FFmpeg text for code>"
 * into err (when err and errLen allow). */
void lv_error(char* err, int errLen, int code, const char* what);
/* Seconds on a monotonic clock, for the statistics. */
double lv_now(void);
/* Media seconds in the video stream's ticks (0 without a time base); far-off finite times clamp
 * to +-2^62 instead of overflowing the conversion to int64_t. */
double lv_video_ticks(const lv_decoder* decoder, double seconds);

int lv_open_codec(lv_decoder* decoder, int streamIndex, AVCodecContext** outContext, int allowHardware,
                  char* err, int errLen);
/* Delivers the samples the resampler still holds. */
void lv_flush_resampler(lv_decoder* decoder);
/* Sends a packet (NULL to drain) and delivers what comes out; returns the send result. */
int lv_send_and_receive(lv_decoder* decoder, AVCodecContext* codec, const AVPacket* packet, int isVideo);
/* Drains the decoded frames of one codec context into the callbacks. */
void lv_receive(lv_decoder* decoder, AVCodecContext* codec, int isVideo);
/* Seeks the input so that decoding starts at the video key frame at or before
 * `target` (video time base, start included), stepping back when the demuxer
 * lands after it, and queues the packets read to find it. */
int lv_seek_to_key_frame(lv_decoder* decoder, int64_t target);
/* 1 when a video packet at or after `target` (or without a time) follows the
 * landing, reading and queueing up to it; 0 when the input ends first. */
int lv_video_reaches(lv_decoder* decoder, int64_t target);
/* The very first packet of the input, for a seek before the start. */
int lv_seek_to_top(lv_decoder* decoder);
/* Moves the next packet, queued or read, into decoder->packet. */
int lv_next_packet(lv_decoder* decoder);
/* Notes the result of a read from the input: where it now stands. */
void lv_mark_input(lv_decoder* decoder, int result, const AVPacket* packet);
void lv_clear_queued_packets(lv_decoder* decoder);

/* Where reading stands before a seek: the read-ahead queue, taken aside, and where the input is
 * (the mark of the last packet read from it). A seek that fails puts both back. */
typedef struct {
    AVPacket** packets;
    int32_t head, count, capacity;
    lv_input_mark mark;
} lv_read_place;
/* Takes the queue aside and notes where the input is; reads nothing. */
void lv_hold_place(lv_decoder* decoder, lv_read_place* place);
/* After a successful seek: the old queue is dropped. */
void lv_drop_place(lv_decoder* decoder, lv_read_place* place);
/* After a failed seek: the input goes back to just after the last packet read, and the queue is
 * restored. Returns 0, or negative when the place could not be found again. */
int lv_return_to_place(lv_decoder* decoder, lv_read_place* place);

/* DecoderReceive.c. Notes where the key frame `number` of an untimed stream lies, so that seeks
 * can land there (in file order; an earlier place is ignored). */
void lv_note_untimed_key(lv_decoder* decoder, int64_t pos, int64_t number);
/* DecoderSeek.c. The key frame to land on for a seek of an untimed stream to `seconds`; NULL for the top. */
const struct lv_untimed_key* lv_untimed_key_before(const lv_decoder* decoder, double seconds);

/* DecoderCues.c. The subtitle table entry of a stream, or -1. */
int lv_subtitle_track_of(const lv_decoder* decoder, int streamIndex);
/* Decodes a subtitle packet and hands its cue texts to the subtitle callback. */
void lv_read_subtitle(lv_decoder* decoder, int track, const AVPacket* packet);
/* The cues shown at `seconds`, read from a little before it; NULL for a decoder
 * without subtitles. Moves the input: a seek follows. */
typedef struct lv_cue_search lv_cue_search;
lv_cue_search* lv_find_shown_cues(lv_decoder* decoder, double seconds);
/* Hands out (when `deliver`) the cues found whose packets lie before file
 * position `resumeAt` (unknown: -1), where reading goes on, and frees them. */
void lv_deliver_shown_cues(lv_decoder* decoder, lv_cue_search* search, int deliver, int64_t resumeAt);

#endif
