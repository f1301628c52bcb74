/* Per-frame delivery and volume checks of the decoder, shared by its source
 * files and callable from C++ tests. */
#ifndef LUMAVANE_MEDIA_DECODER_FRAMES_H
#define LUMAVANE_MEDIA_DECODER_FRAMES_H

#include "MediaDecoder/MediaDecoder.h"

#ifdef __cplusplus
extern "C" {
#endif

struct AVFrame;

/* Converts one decoded video frame (software or hardware) and hands it to the
 * video callback. Returns 1 when delivered, 0 when the frame was dropped. */
int lv_deliver_video_frame(lv_decoder* decoder, struct AVFrame* frame);
/* Resamples one decoded audio frame and hands it to the audio callback. */
void lv_deliver_audio_frame(lv_decoder* decoder, struct AVFrame* frame);
/* 1 when a statfs f_type names a network or FUSE file system. */
int lv_is_network_volume_type(long fsType);

#ifdef __cplusplus
}
#endif

#endif
