// 24-channel 3x3 convolution + bias + PReLU. Five variants of one contract: each reads the 24
// channels (six rgba16Float slices) of texture 0 and writes, for every pixel of texture 1 (the
// same size), the convolution with zero outside the frame, plus the bias, then x or slope·x.
// Buffers: 0 weights, 1 biases, 2 slopes, all half precision.
//   direct weights   (gather, preload):  [tap ky·3+kx][input channel][output channel]
//   Winograd weights (winograd*):        [position i·4+j][input channel][output channel]
// WINOGRAD_GROUPS: SIMD groups per threadgroup (4; 1 for conv24_winograd_2d).
//
// On CPU devices a kernel vectorizes only when the channels are in vectors: the 24 output
// channels are accumulated in three float8 with fma, and input channels are splatted.
// Measured on PoCL (8-core Zen 4 under load, 1280x720, CPU time of all threads per frame):
// gather 244 ms, preload 263, winograd 141, winograd_base 112, the old winograd_2d 149; the Gpu
// layer's direct convolution 378 and PyTorch 1.13's conv2d (channels-last) 435. On an 8-core
// AVX-512 Xeon under a load of 25 to 30 (same measure, bench/compact, medians of 3):
// conv24_winograd_2d 141 ms at 1280x720 and 340 ms at 1920x1080, the F(4x4, 3x3) layers that
// CPU devices take instead 92 and 227 ms, winograd_base 335 ms at 1280x720.

#ifndef WINOGRAD_GROUPS
#define WINOGRAD_GROUPS 4
#endif

// Helpers are inlined so that tile and position counts are constants and loops unroll into
// register-resident accumulators.
#define C24_INLINE inline __attribute__((always_inline))

#define C24_CHANNELS 24
#define C24_VECTORS 3 // float8 accumulators per pixel

// --- Shared helpers ---------------------------------------------------------------------------

// One slice of a pixel, zero outside the frame.
C24_INLINE float4 c24_read_or_zero(lv_tex t, int x, int y, int slice)
{
    if (x < 0 || y < 0 || x >= (int)t.d.width || y >= (int)t.d.height) return (float4)(0.0f);
    return lv_read_half4(t, x, y, slice);
}

// acc += v · w[0..23], the 24 weights of one input channel from half storage.
#define C24_FMA_HALF(a, v, w)                                   \
    do {                                                         \
        const float8 s_ = (float8)(v);                           \
        (a)[0] = fma(s_, vload_half8(0, (w)), (a)[0]);           \
        (a)[1] = fma(s_, vload_half8(1, (w)), (a)[1]);           \
        (a)[2] = fma(s_, vload_half8(2, (w)), (a)[2]);           \
    } while (0)

// The same from weights staged as float8 in local memory.
#define C24_FMA_LOCAL(a, v, w)                                  \
    do {                                                         \
        const float8 s_ = (float8)(v);                           \
        (a)[0] = fma(s_, (w)[0], (a)[0]);                        \
        (a)[1] = fma(s_, (w)[1], (a)[1]);                        \
        (a)[2] = fma(s_, (w)[2], (a)[2]);                        \
    } while (0)

C24_INLINE float8 c24_prelu(float8 v, float8 slope) { return select(v * slope, v, v >= (float8)(0.0f)); }

// Bias and PReLU on 24 channels, then the six slices of pixel (x, y).
C24_INLINE void c24_finish_pixel(lv_tex d, int x, int y, const float8 a[C24_VECTORS], global const half* bias,
                             global const half* slope)
{
    for (int q = 0; q < C24_VECTORS; ++q) {
        const float8 v = c24_prelu(a[q] + vload_half8(q, bias), vload_half8(q, slope));
        lv_write_half4(d, x, y, 2 * q, v.s0123);
        lv_write_half4(d, x, y, 2 * q + 1, v.s4567);
    }
}

// Converts `count` half values (a multiple of 8) into local float8, shared by the work group.
C24_INLINE void c24_stage(local float8* staged, global const half* values, int count8)
{
    const int n = (int)lv_local_count();
    for (int k = (int)lv_local_index(); k < count8; k += n) staged[k] = vload_half8(k, values);
}

// --- SIMD gather / preload --------------------------------------------------------------------
//
// A threadgroup t of WINOGRAD_GROUPS SIMD groups covers the 32 pixels 32·t ... 32·t + 31 (row
// order over the whole frame); lane l of every SIMD group works on pixel 32·t + l. SIMD group g
// takes the input slices g, g + WINOGRAD_GROUPS, ... (four channels each) over all 24 output
// channels. Each lane reads only its own column (rows y - 1 ... y + 1) and takes the columns
// x - 1 and x + 1 from its neighbour lanes by SIMD shuffles; the first and last lane, and lanes at
// the frame's left and right edges, read (or zero) the missing column themselves. The partial
// sums of the SIMD groups meet in threadgroup memory, where SIMD group g finishes its slices of
// the output.
// "gather" reads each weight from the half buffer where it is used; "preload" first stages the
// layer's weights as float in threadgroup memory, converting them once per threadgroup.
// Only whole-slice half loads and stores are used: PoCL converts half2 in software.

#define C24_SLICES 6
#define C24_GROUP_SLICES ((C24_SLICES + WINOGRAD_GROUPS - 1) / WINOGRAD_GROUPS)
#define C24_SIMD_THREADS (32 * WINOGRAD_GROUPS)
#define C24_DIRECT_WEIGHTS (9 * C24_CHANNELS * C24_CHANNELS)

// Slice `slice` of rows y - 1, y, y + 1 at column x (zero outside the frame).
C24_INLINE void c24_load_column(lv_tex s, int x, int y, int slice, float4 column[3])
{
    #pragma unroll
    for (int r = 0; r < 3; ++r) column[r] = c24_read_or_zero(s, x, y - 1 + r, slice);
}

C24_INLINE void c24_simd_conv(lv_tex s, lv_tex d, global const half* weights, global const half* bias,
                              global const half* slope, local float4* shuffle, local float* partial,
                              local float8* staged, const bool preload)
{
    const uint lane = lv_simd_lane();
    const uint group = lv_simd_group();
    const uint W = s.d.width, H = s.d.height;
    const uint p = (uint)get_group_id(0) * 32u + lane;
    const bool valid = p < W * H;
    const int x = valid ? (int)(p % W) : 0;
    const int y = valid ? (int)(p / W) : 0;

    if (preload) {
        c24_stage(staged, weights, C24_DIRECT_WEIGHTS / 8);
        barrier(CLK_LOCAL_MEM_FENCE);
    }

    // The three columns of each of the lane's slices, [slice][kx][ky]. Every lane takes part in
    // every shuffle; all of them come before the arithmetic so that no accumulator lives across
    // a barrier.
    float4 column[C24_GROUP_SLICES][3][3];
    #pragma unroll
    for (int n = 0; n < C24_GROUP_SLICES; ++n) {
        const int slice = min((int)group + n * WINOGRAD_GROUPS, C24_SLICES - 1);
        c24_load_column(s, x, y, slice, column[n][1]);
        #pragma unroll
        for (int r = 0; r < 3; ++r) {
            column[n][0][r] = lv_simd_shuffle4(column[n][1][r], lane - 1u, shuffle);
            column[n][2][r] = lv_simd_shuffle4(column[n][1][r], lane + 1u, shuffle);
        }
        // Columns the neighbour lanes do not hold: outside the frame, or beyond the SIMD group.
        if (x == 0 || lane == 0) c24_load_column(s, x - 1, y, slice, column[n][0]);
        if (x == (int)W - 1 || lane == 31) c24_load_column(s, x + 1, y, slice, column[n][2]);
    }

    // One accumulator set per kernel column: nine independent fma chains.
    float8 acc[3][C24_VECTORS];
    #pragma unroll
    for (int kx = 0; kx < 3; ++kx)
        #pragma unroll
        for (int q = 0; q < C24_VECTORS; ++q) acc[kx][q] = (float8)(0.0f);
    #pragma unroll
    for (int n = 0; n < C24_GROUP_SLICES; ++n) {
        const int slice = (int)group + n * WINOGRAD_GROUPS;
        if (slice >= C24_SLICES) break;
        #pragma unroll
        for (int ky = 0; ky < 3; ++ky) {
            #pragma unroll
            for (int c = 0; c < 4; ++c) {
                #pragma unroll
                for (int kx = 0; kx < 3; ++kx) {
                    const float4 v4 = column[n][kx][ky];
                    const float v = c == 0 ? v4.x : c == 1 ? v4.y : c == 2 ? v4.z : v4.w;
                    const int w = ((ky * 3 + kx) * C24_CHANNELS + slice * 4 + c) * C24_CHANNELS;
                    if (preload) C24_FMA_LOCAL(acc[kx], v, staged + w / 8);
                    else C24_FMA_HALF(acc[kx], v, weights + w);
                }
            }
        }
    }
    #pragma unroll
    for (int q = 0; q < C24_VECTORS; ++q) acc[0][q] += acc[1][q] + acc[2][q];

    // The staged weights' memory takes the partial sums once every lane is done with it.
    if (preload) barrier(CLK_LOCAL_MEM_FENCE);
    local float* mySums = partial + (group * 32u + lane) * C24_CHANNELS;
    #pragma unroll
    for (int q = 0; q < C24_VECTORS; ++q) vstore8(acc[0][q], q, mySums);
    barrier(CLK_LOCAL_MEM_FENCE);

    if (!valid) return;
    for (int n = 0; n < C24_GROUP_SLICES; ++n) {
        const int slice = (int)group + n * WINOGRAD_GROUPS;
        if (slice >= C24_SLICES) break;
        float4 v = vload_half4(slice, bias);
        for (uint g = 0; g < WINOGRAD_GROUPS; ++g) v += vload4(slice, partial + (g * 32u + lane) * C24_CHANNELS);
        const float4 sl = vload_half4(slice, slope);
        lv_write_half4(d, x, y, slice, select(v * sl, v, v >= (float4)(0.0f)));
    }
}

kernel void conv24_simd_gather(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), global const half* weights,
                               global const half* bias, global const half* slope)
{
    local float4 shuffle[C24_SIMD_THREADS];
    local float partial[C24_SIMD_THREADS * C24_CHANNELS];
    c24_simd_conv(LV_TEX(source), LV_TEX(destination), weights, bias, slope, shuffle, partial, 0, false);
}

kernel void conv24_simd_preload(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), global const half* weights,
                                global const half* bias, global const half* slope)
{
    local float4 shuffle[C24_SIMD_THREADS];
    // The staged weights, later the partial sums (the larger of the two).
    local float8 area[(C24_DIRECT_WEIGHTS > C24_SIMD_THREADS * C24_CHANNELS ? C24_DIRECT_WEIGHTS
                                                                            : C24_SIMD_THREADS * C24_CHANNELS) / 8];
    c24_simd_conv(LV_TEX(source), LV_TEX(destination), weights, bias, slope, shuffle, (local float*)area, area, true);
}

// --- Winograd F(2x2, 3x3) ---------------------------------------------------------------------
//
// A 2x2 output tile at (2·tx, 2·ty) reads the 4x4 input patch from (2·tx - 1, 2·ty - 1).
// V = Bᵀ·d·B, M[i][j] = Σ over input channels of U[i][j] · V[i][j], Y = Aᵀ·M·A with
//   Bᵀ = [1 0 -1 0; 0 1 1 0; 0 -1 1 0; 0 1 0 -1],  Aᵀ = [1 1 1 0; 0 1 -1 -1].
// A thread computes PP consecutive positions (i, j) of one row i for TT tiles, so every weight
// vector it converts from half serves TT tiles, with PP·TT·3 independent fma chains. The
// products of a threadgroup's tiles meet in threadgroup memory (M, or whole rows already folded
// over j), where one thread per output pixel finishes Aᵀ·M·A, the bias and PReLU.
//   conv24_winograd:       32 tiles, 128 threads; 2 tiles x 4 positions (64 threads compute)
//   conv24_winograd_base:  16 tiles,  64 threads; 1 tile x 4 positions
// Measured on PoCL (1280x720, CPU time per frame): 2 tiles x 2 positions for conv24_winograd
// ran as fast but needed 48 KB of threadgroup memory, more than GPUs offer.

// Row r of Bᵀ has two non-zero entries: +1 at first(r) and sign(r) at second(r).
C24_INLINE int c24_bt_first(int r) { return r == 2 ? 2 : r == 3 ? 1 : r; }
C24_INLINE int c24_bt_second(int r) { return r == 0 ? 2 : r == 1 ? 2 : r == 2 ? 1 : 3; }
C24_INLINE float c24_bt_second_sign(int r) { return r == 1 ? 1.0f : -1.0f; }
C24_INLINE float c24_at(int a, int i) { return a == 0 ? (i < 3 ? 1.0f : 0.0f) : (i == 0 ? 0.0f : i == 1 ? 1.0f : -1.0f); }

// V[i][j] of the patch at (x0, y0): six float4 slices of input channels.
C24_INLINE void c24_input_transform(lv_tex s, int x0, int y0, int i, int j, float4 v[6])
{
    const int r0 = c24_bt_first(i), r1 = c24_bt_second(i);
    const int c0 = c24_bt_first(j), c1 = c24_bt_second(j);
    const float rs = c24_bt_second_sign(i), cs = c24_bt_second_sign(j);
    for (int q = 0; q < 6; ++q) {
        const float4 a = fma((float4)(cs), c24_read_or_zero(s, x0 + c1, y0 + r0, q), c24_read_or_zero(s, x0 + c0, y0 + r0, q));
        const float4 b = fma((float4)(cs), c24_read_or_zero(s, x0 + c1, y0 + r1, q), c24_read_or_zero(s, x0 + c0, y0 + r1, q));
        v[q] = fma((float4)(rs), b, a);
    }
}

#define C24_WINOGRAD_WEIGHTS (16 * C24_CHANNELS * C24_CHANNELS)
#define C24_MAX_PRODUCTS 8 // tiles x positions of one thread

// M of positions (i, j0) ... (i, j0 + pp - 1) for the tt tiles tile0 ... tile0 + tt - 1 of the
// threadgroup, into m[(tile·16 + position)·3 ...], or for whole rows (pp 4) folded into
// m[((tile·4 + i)·2 + b)·3 ...]. Input channels are the outer loop so that the
// pp·tt·3 accumulators form independent fma chains.
C24_INLINE void c24_winograd_products(lv_tex s, global const half* U, uint first, uint tileCount, uint rowTiles,
                                      int tile0, const int tt, int i, int j0, const int pp, local float8* m)
{
    float4 v[C24_MAX_PRODUCTS][6];
    #pragma unroll
    for (int t = 0; t < tt; ++t) {
        const uint tile = first + (uint)(tile0 + t);
        const bool valid = tile < tileCount;
        const int tx = valid ? (int)(tile % rowTiles) : 0, ty = valid ? (int)(tile / rowTiles) : 0;
        #pragma unroll
        for (int n = 0; n < pp; ++n) {
            if (valid) {
                c24_input_transform(s, 2 * tx - 1, 2 * ty - 1, i, j0 + n, v[n * tt + t]);
            } else {
                #pragma unroll
                for (int q = 0; q < 6; ++q) v[n * tt + t][q] = (float4)(0.0f);
            }
        }
    }
    float8 acc[C24_MAX_PRODUCTS][C24_VECTORS];
    #pragma unroll
    for (int p = 0; p < pp * tt; ++p)
        #pragma unroll
        for (int k = 0; k < C24_VECTORS; ++k) acc[p][k] = (float8)(0.0f);
    global const half* w = U + (i * 4 + j0) * C24_CHANNELS * C24_CHANNELS;
    #pragma unroll
    for (int q = 0; q < 6; ++q) {
        #pragma unroll
        for (int c = 0; c < 4; ++c) {
            #pragma unroll
            for (int n = 0; n < pp; ++n) {
                global const half* wn = w + (n * C24_CHANNELS + 4 * q + c) * C24_CHANNELS;
                const float8 w0 = vload_half8(0, wn), w1 = vload_half8(1, wn), w2 = vload_half8(2, wn);
                #pragma unroll
                for (int t = 0; t < tt; ++t) {
                    const float4 vq = v[n * tt + t][q];
                    const float8 x = (float8)(c == 0 ? vq.x : c == 1 ? vq.y : c == 2 ? vq.z : vq.w);
                    acc[n * tt + t][0] = fma(x, w0, acc[n * tt + t][0]);
                    acc[n * tt + t][1] = fma(x, w1, acc[n * tt + t][1]);
                    acc[n * tt + t][2] = fma(x, w2, acc[n * tt + t][2]);
                }
            }
        }
    }
    if (pp == 4) {
        // A whole row: fold it over j into Q[b] = Σ Aᵀ[b][j]·M[i][j], half the memory of M.
        #pragma unroll
        for (int t = 0; t < tt; ++t)
            #pragma unroll
            for (int k = 0; k < C24_VECTORS; ++k) {
                local float8* q = m + ((tile0 + t) * 8 + i * 2) * C24_VECTORS + k;
                q[0] = acc[t][k] + acc[tt + t][k] + acc[2 * tt + t][k];
                q[C24_VECTORS] = acc[tt + t][k] - acc[2 * tt + t][k] - acc[3 * tt + t][k];
            }
        return;
    }
    #pragma unroll
    for (int n = 0; n < pp; ++n)
        #pragma unroll
        for (int t = 0; t < tt; ++t)
            #pragma unroll
            for (int k = 0; k < C24_VECTORS; ++k)
                m[((tile0 + t) * 16 + i * 4 + j0 + n) * C24_VECTORS + k] = acc[n * tt + t][k];
}

// Output pixel (b, a) of local tile `tile`: Aᵀ·M·A (or Aᵀ·Q of rows folded over j), bias, PReLU.
C24_INLINE void c24_winograd_output(lv_tex d, uint first, uint tileCount, uint rowTiles, int tile, int a, int b,
                                    const bool folded, local const float8* m, global const half* bias,
                                    global const half* slope)
{
    const uint index = first + (uint)tile;
    if (index >= tileCount) return;
    const int x = 2 * (int)(index % rowTiles) + b, y = 2 * (int)(index / rowTiles) + a;
    if (x >= (int)d.d.width || y >= (int)d.d.height) return;
    float8 acc[C24_VECTORS] = {(float8)(0.0f), (float8)(0.0f), (float8)(0.0f)};
    for (int i = 0; i < 4; ++i) {
        const float ai = c24_at(a, i);
        if (ai == 0.0f) continue;
        if (folded) {
            local const float8* q = m + ((tile * 4 + i) * 2 + b) * C24_VECTORS;
            for (int k = 0; k < C24_VECTORS; ++k) acc[k] = fma((float8)(ai), q[k], acc[k]);
            continue;
        }
        for (int j = 0; j < 4; ++j) {
            const float c = ai * c24_at(b, j);
            if (c == 0.0f) continue;
            local const float8* mij = m + (tile * 16 + i * 4 + j) * C24_VECTORS;
            for (int k = 0; k < C24_VECTORS; ++k) acc[k] = fma((float8)(c), mij[k], acc[k]);
        }
    }
    c24_finish_pixel(d, x, y, acc, bias, slope);
}

// The threadgroup's tiles are first ... first + tiles - 1 of the frame's row-order tile
// numbering; those at or past tileCount are not computed.
C24_INLINE void c24_winograd(lv_tex s, lv_tex d, global const half* U, global const half* bias, global const half* slope,
                         local float8* m, const int tiles, const int tt, const int pp, uint first, uint tileCount)
{
    const int id = (int)lv_local_index();
    const uint rowTiles = (s.d.width + 1) / 2;
    const int threadsPerBlock = 16 / pp; // threads sharing tt tiles
    const int block = id / threadsPerBlock, k = id % threadsPerBlock;
    if (block * tt < tiles) {
        const int position = k * pp;
        c24_winograd_products(s, U, first, tileCount, rowTiles, block * tt, tt, position / 4, position % 4, pp, m);
    }
    barrier(CLK_LOCAL_MEM_FENCE);
    if (id < 4 * tiles)
        c24_winograd_output(d, first, tileCount, rowTiles, id / 4, (id >> 1) & 1, id & 1, pp == 4, m, bias, slope);
}

#define C24_WINOGRAD_TILES (WINOGRAD_GROUPS * 8)

kernel void conv24_winograd(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), global const half* weights,
                            global const half* bias, global const half* slope)
{
    local float8 m[C24_WINOGRAD_TILES * 8 * C24_VECTORS];
    lv_tex s = LV_TEX(source);
    const uint tiles = ((s.d.width + 1) / 2) * ((s.d.height + 1) / 2);
    c24_winograd(s, LV_TEX(destination), weights, bias, slope, m, C24_WINOGRAD_TILES, 2, 4,
                 (uint)get_group_id(0) * C24_WINOGRAD_TILES, tiles);
}

kernel void conv24_winograd_base(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), global const half* weights,
                                 global const half* bias, global const half* slope)
{
    local float8 m[16 * 8 * C24_VECTORS];
    lv_tex s = LV_TEX(source);
    const uint tiles = ((s.d.width + 1) / 2) * ((s.d.height + 1) / 2);
    c24_winograd(s, LV_TEX(destination), weights, bias, slope, m, 16, 1, 4, (uint)get_group_id(0) * 16u, tiles);
}

// --- Winograd F(2x2, 3x3) over a tile row -----------------------------------------------------
//
// conv24_winograd_2d: a threadgroup of 64 threads covers the 8 tiles (16x2 pixels) from tile
// (8·gx, gy). Units (C24_2D_UNIT_TILES neighbouring tiles, row i of the transformed tile) read
// their two input rows once, transform them, multiply with all 24 output channels (one float8
// weight vector from half serves the unit's tiles, two points at a time so that the
// accumulators fit the registers) and fold the row with Aᵀ; the folded rows meet in threadgroup
// memory, where a thread per tile column finishes its two pixels. A CPU device runs the whole
// group on one core, so what counts there is the work per group, not the units per thread.

#define C24_2D_TILES 8
#define C24_2D_UNIT_TILES 4
#define C24_2D_COLUMNS (2 * C24_2D_UNIT_TILES + 2)

// The 24 channels of a pixel as three float8, zero outside the frame; one vector load each
// when a pixel's slices lie side by side.
C24_INLINE void c24_load_pixel(lv_tex t, int x, int y, float8 out[C24_VECTORS])
{
    if (x < 0 || y < 0 || x >= (int)t.d.width || y >= (int)t.d.height) {
        #pragma unroll
        for (int k = 0; k < C24_VECTORS; ++k) out[k] = (float8)(0.0f);
        return;
    }
    if (t.d.slice_pitch == 8) {
        global const half* p = (global const half*)lv_texel(t, x, y, 0);
        #pragma unroll
        for (int k = 0; k < C24_VECTORS; ++k) out[k] = vload_half8(k, p);
        return;
    }
    #pragma unroll
    for (int k = 0; k < C24_VECTORS; ++k)
        out[k] = (float8)(lv_read_half4(t, x, y, 2 * k), lv_read_half4(t, x, y, 2 * k + 1));
}

// Row i of the unit's tiles, whose input patches start at (x0 + 2u, y0): folded[u][b] =
// Σ over j of Aᵀ[b][j]·M[i][j] for the 24 output channels.
C24_INLINE void c24_2d_row(lv_tex s, int x0, int y0, int i, global const half* U,
                           float8 folded[C24_2D_UNIT_TILES][2][C24_VECTORS])
{
    // Bᵀ row i combines input rows ra and rb: (1 0 -1 0), (0 1 1 0), (0 -1 1 0), (0 1 0 -1).
    const int ra = i == 0 ? 0 : (i == 2 ? 2 : 1);
    const int rb = i == 0 ? 2 : (i == 3 ? 3 : (i == 1 ? 2 : 1));
    const float sb = i == 1 ? 1.0f : -1.0f;
    float8 t[C24_2D_COLUMNS][C24_VECTORS];
    #pragma unroll
    for (int c = 0; c < C24_2D_COLUMNS; ++c) {
        float8 a[C24_VECTORS], b[C24_VECTORS];
        c24_load_pixel(s, x0 + c, y0 + ra, a);
        c24_load_pixel(s, x0 + c, y0 + rb, b);
        #pragma unroll
        for (int k = 0; k < C24_VECTORS; ++k) t[c][k] = fma((float8)(sb), b[k], a[k]);
    }
    // The same combination along the columns; the points stay in private memory so that the
    // products broadcast each input channel straight from there.
    float v[C24_2D_UNIT_TILES][4][C24_CHANNELS];
    #pragma unroll
    for (int u = 0; u < C24_2D_UNIT_TILES; ++u) {
        const int c = 2 * u;
        #pragma unroll
        for (int k = 0; k < C24_VECTORS; ++k) {
            vstore8(t[c][k] - t[c + 2][k], k, v[u][0]);
            vstore8(t[c + 1][k] + t[c + 2][k], k, v[u][1]);
            vstore8(t[c + 2][k] - t[c + 1][k], k, v[u][2]);
            vstore8(t[c + 1][k] - t[c + 3][k], k, v[u][3]);
        }
    }
    // One point at a time over all 24 output channels: each broadcast input channel feeds three
    // fma of every tile, and the 12 accumulators stay in registers.
    global const half* w = U + i * 4 * C24_CHANNELS * C24_CHANNELS;
    float8 m[4][C24_2D_UNIT_TILES][C24_VECTORS];
    #pragma unroll
    for (int j = 0; j < 4; ++j) {
        float8 acc[C24_2D_UNIT_TILES][C24_VECTORS];
        #pragma unroll
        for (int u = 0; u < C24_2D_UNIT_TILES; ++u)
            #pragma unroll
            for (int k = 0; k < C24_VECTORS; ++k) acc[u][k] = (float8)(0.0f);
        for (int ic = 0; ic < C24_CHANNELS; ++ic) {
            global const half* wj = w + (j * C24_CHANNELS + ic) * C24_CHANNELS;
            const float8 w0 = vload_half8(0, wj), w1 = vload_half8(1, wj), w2 = vload_half8(2, wj);
            #pragma unroll
            for (int u = 0; u < C24_2D_UNIT_TILES; ++u) {
                const float8 x = (float8)(v[u][j][ic]);
                acc[u][0] = fma(x, w0, acc[u][0]);
                acc[u][1] = fma(x, w1, acc[u][1]);
                acc[u][2] = fma(x, w2, acc[u][2]);
            }
        }
        #pragma unroll
        for (int u = 0; u < C24_2D_UNIT_TILES; ++u)
            #pragma unroll
            for (int k = 0; k < C24_VECTORS; ++k) m[j][u][k] = acc[u][k];
    }
    // Aᵀ = (1 1 1 0), (0 1 -1 -1) along the row.
    #pragma unroll
    for (int u = 0; u < C24_2D_UNIT_TILES; ++u)
        #pragma unroll
        for (int k = 0; k < C24_VECTORS; ++k) {
            folded[u][0][k] = m[0][u][k] + m[1][u][k] + m[2][u][k];
            folded[u][1][k] = m[1][u][k] - m[2][u][k] - m[3][u][k];
        }
}

kernel void conv24_winograd_2d(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), global const half* weights,
                               global const half* bias, global const half* slope)
{
    // Folded rows of the group's tiles: [tile][i][column] x 24 channels.
    local float8 rows[C24_2D_TILES * 4 * 2 * C24_VECTORS];
    lv_tex s = LV_TEX(source), d = LV_TEX(destination);
    const int lid = (int)lv_local_index(), threads = (int)lv_local_count();
    const int x0 = 2 * C24_2D_TILES * (int)get_group_id(0), y0 = 2 * (int)get_group_id(1);

    for (int unit = lid; unit < C24_2D_TILES / C24_2D_UNIT_TILES * 4; unit += threads) {
        const int i = unit & 3, first = (unit >> 2) * C24_2D_UNIT_TILES;
        float8 folded[C24_2D_UNIT_TILES][2][C24_VECTORS];
        c24_2d_row(s, x0 + 2 * first - 1, y0 - 1, i, weights, folded);
        #pragma unroll
        for (int u = 0; u < C24_2D_UNIT_TILES; ++u)
            #pragma unroll
            for (int b = 0; b < 2; ++b)
                #pragma unroll
                for (int k = 0; k < C24_VECTORS; ++k)
                    rows[(((first + u) * 4 + i) * 2 + b) * C24_VECTORS + k] = folded[u][b][k];
    }
    barrier(CLK_LOCAL_MEM_FENCE);

    // One thread per pixel column: Aᵀ down the column's folded rows gives its two pixels.
    for (int column = lid; column < 2 * C24_2D_TILES; column += threads) {
        const int tile = column >> 1, b = column & 1, x = x0 + column;
        if (x >= (int)d.d.width) continue;
        float8 top[C24_VECTORS], bottom[C24_VECTORS];
        #pragma unroll
        for (int k = 0; k < C24_VECTORS; ++k) {
            local const float8* r = rows + ((tile * 4) * 2 + b) * C24_VECTORS + k;
            const float8 r0 = r[0], r1 = r[2 * C24_VECTORS], r2 = r[4 * C24_VECTORS], r3 = r[6 * C24_VECTORS];
            top[k] = r0 + r1 + r2;
            bottom[k] = r1 - r2 - r3;
        }
        c24_finish_pixel(d, x, y0, top, bias, slope);
        if (y0 + 1 < (int)d.d.height) c24_finish_pixel(d, x, y0 + 1, bottom, bias, slope);
    }
}
