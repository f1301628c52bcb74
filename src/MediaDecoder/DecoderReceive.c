/* Turning decoded frames into callbacks: video to BGRA pixel buffers, audio to
 * interleaved float stereo at 48000 Hz. */
#include <math.h>

#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>

#include "MediaDecoder/DecoderInternal.h"

enum { LV_OUTPUT_RATE = 48000, LV_MAX_LEADING_PICTURES = 16 };

static int lv_frame_pixel_range(const AVFrame* frame) {
    switch (frame->format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
        return 1;
    default:
        return frame->color_range == AVCOL_RANGE_JPEG;
    }
}

/* The cached scaler for this frame, or NULL. The colour matrix and range follow
 * the frame's tags, so BT.709 pictures are not converted with BT.601 weights. */
static struct SwsContext* lv_scaler_for(lv_decoder* decoder, const AVFrame* frame) {
    int rebuilt = !decoder->scaler || frame->width != decoder->scaler_width ||
                  frame->height != decoder->scaler_height || frame->format != decoder->scaler_format;
    if (rebuilt) {
        decoder->scaler =
            sws_getCachedContext(decoder->scaler, frame->width, frame->height, frame->format, frame->width,
                                 frame->height, AV_PIX_FMT_BGRA, SWS_BILINEAR, NULL, NULL, NULL);
        if (!decoder->scaler) return NULL;
        decoder->scaler_width = frame->width;
        decoder->scaler_height = frame->height;
        decoder->scaler_format = frame->format;
    }
    int colorspace = frame->colorspace;
    int range = lv_frame_pixel_range(frame);
    if (rebuilt || colorspace != decoder->scaler_colorspace || range != decoder->scaler_range) {
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(frame->format);
        if (desc && !(desc->flags & AV_PIX_FMT_FLAG_RGB)) {
            sws_setColorspaceDetails(decoder->scaler, sws_getCoefficients(colorspace), range,
                                     sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
        }
        decoder->scaler_colorspace = colorspace;
        decoder->scaler_range = range;
    }
    return decoder->scaler;
}

static lv_pixel_buffer* lv_take_bgra_buffer(lv_decoder* decoder, int width, int height) {
    if (!decoder->bgra_pool || decoder->pool_width != width || decoder->pool_height != height) {
        lv_pixel_buffer_pool_release(decoder->bgra_pool);
        decoder->bgra_pool = NULL;
        if (lv_pixel_buffer_pool_create((size_t)width, (size_t)height, LV_PIXEL_FORMAT_32BGRA,
                                        &decoder->bgra_pool) != LV_PIXEL_BUFFER_SUCCESS) {
            decoder->bgra_pool = NULL;
            return NULL;
        }
        decoder->pool_width = width;
        decoder->pool_height = height;
    }
    lv_pixel_buffer* buffer = NULL;
    if (lv_pixel_buffer_pool_create_buffer(decoder->bgra_pool, 0, &buffer) != LV_PIXEL_BUFFER_SUCCESS)
        return NULL;
    return buffer;
}

/* Converts a software frame into a new BGRA buffer; NULL when any step fails,
 * so that an unwritten buffer is never handed out. */
static lv_pixel_buffer* lv_convert_to_bgra(lv_decoder* decoder, const AVFrame* frame) {
    if (frame->width <= 0 || frame->height <= 0) return NULL;
    struct SwsContext* scaler = lv_scaler_for(decoder, frame);
    if (!scaler) return NULL;
    lv_pixel_buffer* buffer = lv_take_bgra_buffer(decoder, frame->width, frame->height);
    if (!buffer) return NULL;
    lv_pixel_buffer_lock(buffer, 0);
    uint8_t* planes[4] = {lv_pixel_buffer_get_base_address(buffer), NULL, NULL, NULL};
    int strides[4] = {(int)lv_pixel_buffer_get_bytes_per_row(buffer), 0, 0, 0};
    int rows = sws_scale(scaler, (const uint8_t* const*)frame->data, frame->linesize, 0, frame->height,
                         planes, strides);
    lv_pixel_buffer_unlock(buffer, 0);
    if (rows != frame->height) {
        lv_pixel_buffer_release(buffer);
        return NULL;
    }
    return buffer;
}

void lv_note_untimed_key(lv_decoder* decoder, int64_t pos, int64_t number) {
    if (decoder->untimed_key_count > 0 && decoder->untimed_keys[decoder->untimed_key_count - 1].pos >= pos)
        return;
    if (decoder->untimed_key_count == decoder->untimed_key_capacity) {
        int capacity = decoder->untimed_key_capacity ? decoder->untimed_key_capacity * 2 : 64;
        struct lv_untimed_key* grown =
            av_realloc_array(decoder->untimed_keys, (size_t)capacity, sizeof *grown);
        if (!grown) return;
        decoder->untimed_keys = grown;
        decoder->untimed_key_capacity = capacity;
    }
    decoder->untimed_keys[decoder->untimed_key_count++] = (struct lv_untimed_key){pos, number};
}

/* 0 for a frame of an untimed stream that comes out before the key frame a seek landed on (a
 * leading picture, which refers to frames before the landing): it is dropped uncounted. */
static int lv_number_untimed_frame(lv_decoder* decoder, const AVFrame* frame) {
    if (decoder->untimed_resync_pos >= 0) {
        /* A key frame that never comes out (damaged) ends the wait after a reordering's worth. */
        if (frame->pkt_pos >= 0 && frame->pkt_pos != decoder->untimed_resync_pos &&
            decoder->untimed_resync_drops++ < LV_MAX_LEADING_PICTURES)
            return 0;
        decoder->untimed_resync_pos = -1;
    }
    if (frame->pkt_pos >= 0 && frame->pkt_pos == decoder->untimed_pending_key_pos) {
        lv_note_untimed_key(decoder, frame->pkt_pos, decoder->untimed_frame_index);
        decoder->untimed_pending_key_pos = -1;
    }
    return 1;
}

int lv_deliver_video_frame(lv_decoder* decoder, AVFrame* frame) {
    if (!decoder || !frame || !decoder->video_callback) return 0;
    if (decoder->untimed_video && !lv_number_untimed_frame(decoder, frame)) return 0;
    /* Frames of an untimed stream are numbered whether or not they can be delivered. */
    int64_t index = decoder->untimed_frame_index++;
    const AVFrame* source = frame;
    int hardware = 0;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(frame->format);
    if (desc && (desc->flags & AV_PIX_FMT_FLAG_HWACCEL)) {
        /* Hardware surfaces come down into memory and take the software road from there. */
        av_frame_unref(decoder->transfer_frame);
        if (!frame->hw_frames_ctx || av_hwframe_transfer_data(decoder->transfer_frame, frame, 0) < 0) {
            decoder->stats.dropped_frames++;
            return 0;
        }
        av_frame_copy_props(decoder->transfer_frame, frame);
        source = decoder->transfer_frame;
        hardware = 1;
    }
    lv_pixel_buffer* buffer = lv_convert_to_bgra(decoder, source);
    if (hardware) av_frame_unref(decoder->transfer_frame);
    if (!buffer) {
        decoder->stats.dropped_frames++;
        return 0;
    }
    if (hardware)
        decoder->stats.hardware_frames++;
    else
        decoder->stats.software_frames++;
    double pts = 0;
    if (decoder->untimed_video && decoder->frame_rate > 0)
        pts = (double)index / decoder->frame_rate;
    else if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
        pts =
            av_q2d(decoder->video_time_base) * (double)frame->best_effort_timestamp - decoder->start_seconds;
    else if (decoder->last_video_pts_valid)
        /* The last frames held back by reordering may come without a time (AVI): one frame on. */
        pts = decoder->last_video_pts +
              (decoder->frame_rate > 0 ? 1.0 / decoder->frame_rate
                                       : av_q2d(decoder->video_time_base) * (double)frame->pkt_duration);
    decoder->last_video_pts = pts;
    decoder->last_video_pts_valid = 1;
    decoder->video_callback(decoder->opaque, buffer, pts);
    lv_pixel_buffer_release(buffer);
    return 1;
}

static float* lv_audio_room(lv_decoder* decoder, int frames) {
    if (frames > decoder->audio_buffer_frames) {
        float* room = av_realloc_array(decoder->audio_buffer, (size_t)frames, 2 * sizeof(float));
        if (!room) return NULL;
        decoder->audio_buffer = room;
        decoder->audio_buffer_frames = frames;
    }
    return decoder->audio_buffer;
}

static void lv_emit_audio(lv_decoder* decoder, const float* samples, int count) {
    decoder->audio_callback(decoder->opaque, samples, count, 2, LV_OUTPUT_RATE, decoder->audio_clock);
    decoder->audio_clock += count / (double)LV_OUTPUT_RATE;
}

/* Delivers what the resampler still holds; used before it is rebuilt and at end of input. */
void lv_flush_resampler(lv_decoder* decoder) {
    if (!decoder->resampler || !decoder->audio_clock_valid || !decoder->audio_callback) return;
    float* room = lv_audio_room(decoder, 4096);
    if (!room) return;
    for (;;) {
        uint8_t* out[1] = {(uint8_t*)room};
        int count = swr_convert(decoder->resampler, out, 4096, NULL, 0);
        if (count <= 0) break;
        lv_emit_audio(decoder, room, count);
    }
}

static int lv_prepare_resampler(lv_decoder* decoder, const AVFrame* frame, AVChannelLayout* layout) {
    if (decoder->resampler &&
        (av_channel_layout_compare(layout, &decoder->resampler_layout) != 0 ||
         frame->format != decoder->resampler_format || frame->sample_rate != decoder->resampler_rate)) {
        lv_flush_resampler(decoder);
        swr_free(&decoder->resampler);
        av_channel_layout_uninit(&decoder->resampler_layout);
    }
    if (decoder->resampler) return 0;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    int result = swr_alloc_set_opts2(&decoder->resampler, &stereo, AV_SAMPLE_FMT_FLT, LV_OUTPUT_RATE, layout,
                                     frame->format, frame->sample_rate, 0, NULL);
    if (result >= 0) result = swr_init(decoder->resampler);
    if (result >= 0) result = av_channel_layout_copy(&decoder->resampler_layout, layout);
    if (result < 0) {
        swr_free(&decoder->resampler);
        av_channel_layout_uninit(&decoder->resampler_layout);
        return result;
    }
    decoder->resampler_format = frame->format;
    decoder->resampler_rate = frame->sample_rate;
    return 0;
}

void lv_deliver_audio_frame(lv_decoder* decoder, AVFrame* frame) {
    if (!decoder || !frame || !decoder->audio_callback) return;
    if (frame->sample_rate <= 0 || frame->nb_samples <= 0 || frame->ch_layout.nb_channels <= 0) return;
    AVChannelLayout layout = {0};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&layout, frame->ch_layout.nb_channels);
    else if (av_channel_layout_copy(&layout, &frame->ch_layout) < 0)
        return;
    int result = lv_prepare_resampler(decoder, frame, &layout);
    av_channel_layout_uninit(&layout);
    if (result < 0) return;

    int64_t timestamp = frame->best_effort_timestamp;
    double frameTime = (timestamp != AV_NOPTS_VALUE
                            ? av_q2d(decoder->audio_time_base) * (double)timestamp - decoder->start_seconds
                            : 0) -
                       (double)swr_get_delay(decoder->resampler, frame->sample_rate) / frame->sample_rate;
    if (!decoder->audio_clock_valid ||
        (timestamp != AV_NOPTS_VALUE && fabs(frameTime - decoder->audio_clock) > 0.05)) {
        decoder->audio_clock = frameTime;
    }
    decoder->audio_clock_valid = 1;

    int room = swr_get_out_samples(decoder->resampler, frame->nb_samples);
    if (room <= 0) return;
    float* samples = lv_audio_room(decoder, room);
    if (!samples) return;
    uint8_t* out[1] = {(uint8_t*)samples};
    int count =
        swr_convert(decoder->resampler, out, room, (const uint8_t**)frame->extended_data, frame->nb_samples);
    if (count > 0) lv_emit_audio(decoder, samples, count);
}

/* A damaged packet surfaces as an error of the receive call; with frame threads
 * the frames behind it are still to come, so the drain goes on past a bounded
 * number of such errors. */
enum { LV_MAX_RECEIVE_ERRORS = 32 };

void lv_receive(lv_decoder* decoder, AVCodecContext* codec, int isVideo) {
    int errors = 0;
    for (;;) {
        int result = avcodec_receive_frame(codec, decoder->frame);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) break;
        if (result < 0) {
            if (++errors > LV_MAX_RECEIVE_ERRORS) break;
            continue;
        }
        if (isVideo)
            lv_deliver_video_frame(decoder, decoder->frame);
        else
            lv_deliver_audio_frame(decoder, decoder->frame);
        av_frame_unref(decoder->frame);
    }
}
