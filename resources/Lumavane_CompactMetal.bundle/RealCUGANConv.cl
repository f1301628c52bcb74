// Kernels of the Real-CUGAN convolution probe: a valid 64-to-64-channel 3x3 convolution as a
// Winograd F(2x2, 3x3) kernel, the synthetic input pattern, and a readback of 64-channel images.
//
// Images are 64-channel feature images (16 half4 slices). The valid convolution's output pixel
// (x, y) is centred on input pixel (x + 1, y + 1), so output tile (tx, ty), a 2x2 block of output
// pixels, reads the 4x4 input patch at (2·tx, 2·ty).

#define RC_CHANNELS 64
#define RC_SLICES 16
#define RC_VECTORS 4 // 16-channel vectors of a pixel

// Host contract: 8 tiles per threadgroup of 32 work items, tiles numbered row by row.
#define RC_TILES 8
#define RC_THREADS 32

// Tiles one unit of the first phase multiplies together: they share every weight load, and their
// four points each give the CPU sixteen independent float16 accumulators. Measured on PoCL (one
// core, 128 x 128 input, AVX-512): 8.4 ms against 20.8 ms for the platform's direct convolution,
// 139 against 56 GFLOP/s counted as direct multiply-adds; 2 tiles a unit took 10.1-10.7 ms,
// 8 tiles 8.2-8.3 ms (no clear gain for twice the registers).
#ifndef RC_UNIT_TILES
#define RC_UNIT_TILES 4
#endif

// All 64 channels of a pixel in float; zero outside the image (or for an image of too few
// channels, so that a wrong binding reads nothing beyond it).
inline void rc_load_pixel(lv_tex t, int x, int y, float16* out)
{
    if (!lv_inside(t, x, y) || lv_slices(t) < RC_SLICES) {
        for (int k = 0; k < RC_VECTORS; ++k) out[k] = (float16)(0.0f);
        return;
    }
    if (t.d.slice_pitch == 8) { // the slices of a pixel side by side: vector loads
        global const half* p = (global const half*)lv_texel(t, x, y, 0);
        for (int k = 0; k < RC_VECTORS; ++k) out[k] = vload_half16(k, p);
    } else {
        for (int k = 0; k < RC_VECTORS; ++k)
            out[k] = (float16)(lv_read_half4(t, x, y, 4 * k), lv_read_half4(t, x, y, 4 * k + 1),
                               lv_read_half4(t, x, y, 4 * k + 2), lv_read_half4(t, x, y, 4 * k + 3));
    }
}

// Channels [16·k, 16·k + 16) of a pixel; nothing outside the image or its channels.
inline void rc_store_vector(lv_tex t, int x, int y, int k, float16 v)
{
    if (!lv_inside(t, x, y) || lv_slices(t) < RC_SLICES) return;
    if (t.d.slice_pitch == 8) {
        vstore_half16(v, k, (global half*)lv_texel(t, x, y, 0));
    } else {
        lv_write_half4(t, x, y, 4 * k, v.s0123);
        lv_write_half4(t, x, y, 4 * k + 1, v.s4567);
        lv_write_half4(t, x, y, 4 * k + 2, v.s89ab);
        lv_write_half4(t, x, y, 4 * k + 3, v.scdef);
    }
}

// Folded rows of the group's tiles: [tile][point row i][output column][channel].
#define RC_PARTIAL(partial, tile, i, column) ((partial) + ((((tile) * 4 + (i)) * 2 + (column)) * RC_CHANNELS))

// Buffer 0: transformed weights, half, element ((i·4 + j)·64 + c)·64 + o is point (i, j) of the
// filter from input c to output o. Buffer 1: 64 half biases. Buffer 2: reserved, always 0.
kernel void realcugan_conv64_winograd_valid(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination),
                                            global const half* weights, global const half* bias,
                                            const int reserved)
{
    lv_tex in = LV_TEX(source);
    lv_tex out = LV_TEX(destination);
    const int lid = (int)get_local_id(0);
    const int tiles_x = ((int)lv_width(out) + 1) / 2;
    const int tile_count = tiles_x * (((int)lv_height(out) + 1) / 2);
    const int group_first = (int)get_group_id(0) * RC_TILES;
    local float partial[RC_TILES * 4 * 2 * RC_CHANNELS];

    // Phase one. A unit is (RC_UNIT_TILES tiles, point row i, output vector o): it transforms row
    // i of its tiles' input patches (Bᵀ·d·B), multiplies the four points with the weights for its
    // sixteen output channels, and folds the row with Aᵀ. A CPU device runs a work group on one
    // core, so only the work per group counts; a GPU gets one unit per work item.
    for (int u = lid; u < RC_TILES / RC_UNIT_TILES * 4 * RC_VECTORS; u += RC_THREADS) {
        const int o = u % RC_VECTORS, i = (u / RC_VECTORS) % 4, first = u / (RC_VECTORS * 4) * RC_UNIT_TILES;
        // Bᵀ rows (1 0 -1 0), (0 1 1 0), (0 -1 1 0), (0 1 0 -1): input row ra plus sb times row rb.
        const int ra = i == 0 ? 0 : (i == 2 ? 2 : 1);
        const int rb = i == 0 ? 2 : (i == 3 ? 3 : (i == 1 ? 2 : 1));
        const float sb = i == 1 ? 1.0f : -1.0f;

        float v[RC_UNIT_TILES][4][RC_CHANNELS];
        for (int t = 0; t < RC_UNIT_TILES; ++t) {
            const int tile = group_first + first + t;
            // A tile past the last still runs (its patch reads zeros) and is never written.
            const int tx = tile < tile_count ? tile % tiles_x : -4, ty = tile < tile_count ? tile / tiles_x : -4;
            float16 col[4][RC_VECTORS];
            for (int c = 0; c < 4; ++c) {
                float16 a[RC_VECTORS], b[RC_VECTORS];
                rc_load_pixel(in, 2 * tx + c, 2 * ty + ra, a);
                rc_load_pixel(in, 2 * tx + c, 2 * ty + rb, b);
                for (int k = 0; k < RC_VECTORS; ++k) col[c][k] = fma((float16)(sb), b[k], a[k]);
            }
            for (int k = 0; k < RC_VECTORS; ++k) {
                vstore16(col[0][k] - col[2][k], k, v[t][0]);
                vstore16(col[1][k] + col[2][k], k, v[t][1]);
                vstore16(col[2][k] - col[1][k], k, v[t][2]);
                vstore16(col[1][k] - col[3][k], k, v[t][3]);
            }
        }

        float16 m[RC_UNIT_TILES][4];
        for (int t = 0; t < RC_UNIT_TILES; ++t)
            for (int j = 0; j < 4; ++j) m[t][j] = (float16)(0.0f);
        global const half* w = weights + (size_t)(i * 4 * RC_CHANNELS) * RC_CHANNELS + o * 16;
        for (int c = 0; c < RC_CHANNELS; ++c) {
            #pragma unroll
            for (int j = 0; j < 4; ++j) {
                const float16 wv = vload_half16(0, w + (j * RC_CHANNELS + c) * RC_CHANNELS);
                #pragma unroll
                for (int t = 0; t < RC_UNIT_TILES; ++t) m[t][j] = fma((float16)(v[t][j][c]), wv, m[t][j]);
            }
        }
        // Aᵀ = (1 1 1 0), (0 1 -1 -1) along the row.
        for (int t = 0; t < RC_UNIT_TILES; ++t) {
            vstore16(m[t][0] + m[t][1] + m[t][2], o, RC_PARTIAL(partial, first + t, i, 0));
            vstore16(m[t][1] - m[t][2] - m[t][3], o, RC_PARTIAL(partial, first + t, i, 1));
        }
    }
    barrier(CLK_LOCAL_MEM_FENCE);

    // Phase two, a unit per (tile, output vector): Aᵀ down the columns, plus the bias; only the
    // pixels inside the destination are written.
    for (int u = lid; u < RC_TILES * RC_VECTORS; u += RC_THREADS) {
        const int o = u % RC_VECTORS, t = u / RC_VECTORS, tile = group_first + t;
        if (tile >= tile_count) continue;
        const int tx = tile % tiles_x, ty = tile / tiles_x;
        const float16 b = vload_half16(o, bias);
        for (int column = 0; column < 2; ++column) {
            const float16 r0 = vload16(o, RC_PARTIAL(partial, t, 0, column));
            const float16 r1 = vload16(o, RC_PARTIAL(partial, t, 1, column));
            const float16 r2 = vload16(o, RC_PARTIAL(partial, t, 2, column));
            const float16 r3 = vload16(o, RC_PARTIAL(partial, t, 3, column));
            rc_store_vector(out, 2 * tx + column, 2 * ty, o, r0 + r1 + r2 + b);
            rc_store_vector(out, 2 * tx + column, 2 * ty + 1, o, r1 - r2 - r3 + b);
        }
    }
}

// A reproducible value in [-1, 1) for every pixel and channel: a hash, so that any misplaced
// pixel or channel changes the result.
inline float rc_pattern(uint x, uint y, uint c)
{
    uint h = x * 0x9E3779B1u ^ (y + 0x7F4A7C15u) * 0x85EBCA77u ^ (c + 1u) * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    h *= 0x297A2D39u;
    h ^= h >> 15;
    return (float)(h >> 8) * (2.0f / 16777216.0f) - 1.0f;
}

// Grid (width, height, 16): slice z of every pixel.
kernel void realcugan_seed(LV_GRID, LV_TEXTURE(image))
{
    if (!LV_IN_GRID()) return;
    lv_tex t = LV_TEX(image);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1), z = (int)get_global_id(2);
    if (!lv_inside(t, x, y) || z >= (int)lv_slices(t)) return;
    const uint c = 4u * (uint)z;
    lv_write_half4(t, x, y, z,
                   (float4)(rc_pattern(x, y, c), rc_pattern(x, y, c + 1), rc_pattern(x, y, c + 2),
                            rc_pattern(x, y, c + 3)));
}

// Grid (width, height, 16): the half bits of slice z of pixel (x, y) go to element
// ((y·width + x)·16 + z)·4 of buffer 0, so the buffer holds pixel-major rows of 64 channels.
kernel void realcugan_readback(LV_GRID, LV_TEXTURE(image), global ushort* values)
{
    if (!LV_IN_GRID()) return;
    lv_tex t = LV_TEX(image);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1), z = (int)get_global_id(2);
    if (!lv_inside(t, x, y)) return;
    const ushort4 bits = z < (int)lv_slices(t) ? *(global const ushort4*)lv_texel(t, x, y, z) : (ushort4)(0);
    vstore4(bits, ((size_t)y * lv_width(t) + (size_t)x) * RC_SLICES + (size_t)z, values);
}
