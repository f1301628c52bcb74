/* Test helpers that reach inside a decoder (written in C, where its object is visible). */
#ifndef LUMAVANE_TEST_DECODER_PROBES_H
#define LUMAVANE_TEST_DECODER_PROBES_H

#include "MediaDecoder/MediaDecoder.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sends video packets straight to the decoder's codec without taking its
 * output until one is refused with EAGAIN, then hands that packet to the
 * decoder's own send path. Returns the packets sent before the refusal and
 * stores the send path's result; -1 when no packet was refused. */
int md_probe_refused_packet(lv_decoder* decoder, int* sendResult);

/* Makes the decoder's demuxer fail every seek to `seconds` (media time) or later, after moving
 * its input to the top, as demuxers that give up half-way do; other seeks go through. INFINITY
 * puts the demuxer back as it was. */
void md_probe_fail_seeks_from(lv_decoder* decoder, double seconds);

#ifdef __cplusplus
}
#endif

#endif
