// Input conversion and reconstruction of the compact engine.
//
// Input conversion writes the frame as the network's 3-channel input, RGB in 0...1 (the
// fourth channel of the slice 0). Reconstruction reads the last layer's 3·s² channels
// (channel c·s² + dy·s + dx is colour c at (dx, dy) of an input pixel's s x s block), adds the
// input pixel as residual and writes the frame, through the helpers of Reconstruction.cl that
// every fused tail uses too, so all output paths give the same picture.
//
// Bindings:
//   unpack            texture 0 network input; buffer 0 the RGBA input (4 bytes a pixel)
//   unpackTexture     texture 0 the frame; texture 1 the network input
//   finish*           texture 0 last features; buffer 0 RGBA input, 1 RGBA output, 2 scale
//   finish*Texture*   texture 0 last features, 1 the frame, 2 the destination; bytes 0 scale
// Grids: one thread per input pixel, except finish, finishTexture and finishTextureFlipped,
// which are dispatched with one thread per output pixel. The benchmark buffers are tightly
// packed RGBA rows of the network input's width (times the output scale for the output).
//
// Work split: every thread that writes pixels writes the whole output block of one input
// pixel, reading that pixel's channels with vector loads once; in the per-output-pixel grids
// the block's top-left thread does it and the others return. Measured on PoCL (8-core machine,
// 16-channel 4x network at 640x360, native 4x output): 48.6 ms with one output pixel per thread
// (three scalar half loads and a format switch each), 6.5 ms with one block per thread.

#include "Reconstruction.cl"

// A tightly packed RGBA buffer seen as a texture, so that the buffer paths read and write
// through the same helpers as the texture paths.
inline lv_tex lv_rgba_buffer(global const uchar* bytes, uint width, uint height)
{
    lv_texture_desc d;
    d.width = width;
    d.height = height;
    d.slices = 1;
    d.format = LV_FORMAT_RGBA8UNORM;
    d.offset = 0;
    d.row_pitch = width * 4;
    d.pixel_pitch = 4;
    d.slice_pitch = 4;
    return lv_make_tex((global uchar*)bytes, d);
}

inline void lv_unpack_pixel(lv_tex frame, lv_tex image, int x, int y)
{
    if (!lv_inside(image, x, y)) return;
    lv_write_half4(image, x, y, 0, (float4)(lv_source_rgb(frame, x, y), 0.0f));
}

kernel void unpack(LV_GRID, LV_TEXTURE(image), global const uchar* input)
{
    if (!LV_IN_GRID()) return;
    lv_tex image = LV_TEX(image);
    lv_unpack_pixel(lv_rgba_buffer(input, lv_width(image), lv_height(image)), image, (int)get_global_id(0),
                    (int)get_global_id(1));
}

kernel void unpackTexture(LV_GRID, LV_TEXTURE(frame), LV_TEXTURE(image))
{
    if (!LV_IN_GRID()) return;
    lv_unpack_pixel(LV_TEX(frame), LV_TEX(image), (int)get_global_id(0), (int)get_global_id(1));
}

// The first 4·slices channels of a feature pixel (slices ≤ 12); vector loads when the pixel's
// slices lie side by side, as the device's own images keep them.
inline void lv_load_network(lv_tex network, int x, int y, int slices, float* channels)
{
    if (network.d.slice_pitch == 8) {
        global const half* p = (global const half*)lv_texel(network, x, y, 0);
        if (slices == 12) {
            vstore16(vload_half16(0, p), 0, channels);
            vstore16(vload_half16(1, p), 1, channels);
            vstore16(vload_half16(2, p), 2, channels);
        } else {
            for (int slice = 0; slice < slices; ++slice) vstore4(vload_half4(slice, p), slice, channels);
        }
    } else {
        for (int slice = 0; slice < slices; ++slice) vstore4(lv_read_half4(network, x, y, slice), slice, channels);
    }
}

// The network's colour at (dx, dy) of a pixel's s x s block, from its loaded channels.
inline float3 lv_block_rgb(const float* channels, int dx, int dy, int scale)
{
    return (float3)(channels[lv_shuffle_channel(0, dx, dy, scale)], channels[lv_shuffle_channel(1, dx, dy, scale)],
                    channels[lv_shuffle_channel(2, dx, dy, scale)]);
}

// Whether a w x h block at (x, y) lies inside an 8-bit BGRA or RGBA destination, which can then
// be written without the general writer's checks (the same rounding as lv_write_output).
inline bool lv_direct_block(lv_tex destination, int x, int y, int w, int h)
{
    const uint f = destination.d.format;
    return (f == LV_FORMAT_BGRA8UNORM || f == LV_FORMAT_RGBA8UNORM) && x >= 0 && y >= 0 &&
           x + w <= (int)lv_width(destination) && y + h <= (int)lv_height(destination);
}

inline void lv_store_direct(lv_tex destination, int x, int row, float3 rgb)
{
    const float4 v = destination.d.format == LV_FORMAT_BGRA8UNORM ? (float4)(rgb.z, rgb.y, rgb.x, 1.0f)
                                                                   : (float4)(rgb, 1.0f);
    vstore4(lv_unorm8(v), 0, lv_texel(destination, x, row, 0));
}

// The s x s output block of input pixel (x, y) at the native scale.
inline void lv_finish_block_of(lv_tex network, lv_tex frame, lv_tex destination, int x, int y, const int scale,
                               bool flip)
{
    if (!lv_inside(network, x, y)) return;
    float channels[48];
    lv_load_network(network, x, y, (3 * scale * scale + 3) / 4, channels);
    const float3 residual = lv_source_rgb(frame, x, y);
    if (lv_direct_block(destination, scale * x, scale * y, scale, scale)) {
        for (int dy = 0; dy < scale; ++dy) {
            const int row = lv_output_row(destination, scale * y + dy, flip);
            for (int dx = 0; dx < scale; ++dx)
                lv_store_direct(destination, scale * x + dx, row,
                                lv_reconstruct_pixel(lv_block_rgb(channels, dx, dy, scale), residual));
        }
    } else {
        for (int dy = 0; dy < scale; ++dy) {
            const int row = lv_output_row(destination, scale * y + dy, flip);
            for (int dx = 0; dx < scale; ++dx)
                lv_write_output(destination, scale * x + dx, row,
                                lv_reconstruct_pixel(lv_block_rgb(channels, dx, dy, scale), residual));
        }
    }
}

// The same for a scale known only at run time (2, 3 or 4): each scale gets its own unrolled copy.
inline void lv_finish_block(lv_tex network, lv_tex frame, lv_tex destination, int x, int y, int scale, bool flip)
{
    if (scale == 4)
        lv_finish_block_of(network, frame, destination, x, y, 4, flip);
    else if (scale == 3)
        lv_finish_block_of(network, frame, destination, x, y, 3, flip);
    else if (scale == 2)
        lv_finish_block_of(network, frame, destination, x, y, 2, flip);
}

// The same from a per-output-pixel grid: the block's top-left thread writes it. The idle
// threads are most of the grid, so their test avoids a division by the run-time scale.
inline void lv_finish_pixel(lv_tex network, lv_tex frame, lv_tex destination, int ox, int oy, int scale, bool flip)
{
    if (scale == 4) {
        if (((ox | oy) & 3) == 0) lv_finish_block_of(network, frame, destination, ox >> 2, oy >> 2, 4, flip);
    } else if (scale == 3) {
        if (ox % 3 == 0 && oy % 3 == 0) lv_finish_block_of(network, frame, destination, ox / 3, oy / 3, 3, flip);
    } else if (scale == 2) {
        if (((ox | oy) & 1) == 0) lv_finish_block_of(network, frame, destination, ox >> 1, oy >> 1, 2, flip);
    }
}

// The 2 x 2 block of the 2x output of input pixel (x, y) of a 4x network: each 2x pixel the
// mean of its four reconstructed 4x pixels. `vector` and the plain variant differ only in the
// name the engine selects them by; both read the 48 channels with vector loads.
inline void lv_finish_down2(lv_tex network, lv_tex frame, lv_tex destination, int x, int y, bool flip)
{
    if (!lv_inside(network, x, y)) return;
    float channels[48];
    lv_load_network(network, x, y, 12, channels);
    const float3 residual = lv_source_rgb(frame, x, y);
    const bool direct = lv_direct_block(destination, 2 * x, 2 * y, 2, 2);
    for (int by = 0; by < 2; ++by) {
        const int row = lv_output_row(destination, 2 * y + by, flip);
        for (int bx = 0; bx < 2; ++bx) {
            const float3 rgb = lv_reconstruct_down2(
                lv_block_rgb(channels, 2 * bx, 2 * by, 4), lv_block_rgb(channels, 2 * bx + 1, 2 * by, 4),
                lv_block_rgb(channels, 2 * bx, 2 * by + 1, 4), lv_block_rgb(channels, 2 * bx + 1, 2 * by + 1, 4),
                residual);
            if (direct)
                lv_store_direct(destination, 2 * x + bx, row, rgb);
            else
                lv_write_output(destination, 2 * x + bx, row, rgb);
        }
    }
}

// Benchmark buffers ---------------------------------------------------------------------------

// The input and output buffers as textures: the output has `outputScale` times the frame.
#define LV_BUFFERS(network, outputScale)                                                           \
    lv_tex frame = lv_rgba_buffer(input, lv_width(network), lv_height(network));                   \
    lv_tex destination =                                                                           \
        lv_rgba_buffer(output, lv_width(network) * (outputScale), lv_height(network) * (outputScale))

kernel void finish(LV_GRID, LV_TEXTURE(network), global const uchar* input, global uchar* output, const uint scale)
{
    if (!LV_IN_GRID()) return;
    lv_tex network = LV_TEX(network);
    LV_BUFFERS(network, scale);
    lv_finish_pixel(network, frame, destination, (int)get_global_id(0), (int)get_global_id(1), (int)scale, false);
}

kernel void finish2x(LV_GRID, LV_TEXTURE(network), global const uchar* input, global uchar* output, const uint scale)
{
    if (!LV_IN_GRID()) return;
    lv_tex network = LV_TEX(network);
    LV_BUFFERS(network, 2);
    lv_finish_block(network, frame, destination, (int)get_global_id(0), (int)get_global_id(1), 2, false);
}

kernel void finish4xDown2(LV_GRID, LV_TEXTURE(network), global const uchar* input, global uchar* output,
                          const uint scale)
{
    if (!LV_IN_GRID()) return;
    lv_tex network = LV_TEX(network);
    LV_BUFFERS(network, 2);
    lv_finish_down2(network, frame, destination, (int)get_global_id(0), (int)get_global_id(1), false);
}

kernel void finish4xDown2Vector(LV_GRID, LV_TEXTURE(network), global const uchar* input, global uchar* output,
                                const uint scale)
{
    if (!LV_IN_GRID()) return;
    lv_tex network = LV_TEX(network);
    LV_BUFFERS(network, 2);
    lv_finish_down2(network, frame, destination, (int)get_global_id(0), (int)get_global_id(1), false);
}

// Textures ------------------------------------------------------------------------------------

#define LV_TEXTURE_FINISH(name, body)                                                              \
    kernel void name(LV_GRID, LV_TEXTURE(network), LV_TEXTURE(frame), LV_TEXTURE(destination),    \
                     const uint scale)                                                             \
    {                                                                                              \
        if (!LV_IN_GRID()) return;                                                                 \
        const lv_tex network = LV_TEX(network), frame = LV_TEX(frame),                             \
                     destination = LV_TEX(destination);                                            \
        const int x = (int)get_global_id(0), y = (int)get_global_id(1);                            \
        body;                                                                                      \
    }

LV_TEXTURE_FINISH(finishTexture, lv_finish_pixel(network, frame, destination, x, y, (int)scale, false))
LV_TEXTURE_FINISH(finishTextureFlipped, lv_finish_pixel(network, frame, destination, x, y, (int)scale, true))
LV_TEXTURE_FINISH(finish2xTexture, lv_finish_block(network, frame, destination, x, y, 2, false))
LV_TEXTURE_FINISH(finish2xTextureFlipped, lv_finish_block(network, frame, destination, x, y, 2, true))
LV_TEXTURE_FINISH(finish4xDown2Texture, lv_finish_down2(network, frame, destination, x, y, false))
LV_TEXTURE_FINISH(finish4xDown2TextureFlipped, lv_finish_down2(network, frame, destination, x, y, true))
LV_TEXTURE_FINISH(finish4xDown2TextureVector, lv_finish_down2(network, frame, destination, x, y, false))
LV_TEXTURE_FINISH(finish4xDown2TextureVectorFlipped, lv_finish_down2(network, frame, destination, x, y, true))
