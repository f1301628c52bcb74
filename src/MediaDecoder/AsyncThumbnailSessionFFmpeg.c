/* The decompression session on FFmpeg: a decoder (VAAPI when the machine has
 * a render node, else software with frame threads) fed from a queue by the
 * session's own thread, which writes each picture into a pooled 4:2:0 bi-planar
 * pixel buffer. */
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <libavutil/cpu.h>
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>

#include "MediaDecoder/AsyncThumbnailSession.h"
#include "MediaDecoder/HardwareDecoding.h"

enum {
    /* Samples whose pictures have not come out yet; the decoder holds back a few
     * for reordering, so a small ring is plenty and old entries may be overwritten. */
    LV_NOTE_CAPACITY = 256,
    LV_MAX_RESENDS = 16,
    /* Bounds a decoder that keeps failing instead of running dry. */
    LV_MAX_RECEIVE_ERRORS = 32,
    /* Every frame thread beyond the first adds one picture of delay, decoded past the
     * wanted one at the end of each request. */
    LV_MAX_FRAME_THREADS = 6
};

typedef struct lv_session_item {
    AVPacket* sample; /* NULL asks for the delayed frames, or with `discard` drops them */
    int discard;
    unsigned flags;
    void* source_frame_ref;
    struct lv_session_item* next;
} lv_session_item;

typedef struct {
    int64_t pts;
    unsigned flags;
    void* source_frame_ref;
    int used;
} lv_sample_note;

typedef struct {
    lv_decompression_session base;
    AVCodecContext* codec;
    AVBufferRef* device;
    AVFrame* frame;
    AVFrame* transfer;
    struct SwsContext* scaler;
    lv_pixel_buffer_pool* pool;
    uint32_t pixel_format;
    lv_color_attachments colors;
    AVRational time_base;
    lv_decompression_output_cb output;
    void* refcon;

    pthread_t thread;
    int thread_started;
    pthread_mutex_t mutex;
    pthread_cond_t changed;
    lv_session_item* head;
    lv_session_item* tail;
    int busy;
    int invalid;

    /* Session thread only. */
    lv_sample_note notes[LV_NOTE_CAPACITY];
    int next_note;
} lv_ffmpeg_session;

static double lv_seconds(int64_t value, AVRational timeBase) {
    if (value == AV_NOPTS_VALUE || timeBase.den == 0) return NAN;
    return (double)value * (double)timeBase.num / (double)timeBase.den;
}

/* ---- Pictures into pixel buffers ------------------------------------------ */

static int lv_is_ten_bit(uint32_t pixelFormat) {
    return pixelFormat == LV_PIXEL_FORMAT_X420 || pixelFormat == LV_PIXEL_FORMAT_XF20;
}

static void lv_copy_rows(uint8_t* dst, size_t dstStride, const uint8_t* src, int srcStride, size_t rowBytes,
                         size_t rows) {
    for (size_t y = 0; y < rows; y++) memcpy(dst + y * dstStride, src + (ptrdiff_t)y * srcStride, rowBytes);
}

/* Planar 4:2:0 into the bi-planar layout without a scaler: 8-bit samples are
 * copied, 10-bit ones moved to the high bits of their 16-bit words. */
static int lv_convert_direct(const AVFrame* frame, lv_pixel_buffer* buffer, int tenBit) {
    size_t width = (size_t)frame->width, height = (size_t)frame->height;
    size_t chromaWidth = (width + 1) / 2, chromaHeight = (height + 1) / 2;
    uint8_t* luma = lv_pixel_buffer_get_base_address_of_plane(buffer, 0);
    uint8_t* chroma = lv_pixel_buffer_get_base_address_of_plane(buffer, 1);
    size_t lumaStride = lv_pixel_buffer_get_bytes_per_row_of_plane(buffer, 0);
    size_t chromaStride = lv_pixel_buffer_get_bytes_per_row_of_plane(buffer, 1);
    enum AVPixelFormat format = frame->format;
    if (!tenBit && (format == AV_PIX_FMT_NV12)) {
        lv_copy_rows(luma, lumaStride, frame->data[0], frame->linesize[0], width, height);
        lv_copy_rows(chroma, chromaStride, frame->data[1], frame->linesize[1], chromaWidth * 2, chromaHeight);
        return 1;
    }
    if (tenBit && format == AV_PIX_FMT_P010LE) {
        lv_copy_rows(luma, lumaStride, frame->data[0], frame->linesize[0], width * 2, height);
        lv_copy_rows(chroma, chromaStride, frame->data[1], frame->linesize[1], chromaWidth * 4, chromaHeight);
        return 1;
    }
    if (!tenBit && (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P)) {
        lv_copy_rows(luma, lumaStride, frame->data[0], frame->linesize[0], width, height);
        for (size_t y = 0; y < chromaHeight; y++) {
            const uint8_t* u = frame->data[1] + (ptrdiff_t)y * frame->linesize[1];
            const uint8_t* v = frame->data[2] + (ptrdiff_t)y * frame->linesize[2];
            uint8_t* out = chroma + y * chromaStride;
            for (size_t x = 0; x < chromaWidth; x++) {
                out[2 * x] = u[x];
                out[2 * x + 1] = v[x];
            }
        }
        return 1;
    }
    if (tenBit && format == AV_PIX_FMT_YUV420P10LE) {
        for (size_t y = 0; y < height; y++) {
            const uint16_t* in = (const uint16_t*)(frame->data[0] + (ptrdiff_t)y * frame->linesize[0]);
            uint16_t* out = (uint16_t*)(luma + y * lumaStride);
            for (size_t x = 0; x < width; x++) out[x] = (uint16_t)(in[x] << 6);
        }
        for (size_t y = 0; y < chromaHeight; y++) {
            const uint16_t* u = (const uint16_t*)(frame->data[1] + (ptrdiff_t)y * frame->linesize[1]);
            const uint16_t* v = (const uint16_t*)(frame->data[2] + (ptrdiff_t)y * frame->linesize[2]);
            uint16_t* out = (uint16_t*)(chroma + y * chromaStride);
            for (size_t x = 0; x < chromaWidth; x++) {
                out[2 * x] = (uint16_t)(u[x] << 6);
                out[2 * x + 1] = (uint16_t)(v[x] << 6);
            }
        }
        return 1;
    }
    return 0;
}

/* The full-range variants of the planar formats carry the same samples; naming
 * them as limited keeps the scaler from converting the range. */
static enum AVPixelFormat lv_scaler_source_format(enum AVPixelFormat format) {
    switch (format) {
    case AV_PIX_FMT_YUVJ420P:
        return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
        return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
        return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
        return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
        return AV_PIX_FMT_YUV411P;
    default:
        return format;
    }
}

static int lv_convert_scaled(lv_ffmpeg_session* session, const AVFrame* frame, lv_pixel_buffer* buffer,
                             int tenBit) {
    enum AVPixelFormat target = tenBit ? AV_PIX_FMT_P010LE : AV_PIX_FMT_NV12;
    session->scaler = sws_getCachedContext(session->scaler, frame->width, frame->height,
                                           lv_scaler_source_format(frame->format), frame->width,
                                           frame->height, target, SWS_BILINEAR, NULL, NULL, NULL);
    if (!session->scaler) return 0;
    uint8_t* planes[4] = {lv_pixel_buffer_get_base_address_of_plane(buffer, 0),
                          lv_pixel_buffer_get_base_address_of_plane(buffer, 1), NULL, NULL};
    int strides[4] = {(int)lv_pixel_buffer_get_bytes_per_row_of_plane(buffer, 0),
                      (int)lv_pixel_buffer_get_bytes_per_row_of_plane(buffer, 1), 0, 0};
    int rows = sws_scale(session->scaler, (const uint8_t* const*)frame->data, frame->linesize, 0,
                         frame->height, planes, strides);
    return rows == frame->height;
}

/* A new buffer holding the picture, or a negative error. */
static int lv_picture_buffer(lv_ffmpeg_session* session, const AVFrame* frame, lv_pixel_buffer** out) {
    *out = NULL;
    const AVFrame* source = frame;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(frame->format);
    if (desc && (desc->flags & AV_PIX_FMT_FLAG_HWACCEL)) {
        av_frame_unref(session->transfer);
        int result =
            frame->hw_frames_ctx ? av_hwframe_transfer_data(session->transfer, frame, 0) : AVERROR(EINVAL);
        if (result < 0) return result;
        source = session->transfer;
    }
    if (source->width <= 0 || source->height <= 0) return AVERROR_INVALIDDATA;
    if (!session->pool || lv_pixel_buffer_pool_get_width(session->pool) != (size_t)source->width ||
        lv_pixel_buffer_pool_get_height(session->pool) != (size_t)source->height) {
        lv_pixel_buffer_pool_release(session->pool);
        session->pool = NULL;
        if (lv_pixel_buffer_pool_create((size_t)source->width, (size_t)source->height, session->pixel_format,
                                        &session->pool) != LV_PIXEL_BUFFER_SUCCESS) {
            session->pool = NULL;
            return AVERROR(ENOMEM);
        }
    }
    lv_pixel_buffer* buffer = NULL;
    if (lv_pixel_buffer_pool_create_buffer(session->pool, 0, &buffer) != LV_PIXEL_BUFFER_SUCCESS)
        return AVERROR(ENOMEM);
    int tenBit = lv_is_ten_bit(session->pixel_format);
    lv_pixel_buffer_lock(buffer, 0);
    int written =
        lv_convert_direct(source, buffer, tenBit) || lv_convert_scaled(session, source, buffer, tenBit);
    lv_pixel_buffer_unlock(buffer, 0);
    if (source == session->transfer) av_frame_unref(session->transfer);
    if (!written) {
        lv_pixel_buffer_release(buffer);
        return AVERROR(EINVAL);
    }
    lv_pixel_buffer_set_color(buffer, &session->colors);
    *out = buffer;
    return 0;
}

/* ---- The session thread ---------------------------------------------------- */

static void lv_note_sample(lv_ffmpeg_session* session, const AVPacket* sample, unsigned flags, void* ref) {
    if (sample->pts == AV_NOPTS_VALUE) return;
    lv_sample_note* note = &session->notes[session->next_note];
    session->next_note = (session->next_note + 1) % LV_NOTE_CAPACITY;
    *note = (lv_sample_note){sample->pts, flags, ref, 1};
}

static lv_sample_note lv_take_note(lv_ffmpeg_session* session, int64_t pts) {
    lv_sample_note none = {pts, 0, NULL, 0};
    if (pts == AV_NOPTS_VALUE) return none;
    for (int i = 0; i < LV_NOTE_CAPACITY; i++) {
        if (session->notes[i].used && session->notes[i].pts == pts) {
            lv_sample_note note = session->notes[i];
            session->notes[i].used = 0;
            return note;
        }
    }
    return none;
}

static double lv_frame_duration(const lv_ffmpeg_session* session, const AVFrame* frame) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
    int64_t duration = frame->duration;
#else
    int64_t duration = frame->pkt_duration;
#endif
    return duration >= 1 ? lv_seconds(duration, session->time_base) : NAN;
}

static void lv_emit(lv_ffmpeg_session* session, const AVFrame* frame) {
    lv_sample_note note = lv_take_note(session, frame->pts);
    double pts = lv_seconds(frame->pts, session->time_base);
    double duration = lv_frame_duration(session, frame);
    if (note.flags & LV_DECODE_DO_NOT_OUTPUT_FRAME) {
        session->output(session->refcon, note.source_frame_ref, 0,
                        LV_DECODE_INFO_ASYNCHRONOUS | LV_DECODE_INFO_FRAME_DROPPED, NULL, pts, duration);
        return;
    }
    lv_pixel_buffer* buffer = NULL;
    int status = lv_picture_buffer(session, frame, &buffer);
    session->output(session->refcon, note.source_frame_ref, status, LV_DECODE_INFO_ASYNCHRONOUS, buffer, pts,
                    duration);
    lv_pixel_buffer_release(buffer);
}

/* With frame threads a picture's error comes out ahead of the pictures the other threads still
 * hold (at the end of a cut file, out of the drain): those follow in later calls, so an error does
 * not end the loop. */
static void lv_receive_all(lv_ffmpeg_session* session) {
    int errors = 0;
    for (;;) {
        int result = avcodec_receive_frame(session->codec, session->frame);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) break;
        if (result < 0) {
            if (++errors > LV_MAX_RECEIVE_ERRORS) break;
            continue;
        }
        lv_emit(session, session->frame);
        av_frame_unref(session->frame);
    }
}

static void lv_decode_item(lv_ffmpeg_session* session, lv_session_item* item) {
    if (item->discard) {
        /* Frame threads finish the pictures they are on; nothing comes out. */
        avcodec_flush_buffers(session->codec);
        memset(session->notes, 0, sizeof session->notes);
        return;
    }
    if (!item->sample) {
        /* Drain what the decoder holds back, then make it take samples again. */
        avcodec_send_packet(session->codec, NULL);
        lv_receive_all(session);
        avcodec_flush_buffers(session->codec);
        memset(session->notes, 0, sizeof session->notes);
        return;
    }
    lv_note_sample(session, item->sample, item->flags, item->source_frame_ref);
    int result = avcodec_send_packet(session->codec, item->sample);
    for (int attempt = 0; result == AVERROR(EAGAIN) && attempt < LV_MAX_RESENDS; attempt++) {
        lv_receive_all(session);
        result = avcodec_send_packet(session->codec, item->sample);
    }
    if (result < 0 && result != AVERROR(EAGAIN)) {
        lv_take_note(session, item->sample->pts);
        session->output(session->refcon, item->source_frame_ref, result, LV_DECODE_INFO_ASYNCHRONOUS, NULL,
                        lv_seconds(item->sample->pts, session->time_base), NAN);
        return;
    }
    lv_receive_all(session);
}

static void lv_free_item(lv_session_item* item) {
    av_packet_free(&item->sample);
    free(item);
}

static void* lv_session_thread(void* argument) {
    lv_ffmpeg_session* session = argument;
    pthread_mutex_lock(&session->mutex);
    while (!session->invalid) {
        lv_session_item* item = session->head;
        if (!item) {
            pthread_cond_wait(&session->changed, &session->mutex);
            continue;
        }
        session->head = item->next;
        if (!session->head) session->tail = NULL;
        session->busy = 1;
        pthread_mutex_unlock(&session->mutex);

        lv_decode_item(session, item);
        lv_free_item(item);

        pthread_mutex_lock(&session->mutex);
        session->busy = 0;
        pthread_cond_broadcast(&session->changed);
    }
    pthread_mutex_unlock(&session->mutex);
    return NULL;
}

static void lv_free_items(lv_session_item* item) {
    while (item) {
        lv_session_item* next = item->next;
        lv_free_item(item);
        item = next;
    }
}

/* With `discard`, the samples still queued are dropped first. */
static int lv_enqueue(lv_ffmpeg_session* session, const AVPacket* sample, unsigned flags, void* ref,
                      int discard) {
    lv_session_item* item = calloc(1, sizeof *item);
    if (!item) return AVERROR(ENOMEM);
    item->discard = discard;
    item->flags = flags;
    item->source_frame_ref = ref;
    if (sample) {
        item->sample = av_packet_alloc();
        int result = item->sample ? av_packet_ref(item->sample, sample) : AVERROR(ENOMEM);
        if (result < 0) {
            lv_free_item(item);
            return result;
        }
    }
    lv_session_item* dropped = NULL;
    pthread_mutex_lock(&session->mutex);
    if (session->invalid) {
        pthread_mutex_unlock(&session->mutex);
        lv_free_item(item);
        return AVERROR(EINVAL);
    }
    if (discard) {
        dropped = session->head;
        session->head = session->tail = NULL;
    }
    if (session->tail)
        session->tail->next = item;
    else
        session->head = item;
    session->tail = item;
    pthread_cond_broadcast(&session->changed);
    pthread_mutex_unlock(&session->mutex);
    lv_free_items(dropped);
    return 0;
}

static int lv_wait(lv_decompression_session* base) {
    lv_ffmpeg_session* session = (lv_ffmpeg_session*)base;
    pthread_mutex_lock(&session->mutex);
    while (!session->invalid && (session->head || session->busy))
        pthread_cond_wait(&session->changed, &session->mutex);
    int status = session->invalid ? AVERROR(EINVAL) : 0;
    pthread_mutex_unlock(&session->mutex);
    return status;
}

static int lv_decode_frame(lv_decompression_session* base, const AVPacket* sample, unsigned flags,
                           void* ref) {
    if (!sample) return AVERROR(EINVAL);
    lv_ffmpeg_session* session = (lv_ffmpeg_session*)base;
    int result = lv_enqueue(session, sample, flags, ref, 0);
    if (result == 0 && !(flags & LV_DECODE_ENABLE_ASYNCHRONOUS_DECOMPRESSION)) result = lv_wait(base);
    return result;
}

static int lv_finish_delayed_frames(lv_decompression_session* base) {
    return lv_enqueue((lv_ffmpeg_session*)base, NULL, 0, NULL, 0);
}

static int lv_discard(lv_decompression_session* base) {
    int result = lv_enqueue((lv_ffmpeg_session*)base, NULL, 0, NULL, 1);
    return result == 0 ? lv_wait(base) : result;
}

static void lv_invalidate(lv_decompression_session* base) {
    lv_ffmpeg_session* session = (lv_ffmpeg_session*)base;
    pthread_mutex_lock(&session->mutex);
    session->invalid = 1;
    lv_session_item* item = session->head;
    session->head = session->tail = NULL;
    pthread_cond_broadcast(&session->changed);
    pthread_mutex_unlock(&session->mutex);
    lv_free_items(item);
    /* After this no output callback runs. */
    if (session->thread_started) {
        pthread_join(session->thread, NULL);
        session->thread_started = 0;
    }
}

static void lv_release(lv_decompression_session* base) {
    lv_ffmpeg_session* session = (lv_ffmpeg_session*)base;
    lv_invalidate(base);
    avcodec_free_context(&session->codec);
    av_buffer_unref(&session->device);
    av_frame_free(&session->frame);
    av_frame_free(&session->transfer);
    sws_freeContext(session->scaler);
    lv_pixel_buffer_pool_release(session->pool);
    pthread_cond_destroy(&session->changed);
    pthread_mutex_destroy(&session->mutex);
    free(session);
}

static const lv_decompression_session_class lv_ffmpeg_session_class = {
    lv_decode_frame, lv_finish_delayed_frames, lv_wait, lv_invalidate, lv_release, lv_discard,
};

/* ---- Creation --------------------------------------------------------------- */

static int lv_session_threads(void) {
    int cpus = av_cpu_count();
    return cpus < 1 ? 1 : cpus > LV_MAX_FRAME_THREADS ? LV_MAX_FRAME_THREADS : cpus;
}

static int lv_open_session_codec(lv_ffmpeg_session* session, const lv_video_format_description* format) {
    const AVCodec* codec = avcodec_find_decoder(format->is_hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (!codec) return AVERROR_DECODER_NOT_FOUND;
    session->codec = avcodec_alloc_context3(codec);
    if (!session->codec) return AVERROR(ENOMEM);
    session->codec->extradata = av_mallocz((size_t)format->extradata_size + AV_INPUT_BUFFER_PADDING_SIZE);
    if (!session->codec->extradata) return AVERROR(ENOMEM);
    memcpy(session->codec->extradata, format->extradata, (size_t)format->extradata_size);
    session->codec->extradata_size = format->extradata_size;
    session->codec->width = format->width;
    session->codec->height = format->height;
    session->codec->pkt_timebase = format->time_base;
    session->codec->color_range = format->full_range ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    lv_attach_vaapi(&session->device, session->codec, codec);
    /* In software, frame threads decode the chain of pictures from the key frame to
     * the wanted one several at a time; each holds one picture back, which a wait
     * treats like a picture held for reordering. A hardware decoder is fed from the
     * session's thread alone. */
    session->codec->thread_count = session->device ? 1 : lv_session_threads();
    session->codec->thread_type = FF_THREAD_FRAME;
    return avcodec_open2(session->codec, codec, NULL);
}

int lv_ffmpeg_decompression_session_create(const lv_video_format_description* format,
                                           const lv_destination_attributes* destination,
                                           lv_decompression_output_cb output, void* refcon,
                                           lv_decompression_session** out) {
    if (!out) return AVERROR(EINVAL);
    *out = NULL;
    if (!format || !destination || !output || !format->extradata || format->extradata_size <= 0)
        return AVERROR(EINVAL);
    uint32_t pixelFormat = destination->pixel_format;
    if (pixelFormat != LV_PIXEL_FORMAT_420V && pixelFormat != LV_PIXEL_FORMAT_420F &&
        pixelFormat != LV_PIXEL_FORMAT_X420 && pixelFormat != LV_PIXEL_FORMAT_XF20)
        return AVERROR(EINVAL);

    lv_ffmpeg_session* session = calloc(1, sizeof *session);
    if (!session) return AVERROR(ENOMEM);
    session->base.klass = &lv_ffmpeg_session_class;
    session->pixel_format = pixelFormat;
    session->colors = format->colors;
    session->time_base = format->time_base;
    session->output = output;
    session->refcon = refcon;
    if (pthread_mutex_init(&session->mutex, NULL) != 0) {
        free(session);
        return AVERROR(ENOMEM);
    }
    if (pthread_cond_init(&session->changed, NULL) != 0) {
        pthread_mutex_destroy(&session->mutex);
        free(session);
        return AVERROR(ENOMEM);
    }
    session->frame = av_frame_alloc();
    session->transfer = av_frame_alloc();
    int result =
        session->frame && session->transfer ? lv_open_session_codec(session, format) : AVERROR(ENOMEM);
    if (result >= 0) {
        result =
            pthread_create(&session->thread, NULL, lv_session_thread, session) == 0 ? 0 : AVERROR(EAGAIN);
        session->thread_started = result == 0;
    }
    if (result < 0) {
        lv_release(&session->base);
        return result;
    }
    *out = &session->base;
    return 0;
}
