#include "MediaDecoder/DecoderProbes.h"

#include <math.h>

#include "MediaDecoder/DecoderInternal.h"

int md_probe_refused_packet(lv_decoder* decoder, int* sendResult) {
    AVPacket* packet = decoder->packet;
    int sent = 0;
    while (av_read_frame(decoder->format, packet) >= 0) {
        if (packet->stream_index != decoder->video_stream_index) {
            av_packet_unref(packet);
            continue;
        }
        int result = avcodec_send_packet(decoder->video_codec, packet);
        if (result == AVERROR(EAGAIN)) {
            *sendResult = lv_send_and_receive(decoder, decoder->video_codec, packet, 1);
            av_packet_unref(packet);
            return sent;
        }
        av_packet_unref(packet);
        if (result < 0) break;
        sent++;
    }
    return -1;
}

static const AVInputFormat* md_original_format;
static AVInputFormat md_failing_format;
static double md_fail_from;

static int md_failing_seek(AVFormatContext* format, int stream, int64_t timestamp, int flags) {
    AVRational timeBase = stream >= 0 ? format->streams[stream]->time_base : AV_TIME_BASE_Q;
    double origin = format->start_time != AV_NOPTS_VALUE ? (double)format->start_time / AV_TIME_BASE : 0;
    if ((flags & AVSEEK_FLAG_BYTE) || (double)timestamp * av_q2d(timeBase) - origin < md_fail_from)
        return md_original_format->read_seek(format, stream, timestamp, flags);
    md_original_format->read_seek(format, stream, INT64_MIN / 2, AVSEEK_FLAG_BACKWARD);
    return AVERROR(EIO);
}

void md_probe_fail_seeks_from(lv_decoder* decoder, double seconds) {
    if (!md_original_format) md_original_format = decoder->format->iformat;
    if (isinf(seconds) && seconds > 0) {
        decoder->format->iformat = md_original_format;
        md_original_format = NULL;
        return;
    }
    md_failing_format = *md_original_format;
    md_failing_format.read_seek = md_failing_seek;
    md_failing_format.read_seek2 = NULL;
    md_failing_format.flags |= AVFMT_NOBINSEARCH | AVFMT_NOGENSEARCH;
    md_fail_from = seconds;
    decoder->format->iformat = &md_failing_format;
}
