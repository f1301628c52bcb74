// The reconstruction every output path of the compact engines performs, written once so that
// the plain finish kernels and every fused tail give the same picture. Include it with
//   #include "Reconstruction.cl"
//
// A network of scale s ends in 3·s² channels: channel c·s² + dy·s + dx is colour c (0 red,
// 1 green, 2 blue) of the output pixel at (dx, dy) inside the s x s block of input pixel (x, y).
// The residual is the input pixel itself repeated over its block (nearest-neighbour
// upsampling), in RGB 0...1. Output pixel = clamp(network + residual, 0, 1), written as 8-bit
// (round to nearest) with alpha 1. A 4x network shown at 2x averages the four reconstructed 4x
// pixels of each 2x pixel. Textures are stored top row first; a flipped output writes row
// H - 1 - y.

#ifndef LV_RECONSTRUCTION_CL
#define LV_RECONSTRUCTION_CL

// Network channel of colour c at (dx, dy) of the s x s block.
inline int lv_shuffle_channel(int colour, int dx, int dy, int scale)
{
    return colour * scale * scale + dy * scale + dx;
}

// The input frame's pixel as RGB in 0...1 (8-bit BGRA frames; other colour formats read alike).
// Coordinates are clamped to the frame, so a frame smaller than the network's input is never
// read beyond its end.
inline float3 lv_source_rgb(lv_tex source, int x, int y)
{
    x = clamp(x, 0, (int)lv_width(source) - 1);
    y = clamp(y, 0, (int)lv_height(source) - 1);
    return lv_read(source, x, y, 0).xyz;
}

// One output pixel from the network's three colour values and the residual.
inline float3 lv_reconstruct_pixel(float3 network, float3 residual)
{
    return clamp(network + residual, 0.0f, 1.0f);
}

// One 2x pixel of a 4x network: the mean of its four reconstructed 4x pixels.
inline float3 lv_reconstruct_down2(float3 n00, float3 n10, float3 n01, float3 n11, float3 residual)
{
    return (lv_reconstruct_pixel(n00, residual) + lv_reconstruct_pixel(n10, residual) +
            lv_reconstruct_pixel(n01, residual) + lv_reconstruct_pixel(n11, residual)) * 0.25f;
}

// The stored row of output row y.
inline int lv_output_row(lv_tex destination, int y, bool flip)
{
    return flip ? (int)lv_height(destination) - 1 - y : y;
}

// Writes a reconstructed pixel (alpha 1); pixels outside the destination are skipped. BGRA8,
// the frames' format, is written directly; other formats through the general writer.
inline void lv_write_output(lv_tex destination, int x, int y, float3 rgb)
{
    if (!lv_inside(destination, x, y)) return;
    if (destination.d.format == LV_FORMAT_BGRA8UNORM)
        lv_write_bgra8(destination, x, y, (float4)(rgb, 1.0f));
    else
        lv_write(destination, x, y, 0, (float4)(rgb, 1.0f));
}

#endif
