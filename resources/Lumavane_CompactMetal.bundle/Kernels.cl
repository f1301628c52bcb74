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
// which take one thread per output pixel. The benchmark buffers are tightly packed RGBA rows
// of the network input's width (times the output scale for the output).

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

// One network channel of a feature pixel.
inline float lv_network_channel(lv_tex network, int x, int y, int channel)
{
    return vload_half(channel & 3, (global const half*)lv_texel(network, x, y, channel >> 2));
}

// The network's colour at (dx, dy) of pixel (x, y)'s s x s block.
inline float3 lv_network_rgb(lv_tex network, int x, int y, int dx, int dy, int scale)
{
    return (float3)(lv_network_channel(network, x, y, lv_shuffle_channel(0, dx, dy, scale)),
                    lv_network_channel(network, x, y, lv_shuffle_channel(1, dx, dy, scale)),
                    lv_network_channel(network, x, y, lv_shuffle_channel(2, dx, dy, scale)));
}

// Output pixel (ox, oy) at the native scale.
inline void lv_finish_pixel(lv_tex network, lv_tex frame, lv_tex destination, int ox, int oy, int scale, bool flip)
{
    const int x = ox / scale, y = oy / scale;
    if (!lv_inside(network, x, y)) return;
    const float3 rgb = lv_reconstruct_pixel(lv_network_rgb(network, x, y, ox - x * scale, oy - y * scale, scale),
                                            lv_source_rgb(frame, x, y));
    lv_write_output(destination, ox, lv_output_row(destination, oy, flip), rgb);
}

// The 2 x 2 output block of input pixel (x, y) of a 2x network.
inline void lv_finish_block2(lv_tex network, lv_tex frame, lv_tex destination, int x, int y, bool flip)
{
    if (!lv_inside(network, x, y)) return;
    const float3 residual = lv_source_rgb(frame, x, y);
    for (int dy = 0; dy < 2; ++dy)
        for (int dx = 0; dx < 2; ++dx) {
            const float3 rgb = lv_reconstruct_pixel(lv_network_rgb(network, x, y, dx, dy, 2), residual);
            lv_write_output(destination, 2 * x + dx, lv_output_row(destination, 2 * y + dy, flip), rgb);
        }
}

// The 48 channels of a 4x network's feature pixel: one vector load per 16 when a pixel's
// slices lie side by side, as the device's own images keep them.
inline void lv_load_network48(lv_tex network, int x, int y, float* channels)
{
    if (network.d.slice_pitch == 8) {
        global const half* p = (global const half*)lv_texel(network, x, y, 0);
        vstore16(vload_half16(0, p), 0, channels);
        vstore16(vload_half16(1, p), 1, channels);
        vstore16(vload_half16(2, p), 2, channels);
    } else {
        for (int slice = 0; slice < 12; ++slice) vstore4(lv_read_half4(network, x, y, slice), slice, channels);
    }
}

inline float3 lv_rgb48(const float* channels, int dx, int dy)
{
    return (float3)(channels[lv_shuffle_channel(0, dx, dy, 4)], channels[lv_shuffle_channel(1, dx, dy, 4)],
                    channels[lv_shuffle_channel(2, dx, dy, 4)]);
}

// The 2 x 2 block of the 2x output of input pixel (x, y) of a 4x network: each 2x pixel the
// mean of its four reconstructed 4x pixels. `vector` reads the features in three vector loads;
// the result is the same.
inline void lv_finish_down2(lv_tex network, lv_tex frame, lv_tex destination, int x, int y, bool flip, bool vector)
{
    if (!lv_inside(network, x, y)) return;
    const float3 residual = lv_source_rgb(frame, x, y);
    float channels[48];
    if (vector) {
        lv_load_network48(network, x, y, channels);
    } else {
        for (int c = 0; c < 48; ++c) channels[c] = lv_network_channel(network, x, y, c);
    }
    for (int by = 0; by < 2; ++by)
        for (int bx = 0; bx < 2; ++bx) {
            const float3 rgb = lv_reconstruct_down2(
                lv_rgb48(channels, 2 * bx, 2 * by), lv_rgb48(channels, 2 * bx + 1, 2 * by),
                lv_rgb48(channels, 2 * bx, 2 * by + 1), lv_rgb48(channels, 2 * bx + 1, 2 * by + 1), residual);
            lv_write_output(destination, 2 * x + bx, lv_output_row(destination, 2 * y + by, flip), rgb);
        }
}

// Benchmark buffers ---------------------------------------------------------------------------

#define LV_BUFFERS(network)                                                                        \
    lv_tex frame = lv_rgba_buffer(input, lv_width(network), lv_height(network));                   \
    lv_tex destination = lv_rgba_buffer(output, lv_width(network) * scale, lv_height(network) * scale)

kernel void finish(LV_GRID, LV_TEXTURE(network), global const uchar* input, global uchar* output, const uint scale)
{
    if (!LV_IN_GRID()) return;
    lv_tex network = LV_TEX(network);
    LV_BUFFERS(network);
    lv_finish_pixel(network, frame, destination, (int)get_global_id(0), (int)get_global_id(1), (int)scale, false);
}

kernel void finish2x(LV_GRID, LV_TEXTURE(network), global const uchar* input, global uchar* output, const uint scale)
{
    if (!LV_IN_GRID()) return;
    lv_tex network = LV_TEX(network);
    LV_BUFFERS(network);
    lv_finish_block2(network, frame, destination, (int)get_global_id(0), (int)get_global_id(1), false);
}

// The 4x network at 2x: the output buffer has rows of twice the input width.
#define LV_BUFFERS_DOWN2(network)                                                                  \
    lv_tex frame = lv_rgba_buffer(input, lv_width(network), lv_height(network));                   \
    lv_tex destination = lv_rgba_buffer(output, lv_width(network) * 2, lv_height(network) * 2)

kernel void finish4xDown2(LV_GRID, LV_TEXTURE(network), global const uchar* input, global uchar* output,
                          const uint scale)
{
    if (!LV_IN_GRID()) return;
    lv_tex network = LV_TEX(network);
    LV_BUFFERS_DOWN2(network);
    lv_finish_down2(network, frame, destination, (int)get_global_id(0), (int)get_global_id(1), false, false);
}

kernel void finish4xDown2Vector(LV_GRID, LV_TEXTURE(network), global const uchar* input, global uchar* output,
                                const uint scale)
{
    if (!LV_IN_GRID()) return;
    lv_tex network = LV_TEX(network);
    LV_BUFFERS_DOWN2(network);
    lv_finish_down2(network, frame, destination, (int)get_global_id(0), (int)get_global_id(1), false, true);
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
LV_TEXTURE_FINISH(finish2xTexture, lv_finish_block2(network, frame, destination, x, y, false))
LV_TEXTURE_FINISH(finish2xTextureFlipped, lv_finish_block2(network, frame, destination, x, y, true))
LV_TEXTURE_FINISH(finish4xDown2Texture, lv_finish_down2(network, frame, destination, x, y, false, false))
LV_TEXTURE_FINISH(finish4xDown2TextureFlipped, lv_finish_down2(network, frame, destination, x, y, true, false))
LV_TEXTURE_FINISH(finish4xDown2TextureVector, lv_finish_down2(network, frame, destination, x, y, false, true))
LV_TEXTURE_FINISH(finish4xDown2TextureVectorFlipped,
                  lv_finish_down2(network, frame, destination, x, y, true, true))
