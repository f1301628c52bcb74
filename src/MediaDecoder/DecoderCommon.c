/* What every part of the decoder reaches down to: error texts, the clock of the
 * statistics and opening one stream's decoder. */
#include <stdio.h>
#include <time.h>

#include "MediaDecoder/DecoderInternal.h"
#include "MediaDecoder/HardwareDecoding.h"

void lv_error(char* err, int errLen, int code, const char* what) {
    if (!err || errLen < 1) return;
    char text[64];
    av_strerror(code, text, sizeof text);
    snprintf(err, (size_t)errLen, "%s: %s", what, text);
}

double lv_now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

double lv_video_ticks(const lv_decoder* decoder, double seconds) {
    const double timeBase = av_q2d(decoder->video_time_base);
    if (!(timeBase > 0)) return 0;
    const double ticks = (seconds + decoder->start_seconds) / timeBase;
    const double limit = 4611686018427387904.0; /* 2^62 */
    return ticks > limit ? limit : ticks < -limit ? -limit : ticks;
}

static int lv_hardware_codec(enum AVCodecID id) {
    return id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_PRORES || id == AV_CODEC_ID_VP9 ||
           id == AV_CODEC_ID_HEVC || id == AV_CODEC_ID_AV1;
}

int lv_open_codec(lv_decoder* decoder, int streamIndex, AVCodecContext** outContext, int allowHardware,
                  char* err, int errLen) {
    AVStream* stream = decoder->format->streams[streamIndex];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
        if (err && errLen >= 1)
            snprintf(err, (size_t)errLen, "decoder not found for codec %d", (int)stream->codecpar->codec_id);
        return AVERROR_DECODER_NOT_FOUND;
    }
    AVCodecContext* context = avcodec_alloc_context3(codec);
    if (!context) return AVERROR(ENOMEM);
    int result = avcodec_parameters_to_context(context, stream->codecpar);
    if (result < 0) {
        avcodec_free_context(&context);
        return result;
    }
    context->pkt_timebase = stream->time_base;
    context->thread_count = decoder->thumbnail_mode ? 1 : 0;
    if (allowHardware && lv_hardware_codec(codec->id))
        lv_attach_vaapi(&decoder->hardware_device, context, codec);
    result = avcodec_open2(context, codec, NULL);
    if (result < 0) {
        lv_error(err, errLen, result, "open decoder");
        avcodec_free_context(&context);
        return result;
    }
    *outContext = context;
    return 0;
}
