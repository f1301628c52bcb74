#include "MediaDecoder/DecoderProbes.h"

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
