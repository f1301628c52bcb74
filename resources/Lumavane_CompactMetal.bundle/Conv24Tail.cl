// The Winograd F(2x2, 3x3) last layer of a 4x network whose body has 24 channels (IC 24,
// 48 outputs) and its fused reconstruction tails. The kernel, its macros and bindings are
// those of ConvWinograd.cl, which handles 24 input channels as three 8-channel vectors.

#if IC != 24
#error "Conv24Tail.cl is compiled for 24 input channels"
#endif

#include "ConvWinograd.cl"
