// Winograd convolutions of the compact networks and their fused output tails: "conv_winograd"
// (F(2x2, 3x3): the uniform-input body layer and the 2x tails) and, at the end of this file,
// "conv_winograd4" (F(4x4, 3x3): the body layers and the native 4x tails).
//
// "conv_winograd", specialised by macros:
//   IC            input channels of texture 0 (16 or 24)
//   OC            output channels one threadgroup computes (16, 24 or 48)
//   TOTAL_OC      output channels of the layer: the stride of the output channel in `kernel`
//   COOP_GROUPS   SIMD groups of 32 threads per threadgroup
//   TILE_BATCHES  batches of 8 tiles (2x2 outputs) per threadgroup, along x (default 1)
//   WG_GROUPS     always 1
//   ACTIVATE      PReLU with `slope` after the bias
//   UNIFORM_MODE  0 off; 1 count uniform samples (fused 2x tail, counter at buffer 3);
//                 2 also skip the products of transformed points that are zero in every
//                 channel (all but one point of a tile over uniform input)
//   FUSED_FINISH  reconstruct the frame instead of writing the features (OC 48: a 4x network's
//                 last layer; with FUSED_APPROX_2X / FUSED_OPTIMAL_2X, OC 16: its reduced layer)
//   FLIP_OUTPUT_Y write the output rows bottom up
//   FUSED_NATIVE_4X   conv_winograd4 (F(4x4, 3x3), below) writes the 4x output; conv_winograd
//                     writes the 4x output reduced to 2x
//   FUSED_APPROX_2X   the reduced layer's 2x output (channel 4c + 2Y + X is colour c of 2x
//                     sub-pixel (X, Y)), residual added and clamped once
//   FUSED_OPTIMAL_2X  that 2x image resampled to the size in buffer 3 (width, height)
//
// Bindings: texture 0 = features (IC channels), texture 1 = destination (features, or the
// frame for the tails), texture 2 = the source frame (tails); buffer 0 = transformed weights
// (half, element ((i·4 + j)·IC + ic)·TOTAL_OC + oc), 1 = bias, 2 = slope (half), 3 = the
// uniform counter or the destination size.
//
// Work split: a threadgroup covers a row of tiles. In the first phase a unit (row i of the
// transformed 4x4 tiles of a few neighbouring tiles) transforms its input rows, multiplies its
// points with the weights for all output channels of the group (float vectors and fma, which
// CPU devices vectorise; the tiles share each weight load and give enough independent
// accumulators) and folds its rows with Aᵀ; the partial rows meet in local memory, and in the
// second phase a unit (one tile) sums them into its four pixels and writes them. A CPU device
// runs a work group on one core, so units need not cover every work item; what counts is the
// work per group. Measured on PoCL (8-core AVX-512 machine, 16 to 16 channels with PReLU at
// 1280x720, bench/compact): 9.7 ms against 22.5 ms for the Gpu layer's direct convolution;
// one tile per unit with a single accumulator chain took 52 ms. Weights converted from half
// once per group into local floats were no faster than half vector loads, so they are read as
// stored.

#include "Reconstruction.cl"

#ifndef TILE_BATCHES
#define TILE_BATCHES 1
#endif
#ifndef UNIFORM_MODE
#define UNIFORM_MODE 0
#endif
#ifndef FUSED_FINISH
#define FUSED_FINISH 0
#endif
#ifndef FLIP_OUTPUT_Y
#define FLIP_OUTPUT_Y 0
#endif
#ifndef FUSED_NATIVE_4X
#define FUSED_NATIVE_4X 0
#endif
#ifndef FUSED_APPROX_2X
#define FUSED_APPROX_2X 0
#endif
#ifndef FUSED_OPTIMAL_2X
#define FUSED_OPTIMAL_2X 0
#endif
#ifndef ACTIVATE
#define ACTIVATE 0
#endif

#if IC % 8 != 0 || OC % 8 != 0
#error "IC and OC must be multiples of 8"
#endif

#define LV_THREADS (COOP_GROUPS * 32)
#define LV_TILES (TILE_BATCHES * 8)
#define LV_IN_VECS (IC / 8)

#if OC % 16 == 0
#define LV_VW 16
typedef float16 lv_ovec;
#define LV_LOAD_OUT(p) vload_half16(0, (p))
#define LV_STORE_LOCAL(v, p) vstore16((v), 0, (p))
#define LV_LOAD_LOCAL(p) vload16(0, (p))
#else
#define LV_VW 8
typedef float8 lv_ovec;
#define LV_LOAD_OUT(p) vload_half8(0, (p))
#define LV_STORE_LOCAL(v, p) vstore8((v), 0, (p))
#define LV_LOAD_LOCAL(p) vload8(0, (p))
#endif
#define LV_OVECS (OC / LV_VW)
// Transformed points whose products one pass over the input channels accumulates.
#ifndef LV_POINTS
#define LV_POINTS (LV_VW == 16 ? 1 : 2)
#endif

#define LV_REDUCED (FUSED_APPROX_2X || FUSED_OPTIMAL_2X)

// Tiles a threadgroup computes: a row of LV_TILES; the optimal output adds a one-pixel border
// on every side (its resampling reaches one input pixel beyond the group's own), so it computes
// two rows of LV_TILES + 1 tiles starting one pixel up and left.
#if FUSED_OPTIMAL_2X
#define LV_ROW_TILES (LV_TILES + 1)
#define LV_TILE_ROWS 2
#else
#define LV_ROW_TILES LV_TILES
#define LV_TILE_ROWS 1
#endif

// All IC channels of one feature pixel; zero outside the image (the convolution's padding) and
// for an image with fewer channels (a wrong binding reads nothing beyond the image).
inline void lv_load_features(lv_tex t, int x, int y, float8* out)
{
    if (!lv_inside(t, x, y) || t.d.slices * 4 < IC) {
        for (int k = 0; k < LV_IN_VECS; ++k) out[k] = (float8)(0.0f);
        return;
    }
    if (t.d.slice_pitch == 8) { // slices of a pixel side by side: one vector load
        global const half* p = (global const half*)lv_texel(t, x, y, 0);
        for (int k = 0; k < LV_IN_VECS; ++k) out[k] = vload_half8(k, p);
    } else {
        for (int k = 0; k < LV_IN_VECS; ++k)
            out[k] = (float8)(lv_read_half4(t, x, y, 2 * k), lv_read_half4(t, x, y, 2 * k + 1));
    }
}

// Channels [first, first + LV_VW) of a feature pixel; nothing outside the image or its channels.
inline void lv_store_features(lv_tex t, int x, int y, int first, lv_ovec v)
{
    if (!lv_inside(t, x, y) || (int)t.d.slices * 4 < first + LV_VW) return;
    if (t.d.slice_pitch == 8) {
        global half* p = (global half*)lv_texel(t, x, y, 0) + first;
#if LV_VW == 16
        vstore_half16(v, 0, p);
#else
        vstore_half8(v, 0, p);
#endif
    } else {
#if LV_VW == 16
        lv_write_half4(t, x, y, first / 4, v.s0123);
        lv_write_half4(t, x, y, first / 4 + 1, v.s4567);
        lv_write_half4(t, x, y, first / 4 + 2, v.s89ab);
        lv_write_half4(t, x, y, first / 4 + 3, v.scdef);
#else
        lv_write_half4(t, x, y, first / 4, v.s0123);
        lv_write_half4(t, x, y, first / 4 + 1, v.s4567);
#endif
    }
}

// Whether the image pixels of the 4x4 input patch at (x0, y0) all hold the same features.
inline bool lv_uniform_patch(lv_tex t, int x0, int y0)
{
    float8 first[LV_IN_VECS], p[LV_IN_VECS];
    bool seen = false;
    int8 differs = (int8)(0);
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            if (!lv_inside(t, x0 + c, y0 + r)) continue;
            lv_load_features(t, x0 + c, y0 + r, seen ? p : first);
            if (seen) {
                for (int k = 0; k < LV_IN_VECS; ++k) differs |= isnotequal(p[k], first[k]);
            }
            seen = true;
        }
    }
    return seen && !any(differs);
}

// Tiles one unit of the first phase computes side by side, for one output vector: the tiles
// share every weight load, and their products give the CPU enough independent accumulators
// (four points times the tiles).
#ifndef LV_UNIT_TILES
#if FUSED_OPTIMAL_2X
#define LV_UNIT_TILES 3
#else
#define LV_UNIT_TILES 4
#endif
#endif

#if LV_ROW_TILES % LV_UNIT_TILES != 0
#error "a unit's tiles must divide the group's"
#endif

// Phase one for row i of LV_UNIT_TILES neighbouring tiles whose input patches start at
// (x0 + 2t, y0): transformed input row, products, row folded with Aᵀ. out0/out1[t] receive the
// fold's two columns for the LV_VW channels from `oc_first`.
inline void lv_tile_rows(lv_tex features, int x0, int y0, int i, global const half* weights, int oc_first,
                         lv_ovec out0[LV_UNIT_TILES], lv_ovec out1[LV_UNIT_TILES])
{
    // Bᵀ rows: (1 0 -1 0), (0 1 1 0), (0 -1 1 0), (0 1 0 -1): row i combines input rows ra and rb.
    const int ra = i == 0 ? 0 : (i == 2 ? 2 : 1);
    const int rb = i == 0 ? 2 : (i == 3 ? 3 : (i == 1 ? 2 : 1));
    const float sb = i == 1 ? 1.0f : -1.0f;

#define LV_COLUMNS (2 * LV_UNIT_TILES + 2)
    float8 t[LV_COLUMNS][LV_IN_VECS];
    #pragma unroll
    for (int c = 0; c < LV_COLUMNS; ++c) {
        float8 a[LV_IN_VECS], b[LV_IN_VECS];
        lv_load_features(features, x0 + c, y0 + ra, a);
        lv_load_features(features, x0 + c, y0 + rb, b);
        #pragma unroll
        for (int k = 0; k < LV_IN_VECS; ++k) t[c][k] = fma((float8)(sb), b[k], a[k]);
    }
    // The same combination along the columns gives the four transformed points of row i; they
    // are kept in private memory so that the products broadcast them straight from there.
    float v[LV_UNIT_TILES][4][IC];
    #pragma unroll
    for (int u = 0; u < LV_UNIT_TILES; ++u) {
        const int c = 2 * u;
        #pragma unroll
        for (int k = 0; k < LV_IN_VECS; ++k) {
            vstore8(t[c][k] - t[c + 2][k], k, v[u][0]);
            vstore8(t[c + 1][k] + t[c + 2][k], k, v[u][1]);
            vstore8(t[c + 2][k] - t[c + 1][k], k, v[u][2]);
            vstore8(t[c + 1][k] - t[c + 3][k], k, v[u][3]);
        }
    }

    lv_ovec m[LV_UNIT_TILES][4];
    #pragma unroll
    for (int u = 0; u < LV_UNIT_TILES; ++u)
        #pragma unroll
        for (int j = 0; j < 4; ++j) m[u][j] = (lv_ovec)(0.0f);
    global const half* w = weights + (size_t)(i * 4 * IC) * TOTAL_OC + oc_first;
#if UNIFORM_MODE == 2
    // Points that are zero in every channel and tile contribute nothing: over uniform input
    // only point (1, 1) is left.
    #pragma unroll
    for (int j = 0; j < 4; ++j) {
        bool zero = true;
        #pragma unroll
        for (int u = 0; u < LV_UNIT_TILES; ++u)
            for (int ic = 0; ic < IC; ++ic) zero = zero && v[u][j][ic] == 0.0f;
        if (zero) continue;
        for (int ic = 0; ic < IC; ++ic) {
            const lv_ovec wv = LV_LOAD_OUT(w + (j * IC + ic) * TOTAL_OC);
            #pragma unroll
            for (int u = 0; u < LV_UNIT_TILES; ++u) m[u][j] = fma((lv_ovec)(v[u][j][ic]), wv, m[u][j]);
        }
    }
#else
    // Points outermost: only the accumulators of LV_POINTS points stay live, which fit the
    // registers (all four points' at once spilled on AVX2 and ran at half the speed).
    #pragma unroll
    for (int j0 = 0; j0 < 4; j0 += LV_POINTS) {
        for (int ic = 0; ic < IC; ++ic) {
            #pragma unroll
            for (int j = j0; j < j0 + LV_POINTS; ++j) {
                const lv_ovec wv = LV_LOAD_OUT(w + (j * IC + ic) * TOTAL_OC);
                #pragma unroll
                for (int u = 0; u < LV_UNIT_TILES; ++u) m[u][j] = fma((lv_ovec)(v[u][j][ic]), wv, m[u][j]);
            }
        }
    }
#endif
    // Aᵀ = (1 1 1 0), (0 1 -1 -1), applied along the row.
    #pragma unroll
    for (int u = 0; u < LV_UNIT_TILES; ++u) {
        out0[u] = m[u][0] + m[u][1] + m[u][2];
        out1[u] = m[u][1] - m[u][2] - m[u][3];
    }
}

// Partial rows of every tile of the group: [tile][i][column][OC].
#define LV_PARTIAL(tile, i, x) (partial + (((tile) * 4 + (i)) * 2 + (x)) * OC)

// Phase two: the four output pixels of a tile (pixel p at (p & 1, p >> 1)) from its folded rows,
// plus the bias, OC channels.
inline void lv_tile_pixels(local const float* partial, int tile, const lv_ovec* bias,
                           lv_ovec out[4][LV_OVECS])
{
    #pragma unroll
    for (int o = 0; o < LV_OVECS; ++o) {
        #pragma unroll
        for (int px = 0; px < 2; ++px) {
            const lv_ovec r0 = LV_LOAD_LOCAL(LV_PARTIAL(tile, 0, px) + o * LV_VW);
            const lv_ovec r1 = LV_LOAD_LOCAL(LV_PARTIAL(tile, 1, px) + o * LV_VW);
            const lv_ovec r2 = LV_LOAD_LOCAL(LV_PARTIAL(tile, 2, px) + o * LV_VW);
            const lv_ovec r3 = LV_LOAD_LOCAL(LV_PARTIAL(tile, 3, px) + o * LV_VW);
            out[px][o] = r0 + r1 + r2 + bias[o];
            out[2 + px][o] = r1 - r2 - r3 + bias[o];
        }
    }
}

#if FUSED_OPTIMAL_2X
// The display resampling along one axis: destination index u of `size` from a 2x image of
// `image` pixels. Tent of radius clamp(image / size, 1, 2) centred at (u + 0.5) · image / size - 0.5,
// edge pixels repeated, weights normalised. Returns the tap count; at most 4 taps.
inline int lv_resample_taps(int u, int image, int size, int* index, float* weight)
{
    const float ratio = (float)image / (float)size;
    const float centre = ((float)u + 0.5f) * ratio - 0.5f;
    const float radius = clamp(ratio, 1.0f, 2.0f);
    int n = 0;
    float total = 0.0f;
    for (int j = (int)floor(centre - radius); j <= (int)ceil(centre + radius) && n < 4; ++j) {
        const float w = 1.0f - fabs((float)j - centre) / radius;
        if (w <= 0.0f) continue;
        index[n] = clamp(j, 0, image - 1);
        weight[n] = w;
        total += w;
        ++n;
    }
    for (int k = 0; k < n; ++k) weight[k] /= total;
    return n;
}

// First destination index whose centre falls in input pixel `first` or later:
// owner(u) = floor((2u + 1) · input / (2 · size)).
inline int lv_first_owned(int first, int input, int size)
{
    const long numerator = 2L * size * first - input;
    if (numerator <= 0) return 0;
    return (int)min((numerator + 2L * input - 1) / (2L * input), (long)size);
}
#endif

kernel void conv_winograd(LV_GRID, LV_TEXTURE(features), LV_TEXTURE(destination), LV_TEXTURE(source),
                          global const half* kernel_weights, global const half* bias,
                          global const half* slope, global uint* extra)
{
    lv_tex in = LV_TEX(features);
    lv_tex out = LV_TEX(destination);
    const int lid = (int)get_local_id(0);
    const int gx = (int)get_group_id(0), gy = (int)get_group_id(1);
    const int oc_first = (int)get_group_id(2) * OC;
    local float partial[LV_ROW_TILES * 4 * 2 * OC];

#if FUSED_FINISH
    lv_tex src = LV_TEX(source);
#endif

#if UNIFORM_MODE >= 1 && FUSED_FINISH && !LV_REDUCED && !FUSED_NATIVE_4X
    // One sample for every 8 x 8 threadgroups: the group's first tile.
    if (extra && lid == 0 && gx % 8 == 0 && gy % 8 == 0 &&
        lv_uniform_patch(in, 2 * LV_TILES * gx - 1, 2 * gy - 1))
        atomic_inc(extra);
#endif

#if FUSED_OPTIMAL_2X
    // The group's 2x image, clamped, over its input pixels and the one-pixel border:
    // [2x row][2x column][rgb], 2x pixels (2·(x0 - 1) + c, 2·(y0 - 1) + r).
#define LV_IMAGE_COLUMNS (2 * (2 * LV_TILES + 2))
    local float image2x[8 * LV_IMAGE_COLUMNS * 3];
    const int x0 = 2 * LV_TILES * gx, y0 = 2 * gy;
    for (int pass = 0; pass < LV_TILE_ROWS; ++pass) {
        const int base_x = x0 - 1, base_y = y0 - 1 + 2 * pass;
#else
    {
        const int base_x = 2 * LV_TILES * gx, base_y = 2 * gy;
#endif
        // Units: (group of LV_UNIT_TILES tiles, row i, output vector).
        for (int u = lid; u < LV_ROW_TILES / LV_UNIT_TILES * 4 * LV_OVECS; u += LV_THREADS) {
            const int o = u % LV_OVECS, i = (u / LV_OVECS) & 3, first = u / (LV_OVECS * 4) * LV_UNIT_TILES;
            lv_ovec r0[LV_UNIT_TILES], r1[LV_UNIT_TILES];
            lv_tile_rows(in, base_x + 2 * first - 1, base_y - 1, i, kernel_weights, oc_first + o * LV_VW, r0,
                         r1);
            for (int t = 0; t < LV_UNIT_TILES; ++t) {
                LV_STORE_LOCAL(r0[t], LV_PARTIAL(first + t, i, 0) + o * LV_VW);
                LV_STORE_LOCAL(r1[t], LV_PARTIAL(first + t, i, 1) + o * LV_VW);
            }
        }
        barrier(CLK_LOCAL_MEM_FENCE);

        for (int tile = lid; tile < LV_ROW_TILES; tile += LV_THREADS) {
            lv_ovec b[LV_OVECS], pixels[4][LV_OVECS];
            for (int o = 0; o < LV_OVECS; ++o) b[o] = LV_LOAD_OUT(bias + oc_first + o * LV_VW);
            lv_tile_pixels(partial, tile, b, pixels);
#if !FUSED_FINISH && ACTIVATE
            lv_ovec s[LV_OVECS];
            for (int o = 0; o < LV_OVECS; ++o) s[o] = LV_LOAD_OUT(slope + oc_first + o * LV_VW);
#endif
            for (int p = 0; p < 4; ++p) {
                const int x = base_x + 2 * tile + (p & 1), y = base_y + (p >> 1);
                if (!lv_inside(in, x, y)) continue;
                lv_ovec* v = pixels[p];
#if !FUSED_FINISH
#if ACTIVATE
                for (int o = 0; o < LV_OVECS; ++o) v[o] = select(v[o] * s[o], v[o], v[o] >= (lv_ovec)(0.0f));
#endif
                for (int o = 0; o < LV_OVECS; ++o) lv_store_features(out, x, y, oc_first + o * LV_VW, v[o]);
#else
                float n[OC];
#if LV_VW == 16
                for (int o = 0; o < LV_OVECS; ++o) vstore16(v[o], o, n);
#else
                for (int o = 0; o < LV_OVECS; ++o) vstore8(v[o], o, n);
#endif
                const float3 residual = lv_source_rgb(src, x, y);
#if FUSED_OPTIMAL_2X
                for (int k = 0; k < 4; ++k) {
                    const int sx = k & 1, sy = k >> 1;
                    const float3 rgb = lv_reconstruct_pixel((float3)(n[k], n[4 + k], n[8 + k]), residual);
                    const int row = 2 * (y - (y0 - 1)) + sy, column = 2 * (x - (x0 - 1)) + sx;
                    local float* at = image2x + (row * LV_IMAGE_COLUMNS + column) * 3;
                    at[0] = rgb.x;
                    at[1] = rgb.y;
                    at[2] = rgb.z;
                }
#elif FUSED_APPROX_2X
                for (int k = 0; k < 4; ++k) {
                    const int sx = k & 1, sy = k >> 1;
                    const float3 rgb = lv_reconstruct_pixel((float3)(n[k], n[4 + k], n[8 + k]), residual);
                    lv_write_output(out, 2 * x + sx, lv_output_row(out, 2 * y + sy, FLIP_OUTPUT_Y), rgb);
                }
#else
                for (int k = 0; k < 4; ++k) {
                    const int sx = k & 1, sy = k >> 1;
                    float3 q[4];
                    for (int d = 0; d < 4; ++d) {
                        const int dx = 2 * sx + (d & 1), dy = 2 * sy + (d >> 1);
                        q[d] = (float3)(n[lv_shuffle_channel(0, dx, dy, 4)],
                                        n[lv_shuffle_channel(1, dx, dy, 4)],
                                        n[lv_shuffle_channel(2, dx, dy, 4)]);
                    }
                    lv_write_output(out, 2 * x + sx, lv_output_row(out, 2 * y + sy, FLIP_OUTPUT_Y),
                                    lv_reconstruct_down2(q[0], q[1], q[2], q[3], residual));
                }
#endif
#endif
            }
        }
#if FUSED_OPTIMAL_2X
        barrier(CLK_LOCAL_MEM_FENCE);
#endif
    }

#if FUSED_OPTIMAL_2X
    // Destination pixels whose centre lies in the group's input pixels, from its 2x image.
    const int W = (int)lv_width(in), H = (int)lv_height(in);
    if (!extra) return;
    const int dw = (int)extra[0], dh = (int)extra[1];
    const int u0 = lv_first_owned(x0, W, dw), u1 = lv_first_owned(x0 + 2 * LV_TILES, W, dw);
    const int v0 = lv_first_owned(y0, H, dh), v1 = lv_first_owned(y0 + 2, H, dh);
    const int columns = u1 - u0, rows = v1 - v0;

    // The taps of every column and row, once per group, in the partial rows' memory (free now):
    // four per entry, unused ones weighing 0 so that every pixel sums 4 x 4 taps without
    // branches. Up to 4x the input (the engine's limit) they fit; beyond, taps are computed for
    // every pixel.
#define LV_TAP_ENTRIES (4 * 2 * LV_TILES + 8)
    local int* tap_index = (local int*)partial;
    local float* tap_weight = partial + 4 * LV_TAP_ENTRIES;
    const bool tabled = columns + rows <= LV_TAP_ENTRIES;
    if (tabled) {
        for (int e = lid; e < columns + rows; e += LV_THREADS) {
            int index[4];
            float weight[4];
            const bool column = e < columns;
            const int n = column ? lv_resample_taps(u0 + e, 2 * W, dw, index, weight)
                                 : lv_resample_taps(v0 + e - columns, 2 * H, dh, index, weight);
            const int origin = column ? 2 * (x0 - 1) : 2 * (y0 - 1);
            for (int k = 0; k < 4; ++k) {
                tap_index[4 * e + k] = (k < n ? index[k] : index[0]) - origin;
                tap_weight[4 * e + k] = k < n ? weight[k] : 0.0f;
            }
        }
        barrier(CLK_LOCAL_MEM_FENCE);
    }
    // Per destination column: its horizontal taps applied to the eight 2x rows once, then the
    // vertical taps for each destination row.
    for (int cu = lid; cu < columns; cu += LV_THREADS) {
        int ix[4];
        float wx[4];
        if (tabled) {
            for (int t = 0; t < 4; ++t) {
                ix[t] = tap_index[4 * cu + t];
                wx[t] = tap_weight[4 * cu + t];
            }
        } else {
            const int nx = lv_resample_taps(u0 + cu, 2 * W, dw, ix, wx);
            for (int t = 0; t < 4; ++t) {
                ix[t] = (t < nx ? ix[t] : ix[0]) - 2 * (x0 - 1);
                wx[t] = t < nx ? wx[t] : 0.0f;
            }
        }
        float3 across[8];
        #pragma unroll
        for (int r = 0; r < 8; ++r) {
            float3 sum = (float3)(0.0f);
            #pragma unroll
            for (int t = 0; t < 4; ++t) {
                local const float* at = image2x + (r * LV_IMAGE_COLUMNS + ix[t]) * 3;
                sum += wx[t] * (float3)(at[0], at[1], at[2]);
            }
            across[r] = sum;
        }
        for (int cv = 0; cv < rows; ++cv) {
            int iy[4];
            float wy[4];
            if (tabled) {
                for (int t = 0; t < 4; ++t) {
                    iy[t] = tap_index[4 * (columns + cv) + t];
                    wy[t] = tap_weight[4 * (columns + cv) + t];
                }
            } else {
                const int ny = lv_resample_taps(v0 + cv, 2 * H, dh, iy, wy);
                for (int t = 0; t < 4; ++t) {
                    iy[t] = (t < ny ? iy[t] : iy[0]) - 2 * (y0 - 1);
                    wy[t] = t < ny ? wy[t] : 0.0f;
                }
            }
            const float3 rgb = wy[0] * across[iy[0]] + wy[1] * across[iy[1]] + wy[2] * across[iy[2]] +
                               wy[3] * across[iy[3]];
            lv_write_output(out, u0 + cu, lv_output_row(out, v0 + cv, FLIP_OUTPUT_Y), rgb);
        }
    }
#endif
}

#if (!FUSED_FINISH || FUSED_NATIVE_4X) && UNIFORM_MODE == 0
// Winograd F(4x4, 3x3) of a body layer (or, with FUSED_NATIVE_4X, of the last layer and its native 4x tail), "conv_winograd4": the same bindings, except buffer 0,
// the transformed weights in float, element ((i·6 + j)·IC + ic)·TOTAL_OC + oc. A 4x4 output
// tile at (4·tx, 4·ty) reads the 6x6 input patch from (4·tx - 1, 4·ty - 1); 36 products per 16
// pixels against F(2x2, 3x3)'s 16 per 4, so 1.78x fewer multiplies.
//   Bᵀ = [4 0 -5 0 1 0; 0 -4 -4 1 1 0; 0 4 -4 -1 1 0; 0 -2 -1 2 1 0; 0 2 -1 -2 1 0; 0 4 0 -5 0 1]
//   Aᵀ = [1 1 1 1 1 0; 0 1 -1 2 -2 0; 0 1 1 4 4 0; 0 1 -1 8 -8 1]
// A threadgroup covers W4_TILES tiles of one tile row; a unit (one work item) does everything
// for LV_UNIT_TILES neighbouring tiles: reads their input once, transforms it, multiplies and
// writes the pixels, with no local memory or barrier. Splitting a tile's six transformed rows
// among six units, as conv_winograd splits its four, read and transformed the input six times
// and spent more time there than in the products (perf, PoCL on Zen 3).
#ifndef W4_TILES
#define W4_TILES 16
#endif
#if W4_TILES % LV_UNIT_TILES != 0
#error "a unit's tiles must divide the group's"
#endif

#if LV_VW == 16
#define W4_LOAD_WEIGHTS(p) vload16(0, (p))
#else
#define W4_LOAD_WEIGHTS(p) vload8(0, (p))
#endif

// Row i of Bᵀ applied to six values.
inline float8 w4_bt(int i, float8 d0, float8 d1, float8 d2, float8 d3, float8 d4, float8 d5)
{
    switch (i) {
    case 0: return fma((float8)(4.0f), d0, fma((float8)(-5.0f), d2, d4));
    case 1: return fma((float8)(-4.0f), d1 + d2, d3 + d4);
    case 2: return fma((float8)(4.0f), d1 - d2, d4 - d3);
    case 3: return fma((float8)(2.0f), d3 - d1, d4 - d2);
    case 4: return fma((float8)(2.0f), d1 - d3, d4 - d2);
    default: return fma((float8)(4.0f), d1, fma((float8)(-5.0f), d3, d5));
    }
}

// Aᵀ applied to six values.
inline void w4_at(lv_ovec m0, lv_ovec m1, lv_ovec m2, lv_ovec m3, lv_ovec m4, lv_ovec m5, lv_ovec out[4])
{
    const lv_ovec a = m1 + m2, b = m1 - m2, c = m3 + m4, d = m3 - m4;
    out[0] = m0 + a + c;
    out[1] = fma((lv_ovec)(2.0f), d, b);
    out[2] = fma((lv_ovec)(4.0f), c, a);
    out[3] = fma((lv_ovec)(8.0f), d, b) + m5;
}

#define W4_COLUMNS (4 * LV_UNIT_TILES + 2)

// lv_reconstruct_pixel of one colour of four pixels.
inline float4 lv_reconstruct4(float4 network, float residual)
{
    return clamp(network + residual, 0.0f, 1.0f);
}

#if LV_VW == 16
#define W4_STORE_PRIVATE(value, o, p) vstore16((value), (o), (p))
#else
#define W4_STORE_PRIVATE(value, o, p) vstore8((value), (o), (p))
#endif

// The products of one output vector (weights from its first channel), LV_POINTS points at a
// time so that the accumulators stay in registers.
inline void w4_products(float v[LV_UNIT_TILES][36][IC], global const float* w, lv_ovec m[LV_UNIT_TILES][36])
{
    for (int p0 = 0; p0 < 36; p0 += LV_POINTS) {
        lv_ovec acc[LV_UNIT_TILES][LV_POINTS];
        #pragma unroll
        for (int u = 0; u < LV_UNIT_TILES; ++u)
            #pragma unroll
            for (int p = 0; p < LV_POINTS; ++p) acc[u][p] = (lv_ovec)(0.0f);
        for (int ic = 0; ic < IC; ++ic) {
            #pragma unroll
            for (int p = 0; p < LV_POINTS; ++p) {
                const lv_ovec wv = W4_LOAD_WEIGHTS(w + ((p0 + p) * IC + ic) * TOTAL_OC);
                #pragma unroll
                for (int u = 0; u < LV_UNIT_TILES; ++u) acc[u][p] = fma((lv_ovec)(v[u][p0 + p][ic]), wv, acc[u][p]);
            }
        }
        #pragma unroll
        for (int u = 0; u < LV_UNIT_TILES; ++u)
            #pragma unroll
            for (int p = 0; p < LV_POINTS; ++p) m[u][p0 + p] = acc[u][p];
    }
}

// The LV_UNIT_TILES tiles whose outputs start at (x0, y0); with FUSED_NATIVE_4X their 4x frame
// blocks, from the source frame `src`.
inline void w4_unit(lv_tex in, lv_tex out, lv_tex src, int x0, int y0, global const float* weights,
                    global const half* bias, global const half* slope, int oc_group)
{
    // Bᵀ down the columns of the input rows y0 - 1 ... y0 + 4, then along the rows.
    float8 t[6][W4_COLUMNS][LV_IN_VECS];
    for (int c = 0; c < W4_COLUMNS; ++c) {
        float8 d[6][LV_IN_VECS];
        #pragma unroll
        for (int r = 0; r < 6; ++r) lv_load_features(in, x0 - 1 + c, y0 - 1 + r, d[r]);
        #pragma unroll
        for (int i = 0; i < 6; ++i)
            #pragma unroll
            for (int k = 0; k < LV_IN_VECS; ++k)
                t[i][c][k] = w4_bt(i, d[0][k], d[1][k], d[2][k], d[3][k], d[4][k], d[5][k]);
    }
    float v[LV_UNIT_TILES][36][IC];
    #pragma unroll
    for (int u = 0; u < LV_UNIT_TILES; ++u)
        #pragma unroll
        for (int i = 0; i < 6; ++i)
            #pragma unroll
            for (int k = 0; k < LV_IN_VECS; ++k) {
                const int c = 4 * u;
                #pragma unroll
                for (int j = 0; j < 6; ++j)
                    vstore8(w4_bt(j, t[i][c][k], t[i][c + 1][k], t[i][c + 2][k], t[i][c + 3][k], t[i][c + 4][k],
                                  t[i][c + 5][k]),
                            k, v[u][i * 6 + j]);
            }

#if FUSED_NATIVE_4X
    // Every output channel of a pixel is needed at once for its 4x4 block of the frame.
    lv_ovec m[LV_OVECS][LV_UNIT_TILES][36];
    for (int o = 0; o < LV_OVECS; ++o) w4_products(v, weights + oc_group + o * LV_VW, m[o]);
    for (int u = 0; u < LV_UNIT_TILES; ++u) {
        lv_ovec r[LV_OVECS][6][4];
        for (int o = 0; o < LV_OVECS; ++o)
            #pragma unroll
            for (int i = 0; i < 6; ++i)
                w4_at(m[o][u][6 * i], m[o][u][6 * i + 1], m[o][u][6 * i + 2], m[o][u][6 * i + 3],
                      m[o][u][6 * i + 4], m[o][u][6 * i + 5], r[o][i]);
        for (int x = 0; x < 4; ++x) {
            float n[4][OC];
            for (int o = 0; o < LV_OVECS; ++o) {
                lv_ovec pixels[4];
                w4_at(r[o][0][x], r[o][1][x], r[o][2][x], r[o][3][x], r[o][4][x], r[o][5][x], pixels);
                const lv_ovec b = LV_LOAD_OUT(bias + oc_group + o * LV_VW);
                #pragma unroll
                for (int y = 0; y < 4; ++y) W4_STORE_PRIVATE(pixels[y] + b, o, n[y]);
            }
            const int px = x0 + 4 * u + x;
            for (int y = 0; y < 4; ++y) {
                if (!lv_inside(in, px, y0 + y)) continue;
                const float3 residual = lv_source_rgb(src, px, y0 + y);
                for (int dy = 0; dy < 4; ++dy) {
                    const int ox = 4 * px, oy = lv_output_row(out, 4 * (y0 + y) + dy, FLIP_OUTPUT_Y);
                    // A row of the block is four neighbouring channels of each colour: one
                    // 16-byte store of four BGRA8 pixels, as lv_write_output would write them.
                    if (out.d.format == LV_FORMAT_BGRA8UNORM && out.d.pixel_pitch == 4 && lv_inside(out, ox, oy) &&
                        lv_inside(out, ox + 3, oy)) {
                        const float4 r = lv_reconstruct4(vload4(0, n[y] + lv_shuffle_channel(0, 0, dy, 4)), residual.x);
                        const float4 g = lv_reconstruct4(vload4(0, n[y] + lv_shuffle_channel(1, 0, dy, 4)), residual.y);
                        const float4 b = lv_reconstruct4(vload4(0, n[y] + lv_shuffle_channel(2, 0, dy, 4)), residual.z);
                        const float16 bgra = (float16)(b.x, g.x, r.x, 1.0f, b.y, g.y, r.y, 1.0f, b.z, g.z, r.z, 1.0f,
                                                       b.w, g.w, r.w, 1.0f);
                        vstore16(convert_uchar16_sat_rte(bgra * 255.0f), 0, lv_texel(out, ox, oy, 0));
                        continue;
                    }
                    for (int dx = 0; dx < 4; ++dx) {
                        const float3 net = (float3)(n[y][lv_shuffle_channel(0, dx, dy, 4)],
                                                    n[y][lv_shuffle_channel(1, dx, dy, 4)],
                                                    n[y][lv_shuffle_channel(2, dx, dy, 4)]);
                        lv_write_output(out, ox + dx, oy, lv_reconstruct_pixel(net, residual));
                    }
                }
            }
        }
    }
#else
    for (int o = 0; o < LV_OVECS; ++o) {
        const int first = oc_group + o * LV_VW;
        lv_ovec m[LV_UNIT_TILES][36];
        w4_products(v, weights + first, m);

        const lv_ovec b = LV_LOAD_OUT(bias + first);
#if ACTIVATE
        const lv_ovec s = LV_LOAD_OUT(slope + first);
#endif
        for (int u = 0; u < LV_UNIT_TILES; ++u) {
            // Aᵀ along each row, then down each column.
            lv_ovec r[6][4];
            #pragma unroll
            for (int i = 0; i < 6; ++i)
                w4_at(m[u][6 * i], m[u][6 * i + 1], m[u][6 * i + 2], m[u][6 * i + 3], m[u][6 * i + 4],
                      m[u][6 * i + 5], r[i]);
            #pragma unroll
            for (int x = 0; x < 4; ++x) {
                lv_ovec pixels[4];
                w4_at(r[0][x], r[1][x], r[2][x], r[3][x], r[4][x], r[5][x], pixels);
                const int px = x0 + 4 * u + x;
                for (int y = 0; y < 4; ++y) {
                    if (!lv_inside(in, px, y0 + y)) continue;
                    lv_ovec value = pixels[y] + b;
#if ACTIVATE
                    value = select(value * s, value, value >= (lv_ovec)(0.0f));
#endif
                    lv_store_features(out, px, y0 + y, first, value);
                }
            }
        }
    }
#endif
}

kernel void conv_winograd4(LV_GRID, LV_TEXTURE(features), LV_TEXTURE(destination), LV_TEXTURE(source),
                           global const float* kernel_weights, global const half* bias,
                           global const half* slope, global uint* extra)
{
    lv_tex in = LV_TEX(features);
    const int x0 = 4 * W4_TILES * (int)get_group_id(0), y0 = 4 * (int)get_group_id(1);
    for (int u = (int)get_local_id(0); u < W4_TILES / LV_UNIT_TILES; u += LV_THREADS)
        w4_unit(in, LV_TEX(destination), LV_TEX(source), x0 + 4 * LV_UNIT_TILES * u, y0, kernel_weights, bias,
                slope, (int)get_group_id(2) * OC);
}
#endif
