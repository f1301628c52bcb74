/* Parts of the asynchronous thumbnail path that tests reach directly. */
#ifndef LUMAVANE_ASYNC_THUMBNAIL_INTERNAL_H
#define LUMAVANE_ASYNC_THUMBNAIL_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "MediaDecoder/AsyncThumbnail.h"
#include "MediaDecoder/AsyncThumbnailSession.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { LV_THUMBNAIL_HELD_CAPACITY = 64 };

typedef struct {
    lv_pixel_buffer* buffer; /* retained by the table */
    double pts;              /* seconds */
} lv_thumbnail_held_frame;

/* lv_async_thumbnail_create with another session implementation. */
lv_async_thumbnail_ctx* lv_async_thumbnail_create_with(const AVCodecParameters* parameters,
                                                       AVRational timeBase,
                                                       lv_decompression_session_factory factory);

/* 1 when a packet before the window may be left undecoded: every NAL unit is
 * harmless to skip and at least one is a non-reference slice. */
int lv_async_thumbnail_skippable(const uint8_t* data, size_t size, int nalLengthSize, int isHevc,
                                 int progressive);

/* value x timeBase in seconds, NaN for AV_NOPTS_VALUE; formed in double so that no
 * integer product can overflow. */
double lv_async_thumbnail_seconds(int64_t value, AVRational timeBase);

#ifdef __cplusplus
}
#endif

#endif
