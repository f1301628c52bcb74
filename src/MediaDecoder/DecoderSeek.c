/* Landing seeks on a key frame at or before the target. Demuxers without an
 * index (MPEG-TS, program streams) search by timestamp and may land anywhere in
 * a group of pictures; decoding from there skips every frame up to the next key
 * frame, which can lie past the target. The packets read to check the landing
 * are queued and served before reading goes on. */
#include <math.h>
#include <string.h>

#include "MediaDecoder/DecoderInternal.h"

enum {
    /* Landings tried, stepping back 1, 2, 4... seconds, before starting from the top. */
    LV_MAX_SEEK_STEPS = 8,
    /* A check reads at most this much; a longer stretch without a key frame is taken as it is. */
    LV_MAX_PROBE_PACKETS = 4096,
    LV_MAX_PROBE_BYTES = 64 << 20
};

void lv_clear_queued_packets(lv_decoder* decoder) {
    for (int i = 0; i < decoder->queued_count; i++) {
        int slot = (decoder->queued_head + i) % decoder->queued_capacity;
        av_packet_free(&decoder->queued_packets[slot]);
    }
    decoder->queued_head = 0;
    decoder->queued_count = 0;
}

/* Takes over the reference of `packet`; returns 0 or AVERROR(ENOMEM). */
static int lv_queue_packet(lv_decoder* decoder, AVPacket* packet) {
    if (decoder->queued_count == decoder->queued_capacity) {
        int capacity = decoder->queued_capacity ? decoder->queued_capacity * 2 : 64;
        AVPacket** grown = av_malloc_array((size_t)capacity, sizeof *grown);
        if (!grown) return AVERROR(ENOMEM);
        for (int i = 0; i < decoder->queued_count; i++)
            grown[i] = decoder->queued_packets[(decoder->queued_head + i) % decoder->queued_capacity];
        av_free(decoder->queued_packets);
        decoder->queued_packets = grown;
        decoder->queued_capacity = capacity;
        decoder->queued_head = 0;
    }
    AVPacket* copy = av_packet_alloc();
    if (!copy) return AVERROR(ENOMEM);
    av_packet_move_ref(copy, packet);
    int slot = (decoder->queued_head + decoder->queued_count) % decoder->queued_capacity;
    decoder->queued_packets[slot] = copy;
    decoder->queued_count++;
    return 0;
}

void lv_mark_input(lv_decoder* decoder, int result, const AVPacket* packet) {
    if (result == AVERROR_EOF) {
        decoder->input_mark.place = LV_INPUT_AT_END;
    } else if (result >= 0) {
        decoder->input_mark = (lv_input_mark){LV_INPUT_AFTER_PACKET, packet->stream_index, packet->size,
                                              packet->pos, packet->dts, packet->pts};
    }
}

int lv_next_packet(lv_decoder* decoder) {
    if (decoder->queued_count == 0) {
        if (decoder->input_ended) return AVERROR_EOF;
        int result = av_read_frame(decoder->format, decoder->packet);
        lv_mark_input(decoder, result, decoder->packet);
        return result;
    }
    AVPacket** slot = &decoder->queued_packets[decoder->queued_head];
    av_packet_move_ref(decoder->packet, *slot);
    av_packet_free(slot);
    decoder->queued_head = (decoder->queued_head + 1) % decoder->queued_capacity;
    decoder->queued_count--;
    return 0;
}

/* Reads on, within the bounds, queueing the packets that `look` keeps, until it
 * gives its verdict (0 or 1, returned). The end of input gives 0, a read error
 * or the bounds 1 (a failing source is reported by the read that follows, as
 * without the look), no memory for the queue AVERROR(ENOMEM). `look` returns -1
 * to go on and sets *keep. */
typedef int (*lv_packet_look)(const lv_decoder* decoder, const AVPacket* packet, int64_t target, int* keep);

static int lv_read_ahead(lv_decoder* decoder, int64_t target, lv_packet_look look) {
    AVPacket* packet = decoder->packet;
    int64_t bytes = 0;
    for (int count = 0; count < LV_MAX_PROBE_PACKETS && bytes < LV_MAX_PROBE_BYTES; count++) {
        int result = av_read_frame(decoder->format, packet);
        lv_mark_input(decoder, result, packet);
        if (result == AVERROR_EOF) return 0;
        if (result < 0) return 1;
        bytes += packet->size;
        int keep = 1;
        int verdict = look(decoder, packet, target, &keep);
        result = keep ? lv_queue_packet(decoder, packet) : 0;
        av_packet_unref(packet);
        if (result < 0) return result;
        if (verdict >= 0) return verdict;
    }
    return 1;
}

/* Landing: 1 at a video key frame at or before the target, 0 at one after it.
 * Video packets before the key frame are undecodable without the one before it. */
static int lv_look_for_key_frame(const lv_decoder* decoder, const AVPacket* packet, int64_t target,
                                 int* keep) {
    if (packet->stream_index != decoder->video_stream_index) return -1;
    *keep = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    if (!*keep) return -1;
    int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    return time == AV_NOPTS_VALUE || time <= target ? 1 : 0;
}

/* Reads from the landing to the first video key frame, queueing it and every
 * other stream's packets. 1: decoding starts there (a key frame at or before the
 * target, no key frame within the reading bounds, or a read error); 0: step back
 * (the key frame lies after the target, or the input ended first); negative: no
 * memory for the queue. */
static int lv_probe_landing(lv_decoder* decoder, int64_t target) {
    return lv_read_ahead(decoder, target, lv_look_for_key_frame);
}

/* The very first packet. In streams searched by timestamp (MPEG-TS and program
 * streams) a search for the start time can land after a key frame whose decode
 * time lies before it, so those go back to byte 0. */
int lv_seek_to_top(lv_decoder* decoder) {
    AVFormatContext* format = decoder->format;
    if ((format->iformat->flags & AVFMT_TS_DISCONT) && av_seek_frame(format, -1, 0, AVSEEK_FLAG_BYTE) >= 0)
        return 0;
    int result = av_seek_frame(format, decoder->video_stream_index, INT64_MIN / 2, AVSEEK_FLAG_BACKWARD);
    if (result >= 0) return result;
    /* Demuxers that only look a time up in their index (AVI, FLV) refuse one before its first
     * entry: ask for that entry, or for the stream's first timestamp. */
    const AVStream* stream = format->streams[decoder->video_stream_index];
    const AVIndexEntry* first = avformat_index_get_entry((AVStream*)stream, 0);
    int64_t earliest = first ? first->timestamp : stream->start_time;
    if (earliest == AV_NOPTS_VALUE) earliest = 0;
    if (av_seek_frame(format, decoder->video_stream_index, earliest, AVSEEK_FLAG_BACKWARD) >= 0) return 0;
    return av_seek_frame(format, -1, 0, AVSEEK_FLAG_BYTE) >= 0 ? 0 : result;
}

int lv_seek_to_key_frame(lv_decoder* decoder, int64_t target) {
    AVStream* stream = decoder->format->streams[decoder->video_stream_index];
    double timeBase = av_q2d(stream->time_base);
    lv_clear_queued_packets(decoder);
    int64_t start = (int64_t)(decoder->start_seconds / timeBase);
    /* Stepping back starts from the end of the media, not from a far-off target. */
    int64_t base = target;
    if (decoder->duration > 0) {
        int64_t end = start + (int64_t)(decoder->duration / timeBase);
        if (base > end) base = end;
    }
    /* Demuxers that only look times up in their index refuse one before the video's first key
     * frame, which may come after the start of the media (audio first): that is the top too. */
    const AVIndexEntry* firstEntry = avformat_index_get_entry(stream, 0);
    int64_t firstVideo = firstEntry ? firstEntry->timestamp : stream->start_time;
    if (firstVideo == AV_NOPTS_VALUE || firstVideo < start) firstVideo = start;
    int64_t landing = target;
    double step = 1.0;
    for (int attempt = 0;; attempt++) {
        int top = landing < firstVideo;
        int result =
            top ? lv_seek_to_top(decoder)
                : av_seek_frame(decoder->format, decoder->video_stream_index, landing, AVSEEK_FLAG_BACKWARD);
        if (result < 0) {
            /* The first landing's failure is the seek's; a later one keeps the last landing's packets. */
            if (attempt == 0) return result;
            return 0;
        }
        lv_clear_queued_packets(decoder);
        result = lv_probe_landing(decoder, target);
        if (result != 0) return result < 0 ? result : 0;
        if (top) return 0; /* nothing earlier to try: decode what there is */
        landing = attempt + 1 < LV_MAX_SEEK_STEPS ? base - (int64_t)(step / timeBase) : INT64_MIN;
        step *= 2;
    }
}

static int lv_look_for_video_at(const lv_decoder* decoder, const AVPacket* packet, int64_t target,
                                int* keep) {
    (void)keep;
    return packet->stream_index == decoder->video_stream_index &&
                   (packet->pts == AV_NOPTS_VALUE || packet->pts >= target)
               ? 1
               : -1;
}

/* Whether a video packet at or after `target` (or one without a time) follows the landing: the
 * queued packets are looked at first, then more are read and queued. 0 when the input ends first;
 * 1 when one is found, or nothing can be said within the reading bounds or after an error. */
int lv_video_reaches(lv_decoder* decoder, int64_t target) {
    for (int i = 0; i < decoder->queued_count; i++) {
        int keep;
        if (lv_look_for_video_at(
                decoder, decoder->queued_packets[(decoder->queued_head + i) % decoder->queued_capacity],
                target, &keep) == 1)
            return 1;
    }
    return lv_read_ahead(decoder, target, lv_look_for_video_at) != 0;
}

void lv_hold_place(lv_decoder* decoder, lv_read_place* place) {
    place->mark = decoder->input_mark;
    if (decoder->input_ended) place->mark.place = LV_INPUT_AT_END;
    place->packets = decoder->queued_packets;
    place->head = decoder->queued_head;
    place->count = decoder->queued_count;
    place->capacity = decoder->queued_capacity;
    decoder->queued_packets = NULL;
    decoder->queued_head = decoder->queued_count = decoder->queued_capacity = 0;
}

static void lv_swap_queue(lv_decoder* decoder, lv_read_place* place) {
    AVPacket** packets = decoder->queued_packets;
    int32_t head = decoder->queued_head, count = decoder->queued_count, capacity = decoder->queued_capacity;
    decoder->queued_packets = place->packets;
    decoder->queued_head = place->head;
    decoder->queued_count = place->count;
    decoder->queued_capacity = place->capacity;
    place->packets = packets;
    place->head = head;
    place->count = count;
    place->capacity = capacity;
}

void lv_drop_place(lv_decoder* decoder, lv_read_place* place) {
    lv_swap_queue(decoder, place);
    lv_clear_queued_packets(decoder);
    av_free(decoder->queued_packets);
    lv_swap_queue(decoder, place);
    place->packets = NULL;
    place->count = 0;
}

static int lv_is_place(const AVPacket* packet, const lv_input_mark* place) {
    return packet->stream_index == place->stream && packet->size == place->size && packet->pos == place->pos &&
           packet->dts == place->dts && packet->pts == place->pts;
}

/* A later packet of the marked packet's stream: the mark was passed without being read. */
static int lv_is_past_place(const AVPacket* packet, const lv_input_mark* place) {
    if (packet->stream_index != place->stream) return 0;
    if (place->dts != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE) return packet->dts > place->dts;
    return place->pos >= 0 && packet->pos > place->pos;
}

/* Reads from a landing to the marked packet: 1 when read (reading resumes after it), 0 when it was
 * passed or the input ended first, negative on a read error. */
static int lv_read_to_place(lv_decoder* decoder, const lv_input_mark* place) {
    AVPacket* packet = decoder->packet;
    int64_t bytes = 0;
    for (int count = 0; count < LV_MAX_PROBE_PACKETS && bytes < LV_MAX_PROBE_BYTES; count++) {
        int result = av_read_frame(decoder->format, packet);
        if (result == AVERROR_EOF) return 0;
        if (result < 0) return result;
        bytes += packet->size;
        int found = lv_is_place(packet, place), passed = !found && lv_is_past_place(packet, place);
        av_packet_unref(packet);
        if (found) return 1;
        if (passed) return 0;
    }
    return 0;
}

int lv_return_to_place(lv_decoder* decoder, lv_read_place* place) {
    lv_clear_queued_packets(decoder);
    av_free(decoder->queued_packets);
    decoder->queued_packets = NULL;
    decoder->queued_head = decoder->queued_count = decoder->queued_capacity = 0;
    lv_swap_queue(decoder, place);
    place->packets = NULL;
    place->count = 0;
    const lv_input_mark* mark = &place->mark;
    decoder->input_mark = *mark;
    switch (mark->place) {
    case LV_INPUT_AT_END:
        decoder->input_ended = 1;
        return 0;
    case LV_INPUT_AT_TOP:
        return decoder->untimed_video ? av_seek_frame(decoder->format, -1, 0, AVSEEK_FLAG_BYTE)
                                      : lv_seek_to_top(decoder);
    case LV_INPUT_AT_BYTE:
        return av_seek_frame(decoder->format, -1, mark->pos, AVSEEK_FLAG_BYTE);
    case LV_INPUT_AFTER_PACKET:
        break;
    }
    if (decoder->untimed_video) {
        /* Back to the last key frame known before the packet, or the top, and on to the packet. */
        int64_t from = 0;
        for (int i = 0; i < decoder->untimed_key_count && decoder->untimed_keys[i].pos <= mark->pos; i++)
            from = decoder->untimed_keys[i].pos;
        int result = av_seek_frame(decoder->format, -1, from, AVSEEK_FLAG_BYTE);
        if (result >= 0) result = lv_read_to_place(decoder, mark);
        return result < 0 ? result : result == 1 ? 0 : AVERROR(EIO);
    }
    /* Land a little before the packet and read up to it, stepping further back when it is not
     * met, up to the top of the input. */
    const AVStream* stream = decoder->format->streams[mark->stream];
    int64_t stamp = mark->dts != AV_NOPTS_VALUE ? mark->dts : mark->pts;
    double seconds =
        stamp != AV_NOPTS_VALUE ? (double)stamp * av_q2d(stream->time_base) - decoder->start_seconds : -INFINITY;
    double step = 1.0;
    for (int attempt = 0; attempt <= LV_MAX_SEEK_STEPS; attempt++, step *= 2) {
        double landing = seconds - step;
        int top = !(landing > 0) || attempt == LV_MAX_SEEK_STEPS;
        int result = top ? lv_seek_to_top(decoder)
                         : av_seek_frame(decoder->format, decoder->video_stream_index,
                                         (int64_t)lv_video_ticks(decoder, landing), AVSEEK_FLAG_BACKWARD);
        if (result >= 0) {
            result = lv_read_to_place(decoder, mark);
            if (result != 0) return result < 0 ? result : 0;
        }
        if (top) return result < 0 ? result : AVERROR(EIO);
    }
    return AVERROR(EIO);
}

const struct lv_untimed_key* lv_untimed_key_before(const lv_decoder* decoder, double seconds) {
    const double frame = seconds * decoder->frame_rate;
    const struct lv_untimed_key* found = NULL;
    for (int i = 0; i < decoder->untimed_key_count && decoder->untimed_keys[i].frame <= frame + 1e-6; i++)
        found = &decoder->untimed_keys[i];
    return found;
}
