// Proves that sources are found in the bundle and compiled with the macros given:
// FACTOR and OFFSET are integers, NEGATE a Boolean (1 or 0).
kernel void scale_offset(LV_GRID, global float* values)
{
    if (!LV_IN_GRID()) return;
    const uint i = get_global_id(0);
    float v = values[i] * FACTOR + OFFSET;
#if NEGATE
    v = -v;
#endif
    values[i] = v;
}
