// Convolution of the model runtime for wide layers at stride 1: each work item computes PX
// neighbouring pixels of a row for NV vectors of 16 output channels, plus the bias and an
// optional PReLU. Every weight vector loaded serves PX pixels and every input row segment
// serves all KW taps, which keeps a 64-channel layer's weights (147 KB, beyond the first-level
// cache) from being the bottleneck as they are with one pixel per work item.
//
// Macros: IC_SLICES (input slices of four channels), KW, KH (kernel size), PX (pixels per work
// item), NV (output vectors per work item), PRELU (1: slopes after the bias).
// Bindings: texture 0 source, 1 destination; buffer 0 weights, float, element
// ((ky·KW + kx)·IC + c)·OC + o with IC and OC padded to IC_SLICES·4 and a whole number of
// NV·16-channel groups (zero weights beyond the layer's channels, which are never stored);
// buffer 1 biases, 2 slopes (OC floats); bytes 3: (padding left, padding top, OC).
// Grid: (ceil(width / PX), height, output channel groups) of the destination.

#define CB_IC (IC_SLICES * 4)
#define CB_SPAN (PX + KW - 1)

kernel void lv_ml_conv_blocked(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), global const float16* weights,
                               global const float* bias, global const float* slopes, const int4 params)
{
    if (!LV_IN_GRID()) return;
    lv_tex in = LV_TEX(source);
    lv_tex out = LV_TEX(destination);
    const int x0 = (int)get_global_id(0) * PX, y = (int)get_global_id(1), g = (int)get_global_id(2);
    const int oc_vectors = params.z / 16; // vectors of a padded weight row
    const int left = x0 - params.x, top = y - params.y;

    float16 acc[PX][NV];
    for (int v = 0; v < NV; ++v) {
        const float16 b = vload16(g * NV + v, bias);
        for (int p = 0; p < PX; ++p) acc[p][v] = b;
    }

    for (int ky = 0; ky < KH; ++ky) {
        const int sy = top + ky;
        if (sy < 0 || sy >= (int)lv_height(in)) continue;
        for (int s = 0; s < IC_SLICES; ++s) {
            // The row segment stays in memory (the tap loop indexes it), so the multiplies below
            // broadcast straight from it instead of shuffling registers.
            float row[CB_SPAN * 4];
            for (int k = 0; k < CB_SPAN; ++k) {
                const int sx = left + k;
                vstore4(sx >= 0 && sx < (int)lv_width(in) ? lv_read_half4(in, sx, sy, s) : (float4)(0.0f), k, row);
            }
#pragma unroll 1
            for (int kx = 0; kx < KW; ++kx) {
                global const float16* w = weights + ((size_t)((ky * KW + kx) * CB_IC + 4 * s) * oc_vectors + g * NV);
#pragma unroll
                for (int c = 0; c < 4; ++c) {
#pragma unroll
                    for (int v = 0; v < NV; ++v) {
                        const float16 wv = w[c * oc_vectors + v];
#pragma unroll
                        for (int p = 0; p < PX; ++p) acc[p][v] = fma((float16)(row[(p + kx) * 4 + c]), wv, acc[p][v]);
                    }
                }
            }
        }
    }

    const int out_slices = (int)lv_slices(out);
    for (int p = 0; p < PX; ++p) {
        const int x = x0 + p;
        if (x >= (int)lv_width(out)) break;
        for (int v = 0; v < NV; ++v) {
            float16 a = acc[p][v];
#if PRELU
            const float16 slope = vload16(g * NV + v, slopes);
            a = select(a * slope, a, a >= (float16)(0.0f));
#endif
            const int slice = 4 * (g * NV + v);
            if (slice < out_slices) lv_write_half4(out, x, y, slice, a.s0123);
            if (slice + 1 < out_slices) lv_write_half4(out, x, y, slice + 1, a.s4567);
            if (slice + 2 < out_slices) lv_write_half4(out, x, y, slice + 2, a.s89ab);
            if (slice + 3 < out_slices) lv_write_half4(out, x, y, slice + 3, a.scdef);
        }
    }
}
