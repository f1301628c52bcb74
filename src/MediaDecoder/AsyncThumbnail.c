/* Asynchronous thumbnail decoding: packet skipping, the held-frame table,
 * draining and delivery. The decoding itself is the session's. */
#include <math.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "MediaDecoder/AsyncThumbnailInternal.h"

enum {
    /* Without decode timestamps the session cannot tell when a picture is
     * complete; this many submissions without one give up the path. */
    LV_MAX_SUBMISSIONS_WITHOUT_DTS = 23,
    /* Waiting at least this often bounds the work queued inside the session. */
    LV_MAX_PENDING_SUBMISSIONS = 95
};

struct lv_async_thumbnail_ctx {
    lv_decompression_session* session;
    lv_video_format_description format;
    uint8_t* extradata; /* the format's configuration record; owned */
    AVRational time_base;
    pthread_mutex_t mutex;
    lv_thumbnail_held_frame held[LV_THUMBNAIL_HELD_CAPACITY];
    int32_t held_count;
    int32_t pending_submissions;
    int32_t last_status;
    /* Invalid data reported for the newest packet counts as the last status only once another
     * packet follows: a file cut short ends in a partial packet, which then costs its own picture
     * and nothing more, as on the synchronous path. The pictures out by then were decoded before
     * it. Both under the mutex. */
    double newest_pts;
    int32_t newest_status;
    int32_t saw_decode_time;
    int32_t is_hevc;
    int32_t nal_length_size;
    int32_t progressive;
    double target;
    double preroll;
    /* Tenth-of-a-second slot of the latest frame a drain took out of the table;
     * -inf after a reset. Pictures held back inside the session come out after a
     * drain, so the earliest frame of this slot may be gone already. */
    double drained_slot;
    /* The stream's colours, stamped onto every decoded buffer. */
    lv_color_attachments attachments;
};

double lv_async_thumbnail_seconds(int64_t value, AVRational timeBase) {
    if (value == AV_NOPTS_VALUE || timeBase.den == 0) return NAN;
    return (double)value * (double)timeBase.num / (double)timeBase.den;
}

static lv_color_matrix lv_matrix_of(enum AVColorSpace space) {
    switch (space) {
    case AVCOL_SPC_BT709:
        return LV_COLOR_MATRIX_BT709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
        return LV_COLOR_MATRIX_BT601;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return LV_COLOR_MATRIX_BT2020;
    default:
        return LV_COLOR_MATRIX_UNSPECIFIED;
    }
}

static lv_color_primaries lv_primaries_of(enum AVColorPrimaries primaries) {
    switch (primaries) {
    case AVCOL_PRI_BT709:
        return LV_COLOR_PRIMARIES_BT709;
    case AVCOL_PRI_SMPTE170M:
    case AVCOL_PRI_SMPTE240M:
        return LV_COLOR_PRIMARIES_BT601_525;
    case AVCOL_PRI_BT470BG:
        return LV_COLOR_PRIMARIES_BT601_625;
    case AVCOL_PRI_BT2020:
        return LV_COLOR_PRIMARIES_BT2020;
    case AVCOL_PRI_SMPTE432:
        return LV_COLOR_PRIMARIES_P3;
    default:
        return LV_COLOR_PRIMARIES_UNSPECIFIED;
    }
}

static lv_color_transfer lv_transfer_of(enum AVColorTransferCharacteristic transfer) {
    switch (transfer) {
    case AVCOL_TRC_BT709:
    case AVCOL_TRC_SMPTE170M:
    case AVCOL_TRC_BT2020_10:
    case AVCOL_TRC_BT2020_12:
        return LV_COLOR_TRANSFER_BT709;
    case AVCOL_TRC_IEC61966_2_1:
        return LV_COLOR_TRANSFER_SRGB;
    case AVCOL_TRC_SMPTE2084:
        return LV_COLOR_TRANSFER_PQ;
    case AVCOL_TRC_ARIB_STD_B67:
        return LV_COLOR_TRANSFER_HLG;
    case AVCOL_TRC_LINEAR:
        return LV_COLOR_TRANSFER_LINEAR;
    default:
        return LV_COLOR_TRANSFER_UNSPECIFIED;
    }
}

/* ---- Packet skipping ---------------------------------------------------- */

/* A picture-timing SEI (header byte 0x06 already checked): nothing but
 * payload type 1 messages, then the stop bit byte 0x80. */
static int lv_is_picture_timing_sei(const uint8_t* unit, size_t length) {
    uint8_t payload[256];
    size_t count = 0;
    int zeros = 0;
    for (size_t i = 1; i < length; i++) {
        uint8_t byte = unit[i];
        if (zeros >= 2 && byte == 0x03) {
            if (i + 1 == length || unit[i + 1] > 3) return 0;
            zeros = 0;
            continue;
        }
        payload[count++] = byte;
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    if (count == 0) return 0;
    size_t pos = 0;
    for (;;) {
        if (payload[pos] != 1) return 0;
        pos++;
        size_t size = 0;
        for (;;) {
            if (pos >= count) return 0;
            uint8_t byte = payload[pos++];
            size += byte;
            if (byte != 0xFF) break;
        }
        if (size < 1 || size > count - pos) return 0;
        pos += size;
        if (pos == count) return 0; /* no stop bit */
        if (count - pos == 1 && payload[pos] == 0x80) return 1;
    }
}

/* -1: the unit forbids skipping; 1: a non-reference slice; 0: harmless. */
static int lv_classify_h264(const uint8_t* unit, size_t length, int progressive) {
    uint8_t header = unit[0];
    if (header & 0x80) return -1;
    if (header == 0x01) return 1;
    int type = header & 0x1F;
    if (type == 9) return 0;
    if (type == 6 && header == 0x06 && progressive && length >= 4 && length <= 256 &&
        lv_is_picture_timing_sei(unit, length))
        return 0;
    return -1;
}

static int lv_classify_hevc(const uint8_t* unit) {
    if (unit[0] & 0x80) return -1;
    int layer = ((unit[0] & 0x01) << 5) | (unit[1] >> 3);
    int temporalIdPlusOne = unit[1] & 0x07;
    if (layer != 0 || temporalIdPlusOne == 0) return -1;
    int type = (unit[0] >> 1) & 0x3F;
    switch (type) {
    case 0: /* TRAIL_N */
    case 2: /* TSA_N */
    case 4: /* STSA_N */
    case 6: /* RADL_N */
    case 8: /* RASL_N */
        return 1;
    case 35: /* access unit delimiter */
        return 0;
    default:
        return -1;
    }
}

int lv_async_thumbnail_skippable(const uint8_t* data, size_t size, int nalLengthSize, int isHevc,
                                 int progressive) {
    if (!data || nalLengthSize < 1 || nalLengthSize > 4) return 0;
    size_t headerSize = isHevc ? 2 : 1;
    size_t offset = 0;
    int nonReference = 0;
    while (offset < size) {
        if (size - offset < (size_t)nalLengthSize) return 0;
        size_t length = 0;
        for (int i = 0; i < nalLengthSize; i++) length = (length << 8) | data[offset++];
        if (length > size - offset || length < headerSize) return 0;
        const uint8_t* unit = data + offset;
        int kind = isHevc ? lv_classify_hevc(unit) : lv_classify_h264(unit, length, progressive);
        if (kind < 0) return 0;
        if (kind > 0) nonReference = 1;
        offset += length;
    }
    return nonReference;
}

/* ---- Creation and teardown ---------------------------------------------- */

static void lv_release_held_locked(lv_async_thumbnail_ctx* context) {
    for (int i = 0; i < context->held_count; i++) lv_pixel_buffer_release(context->held[i].buffer);
    context->held_count = 0;
}

lv_async_thumbnail_ctx* lv_async_thumbnail_create_with(const AVCodecParameters* parameters,
                                                       AVRational timeBase,
                                                       lv_decompression_session_factory factory) {
    if (!parameters || !factory) return NULL;
    int isHevc = parameters->codec_id == AV_CODEC_ID_HEVC;
    if (parameters->codec_id != AV_CODEC_ID_H264 && !isHevc) return NULL;
    if (!parameters->extradata || parameters->extradata_size < 7 || parameters->extradata[0] != 1)
        return NULL;

    lv_async_thumbnail_ctx* context = calloc(1, sizeof *context);
    if (!context) return NULL;
    if (pthread_mutex_init(&context->mutex, NULL) != 0) {
        free(context);
        return NULL;
    }
    context->time_base = timeBase;
    context->progressive = parameters->field_order == AV_FIELD_PROGRESSIVE;
    context->is_hevc = isHevc;
    const uint8_t* extradata = parameters->extradata;
    if (!isHevc)
        context->nal_length_size = (extradata[4] & 3) + 1;
    else
        context->nal_length_size = parameters->extradata_size >= 22 ? (extradata[21] & 3) + 1 : 0;
    context->preroll = 1.3;
    context->newest_pts = NAN;
    context->drained_slot = -INFINITY;
    context->attachments.matrix = lv_matrix_of(parameters->color_space);
    context->attachments.primaries = lv_primaries_of(parameters->color_primaries);
    context->attachments.transfer = lv_transfer_of(parameters->color_trc);

    context->extradata = malloc((size_t)parameters->extradata_size);
    if (!context->extradata) {
        lv_async_thumbnail_destroy(context);
        return NULL;
    }
    memcpy(context->extradata, extradata, (size_t)parameters->extradata_size);
    int fullRange = parameters->color_range == AVCOL_RANGE_JPEG;
    lv_video_format_description* format = &context->format;
    format->is_hevc = isHevc;
    format->width = parameters->width;
    format->height = parameters->height;
    format->extradata = context->extradata;
    format->extradata_size = parameters->extradata_size;
    format->time_base = timeBase;
    format->full_range = fullRange;
    /* The format states only BT.709 colours; the rest are stamped per frame. */
    format->colors.matrix =
        parameters->color_space == AVCOL_SPC_BT709 ? LV_COLOR_MATRIX_BT709 : LV_COLOR_MATRIX_UNSPECIFIED;
    format->colors.primaries = parameters->color_primaries == AVCOL_PRI_BT709
                                   ? LV_COLOR_PRIMARIES_BT709
                                   : LV_COLOR_PRIMARIES_UNSPECIFIED;
    format->colors.transfer =
        parameters->color_trc == AVCOL_TRC_BT709 ? LV_COLOR_TRANSFER_BT709 : LV_COLOR_TRANSFER_UNSPECIFIED;
    format->colors.full_range = fullRange;

    lv_destination_attributes destination;
    if (isHevc && parameters->profile == FF_PROFILE_HEVC_MAIN_10)
        destination.pixel_format = fullRange ? LV_PIXEL_FORMAT_XF20 : LV_PIXEL_FORMAT_X420;
    else
        destination.pixel_format = fullRange ? LV_PIXEL_FORMAT_420F : LV_PIXEL_FORMAT_420V;

    if (factory(format, &destination, lv_thumbnail_output, context, &context->session) != 0 ||
        !context->session) {
        context->session = NULL;
        lv_async_thumbnail_destroy(context);
        return NULL;
    }
    return context;
}

lv_async_thumbnail_ctx* lv_async_thumbnail_create(const AVCodecParameters* parameters, AVRational timeBase) {
    return lv_async_thumbnail_create_with(parameters, timeBase, lv_ffmpeg_decompression_session_create);
}

void lv_async_thumbnail_reset(lv_async_thumbnail_ctx* context) {
    if (!context) return;
    if (context->session) lv_decompression_session_discard(context->session);
    pthread_mutex_lock(&context->mutex);
    lv_release_held_locked(context);
    context->pending_submissions = 0;
    context->last_status = 0;
    context->newest_status = 0;
    context->newest_pts = NAN;
    context->saw_decode_time = 0;
    context->drained_slot = -INFINITY;
    pthread_mutex_unlock(&context->mutex);
}

void lv_async_thumbnail_destroy(lv_async_thumbnail_ctx* context) {
    if (!context) return;
    lv_async_thumbnail_reset(context);
    if (context->session) {
        lv_decompression_session_invalidate(context->session);
        lv_decompression_session_release(context->session);
        context->session = NULL;
    }
    /* Frames that arrived while the session wound down. */
    lv_release_held_locked(context);
    free(context->extradata);
    pthread_mutex_destroy(&context->mutex);
    free(context);
}

void lv_async_thumbnail_target(lv_async_thumbnail_ctx* context, double seconds) {
    if (!context) return;
    pthread_mutex_lock(&context->mutex);
    context->target = seconds;
    pthread_mutex_unlock(&context->mutex);
}

void lv_async_thumbnail_preroll(lv_async_thumbnail_ctx* context, double seconds) {
    if (!context) return;
    /* Also turns NaN and -0 into +0. */
    double preroll = seconds > 0 ? seconds : 0.0;
    pthread_mutex_lock(&context->mutex);
    context->preroll = preroll;
    pthread_mutex_unlock(&context->mutex);
}

/* ---- Output --------------------------------------------------------------- */

int lv_thumbnail_compare(const void* a, const void* b) {
    double x = ((const lv_thumbnail_held_frame*)a)->pts;
    double y = ((const lv_thumbnail_held_frame*)b)->pts;
    return (x > y) - (x < y);
}

void lv_thumbnail_output(void* refcon, void* sourceFrameRef, int32_t status, uint32_t infoFlags,
                         lv_pixel_buffer* image, double ptsSeconds, double durationSeconds) {
    (void)sourceFrameRef;
    (void)infoFlags;
    (void)durationSeconds;
    lv_async_thumbnail_ctx* context = refcon;
    if (!context) return;
    pthread_mutex_lock(&context->mutex);
    if (status != 0) {
        if (status == AVERROR_INVALIDDATA && ptsSeconds == context->newest_pts)
            context->newest_status = status;
        else
            context->last_status = status;
        goto done;
    }
    if (!image || !isfinite(ptsSeconds)) goto done;
    double target = context->target;
    if (ptsSeconds < target - context->preroll) goto done;

    lv_pixel_buffer_set_color(image, &context->attachments);

    double slot = floor(ptsSeconds * 10);
    int far = slot != floor(target * 10) && ptsSeconds < target - 0.1;
    if (far) {
        /* One frame per tenth of a second far from the target: the earliest. */
        if (slot == context->drained_slot) goto done;
        for (int i = 0; i < context->held_count; i++) {
            if (floor(context->held[i].pts * 10) != slot) continue;
            if (ptsSeconds < context->held[i].pts) {
                lv_pixel_buffer_release(context->held[i].buffer);
                context->held[i].buffer = lv_pixel_buffer_retain(image);
                context->held[i].pts = ptsSeconds;
            }
            goto done;
        }
    }
    if (context->held_count < LV_THUMBNAIL_HELD_CAPACITY) {
        context->held[context->held_count].buffer = lv_pixel_buffer_retain(image);
        context->held[context->held_count].pts = ptsSeconds;
        context->held_count++;
        goto done;
    }
    int farthest = 0;
    double farthestDistance = fabs(context->held[0].pts - target);
    for (int i = 1; i < context->held_count; i++) {
        double distance = fabs(context->held[i].pts - target);
        if (distance > farthestDistance) {
            farthest = i;
            farthestDistance = distance;
        }
    }
    if (fabs(ptsSeconds - target) < farthestDistance) {
        lv_pixel_buffer_release(context->held[farthest].buffer);
        context->held[farthest].buffer = lv_pixel_buffer_retain(image);
        context->held[farthest].pts = ptsSeconds;
    }
done:
    pthread_mutex_unlock(&context->mutex);
}

/* ---- Submission and delivery ---------------------------------------------- */

int lv_async_thumbnail_drain_until(lv_async_thumbnail_ctx* context, void* opaque, lv_video_cb callback,
                                   double limitSeconds) {
    if (!context) return AVERROR(EINVAL);
    int waitStatus =
        context->session ? lv_decompression_session_wait_for_asynchronous_frames(context->session) : 0;

    lv_thumbnail_held_frame ready[LV_THUMBNAIL_HELD_CAPACITY];
    int readyCount = 0;
    pthread_mutex_lock(&context->mutex);
    int kept = 0;
    double latest = -INFINITY;
    for (int i = 0; i < context->held_count; i++) {
        if (context->held[i].pts <= limitSeconds) {
            ready[readyCount++] = context->held[i];
            if (context->held[i].pts > latest) latest = context->held[i].pts;
        } else {
            context->held[kept++] = context->held[i];
        }
    }
    if (readyCount > 0) context->drained_slot = floor(latest * 10);
    context->held_count = kept;
    context->pending_submissions = 0;
    int lastStatus = context->last_status;
    pthread_mutex_unlock(&context->mutex);

    qsort(ready, (size_t)readyCount, sizeof ready[0], lv_thumbnail_compare);
    int deliver = callback && waitStatus == 0 && lastStatus == 0;
    for (int i = 0; i < readyCount; i++) {
        if (deliver) callback(opaque, ready[i].buffer, ready[i].pts);
        lv_pixel_buffer_release(ready[i].buffer);
    }
    return waitStatus != 0 ? waitStatus : lastStatus;
}

int lv_async_thumbnail_finish(lv_async_thumbnail_ctx* context, void* opaque, lv_video_cb callback) {
    if (!context) return AVERROR(EINVAL);
    int status = context->session ? lv_decompression_session_finish_delayed_frames(context->session) : 0;
    int drained = lv_async_thumbnail_drain_until(context, opaque, callback, INFINITY);
    return status != 0 ? status : drained;
}

int lv_async_thumbnail_submit(lv_async_thumbnail_ctx* context, const AVPacket* packet, void* opaque,
                              lv_video_cb callback) {
    if (!context || !packet || !context->session) return AVERROR(EINVAL);
    double pts = lv_async_thumbnail_seconds(packet->pts, context->time_base);
    double dts = lv_async_thumbnail_seconds(packet->dts, context->time_base);
    /* Only this thread writes target and pre-roll, so reading them unlocked is safe here. */
    int early = isfinite(pts) && pts < context->target - context->preroll;
    if (early && context->nal_length_size != 0 && packet->size > 0 &&
        lv_async_thumbnail_skippable(packet->data, (size_t)packet->size, context->nal_length_size,
                                     context->is_hevc, context->progressive))
        return 0;

    AVPacket* sample = av_packet_alloc();
    if (!sample) return AVERROR(ENOMEM);
    int status = av_new_packet(sample, packet->size);
    if (status < 0) {
        av_packet_free(&sample);
        return status;
    }
    if (packet->size > 0) memcpy(sample->data, packet->data, (size_t)packet->size);
    if (isfinite(dts)) context->saw_decode_time = 1;
    sample->duration = packet->duration >= 1 ? packet->duration : 0;
    sample->pts = packet->pts;
    sample->dts = packet->dts;
    sample->time_base = context->time_base;

    pthread_mutex_lock(&context->mutex);
    if (context->newest_status != 0) context->last_status = context->newest_status;
    context->newest_status = 0;
    context->newest_pts = pts;
    pthread_mutex_unlock(&context->mutex);

    unsigned flags =
        LV_DECODE_ENABLE_ASYNCHRONOUS_DECOMPRESSION | (early ? LV_DECODE_DO_NOT_OUTPUT_FRAME : 0);
    status = lv_decompression_session_decode_frame(context->session, sample, flags, NULL);
    av_packet_free(&sample);
    if (status != 0) return status;

    int submitted = context->pending_submissions++;
    if (!context->saw_decode_time && submitted >= LV_MAX_SUBMISSIONS_WITHOUT_DTS) return AVERROR(ENOSYS);
    if (isfinite(dts) && dts >= context->target)
        return lv_async_thumbnail_drain_until(context, opaque, callback, dts);
    if (submitted >= LV_MAX_PENDING_SUBMISSIONS) {
        status = lv_decompression_session_wait_for_asynchronous_frames(context->session);
        context->pending_submissions = 0;
        return status;
    }
    return 0;
}
