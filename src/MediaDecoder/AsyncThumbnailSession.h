/* A decompression session: decodes length-prefixed H.264 or HEVC samples
 * asynchronously and hands each picture to an output callback on the
 * session's own thread, as a 4:2:0 bi-planar pixel buffer.
 *
 * The asynchronous thumbnail path is written against this small interface;
 * lv_ffmpeg_decompression_session_create implements it with FFmpeg's decoders.
 * Statuses are 0 or a negative FFmpeg error code. C only. */
#ifndef LUMAVANE_ASYNC_THUMBNAIL_SESSION_H
#define LUMAVANE_ASYNC_THUMBNAIL_SESSION_H

#include <stddef.h>
#include <stdint.h>

#include "Platform/Video/PixelBuffer.h"

#ifdef __cplusplus
extern "C" {
#endif

#include <libavcodec/avcodec.h>

/* Decode flags. */
enum { LV_DECODE_ENABLE_ASYNCHRONOUS_DECOMPRESSION = 1, LV_DECODE_DO_NOT_OUTPUT_FRAME = 2 };

/* Output info flags. */
enum { LV_DECODE_INFO_ASYNCHRONOUS = 1, LV_DECODE_INFO_FRAME_DROPPED = 2 };

/* What the session decodes: the stream's codec, size and configuration record,
 * and the colours stated for it. */
typedef struct {
    int is_hevc;
    int width;
    int height;
    const uint8_t* extradata; /* the avcC or hvcC record, borrowed for the create call */
    int extradata_size;
    AVRational time_base; /* of every sample timestamp */
    int full_range;
    lv_color_attachments colors; /* stamped onto every output buffer */
} lv_video_format_description;

/* The buffers the session writes into. */
typedef struct {
    uint32_t pixel_format; /* '420v', '420f', 'x420' or 'xf20' */
} lv_destination_attributes;

/* Called on the session's thread, once per decoded sample: with the picture,
 * or with a nonzero status, or without an image and FRAME_DROPPED when the
 * sample was decoded with DO_NOT_OUTPUT_FRAME. The image is lent for the call.
 * ptsSeconds and durationSeconds are NaN when unknown. */
typedef void (*lv_decompression_output_cb)(void* refcon, void* sourceFrameRef, int32_t status,
                                           uint32_t infoFlags, lv_pixel_buffer* image, double ptsSeconds,
                                           double durationSeconds);

typedef struct lv_decompression_session lv_decompression_session;

typedef struct {
    /* Takes a reference to the sample (data, pts, dts and duration in the
     * description's time base; AV_NOPTS_VALUE and duration 0 mean unknown). */
    int (*decode_frame)(lv_decompression_session* session, const AVPacket* sample, unsigned flags,
                        void* sourceFrameRef);
    /* Lets the decoder emit the frames it holds back: for reordering, and in a
     * decoder with frame threads one more per thread. */
    int (*finish_delayed_frames)(lv_decompression_session* session);
    /* Returns once the decoder has taken every sample handed over so far and every
     * picture it does not hold back has reached the output callback. */
    int (*wait_for_asynchronous_frames)(lv_decompression_session* session);
    /* Stops the session for good; later calls fail and no callback follows. */
    void (*invalidate)(lv_decompression_session* session);
    void (*release)(lv_decompression_session* session);
    /* May be NULL. Drops the samples not decoded yet and the pictures the decoder
     * holds back, without output, and returns once the decoder takes samples
     * from a key frame again. */
    int (*discard)(lv_decompression_session* session);
} lv_decompression_session_class;

struct lv_decompression_session {
    const lv_decompression_session_class* klass;
};

typedef int (*lv_decompression_session_factory)(const lv_video_format_description* format,
                                                const lv_destination_attributes* destination,
                                                lv_decompression_output_cb output, void* refcon,
                                                lv_decompression_session** out);

static inline int lv_decompression_session_decode_frame(lv_decompression_session* session,
                                                        const AVPacket* sample, unsigned flags,
                                                        void* sourceFrameRef) {
    return session->klass->decode_frame(session, sample, flags, sourceFrameRef);
}
static inline int lv_decompression_session_finish_delayed_frames(lv_decompression_session* session) {
    return session->klass->finish_delayed_frames(session);
}
static inline int lv_decompression_session_wait_for_asynchronous_frames(lv_decompression_session* session) {
    return session->klass->wait_for_asynchronous_frames(session);
}
static inline void lv_decompression_session_invalidate(lv_decompression_session* session) {
    session->klass->invalidate(session);
}
/* Where the session cannot discard, its held-back pictures are finished and waited for. */
static inline int lv_decompression_session_discard(lv_decompression_session* session) {
    if (session->klass->discard) return session->klass->discard(session);
    int finished = session->klass->finish_delayed_frames(session);
    int waited = session->klass->wait_for_asynchronous_frames(session);
    return finished != 0 ? finished : waited;
}
static inline void lv_decompression_session_release(lv_decompression_session* session) {
    if (session) session->klass->release(session);
}

/* Decodes through a VAAPI device when the machine has a render node that
 * opens, otherwise in software with frame threads; either way fed from, and
 * calling back on, the session's own thread.
 * Fails when FFmpeg has no decoder or the configuration record does not open. */
int lv_ffmpeg_decompression_session_create(const lv_video_format_description* format,
                                           const lv_destination_attributes* destination,
                                           lv_decompression_output_cb output, void* refcon,
                                           lv_decompression_session** out);

#ifdef __cplusplus
}
#endif

#endif
