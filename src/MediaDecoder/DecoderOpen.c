/* Opening and closing a decoder: input, stream choice, track tables, accessors, destruction. */
#define _GNU_SOURCE
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <libavutil/display.h>

#include "MediaDecoder/DecoderInternal.h"

int lv_is_network_volume_type(long fsType) {
    switch ((uint32_t)fsType) {
    case 0x6969u:     /* NFS */
    case 0x517Bu:     /* SMB */
    case 0xFF534D42u: /* CIFS */
    case 0xFE534D42u: /* SMB2 */
    case 0x65735546u: /* FUSE */
    case 0x00C36400u: /* Ceph */
    case 0x01021997u: /* 9P */
    case 0x5346414Fu: /* AFS */
    case 0x6B414653u: /* kAFS */
        return 1;
    default:
        return 0;
    }
}

static int lv_network_source(const char* path) {
    if (!path || !*path) return 0;
    const char* protocol = avio_find_protocol_name(path);
    if (!protocol || strcmp(protocol, "file") != 0) return 0;
    const char* fsPath = strncmp(path, "file:", 5) == 0 ? path + 5 : path;
    struct statfs info;
    if (statfs(fsPath, &info) != 0) return 0;
    return lv_is_network_volume_type((long)info.f_type);
}

static int lv_interrupt_callback(void* opaque) {
    lv_decoder* decoder = opaque;
    return atomic_load_explicit(&decoder->interrupt_requested, memory_order_relaxed);
}

static int lv_open_input(lv_decoder* decoder, const char* path, AVDictionary** options) {
    AVFormatContext* format = avformat_alloc_context();
    if (!format) return AVERROR(ENOMEM);
    format->interrupt_callback.callback = lv_interrupt_callback;
    format->interrupt_callback.opaque = decoder;
    int result = avformat_open_input(&format, path, NULL, options); /* frees format on failure */
    if (result >= 0) decoder->format = format;
    return result;
}

static char* lv_tag_copy(AVDictionary* metadata, const char* key, const char* fallback) {
    AVDictionaryEntry* entry = av_dict_get(metadata, key, NULL, 0);
    return av_strdup(entry && entry->value ? entry->value : fallback);
}

static int lv_build_audio_table(lv_decoder* decoder, int preferredAudio) {
    AVFormatContext* format = decoder->format;
    int count = 0;
    for (unsigned i = 0; i < format->nb_streams; i++) {
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) count++;
    }
    if (count == 0) return 0;
    decoder->audio_stream_indices = av_calloc((size_t)count, sizeof(int32_t));
    decoder->audio_titles = av_calloc((size_t)count, sizeof(char*));
    decoder->audio_languages = av_calloc((size_t)count, sizeof(char*));
    decoder->audio_default_flags = av_calloc((size_t)count, sizeof(int32_t));
    if (!decoder->audio_stream_indices || !decoder->audio_titles || !decoder->audio_languages ||
        !decoder->audio_default_flags)
        return AVERROR(ENOMEM);
    for (unsigned i = 0; i < format->nb_streams; i++) {
        AVStream* stream = format->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        int n = decoder->audio_track_count++;
        decoder->audio_stream_indices[n] = (int32_t)i;
        decoder->audio_titles[n] = lv_tag_copy(stream->metadata, "title", "");
        decoder->audio_languages[n] = lv_tag_copy(stream->metadata, "language", "und");
        decoder->audio_default_flags[n] = (stream->disposition & AV_DISPOSITION_DEFAULT) ? 1 : 0;
        if (!decoder->audio_titles[n] || !decoder->audio_languages[n]) return AVERROR(ENOMEM);
        if ((int)i == preferredAudio) decoder->selected_audio_track = n;
    }
    return 0;
}

static int lv_build_subtitle_table(lv_decoder* decoder) {
    AVFormatContext* format = decoder->format;
    int count = 0;
    for (unsigned i = 0; i < format->nb_streams; i++) {
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) count++;
    }
    if (count == 0) return 0;
    decoder->subtitle_codecs = av_calloc((size_t)count, sizeof(AVCodecContext*));
    decoder->subtitle_stream_indices = av_calloc((size_t)count, sizeof(int32_t));
    decoder->subtitle_time_bases = av_calloc((size_t)count, sizeof(AVRational));
    decoder->subtitle_titles = av_calloc((size_t)count, sizeof(char*));
    decoder->subtitle_languages = av_calloc((size_t)count, sizeof(char*));
    decoder->subtitle_default_flags = av_calloc((size_t)count, sizeof(int32_t));
    if (!decoder->subtitle_codecs || !decoder->subtitle_stream_indices || !decoder->subtitle_time_bases ||
        !decoder->subtitle_titles || !decoder->subtitle_languages || !decoder->subtitle_default_flags)
        return AVERROR(ENOMEM);
    for (unsigned i = 0; i < format->nb_streams; i++) {
        AVStream* stream = format->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE) continue;
        AVCodecContext* context = NULL;
        if (lv_open_codec(decoder, (int)i, &context, 0, NULL, 0) < 0) continue;
        int n = decoder->subtitle_track_count++;
        decoder->subtitle_codecs[n] = context;
        decoder->subtitle_stream_indices[n] = (int32_t)i;
        decoder->subtitle_time_bases[n] = stream->time_base;
        decoder->subtitle_titles[n] = lv_tag_copy(stream->metadata, "title", "");
        decoder->subtitle_languages[n] = lv_tag_copy(stream->metadata, "language", "und");
        decoder->subtitle_default_flags[n] = (stream->disposition & AV_DISPOSITION_DEFAULT) ? 1 : 0;
        if (!decoder->subtitle_titles[n] || !decoder->subtitle_languages[n]) return AVERROR(ENOMEM);
    }
    return 0;
}

/* An H.264 access unit with an IDR picture: no picture after it in decoding order comes out
 * before it, so its number in the stream is its number on screen. */
static int lv_is_h264_idr(const lv_decoder* decoder, const AVPacket* packet) {
    if (decoder->video_codec->codec_id != AV_CODEC_ID_H264 || !(packet->flags & AV_PKT_FLAG_KEY) ||
        packet->pos < 0)
        return 0;
    for (int i = 0; i + 3 < packet->size; i++) {
        const uint8_t* p = packet->data + i;
        if (p[0] == 0 && p[1] == 0 && p[2] == 1 && (p[3] & 0x1f) == 5) return 1;
    }
    return 0;
}

/* Counts the frames of a stream without timestamps from the top: all of them in a file of up to
 * 64 MB (the packets are only split, not decoded), so that the last frame lies within the length;
 * beyond that the length is scaled from the bytes counted. H.264 IDR pictures met on the way are
 * noted for seeks. */
static double lv_untimed_duration(lv_decoder* decoder) {
    enum { LV_COUNTED_BYTES = 64 << 20 };
    if (decoder->frame_rate <= 0) return 0;
    AVPacket* packet = decoder->packet;
    int64_t frames = 0;
    int64_t bytes = 0;
    int ended = 0;
    while (bytes < LV_COUNTED_BYTES) {
        int result = av_read_frame(decoder->format, packet);
        if (result < 0) {
            ended = 1;
            break;
        }
        if (packet->stream_index == decoder->video_stream_index) {
            if (lv_is_h264_idr(decoder, packet)) lv_note_untimed_key(decoder, packet->pos, frames);
            frames++;
            bytes += packet->size;
        }
        av_packet_unref(packet);
    }
    av_seek_frame(decoder->format, -1, 0, AVSEEK_FLAG_BYTE);
    double counted = (double)frames / decoder->frame_rate;
    if (ended || bytes <= 0) return counted;
    int64_t size = decoder->format->pb ? avio_size(decoder->format->pb) : -1;
    return size > bytes ? counted * (double)size / (double)bytes : counted;
}

/* The length of media whose container states none (Matroska written to a pipe): the latest end of
 * a video or audio packet near the end of the file, counted from the start; 0 when the input
 * cannot be read there. Leaves the input at the top. */
static double lv_tail_duration(lv_decoder* decoder) {
    enum { LV_TAIL_BYTES = 256 << 10, LV_MAX_TAIL_BYTES = 16 << 20 };
    AVFormatContext* format = decoder->format;
    if (!format->pb || !(format->pb->seekable & AVIO_SEEKABLE_NORMAL) ||
        (format->iformat->flags & AVFMT_NO_BYTE_SEEK))
        return 0;
    int64_t size = avio_size(format->pb);
    if (size <= 0) return 0;
    double end = -INFINITY;
    AVPacket* packet = decoder->packet;
    for (int64_t back = LV_TAIL_BYTES; end == -INFINITY && back <= LV_MAX_TAIL_BYTES; back *= 4) {
        int64_t from = size > back ? size - back : 0;
        if (av_seek_frame(format, -1, from, AVSEEK_FLAG_BYTE) < 0) break;
        while (av_read_frame(format, packet) >= 0) {
            const AVStream* stream = format->streams[packet->stream_index];
            enum AVMediaType type = stream->codecpar->codec_type;
            int64_t stamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if ((type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO) && stamp != AV_NOPTS_VALUE &&
                !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
                double packetEnd = (double)(stamp + FFMAX(packet->duration, 0)) * av_q2d(stream->time_base);
                if (packetEnd > end) end = packetEnd;
            }
            av_packet_unref(packet);
        }
        if (from == 0) break;
    }
    lv_seek_to_top(decoder);
    return end > decoder->start_seconds ? end - decoder->start_seconds : 0;
}

/* Makes the start of the media, as FFmpeg states it, media time 0: a late start,
 * and an early one (negative, or the time before a transport stream's 33-bit
 * clock wraps, which FFmpeg gives as negative). Earlier timestamps, as codec
 * delay writes them, are left alone. Untimed streams get a duration. */
static void lv_set_time_origin(lv_decoder* decoder, const AVStream* videoStream) {
    const AVFormatContext* format = decoder->format;
    int64_t start = format->start_time;
    if (start == AV_NOPTS_VALUE && videoStream->start_time != AV_NOPTS_VALUE)
        start = av_rescale_q(videoStream->start_time, videoStream->time_base, AV_TIME_BASE_Q);
    decoder->start_seconds = start != AV_NOPTS_VALUE ? (double)start / 1000000.0 : 0;
    if (decoder->start_seconds != 0) {
        /* The container's duration may count from timestamp 0 (MP4 and Matroska do, MPEG-TS does
         * not): the media lasts from the start to the latest end a video or audio stream states
         * (FFmpeg fills others' from the container's duration). */
        double end = -INFINITY;
        for (unsigned i = 0; i < format->nb_streams; i++) {
            const AVStream* stream = format->streams[i];
            enum AVMediaType type = stream->codecpar->codec_type;
            if ((type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) ||
                stream->start_time == AV_NOPTS_VALUE || stream->duration <= 0 ||
                (stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
                continue;
            double streamEnd = (double)(stream->start_time + stream->duration) * av_q2d(stream->time_base);
            if (streamEnd > end) end = streamEnd;
        }
        if (end > decoder->start_seconds)
            decoder->duration = end - decoder->start_seconds;
        else if (decoder->start_seconds > 0 && strstr(format->iformat->name, "matroska") &&
                 decoder->duration > decoder->start_seconds)
            decoder->duration -= decoder->start_seconds;
    }

    decoder->untimed_video =
        videoStream->start_time == AV_NOPTS_VALUE && format->start_time == AV_NOPTS_VALUE;
    decoder->untimed_pending_key_pos = -1;
    decoder->untimed_resync_pos = -1;
    if (decoder->untimed_video && decoder->duration <= 0) decoder->duration = lv_untimed_duration(decoder);
    if (!decoder->untimed_video && decoder->duration <= 0) decoder->duration = lv_tail_duration(decoder);

    double frame = decoder->frame_rate > 0 ? 1.0 / decoder->frame_rate : 0;
    double videoEnd = decoder->duration;
    if (!decoder->untimed_video && videoStream->duration > 0 && videoStream->start_time != AV_NOPTS_VALUE)
        videoEnd =
            (double)(videoStream->start_time + videoStream->duration) * av_q2d(videoStream->time_base) -
            decoder->start_seconds;
    decoder->video_end_seconds = videoEnd > frame ? videoEnd - frame : 0;
}

static lv_decoder* lv_decoder_create_internal(const char* path, void* opaque, lv_video_cb video,
                                              lv_audio_cb audio, lv_subtitle_cb subtitle, char* err,
                                              int errLen, int thumbnailMode) {
    lv_decoder* decoder = av_mallocz(sizeof *decoder);
    if (!decoder) return NULL;
    decoder->thumbnail_mode = thumbnailMode;
    decoder->video_stream_index = -1;
    decoder->audio_stream_index = -1;
    decoder->selected_audio_track = -1;
    decoder->opaque = opaque;
    decoder->video_callback = video;
    decoder->audio_callback = audio;
    decoder->subtitle_callback = subtitle;
    atomic_init(&decoder->interrupt_requested, 0);
    decoder->scaler_colorspace = -1;
    decoder->scaler_range = -1;

    if (!path) path = "";
    AVDictionary* options = NULL;
    decoder->stats.network_source = lv_network_source(path);
    if (decoder->stats.network_source) {
        const char* bytes = getenv("LUMAVANE_NETWORK_READ_BUFFER_BYTES");
        if (bytes && (!strcmp(bytes, "32768") || !strcmp(bytes, "262144") || !strcmp(bytes, "1048576")))
            av_dict_set_int(&options, "pkt_size", strtol(bytes, NULL, 10), 0);
    }
    int hadOptions = options != NULL;
    int result = lv_open_input(decoder, path, hadOptions ? &options : NULL);
    av_dict_free(&options);
    if (hadOptions && result == AVERROR_OPTION_NOT_FOUND) result = lv_open_input(decoder, path, NULL);
    if (result < 0) {
        lv_error(err, errLen, result, "open media");
        goto fail;
    }
    result = avformat_find_stream_info(decoder->format, NULL);
    if (result < 0) {
        lv_error(err, errLen, result, "read streams");
        goto fail;
    }

    AVFormatContext* format = decoder->format;
    int videoIndex = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, NULL, 0);
    int preferredAudio = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, NULL, 0);
    if (videoIndex < 0) {
        if (err && errLen >= 1) snprintf(err, (size_t)errLen, "video stream not found");
        goto fail;
    }
    decoder->video_stream_index = videoIndex;
    if (lv_open_codec(decoder, videoIndex, &decoder->video_codec, 1, err, errLen) < 0) goto fail;

    AVStream* videoStream = format->streams[videoIndex];
    decoder->video_time_base = videoStream->time_base;
    size_t matrixSize = 0;
    const uint8_t* matrix = av_stream_get_side_data(videoStream, AV_PKT_DATA_DISPLAYMATRIX, &matrixSize);
    if (matrix && matrixSize > 35) {
        double rotation = av_display_rotation_get((const int32_t*)matrix);
        decoder->rotation_degrees = isfinite(rotation) ? rotation : 0; /* a degenerate matrix gives NaN */
    }
    AVRational rate = av_guess_frame_rate(format, videoStream, NULL);
    decoder->frame_rate = rate.den ? (double)rate.num / rate.den : 0;

    if (audio) {
        if (lv_build_audio_table(decoder, preferredAudio) < 0) goto fail;
        if (decoder->selected_audio_track >= 0) {
            int audioIndex = decoder->audio_stream_indices[decoder->selected_audio_track];
            if (lv_open_codec(decoder, audioIndex, &decoder->audio_codec, 0, err, errLen) < 0) {
                decoder->selected_audio_track = -1;
                decoder->audio_codec = NULL;
            } else {
                decoder->audio_stream_index = audioIndex;
                decoder->audio_time_base = format->streams[audioIndex]->time_base;
            }
        }
    }
    if (subtitle && lv_build_subtitle_table(decoder) < 0) goto fail;

    decoder->duration = format->duration > 0 ? (double)format->duration / 1000000.0 : 0;
    decoder->frame = av_frame_alloc();
    decoder->packet = av_packet_alloc();
    decoder->transfer_frame = av_frame_alloc();
    if (!decoder->frame || !decoder->packet || !decoder->transfer_frame) goto fail;
    lv_set_time_origin(decoder, videoStream);
    if (thumbnailMode && !getenv("LUMAVANE_THUMBNAIL_SYNCHRONOUS"))
        decoder->async_thumbnail = lv_async_thumbnail_create(videoStream->codecpar, videoStream->time_base);
    return decoder;

fail:
    lv_decoder_destroy(decoder);
    return NULL;
}

lv_decoder* lv_decoder_create(const char* path, void* opaque, lv_video_cb video, lv_audio_cb audio,
                              lv_subtitle_cb subtitle, char* err, int errLen) {
    return lv_decoder_create_internal(path, opaque, video, audio, subtitle, err, errLen, 0);
}

lv_decoder* lv_decoder_create_thumbnail(const char* path, void* opaque, lv_video_cb video, char* err,
                                        int errLen) {
    return lv_decoder_create_internal(path, opaque, video, NULL, NULL, err, errLen, 1);
}

double lv_decoder_duration(const lv_decoder* decoder) { return decoder ? decoder->duration : 0; }
double lv_decoder_frame_rate(const lv_decoder* decoder) { return decoder ? decoder->frame_rate : 0; }
double lv_decoder_rotation_degrees(const lv_decoder* decoder) {
    return decoder ? decoder->rotation_degrees : 0;
}

int lv_decoder_width(const lv_decoder* decoder) {
    return decoder && decoder->video_codec ? decoder->video_codec->width : 0;
}

int lv_decoder_height(const lv_decoder* decoder) {
    return decoder && decoder->video_codec ? decoder->video_codec->height : 0;
}

int lv_decoder_has_audio(const lv_decoder* decoder) { return decoder && decoder->audio_codec ? 1 : 0; }
int lv_decoder_audio_count(const lv_decoder* decoder) { return decoder ? decoder->audio_track_count : 0; }
int lv_decoder_selected_audio_track(const lv_decoder* decoder) {
    return decoder ? decoder->selected_audio_track : -1;
}
int lv_decoder_subtitle_count(const lv_decoder* decoder) {
    return decoder ? decoder->subtitle_track_count : 0;
}

static const char* lv_entry(char* const* table, int count, int index, const char* fallback) {
    if (!table || index < 0 || index >= count || !table[index]) return fallback;
    return table[index];
}

const char* lv_decoder_audio_title(const lv_decoder* decoder, int index) {
    return decoder ? lv_entry(decoder->audio_titles, decoder->audio_track_count, index, "") : "";
}

const char* lv_decoder_audio_language(const lv_decoder* decoder, int index) {
    return decoder ? lv_entry(decoder->audio_languages, decoder->audio_track_count, index, "und") : "und";
}

int lv_decoder_audio_is_default(const lv_decoder* decoder, int index) {
    if (!decoder || !decoder->audio_default_flags || index < 0 || index >= decoder->audio_track_count)
        return 0;
    return decoder->audio_default_flags[index] ? 1 : 0;
}

const char* lv_decoder_subtitle_title(const lv_decoder* decoder, int index) {
    return decoder ? lv_entry(decoder->subtitle_titles, decoder->subtitle_track_count, index, "") : "";
}

const char* lv_decoder_subtitle_language(const lv_decoder* decoder, int index) {
    return decoder ? lv_entry(decoder->subtitle_languages, decoder->subtitle_track_count, index, "und")
                   : "und";
}

int lv_decoder_subtitle_is_default(const lv_decoder* decoder, int index) {
    if (!decoder || !decoder->subtitle_default_flags || index < 0 || index >= decoder->subtitle_track_count)
        return 0;
    return decoder->subtitle_default_flags[index] ? 1 : 0;
}

void lv_decoder_interrupt(lv_decoder* decoder) {
    if (decoder) atomic_store_explicit(&decoder->interrupt_requested, 1, memory_order_relaxed);
}

static void lv_free_strings(char** strings, int count) {
    if (!strings) return;
    for (int i = 0; i < count; i++) av_free(strings[i]);
    av_free(strings);
}

void lv_decoder_destroy(lv_decoder* decoder) {
    if (!decoder) return;
    /* Closing must not wait on a stalled source either. */
    lv_decoder_interrupt(decoder);
    lv_async_thumbnail_destroy(decoder->async_thumbnail);
    if (decoder->queued_packets) lv_clear_queued_packets(decoder);
    av_free(decoder->queued_packets);
    av_free(decoder->untimed_keys);
    av_packet_free(&decoder->packet);
    av_frame_free(&decoder->frame);
    av_frame_free(&decoder->transfer_frame);
    sws_freeContext(decoder->scaler);
    lv_pixel_buffer_pool_release(decoder->bgra_pool);
    swr_free(&decoder->resampler);
    av_channel_layout_uninit(&decoder->resampler_layout);
    av_free(decoder->audio_buffer);
    avcodec_free_context(&decoder->video_codec);
    avcodec_free_context(&decoder->audio_codec);
    lv_free_strings(decoder->audio_titles, decoder->audio_track_count);
    lv_free_strings(decoder->audio_languages, decoder->audio_track_count);
    av_free(decoder->audio_stream_indices);
    av_free(decoder->audio_default_flags);
    if (decoder->subtitle_codecs) {
        for (int i = 0; i < decoder->subtitle_track_count; i++)
            avcodec_free_context(&decoder->subtitle_codecs[i]);
    }
    av_free(decoder->subtitle_codecs);
    lv_free_strings(decoder->subtitle_titles, decoder->subtitle_track_count);
    lv_free_strings(decoder->subtitle_languages, decoder->subtitle_track_count);
    av_free(decoder->subtitle_stream_indices);
    av_free(decoder->subtitle_time_bases);
    av_free(decoder->subtitle_default_flags);
    av_buffer_unref(&decoder->hardware_device);
    avformat_close_input(&decoder->format);
    av_free(decoder);
}
