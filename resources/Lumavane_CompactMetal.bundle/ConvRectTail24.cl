// The fused rectangular tail of the 24-channel ("HQ") 4x networks: the body of ConvRectTail.cl
// built for 24 input channels under its own kernel name. Macros: SIMDS, NATIVE.

#define INPUT_CHANNELS 24
#define RT_KERNEL_NAME rect_tail_hq24

#include "ConvRectTail.cl"
