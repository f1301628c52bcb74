/* VAAPI decoding shared by the decoder and the decompression session. C only. */
#ifndef LUMAVANE_MEDIA_DECODER_HARDWARE_DECODING_H
#define LUMAVANE_MEDIA_DECODER_HARDWARE_DECODING_H

#include <libavcodec/avcodec.h>

/* Sets up VAAPI decoding on context when codec supports it, creating *device on the
 * first render node that opens unless it exists already; anything else leaves the
 * context on software decoding, silently. The caller unrefs *device. */
void lv_attach_vaapi(AVBufferRef** device, AVCodecContext* context, const AVCodec* codec);

#endif
