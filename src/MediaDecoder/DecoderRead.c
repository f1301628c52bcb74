/* The running half of the decoder: reading, end-of-input draining, seeking,
 * audio-track switching, thumbnail controls and statistics. */
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "MediaDecoder/DecoderInternal.h"

/* A decoder refuses a packet with EAGAIN only while it holds undelivered
 * output; the bound guards against one that never takes it. */
enum { LV_MAX_RESENDS = 16 };

static void lv_disarm_preroll(lv_decoder* decoder) {
    decoder->preroll_skip_armed = 0;
    if (decoder->video_codec)
        decoder->video_codec->skip_frame = decoder->keyframe_preview ? AVDISCARD_NONKEY : AVDISCARD_DEFAULT;
}

/* A packet refused with EAGAIN is sent again once the decoder's output has been taken. */
int lv_send_and_receive(lv_decoder* decoder, AVCodecContext* codec, const AVPacket* packet, int isVideo) {
    double start = lv_now();
    int result = avcodec_send_packet(codec, packet);
    double sent = lv_now();
    for (int attempt = 0; result == AVERROR(EAGAIN) && attempt < LV_MAX_RESENDS; attempt++) {
        lv_receive(decoder, codec, isVideo);
        result = avcodec_send_packet(codec, packet);
    }
    if (result >= 0 || result == AVERROR(EAGAIN)) lv_receive(decoder, codec, isVideo);
    if (isVideo && packet) {
        decoder->stats.submit_seconds += sent - start;
        decoder->stats.receive_seconds += lv_now() - sent;
    }
    return result;
}

/* The asynchronous path works in stream times; its frames reach the callback in media times. */
static void lv_async_frame(void* opaque, lv_pixel_buffer* frame, double pts) {
    lv_decoder* decoder = opaque;
    if (decoder->video_callback)
        decoder->video_callback(decoder->opaque, frame, pts - decoder->start_seconds);
}

static int lv_read_end(lv_decoder* decoder, char* err, int errLen) {
    if (decoder->preroll_skip_armed) {
        /* The target lies beyond the last packet: decode every frame from its key frame. */
        int result = lv_decoder_seek(decoder, err, errLen, decoder->preroll_target_seconds);
        if (result < 0) return result;
        if (decoder->preroll_skip_armed) lv_disarm_preroll(decoder);
        return 1;
    }
    if (decoder->async_thumbnail) {
        int result = lv_async_thumbnail_finish(decoder->async_thumbnail, decoder, lv_async_frame);
        return result < 0 ? result : 0;
    }
    lv_send_and_receive(decoder, decoder->video_codec, NULL, 1);
    if (decoder->audio_codec) lv_send_and_receive(decoder, decoder->audio_codec, NULL, 0);
    lv_flush_resampler(decoder);
    return 0;
}

int lv_decoder_read(lv_decoder* decoder, char* err, int errLen) {
    if (!decoder) return AVERROR(EINVAL);
    AVPacket* packet = decoder->packet;
    double start = lv_now();
    int result = lv_next_packet(decoder);
    decoder->stats.demux_seconds += lv_now() - start;
    if (result == AVERROR_EOF) return lv_read_end(decoder, err, errLen);
    if (result < 0) {
        lv_error(err, errLen, result, "read packet");
        return result;
    }

    int stream = packet->stream_index;
    if (stream == decoder->video_stream_index) {
        if (decoder->untimed_video && (packet->flags & AV_PKT_FLAG_KEY) && packet->pos >= 0)
            decoder->untimed_pending_key_pos = packet->pos;
        if (decoder->preroll_skip_armed &&
            (packet->pts == AV_NOPTS_VALUE || packet->pts >= decoder->preroll_target_timestamp))
            lv_disarm_preroll(decoder);
        if (decoder->async_thumbnail) {
            double submitted = lv_now();
            result = lv_async_thumbnail_submit(decoder->async_thumbnail, packet, decoder, lv_async_frame);
            decoder->stats.submit_seconds += lv_now() - submitted;
            if (result < 0) {
                /* Give the asynchronous path up for good and decode the same picture again here. */
                lv_async_thumbnail_destroy(decoder->async_thumbnail);
                decoder->async_thumbnail = NULL;
                av_packet_unref(packet);
                result = lv_decoder_seek(decoder, err, errLen, decoder->thumbnail_target_seconds);
                return result < 0 ? result : 1;
            }
        } else {
            result = lv_send_and_receive(decoder, decoder->video_codec, packet, 1);
        }
    } else if (stream == decoder->audio_stream_index && decoder->audio_callback && decoder->audio_codec) {
        result = lv_send_and_receive(decoder, decoder->audio_codec, packet, 0);
    } else if (decoder->subtitle_callback) {
        int track = lv_subtitle_track_of(decoder, stream);
        if (track >= 0) {
            lv_read_subtitle(decoder, track, packet);
            av_packet_unref(packet);
            return 1;
        }
    }
    av_packet_unref(packet);
    if (result >= 0 || result == AVERROR(EAGAIN) || result == AVERROR_INVALIDDATA) return 1;
    return result;
}

static int lv_preroll_skip_enabled(void) {
    const char* value = getenv("LUMAVANE_SEEK_PREROLL_SKIP");
    return !value || strcmp(value, "0") != 0;
}

int lv_decoder_seek(lv_decoder* decoder, char* err, int errLen, double seconds) {
    if (!decoder) return AVERROR(EINVAL);
    if (!isfinite(seconds)) {
        lv_error(err, errLen, AVERROR(EINVAL), "seek");
        return AVERROR(EINVAL);
    }
    int64_t target = (int64_t)lv_video_ticks(decoder, seconds);

    double start = lv_now();
    /* The cue scan and the landing move the input: a seek that fails puts it back. */
    lv_read_place place;
    lv_hold_place(decoder, &place);
    /* Cues shown at the target may lie before the key frame reading resumes from. */
    lv_cue_search* shownCues = lv_find_shown_cues(decoder, seconds);
    int result;
    const struct lv_untimed_key* key = NULL;
    if (decoder->untimed_video) {
        /* Without timestamps seeks land on a key frame read before, whose number is known, or
         * the top; frames are counted from there. */
        key = lv_untimed_key_before(decoder, seconds);
        result = av_seek_frame(decoder->format, -1, key ? key->pos : 0, AVSEEK_FLAG_BYTE);
    } else {
        result = lv_seek_to_key_frame(decoder, target);
    }
    if (result < 0) {
        lv_return_to_place(decoder, &place);
        decoder->stats.seek_seconds += lv_now() - start;
        lv_deliver_shown_cues(decoder, shownCues, 0, -1);
        lv_error(err, errLen, result, "seek");
        return result;
    }
    lv_drop_place(decoder, &place);
    decoder->input_ended = 0;
    decoder->last_video_pts_valid = 0;
    if (decoder->untimed_video) {
        decoder->input_mark = (lv_input_mark){key ? LV_INPUT_AT_BYTE : LV_INPUT_AT_TOP, 0, 0, key ? key->pos : 0,
                                              AV_NOPTS_VALUE, AV_NOPTS_VALUE};
        decoder->untimed_frame_index = key ? key->frame : 0;
        decoder->untimed_resync_pos = key ? key->pos : -1;
        decoder->untimed_resync_drops = 0;
        decoder->untimed_pending_key_pos = -1;
    }
    double sought = lv_now();
    decoder->stats.seek_seconds += sought - start;
    int64_t resumeAt = decoder->queued_count > 0 ? decoder->queued_packets[decoder->queued_head]->pos : -1;

    if (decoder->preroll_skip_armed) lv_disarm_preroll(decoder);
    if (decoder->async_thumbnail) {
        double resetting = lv_now();
        lv_async_thumbnail_reset(decoder->async_thumbnail);
        decoder->stats.reset_seconds += lv_now() - resetting;
    }
    avcodec_flush_buffers(decoder->video_codec);
    if (decoder->audio_codec) avcodec_flush_buffers(decoder->audio_codec);
    for (int i = 0; i < decoder->subtitle_track_count; i++)
        avcodec_flush_buffers(decoder->subtitle_codecs[i]);
    if (decoder->resampler) {
        swr_close(decoder->resampler);
        swr_init(decoder->resampler);
    }
    decoder->audio_clock_valid = 0;
    lv_deliver_shown_cues(decoder, shownCues, 1, resumeAt);

    enum AVCodecID codec = decoder->video_codec->codec_id;
    /* Counted frame times need every frame; key-frame preview already skips more. */
    int skip = !decoder->thumbnail_mode && !decoder->keyframe_preview && !decoder->untimed_video &&
               (codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC) && lv_preroll_skip_enabled();
    /* Past the last frame the skipping pass would only reach the end armed and decode the group
     * again. Where the video ends is known only when the file states it and no other stream runs
     * longer: otherwise the packets up to the target tell (they are queued, not read twice). */
    if (skip && decoder->video_end_seconds > 0 && seconds >= decoder->video_end_seconds) skip = 0;
    if (skip) skip = lv_video_reaches(decoder, target);
    if (skip) {
        decoder->preroll_target_timestamp = target;
        decoder->preroll_target_seconds = seconds;
        decoder->preroll_skip_armed = 1;
        decoder->video_codec->skip_frame = AVDISCARD_NONREF;
    }
    decoder->stats.reset_seconds += lv_now() - sought;
    return 0;
}

int lv_decoder_select_audio_track(lv_decoder* decoder, int index, char* err, int errLen) {
    if (!decoder || index < 0 || index >= decoder->audio_track_count) return AVERROR(EINVAL);
    if (index == decoder->selected_audio_track) return 0;
    int streamIndex = decoder->audio_stream_indices[index];
    AVCodecContext* context = NULL;
    int result = lv_open_codec(decoder, streamIndex, &context, 0, err, errLen);
    if (result < 0) return result;
    avcodec_free_context(&decoder->audio_codec);
    swr_free(&decoder->resampler);
    av_channel_layout_uninit(&decoder->resampler_layout);
    decoder->audio_codec = context;
    decoder->audio_stream_index = streamIndex;
    decoder->selected_audio_track = index;
    decoder->audio_time_base = decoder->format->streams[streamIndex]->time_base;
    decoder->audio_clock_valid = 0;
    return 0;
}

void lv_decoder_set_keyframe_preview(lv_decoder* decoder, int on) {
    if (!decoder) return;
    decoder->keyframe_preview = on ? 1 : 0;
    if (decoder->preroll_skip_armed) lv_disarm_preroll(decoder);
    if (on) {
        /* Key-frame previews always decode here. */
        lv_async_thumbnail_destroy(decoder->async_thumbnail);
        decoder->async_thumbnail = NULL;
    }
    if (decoder->video_codec) decoder->video_codec->skip_frame = on ? AVDISCARD_NONKEY : AVDISCARD_DEFAULT;
}

void lv_decoder_set_thumbnail_target(lv_decoder* decoder, double seconds) {
    if (!decoder) return;
    decoder->thumbnail_target_seconds = seconds;
    if (decoder->async_thumbnail)
        lv_async_thumbnail_target(decoder->async_thumbnail, seconds + decoder->start_seconds);
}

void lv_decoder_set_thumbnail_preroll(lv_decoder* decoder, double seconds) {
    if (decoder && decoder->async_thumbnail) lv_async_thumbnail_preroll(decoder->async_thumbnail, seconds);
}

lv_decoder_stats_t lv_decoder_stats(const lv_decoder* decoder) {
    lv_decoder_stats_t stats;
    memset(&stats, 0, sizeof stats);
    if (!decoder) return stats;
    stats = decoder->stats;
    AVIOContext* io = decoder->format ? decoder->format->pb : NULL;
    if (io) {
        stats.io_bytes_read = io->bytes_read;
        stats.io_buffer_size = io->buffer_size;
        stats.io_max_packet_size = io->max_packet_size;
    }
    return stats;
}
