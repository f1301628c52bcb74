// Rectangular-tile Winograd F(4x2, 3x3): output tiles 4 pixels wide and 2 tall, input tiles
// 6 x 4, 24 transformed points per filter. The first part holds the transforms and feature reads
// that the fused tails (ConvRectTail.cl) share; the kernel "conv_rectangular" follows when
// CHANNELS is defined.
//
// Transformed filters (half): element (p·C + i)·OUT + o, p = 6·r + c the point of row r and
// column c of the input tile.
//
// Data transform: d (4 rows x 6 columns) becomes Bvᵀ·d·Bh with
//   Bvᵀ rows (1, 0, -1, 0), (0, 1, 1, 0), (0, -1, 1, 0), (0, 1, 0, -1)
//   Bhᵀ rows (4, 0, -5, 0, 1, 0), (0, -4, -4, 1, 1, 0), (0, 4, -4, -1, 1, 0),
//            (0, -2, -1, 2, 1, 0), (0, 2, -1, -2, 1, 0), (0, 4, 0, -5, 0, 1)
// Output transform: Avᵀ rows (1, 1, 1, 0), (0, 1, -1, -1);
//   Ahᵀ rows (1, 1, 1, 1, 1, 0), (0, 1, -1, 2, -2, 0), (0, 1, 1, 4, 4, 0), (0, 1, -1, 8, -8, 1).

#ifndef RW_SHARED_CL
#define RW_SHARED_CL

#ifndef NARROW_INPUT
#define NARROW_INPUT 0
#endif

// Bhᵀ applied along a row of six values (any float vector type). Named values, not arrays: CPU
// devices keep a private array of every work item in memory across barriers.
#define RW_INPUT_ROW(t0, t1, t2, t3, t4, t5, o0, o1, o2, o3, o4, o5)                            \
    do {                                                                                      \
        o0 = 4.0f * t0 - 5.0f * t2 + t4;                                                      \
        o1 = t3 + t4 - 4.0f * (t1 + t2);                                                      \
        o2 = t4 - t3 + 4.0f * (t1 - t2);                                                      \
        o3 = t4 - t2 + 2.0f * (t3 - t1);                                                      \
        o4 = t4 - t2 + 2.0f * (t1 - t3);                                                      \
        o5 = 4.0f * t1 - 5.0f * t3 + t5;                                                      \
    } while (0)

// Ahᵀ applied along a row of six values: four outputs.
#define RW_OUTPUT_ROW(s0, s1, s2, s3, s4, s5, y0, y1, y2, y3)                                  \
    do {                                                                                      \
        y0 = s0 + s1 + s2 + s3 + s4;                                                          \
        y1 = (s1 - s2) + 2.0f * (s3 - s4);                                                    \
        y2 = (s1 + s2) + 4.0f * (s3 + s4);                                                    \
        y3 = (s1 - s2) + 8.0f * (s3 - s4) + s5;                                               \
    } while (0)

// Eight tiles, one expression each.
#define RW_PER_TILE(X) X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7)

// Rows of the input tile that row r of Bvᵀ combines, and how: r0 = d0 - d2, r1 = d1 + d2,
// r2 = d2 - d1, r3 = d1 - d3, written as sign_a·d[a] + sign_b·d[b].
inline int rw_row_a(int r) { return r == 0 ? 0 : 1; }
inline int rw_row_b(int r) { return r == 3 ? 3 : 2; }
inline float rw_sign_a(int r) { return r == 2 ? -1.0f : 1.0f; }
inline float rw_sign_b(int r) { return r == 1 || r == 2 ? 1.0f : -1.0f; }

// Eight or sixteen feature channels of a pixel, starting at channel 8k or 16k; zero outside the
// texture. Feature images keep a pixel's slices together, so one wide load reads them unless the
// kernel was built for slice-by-slice reads or the texture is laid out otherwise.
inline float8 rw_read8(lv_tex s, int x, int y, int k, bool inside)
{
    if (!inside && !lv_inside(s, x, y)) return (float8)(0.0f);
#if !NARROW_INPUT
    if (s.d.slice_pitch == 8) return vload_half8(0, (global const half*)lv_texel(s, x, y, 0) + 8 * k);
#endif
    return (float8)(lv_read_half4(s, x, y, 2 * k), lv_read_half4(s, x, y, 2 * k + 1));
}

inline float16 rw_read16(lv_tex s, int x, int y, int k, bool inside)
{
    if (!inside && !lv_inside(s, x, y)) return (float16)(0.0f);
#if !NARROW_INPUT
    if (s.d.slice_pitch == 8) return vload_half16(0, (global const half*)lv_texel(s, x, y, 0) + 16 * k);
#endif
    return (float16)(lv_read_half4(s, x, y, 4 * k), lv_read_half4(s, x, y, 4 * k + 1),
                     lv_read_half4(s, x, y, 4 * k + 2), lv_read_half4(s, x, y, 4 * k + 3));
}

inline void rw_write8(lv_tex d, int x, int y, int k, float8 v)
{
    if (d.d.slice_pitch == 8) {
        vstore_half8(v, 0, (global half*)lv_texel(d, x, y, 0) + 8 * k);
    } else {
        lv_write_half4(d, x, y, 2 * k, v.s0123);
        lv_write_half4(d, x, y, 2 * k + 1, v.s4567);
    }
}

inline void rw_write16(lv_tex d, int x, int y, int k, float16 v)
{
    if (d.d.slice_pitch == 8) {
        vstore_half16(v, 0, (global half*)lv_texel(d, x, y, 0) + 16 * k);
    } else {
        lv_write_half4(d, x, y, 4 * k, v.s0123);
        lv_write_half4(d, x, y, 4 * k + 1, v.s4567);
        lv_write_half4(d, x, y, 4 * k + 2, v.s89ab);
        lv_write_half4(d, x, y, 4 * k + 3, v.scdef);
    }
}

#endif // RW_SHARED_CL

#ifdef CHANNELS

#ifndef TILE_ROWS
#define TILE_ROWS 1
#endif
#if CHANNELS != 16 && CHANNELS != 24
#error "CHANNELS must be 16 or 24"
#endif
#if SIMDS < 1 || TILES < 1 || TILE_ROWS < 1 || TILES % TILE_ROWS != 0
#error "SIMDS, TILES and TILE_ROWS must be positive, TILE_ROWS dividing TILES"
#endif

// Channel vectors: one float16 for 16 channels, three float8 for 24.
#if CHANNELS == 16
#define RW_VW 16
#define RW_NV 1
typedef float16 rw_vec;
#define rw_read rw_read16
#define rw_write rw_write16
#define RW_LOAD_HALF(p) vload_half16(0, (p))
#else
#define RW_VW 8
#define RW_NV 3
typedef float8 rw_vec;
#define rw_read rw_read8
#define rw_write rw_write8
#define RW_LOAD_HALF(p) vload_half8(0, (p))
#endif

#define RW_THREADS (32 * SIMDS)
#define RW_ACROSS (TILES / TILE_ROWS)
#define RW_BLOCK_W (4 * RW_ACROSS)
#define RW_BLOCK_H (2 * TILE_ROWS)
// Tiles in threadgroup memory at once (24·C floats each): 16 tiles of 24 channels would not fit
// in 32 KiB, so larger blocks go in rounds of 8.
#define RW_CHUNK 8
#define RW_CHUNKS ((TILES + RW_CHUNK - 1) / RW_CHUNK)

// The products' output channels in pieces of one vector each: sixteen channels, or sixteen and
// eight, so that the accumulators of eight tiles stay in registers. X(name, type, width, first).
#if CHANNELS == 16
#define RW_PIECES(X) X(0, float16, 16, 0)
#else
#define RW_PIECES(X) X(0, float16, 16, 0) X(1, float8, 8, 16)
#endif
#define RW_ACC_ZERO(k, T, N, first)                                                               \
    T a0_##k = 0.0f, a1_##k = 0.0f, a2_##k = 0.0f, a3_##k = 0.0f, a4_##k = 0.0f, a5_##k = 0.0f,   \
      a6_##k = 0.0f, a7_##k = 0.0f;
#define RW_FMA(k, T, N, first)                                                                    \
    {                                                                                             \
        const T w = vload_half##N(0, wp + first);                                                 \
        a0_##k = fma((T)(v0), w, a0_##k);                                                         \
        a1_##k = fma((T)(v1), w, a1_##k);                                                         \
        a2_##k = fma((T)(v2), w, a2_##k);                                                         \
        a3_##k = fma((T)(v3), w, a3_##k);                                                         \
        a4_##k = fma((T)(v4), w, a4_##k);                                                         \
        a5_##k = fma((T)(v5), w, a5_##k);                                                         \
        a6_##k = fma((T)(v6), w, a6_##k);                                                         \
        a7_##k = fma((T)(v7), w, a7_##k);                                                         \
    }
#define RW_STORE(k, T, N, first)                                                                  \
    {                                                                                             \
        local float* m = workf + p * CHANNELS + first;                                            \
        vstore##N(a0_##k, 0, m + 0 * 24 * CHANNELS);                                              \
        vstore##N(a1_##k, 0, m + 1 * 24 * CHANNELS);                                              \
        vstore##N(a2_##k, 0, m + 2 * 24 * CHANNELS);                                              \
        vstore##N(a3_##k, 0, m + 3 * 24 * CHANNELS);                                              \
        vstore##N(a4_##k, 0, m + 4 * 24 * CHANNELS);                                              \
        vstore##N(a5_##k, 0, m + 5 * 24 * CHANNELS);                                              \
        vstore##N(a6_##k, 0, m + 6 * 24 * CHANNELS);                                              \
        vstore##N(a7_##k, 0, m + 7 * 24 * CHANNELS);                                              \
    }

// Work split of one round (tiles t0 ... t0 + 7):
// 1. unit (tile, r): rows a and b of the input tile, combined by row r of Bvᵀ, then Bhᵀ: the six
//    points of row r, all channels, into `work`;
// 2. unit p: the products of point p of every tile with the filters: for each input channel one
//    weight vector per piece, used for all eight tiles (fma with the broadcast input);
//    written back in place, since only unit p touches point p;
// 3. unit (tile, output row): Avᵀ row, Ahᵀ, bias, PReLU, stored inside the destination.
inline void rw_round(lv_tex s, lv_tex d, int t0, int bx, int by, int lid, local rw_vec* work,
                     global const half* weights, global const half* bias, global const half* slope)
{
    local float* workf = (local float*)work;
    const int sw = (int)lv_width(s), sh = (int)lv_height(s);

    for (int u = lid; u < RW_CHUNK * 4; u += RW_THREADS) {
        const int tl = u >> 2, r = u & 3, t = t0 + tl;
        if (t >= TILES) continue;
        const int ix = bx + 4 * (t % RW_ACROSS) - 1, iy = by + 2 * (t / RW_ACROSS) - 1;
        const bool inside = ix >= 0 && iy >= 0 && ix + 6 <= sw && iy + 4 <= sh;
        const int ya = iy + rw_row_a(r), yb = iy + rw_row_b(r);
        const float sa = rw_sign_a(r), sb = rw_sign_b(r);
        local rw_vec* out = work + (tl * 24 + r * 6) * RW_NV;
        for (int k = 0; k < RW_NV; ++k) {
#define RW_COMBINED(c) (sa * rw_read(s, ix + c, ya, k, inside) + sb * rw_read(s, ix + c, yb, k, inside))
            const rw_vec e0 = RW_COMBINED(0), e1 = RW_COMBINED(1), e2 = RW_COMBINED(2), e3 = RW_COMBINED(3),
                         e4 = RW_COMBINED(4), e5 = RW_COMBINED(5);
#undef RW_COMBINED
            rw_vec o0, o1, o2, o3, o4, o5;
            RW_INPUT_ROW(e0, e1, e2, e3, e4, e5, o0, o1, o2, o3, o4, o5);
            out[0 * RW_NV + k] = o0;
            out[1 * RW_NV + k] = o1;
            out[2 * RW_NV + k] = o2;
            out[3 * RW_NV + k] = o3;
            out[4 * RW_NV + k] = o4;
            out[5 * RW_NV + k] = o5;
        }
    }
    barrier(CLK_LOCAL_MEM_FENCE);

    for (int p = lid; p < 24; p += RW_THREADS) {
        RW_PIECES(RW_ACC_ZERO)
        global const half* wp = weights + p * CHANNELS * CHANNELS;
        local const float* vp = workf + p * CHANNELS;
        for (int i = 0; i < CHANNELS; ++i, wp += CHANNELS, ++vp) {
#define RW_INPUT(t) const float v##t = vp[t * 24 * CHANNELS];
            RW_PER_TILE(RW_INPUT)
#undef RW_INPUT
            RW_PIECES(RW_FMA)
        }
        RW_PIECES(RW_STORE)
    }
    barrier(CLK_LOCAL_MEM_FENCE);

    const int dw = (int)lv_width(d), dh = (int)lv_height(d);
    for (int u = lid; u < RW_CHUNK * 2; u += RW_THREADS) {
        const int tl = u >> 1, j = u & 1, t = t0 + tl;
        if (t >= TILES) continue;
        const int ox = bx + 4 * (t % RW_ACROSS), oy = by + 2 * (t / RW_ACROSS) + j;
        if (oy >= dh || ox >= dw) continue;
        for (int k = 0; k < RW_NV; ++k) {
            local const rw_vec* m = work + tl * 24 * RW_NV + k;
#define RW_M(row, c) m[((row) * 6 + (c)) * RW_NV]
#define RW_COLUMN(c) (j == 0 ? RW_M(0, c) + RW_M(1, c) + RW_M(2, c) : RW_M(1, c) - RW_M(2, c) - RW_M(3, c))
            const rw_vec c0 = RW_COLUMN(0), c1 = RW_COLUMN(1), c2 = RW_COLUMN(2), c3 = RW_COLUMN(3),
                         c4 = RW_COLUMN(4), c5 = RW_COLUMN(5);
#undef RW_COLUMN
#undef RW_M
            rw_vec y0, y1, y2, y3;
            RW_OUTPUT_ROW(c0, c1, c2, c3, c4, c5, y0, y1, y2, y3);
            const rw_vec b = RW_LOAD_HALF(bias + k * RW_VW), a = RW_LOAD_HALF(slope + k * RW_VW);
#define RW_STORE_PIXEL(x, y)                                                                      \
    if (ox + x < dw) {                                                                            \
        const rw_vec v = y + b;                                                                   \
        rw_write(d, ox + x, oy, k, select(v * a, v, v >= (rw_vec)(0.0f)));                        \
    }
            RW_STORE_PIXEL(0, y0)
            RW_STORE_PIXEL(1, y1)
            RW_STORE_PIXEL(2, y2)
            RW_STORE_PIXEL(3, y3)
#undef RW_STORE_PIXEL
        }
    }
    barrier(CLK_LOCAL_MEM_FENCE);
}

kernel void conv_rectangular(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), global const half* weights,
                             global const half* bias, global const half* slope)
{
    local rw_vec work[RW_CHUNK * 24 * RW_NV];
    const lv_tex s = LV_TEX(source), d = LV_TEX(destination);
    const int lid = (int)lv_local_index();
    const int bx = (int)get_group_id(0) * RW_BLOCK_W, by = (int)get_group_id(1) * RW_BLOCK_H;
    rw_round(s, d, 0, bx, by, lid, work, weights, bias, slope);
#if RW_CHUNKS == 2
    rw_round(s, d, RW_CHUNK, bx, by, lid, work, weights, bias, slope);
#elif RW_CHUNKS > 2
    for (int round = 1; round < RW_CHUNKS; ++round)
        rw_round(s, d, round * RW_CHUNK, bx, by, lid, work, weights, bias, slope);
#endif
}

#endif // CHANNELS
