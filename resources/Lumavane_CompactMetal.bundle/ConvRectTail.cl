// Fused last layer and reconstruction of a 4x network with rectangular Winograd tiles: the 3x3
// convolution from INPUT_CHANNELS features to 48 channels (F(4x2, 3x3), ConvRectangular.cl),
// the pixel shuffle by 4, the residual of the source frame, and, unless NATIVE, the 2x reduction,
// in one pass.
//
// Macros: SIMDS (SIMD groups of 32 threads per threadgroup), NATIVE (write the 4x output; else
// 2x), INPUT_CHANNELS (16 or 24), VECTOR_OUTPUT (2x output: a tile row's eight pixels as one
// store where they lie inside a BGRA destination), NATIVE_ROW_PAIRS (4x output: one unit takes
// both feature rows of a tile, reading the products once).
// Bindings: texture 0 = features, 1 = source frame, 2 = destination; buffer 0 = transformed
// filters (half, (p·C + i)·48 + o), 1 = bias (48 half), 2 = flip flag (1: rows bottom up).
// A threadgroup covers eight 4x2 tiles side by side: 32 feature columns, 2 feature rows.
//
// ConvRectTail24.cl builds the 24-channel tail from the same body (RT_KERNEL_NAME).

#include "ConvRectangular.cl"
#include "Reconstruction.cl"

#ifndef RT_KERNEL_NAME
#define RT_KERNEL_NAME rect_tail
#endif
#ifndef VECTOR_OUTPUT
#define VECTOR_OUTPUT 0
#endif
#ifndef NATIVE_ROW_PAIRS
#define NATIVE_ROW_PAIRS 0
#endif
#if INPUT_CHANNELS != 16 && INPUT_CHANNELS != 24
#error "INPUT_CHANNELS must be 16 or 24"
#endif
#if SIMDS < 1
#error "SIMDS must be positive"
#endif

#define RT_C INPUT_CHANNELS
#define RT_THREADS (32 * SIMDS)
#define RT_TILES 8
// A point's slot in threadgroup memory: its C input values (float), later its 48 products (half).
#define RT_SLOT 24

#if RT_C == 16
#define RT_NV 1
#define RT_VW 16
typedef float16 rt_in;
#define rt_read rw_read16
#define RT_STORE_LOCAL(v, p) vstore16((v), 0, (p))
#else
#define RT_NV 3
#define RT_VW 8
typedef float8 rt_in;
#define rt_read rw_read8
#define RT_STORE_LOCAL(v, p) vstore8((v), 0, (p))
#endif

// Colour c's sixteen sub-pixels: lane 4·dy + dx is output pixel (dx, dy) of the 4x4 block.
#define RT_LANES(X, n) X(0, 0, 0, n) X(1, 1, 0, n) X(2, 2, 0, n) X(3, 3, 0, n) X(4, 0, 1, n) X(5, 1, 1, n) \
    X(6, 2, 1, n) X(7, 3, 1, n) X(8, 0, 2, n) X(9, 1, 2, n) X(a, 2, 2, n) X(b, 3, 2, n) X(c, 0, 3, n)           \
    X(d, 1, 3, n) X(e, 2, 3, n) X(f, 3, 3, n)
#define RT_RGB(n, l) ((float3)((n##_r).s##l, (n##_g).s##l, (n##_b).s##l))

// The source pixel under feature pixel (x, y); a source smaller than the features reads as black.
inline float3 rt_residual(lv_tex src, int x, int y)
{
    return lv_inside(src, x, y) ? lv_source_rgb(src, x, y) : (float3)(0.0f);
}

// Pixels of one output row from x on: one vector store when they all lie inside a BGRA
// destination, else pixel by pixel.
inline bool rt_row_inside(lv_tex dst, int x, int row, int count)
{
    return dst.d.format == LV_FORMAT_BGRA8UNORM && dst.d.pixel_pitch == 4 && (dst.d.offset & 3) == 0 &&
           (dst.d.row_pitch & 3) == 0 && x >= 0 &&
           x + count <= (int)lv_width(dst) && row >= 0 && row < (int)lv_height(dst);
}

// Four pixels as the bytes lv_write stores for BGRA (alpha 1), as four words. Clamping first and
// rounding by adding and taking away 1.5·2²³ gives exactly convert_uchar_sat_rte (NaN included),
// which CPU devices emulate at several times the cost.
inline uint4 rt_bgra4(float3 p0, float3 p1, float3 p2, float3 p3)
{
    const float16 v = (float16)(p0.z, p0.y, p0.x, 1.0f, p1.z, p1.y, p1.x, 1.0f, p2.z, p2.y, p2.x, 1.0f, p3.z, p3.y,
                                p3.x, 1.0f);
    const float16 rounded = (clamp(v * 255.0f, 0.0f, 255.0f) + 12582912.0f) - 12582912.0f;
    return as_uint4(convert_uchar16(rounded));
}

// Two pixels: the 2x block row of one feature pixel.
__attribute__((always_inline)) inline void rt_write2(lv_tex dst, int x, int row, float3 p0, float3 p1)
{
    if (rt_row_inside(dst, x, row, 2)) {
        vstore2(rt_bgra4(p0, p1, p1, p1).s01, 0, (global uint*)lv_texel(dst, x, row, 0));
    } else {
        lv_write_output(dst, x, row, p0);
        lv_write_output(dst, x + 1, row, p1);
    }
}

__attribute__((always_inline)) inline void rt_write4(lv_tex dst, int x, int row, float3 p0, float3 p1, float3 p2,
                                                     float3 p3)
{
    if (rt_row_inside(dst, x, row, 4)) {
        vstore4(rt_bgra4(p0, p1, p2, p3), 0, (global uint*)lv_texel(dst, x, row, 0));
    } else {
        lv_write_output(dst, x, row, p0);
        lv_write_output(dst, x + 1, row, p1);
        lv_write_output(dst, x + 2, row, p2);
        lv_write_output(dst, x + 3, row, p3);
    }
}

__attribute__((always_inline)) inline void rt_write8(lv_tex dst, int x, int row, float3 p0, float3 p1, float3 p2,
                                                     float3 p3, float3 p4, float3 p5, float3 p6, float3 p7)
{
    if (rt_row_inside(dst, x, row, 8)) {
        global uint* out = (global uint*)lv_texel(dst, x, row, 0);
        vstore4(rt_bgra4(p0, p1, p2, p3), 0, out);
        vstore4(rt_bgra4(p4, p5, p6, p7), 1, out);
    } else {
        rt_write4(dst, x, row, p0, p1, p2, p3);
        rt_write4(dst, x + 4, row, p4, p5, p6, p7);
    }
}

// The 4x output of feature pixel (x, y) from its colour vectors n_r, n_g, n_b: four rows of four.
#define RT_NATIVE_ROW(n, dy, l0, l1, l2, l3)                                                       \
    rt_write4(dst, ox, lv_output_row(dst, oy + dy, flip), lv_reconstruct_pixel(RT_RGB(n, l0), residual), \
              lv_reconstruct_pixel(RT_RGB(n, l1), residual), lv_reconstruct_pixel(RT_RGB(n, l2), residual), \
              lv_reconstruct_pixel(RT_RGB(n, l3), residual));
#define RT_NATIVE_PIXEL(n, x, y)                                                                  \
    do {                                                                                          \
        const float3 residual = rt_residual(src, x, y);                                           \
        const int ox = 4 * (x), oy = 4 * (y);                                                     \
        RT_NATIVE_ROW(n, 0, 0, 1, 2, 3)                                                           \
        RT_NATIVE_ROW(n, 1, 4, 5, 6, 7)                                                           \
        RT_NATIVE_ROW(n, 2, 8, 9, a, b)                                                           \
        RT_NATIVE_ROW(n, 3, c, d, e, f)                                                           \
    } while (0)

// The 2x output of feature pixel x: q<x><dx><dy>, each the mean of four reconstructed 4x pixels.
#define RT_DOWN2(n, i, x, y)                                                                      \
    const float3 residual##i = rt_residual(src, x, y);                                            \
    const float3 q##i##00 = lv_reconstruct_down2(RT_RGB(n, 0), RT_RGB(n, 1), RT_RGB(n, 4), RT_RGB(n, 5), residual##i); \
    const float3 q##i##10 = lv_reconstruct_down2(RT_RGB(n, 2), RT_RGB(n, 3), RT_RGB(n, 6), RT_RGB(n, 7), residual##i); \
    const float3 q##i##01 = lv_reconstruct_down2(RT_RGB(n, 8), RT_RGB(n, 9), RT_RGB(n, c), RT_RGB(n, d), residual##i); \
    const float3 q##i##11 = lv_reconstruct_down2(RT_RGB(n, a), RT_RGB(n, b), RT_RGB(n, e), RT_RGB(n, f), residual##i);
#define RT_DOWN2_PIXEL(i, x, y)                                                                   \
    if ((x) < fw) {                                                                               \
        const int row0 = lv_output_row(dst, 2 * (y), flip), row1 = lv_output_row(dst, 2 * (y) + 1, flip); \
        rt_write2(dst, 2 * (x), row0, q##i##00, q##i##10);                                        \
        rt_write2(dst, 2 * (x), row1, q##i##01, q##i##11);                                        \
    }

// Feature row j (0 or 1) of tile t: Avᵀ row j and Ahᵀ on the products of each colour (one
// float16 of sixteen sub-pixels per feature pixel: y<x>_<colour>), the bias, then the output.
#define RT_M(row, c, offset) vload_half16(0, m + ((row) * 6 + (c)) * (2 * RT_SLOT) + (offset))
#define RT_COLUMN(j, n, offset)                                                                   \
    const float16 c##n = (j) == 0 ? RT_M(0, n, offset) + RT_M(1, n, offset) + RT_M(2, n, offset)  \
                                  : RT_M(1, n, offset) - RT_M(2, n, offset) - RT_M(3, n, offset);
#define RT_COLOUR(j, colour, offset)                                                              \
    float16 y0_##colour, y1_##colour, y2_##colour, y3_##colour;                                   \
    {                                                                                             \
        RT_COLUMN(j, 0, offset)                                                                   \
        RT_COLUMN(j, 1, offset)                                                                   \
        RT_COLUMN(j, 2, offset)                                                                   \
        RT_COLUMN(j, 3, offset)                                                                   \
        RT_COLUMN(j, 4, offset)                                                                   \
        RT_COLUMN(j, 5, offset)                                                                   \
        RW_OUTPUT_ROW(c0, c1, c2, c3, c4, c5, y0_##colour, y1_##colour, y2_##colour, y3_##colour); \
        const float16 b = vload_half16(0, bias + offset);                                         \
        y0_##colour += b;                                                                         \
        y1_##colour += b;                                                                         \
        y2_##colour += b;                                                                         \
        y3_##colour += b;                                                                         \
    }
#if NATIVE
#define RT_WRITE_ROW(fy)                                                                          \
    RT_NATIVE_PIXEL(y0, fx, fy);                                                                  \
    if (fx + 1 < fw) RT_NATIVE_PIXEL(y1, fx + 1, fy);                                             \
    if (fx + 2 < fw) RT_NATIVE_PIXEL(y2, fx + 2, fy);                                             \
    if (fx + 3 < fw) RT_NATIVE_PIXEL(y3, fx + 3, fy);
#else
#if VECTOR_OUTPUT
#define RT_WHOLE_ROWS(fy) (fx + 4 <= fw)
#else
#define RT_WHOLE_ROWS(fy) false
#endif
#define RT_WRITE_ROW(fy)                                                                          \
    RT_DOWN2(y0, 0, fx, fy)                                                                       \
    RT_DOWN2(y1, 1, fx + 1, fy)                                                                   \
    RT_DOWN2(y2, 2, fx + 2, fy)                                                                   \
    RT_DOWN2(y3, 3, fx + 3, fy)                                                                   \
    if (RT_WHOLE_ROWS(fy)) {                                                                      \
        const int row0 = lv_output_row(dst, 2 * (fy), flip), row1 = lv_output_row(dst, 2 * (fy) + 1, flip); \
        rt_write8(dst, 2 * fx, row0, q000, q010, q100, q110, q200, q210, q300, q310);             \
        rt_write8(dst, 2 * fx, row1, q001, q011, q101, q111, q201, q211, q301, q311);             \
    } else {                                                                                      \
        RT_DOWN2_PIXEL(0, fx, fy)                                                                 \
        RT_DOWN2_PIXEL(1, fx + 1, fy)                                                             \
        RT_DOWN2_PIXEL(2, fx + 2, fy)                                                             \
        RT_DOWN2_PIXEL(3, fx + 3, fy)                                                             \
    }
#endif
#define RT_FEATURE_ROW(j)                                                                         \
    {                                                                                             \
        RT_COLOUR(j, r, 0)                                                                        \
        RT_COLOUR(j, g, 16)                                                                       \
        RT_COLOUR(j, b, 32)                                                                       \
        RT_WRITE_ROW(by + (j))                                                                    \
    }

kernel void RT_KERNEL_NAME(LV_GRID, LV_TEXTURE(features), LV_TEXTURE(source), LV_TEXTURE(destination),
                           global const half* weights, global const half* bias, const uint flip_flag)
{
    local float work[RT_TILES * 24 * RT_SLOT];
    const int lid = (int)lv_local_index();
    const int bx = (int)get_group_id(0) * 4 * RT_TILES, by = (int)get_group_id(1) * 2;

    // 1. Unit (tile, r): row r of the transformed input tile, all channels.
    for (int u = lid; u < RT_TILES * 4; u += RT_THREADS) {
        const lv_tex s = LV_TEX(features);
        const int t = u >> 2, r = u & 3;
        const int ix = bx + 4 * t - 1, iy = by - 1;
        const bool inside = ix >= 0 && iy >= 0 && ix + 6 <= (int)lv_width(s) && iy + 4 <= (int)lv_height(s);
        const int ya = iy + rw_row_a(r), yb = iy + rw_row_b(r);
        const float sa = rw_sign_a(r), sb = rw_sign_b(r);
        local float* out = work + (t * 24 + r * 6) * RT_SLOT;
        for (int k = 0; k < RT_NV; ++k) {
#define RT_COMBINED(c) (sa * rt_read(s, ix + c, ya, k, inside) + sb * rt_read(s, ix + c, yb, k, inside))
            const rt_in e0 = RT_COMBINED(0), e1 = RT_COMBINED(1), e2 = RT_COMBINED(2), e3 = RT_COMBINED(3),
                        e4 = RT_COMBINED(4), e5 = RT_COMBINED(5);
#undef RT_COMBINED
            rt_in o0, o1, o2, o3, o4, o5;
            RW_INPUT_ROW(e0, e1, e2, e3, e4, e5, o0, o1, o2, o3, o4, o5);
            RT_STORE_LOCAL(o0, out + 0 * RT_SLOT + k * RT_VW);
            RT_STORE_LOCAL(o1, out + 1 * RT_SLOT + k * RT_VW);
            RT_STORE_LOCAL(o2, out + 2 * RT_SLOT + k * RT_VW);
            RT_STORE_LOCAL(o3, out + 3 * RT_SLOT + k * RT_VW);
            RT_STORE_LOCAL(o4, out + 4 * RT_SLOT + k * RT_VW);
            RT_STORE_LOCAL(o5, out + 5 * RT_SLOT + k * RT_VW);
        }
    }
    barrier(CLK_LOCAL_MEM_FENCE);

    // 2. Unit p: point p of the eight tiles times the filters, 48 outputs (one float16 per colour),
    //    each weight vector used for all tiles; the products replace the inputs in the same slots
    //    (only unit p touches point p), stored as half.
    for (int p = lid; p < 24; p += RT_THREADS) {
#define RT_ACC(t) float16 a##t##_r = 0.0f, a##t##_g = 0.0f, a##t##_b = 0.0f;
        RW_PER_TILE(RT_ACC)
#undef RT_ACC
        global const half* wp = weights + p * RT_C * 48;
        local const float* vp = work + p * RT_SLOT;
        for (int i = 0; i < RT_C; ++i, wp += 48, ++vp) {
            const float16 wr = vload_half16(0, wp), wg = vload_half16(0, wp + 16), wb = vload_half16(0, wp + 32);
#define RT_FMA(t)                                                                                 \
    {                                                                                             \
        const float16 v = (float16)(vp[t * 24 * RT_SLOT]);                                        \
        a##t##_r = fma(v, wr, a##t##_r);                                                          \
        a##t##_g = fma(v, wg, a##t##_g);                                                          \
        a##t##_b = fma(v, wb, a##t##_b);                                                          \
    }
            RW_PER_TILE(RT_FMA)
#undef RT_FMA
        }
#define RT_KEEP(t)                                                                                \
    {                                                                                             \
        local half* m = (local half*)(work + (t * 24 + p) * RT_SLOT);                             \
        vstore_half16(a##t##_r, 0, m);                                                            \
        vstore_half16(a##t##_g, 0, m + 16);                                                       \
        vstore_half16(a##t##_b, 0, m + 32);                                                       \
    }
        RW_PER_TILE(RT_KEEP)
#undef RT_KEEP
    }
    barrier(CLK_LOCAL_MEM_FENCE);

    // 3. Output transform, bias, reconstruction. Unit (tile, feature row j); with paired rows
    //    unit tile, both rows from one reading of the products.
    const bool flip = flip_flag != 0;
#if NATIVE && NATIVE_ROW_PAIRS
    for (int t = lid; t < RT_TILES; t += RT_THREADS) {
#else
    for (int u = lid; u < RT_TILES * 2; u += RT_THREADS) {
        const int t = u >> 1, j = u & 1;
#endif
        const lv_tex f = LV_TEX(features), src = LV_TEX(source), dst = LV_TEX(destination);
        const int fx = bx + 4 * t, fw = (int)lv_width(f), fh = (int)lv_height(f);
        if (fx >= fw) continue;
        local const half* m = (local const half*)(work + t * 24 * RT_SLOT);
#if NATIVE && NATIVE_ROW_PAIRS
        if (by < fh) RT_FEATURE_ROW(0);
        if (by + 1 < fh) RT_FEATURE_ROW(1);
#else
        if (by + j < fh) RT_FEATURE_ROW(j);
#endif
    }
}
