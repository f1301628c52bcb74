// Feature-image convolution. Each work item computes PX neighbouring pixels of one row for
// NV * VEC output channels, with the accumulators in float vectors and fma, which is what lets
// CPU OpenCL devices vectorize it.
// Macros: IC_SLICES, KW, KH, VEC (4, 8, 16), NV, PX, NEURON (0 none, 1 ReLU with slope, 2 PReLU),
// SRC_FORMAT (0 rgba16Float slices, 1 bgra8Unorm, 2 rgba8Unorm), DST_HALF, EDGE_CLAMP.

#if VEC == 16
typedef float16 lv_accv;
#define LV_VLOAD(i, p) vload16(i, p)
#define LV_SPLAT(s) ((float16)(s))
#elif VEC == 8
typedef float8 lv_accv;
#define LV_VLOAD(i, p) vload8(i, p)
#define LV_SPLAT(s) ((float8)(s))
#else
typedef float4 lv_accv;
#define LV_VLOAD(i, p) vload4(i, p)
#define LV_SPLAT(s) ((float4)(s))
#endif

inline float4 lv_conv_source(lv_tex s, int x, int y, int slice)
{
#if SRC_FORMAT == 1
    float4 c = lv_read_bgra8(s, x, y);
    return (float4)(c.xyz, 0.0f);
#elif SRC_FORMAT == 2
    float4 c = lv_read_rgba8(s, x, y);
    return (float4)(c.xyz, 0.0f);
#else
    return lv_read_half4(s, x, y, slice);
#endif
}

inline void lv_conv_store(lv_tex d, int x, int y, int slice, float4 v)
{
    if (slice >= (int)d.d.slices) return;
#if DST_HALF
    lv_write_half4(d, x, y, slice, v);
#else
    lv_write(d, x, y, slice, v);
#endif
}

inline lv_accv lv_conv_activate(lv_accv a, int v, global const float* slope, float leak)
{
#if NEURON == 1
    return select(a * leak, a, a >= LV_SPLAT(0.0f));
#elif NEURON == 2
    return select(a * LV_VLOAD(v, slope), a, a >= LV_SPLAT(0.0f));
#else
    return a;
#endif
}

#define LV_TAPS (KW * KH)
#define LV_GROUP_CHANNELS (NV * VEC)

// params: offset x, offset y; fparams.x: the ReLU slope.
kernel void lv_convolution(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), global const float* weights,
                           global const float* bias, global const float* slope, const int4 params, const float4 fparams)
{
    if (!LV_IN_GRID()) return;
    lv_tex s = LV_TEX(source);
    lv_tex d = LV_TEX(destination);
    const int x0 = (int)get_global_id(0) * PX;
    const int y = (int)get_global_id(1);
    const int g = (int)get_global_id(2);
    const int W = (int)s.d.width, H = (int)s.d.height;
    const int left = x0 + params.x - (KW - 1) / 2;
    const int top = y + params.y - (KH - 1) / 2;

    global const float* b = bias + g * LV_GROUP_CHANNELS;
    global const float* sl = slope + g * LV_GROUP_CHANNELS;
    lv_accv acc[PX][NV];
    for (int v = 0; v < NV; ++v) {
        lv_accv bv = LV_VLOAD(v, b);
        for (int p = 0; p < PX; ++p) acc[p][v] = bv;
    }

    global const float* wg = weights + (size_t)g * (LV_TAPS * IC_SLICES * 4 * LV_GROUP_CHANNELS);
    for (int ky = 0; ky < KH; ++ky) {
        int sy = top + ky;
#if EDGE_CLAMP
        sy = clamp(sy, 0, H - 1);
#else
        if (sy < 0 || sy >= H) continue;
#endif
        for (int kx = 0; kx < KW; ++kx) {
            global const float* wt = wg + (size_t)((ky * KW + kx) * IC_SLICES) * 4 * LV_GROUP_CHANNELS;
            for (int p = 0; p < PX; ++p) {
                int sx = left + p + kx;
#if EDGE_CLAMP
                sx = clamp(sx, 0, W - 1);
#else
                if (sx < 0 || sx >= W) continue;
#endif
                for (int c = 0; c < IC_SLICES; ++c) {
                    float4 in = lv_conv_source(s, sx, sy, c);
                    global const lv_accv* w = (global const lv_accv*)(wt + c * 4 * LV_GROUP_CHANNELS);
                    for (int v = 0; v < NV; ++v) {
                        lv_accv a = acc[p][v];
                        a = fma(LV_SPLAT(in.x), w[v], a);
                        a = fma(LV_SPLAT(in.y), w[NV + v], a);
                        a = fma(LV_SPLAT(in.z), w[2 * NV + v], a);
                        a = fma(LV_SPLAT(in.w), w[3 * NV + v], a);
                        acc[p][v] = a;
                    }
                }
            }
        }
    }

    const int dw = (int)d.d.width;
    for (int p = 0; p < PX; ++p) {
        const int x = x0 + p;
        if (x >= dw) break;
        for (int v = 0; v < NV; ++v) {
            lv_accv a = lv_conv_activate(acc[p][v], v, sl, fparams.x);
            const int slice = (g * LV_GROUP_CHANNELS + v * VEC) / 4;
#if VEC == 16
            lv_conv_store(d, x, y, slice, a.s0123);
            lv_conv_store(d, x, y, slice + 1, a.s4567);
            lv_conv_store(d, x, y, slice + 2, a.s89ab);
            lv_conv_store(d, x, y, slice + 3, a.scdef);
#elif VEC == 8
            lv_conv_store(d, x, y, slice, a.s0123);
            lv_conv_store(d, x, y, slice + 1, a.s4567);
#else
            lv_conv_store(d, x, y, slice, a);
#endif
        }
    }
}
