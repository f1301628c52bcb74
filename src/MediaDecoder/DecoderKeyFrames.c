/* What the file's index tells of the video's key frames. */
#include <math.h>

#include "MediaDecoder/DecoderInternal.h"

double lv_decoder_key_frame_time(lv_decoder* decoder, double seconds) {
    if (!decoder || !decoder->format || decoder->untimed_video || !isfinite(seconds)) return NAN;
    AVStream* stream = decoder->format->streams[decoder->video_stream_index];
    double timeBase = av_q2d(stream->time_base);
    if (!(timeBase > 0)) return NAN;
    double ticks = floor(lv_video_ticks(decoder, seconds));
    /* Without AVSEEK_FLAG_ANY only key frames are found. */
    const AVIndexEntry* entry =
        avformat_index_get_entry_from_timestamp(stream, (int64_t)ticks, AVSEEK_FLAG_BACKWARD);
    if (!entry || !(entry->flags & AVINDEX_KEYFRAME)) return NAN;
    return (double)entry->timestamp * timeBase - decoder->start_seconds;
}
