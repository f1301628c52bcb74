/* Asynchronous thumbnail decoding for H.264 and HEVC streams stored with
 * length-prefixed NAL units.
 *
 * A thumbnail decoder hands its video packets to a decompression session
 * instead of decoding them one by one. The context keeps the decoded frames
 * that lie in the window of interest [target - pre-roll, inf), skips packets
 * before the window that hold only non-reference pictures, decodes other early
 * packets without output, and delivers the kept frames, oldest first, to the
 * decoder's video callback.
 *
 * Every function except lv_thumbnail_output is called on the thread that
 * reads the file; lv_thumbnail_output runs on the session's thread. Statuses
 * are 0 or a negative FFmpeg error code; AVERROR(ENOSYS) means the stream
 * gives no decode timestamps. No callback runs while the context's lock is held. */
#ifndef LUMAVANE_ASYNC_THUMBNAIL_H
#define LUMAVANE_ASYNC_THUMBNAIL_H

#include <stdint.h>

#include "MediaDecoder/MediaDecoder.h"

#ifdef __cplusplus
extern "C" {
#endif

#include <libavcodec/avcodec.h>

typedef struct lv_async_thumbnail_ctx lv_async_thumbnail_ctx;

/* NULL unless the stream is H.264 or HEVC with an avcC/hvcC record and a session can be made. */
lv_async_thumbnail_ctx* lv_async_thumbnail_create(const AVCodecParameters* parameters, AVRational timeBase);
void lv_async_thumbnail_destroy(lv_async_thumbnail_ctx* context); /* NULL allowed */
/* Before a seek: lets the session finish, drops every held frame and clears the
 * counters and the last status; target and pre-roll stay. */
void lv_async_thumbnail_reset(lv_async_thumbnail_ctx* context);
void lv_async_thumbnail_target(lv_async_thumbnail_ctx* context, double seconds);
/* Negative, -0 and NaN give 0. */
void lv_async_thumbnail_preroll(lv_async_thumbnail_ctx* context, double seconds);
/* Decodes or skips one video packet; may deliver frames through the callback. */
int lv_async_thumbnail_submit(lv_async_thumbnail_ctx* context, const AVPacket* packet, void* opaque,
                              lv_video_cb callback);
/* Waits for the session, then delivers (callback may be NULL) and releases
 * every held frame at or before the limit. After a decode error nothing is
 * delivered and the error is returned until the next reset. */
int lv_async_thumbnail_drain_until(lv_async_thumbnail_ctx* context, void* opaque, lv_video_cb callback,
                                   double limitSeconds);
/* At the end of input: lets the session emit its delayed frames and drains everything. */
int lv_async_thumbnail_finish(lv_async_thumbnail_ctx* context, void* opaque, lv_video_cb callback);

/* The session's output callback; refcon is the context. */
void lv_thumbnail_output(void* refcon, void* sourceFrameRef, int32_t status, uint32_t infoFlags,
                         lv_pixel_buffer* image, double ptsSeconds, double durationSeconds);
/* qsort comparator of held frames by ascending presentation time. */
int lv_thumbnail_compare(const void* a, const void* b);

#ifdef __cplusplus
}
#endif

#endif
