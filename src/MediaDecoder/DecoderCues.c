/* Subtitle cues: decoding a subtitle packet into cue texts with their times,
 * and handing out again, after a seek, the cues shown at its target whose
 * packets lie before the place where reading resumes. */

#include "MediaDecoder/DecoderInternal.h"

enum {
    /* How far before a seek target cues are looked for: a cue that began longer ago is not found. */
    LV_CUE_LOOKBACK_SECONDS = 10,
    LV_MAX_CUE_SCAN_PACKETS = 8192,
    LV_MAX_CUE_SCAN_BYTES = 64 << 20
};

typedef void (*lv_cue_sink)(lv_decoder* decoder, void* context, int track, const char* text, double start,
                            double end, int64_t position);

int lv_subtitle_track_of(const lv_decoder* decoder, int streamIndex) {
    for (int i = 0; i < decoder->subtitle_track_count; i++) {
        if (decoder->subtitle_stream_indices[i] == streamIndex) return i;
    }
    return -1;
}

static void lv_decode_cues(lv_decoder* decoder, int track, const AVPacket* packet, lv_cue_sink sink,
                           void* context) {
    AVSubtitle subtitle;
    int got = 0;
    int result =
        avcodec_decode_subtitle2(decoder->subtitle_codecs[track], &subtitle, &got, (AVPacket*)packet);
    if (result < 0 || !got) return;
    double timeBase = av_q2d(decoder->subtitle_time_bases[track]);
    double base = 0;
    if (subtitle.pts != AV_NOPTS_VALUE)
        base = (double)subtitle.pts / 1000000.0;
    else if (packet->pts != AV_NOPTS_VALUE)
        base = (double)packet->pts * timeBase;
    base -= decoder->start_seconds;
    double start = base + subtitle.start_display_time / 1000.0;
    double end = base + subtitle.end_display_time / 1000.0;
    if (!(end > start) && packet->duration >= 1) end = base + (double)packet->duration * timeBase;
    if (!(end > start)) {
        /* Five seconds, but not past the end of the media. */
        end = start + 5.0;
        if (decoder->duration > start && end > decoder->duration) end = decoder->duration;
    }
    for (unsigned i = 0; i < subtitle.num_rects; i++) {
        const AVSubtitleRect* rect = subtitle.rects[i];
        const char* text = rect->ass ? rect->ass : rect->text;
        if (text && *text) sink(decoder, context, track, text, start, end, packet->pos);
    }
    avsubtitle_free(&subtitle);
}

static void lv_cue_to_callback(lv_decoder* decoder, void* context, int track, const char* text, double start,
                               double end, int64_t position) {
    (void)context;
    (void)position;
    decoder->subtitle_callback(decoder->opaque, track, text, start, end);
}

void lv_read_subtitle(lv_decoder* decoder, int track, const AVPacket* packet) {
    lv_decode_cues(decoder, track, packet, lv_cue_to_callback, NULL);
}

/* Cues shown at one time, with the file position of their packets. */
struct lv_cue_search {
    double seconds;
    int count;
    int capacity;
    struct lv_found_cue {
        int track;
        char* text;
        double start;
        double end;
        int64_t position;
    } * cues;
};

static void lv_keep_shown_cue(lv_decoder* decoder, void* context, int track, const char* text, double start,
                              double end, int64_t position) {
    (void)decoder;
    lv_cue_search* search = context;
    if (!(start <= search->seconds && search->seconds < end)) return;
    if (search->count == search->capacity) {
        int capacity = search->capacity ? search->capacity * 2 : 8;
        struct lv_found_cue* grown = av_realloc_array(search->cues, (size_t)capacity, sizeof *grown);
        if (!grown) return;
        search->cues = grown;
        search->capacity = capacity;
    }
    char* copy = av_strdup(text);
    if (!copy) return;
    search->cues[search->count++] = (struct lv_found_cue){track, copy, start, end, position};
}

lv_cue_search* lv_find_shown_cues(lv_decoder* decoder, double seconds) {
    if (!decoder->subtitle_callback || decoder->subtitle_track_count == 0 || decoder->untimed_video)
        return NULL;
    lv_cue_search* search = av_mallocz(sizeof *search);
    if (!search) return NULL;
    search->seconds = seconds;
    AVFormatContext* format = decoder->format;
    double timeBase = av_q2d(decoder->video_time_base);
    double from = seconds - LV_CUE_LOOKBACK_SECONDS;
    if (decoder->duration > 0 && from > decoder->duration) from = decoder->duration - LV_CUE_LOOKBACK_SECONDS;
    int result = from <= 0 || !(timeBase > 0)
                     ? lv_seek_to_top(decoder)
                     : av_seek_frame(format, decoder->video_stream_index, (int64_t)lv_video_ticks(decoder, from),
                                     AVSEEK_FLAG_BACKWARD);
    AVPacket* packet = decoder->packet;
    int64_t bytes = 0;
    for (int count = 0; result >= 0 && count < LV_MAX_CUE_SCAN_PACKETS && bytes < LV_MAX_CUE_SCAN_BYTES;
         count++) {
        if (av_read_frame(format, packet) < 0) break;
        bytes += packet->size;
        const AVStream* stream = format->streams[packet->stream_index];
        int64_t stamp = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
        /* Cues that begin later are read after the seek anyway; so is everything else. */
        int past = stamp != AV_NOPTS_VALUE &&
                   (double)stamp * av_q2d(stream->time_base) - decoder->start_seconds > seconds;
        int track = lv_subtitle_track_of(decoder, packet->stream_index);
        if (track >= 0 && !past) lv_decode_cues(decoder, track, packet, lv_keep_shown_cue, search);
        av_packet_unref(packet);
        if (past) break;
    }
    for (int i = 0; i < decoder->subtitle_track_count; i++)
        avcodec_flush_buffers(decoder->subtitle_codecs[i]);
    return search;
}

void lv_deliver_shown_cues(lv_decoder* decoder, lv_cue_search* search, int deliver, int64_t resumeAt) {
    if (!search) return;
    for (int i = 0; i < search->count; i++) {
        const struct lv_found_cue* cue = &search->cues[i];
        /* A packet at or after the place reading resumes from is read there again. */
        if (deliver && (resumeAt < 0 || cue->position < 0 || cue->position < resumeAt))
            decoder->subtitle_callback(decoder->opaque, cue->track, cue->text, cue->start, cue->end);
        av_free(cue->text);
    }
    av_free(search->cues);
    av_free(search);
}
