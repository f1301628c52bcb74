// Element-wise stages of the SPAN engine; its convolutions are the platform's.
//
// Pixel values: the fixture's bytes map to 0...1 (byte / 255) and the output clamps 0...1 back to
// bytes, rounding to nearest; the network has no mean shift and no global residual of its own.
// The fixture and the output are RGBA rows, top row first, 4 bytes a pixel.
//
// The element-wise kernels run on a grid of (width, height, slices): one work item per four
// channels of one pixel, read and written as half4 vectors and computed in float.

// Buffer 0: the W x H RGBA fixture; texture 0: the 3-channel input image.
kernel void spanUnpack(LV_GRID, LV_TEXTURE(image), global const uchar* input)
{
    if (!LV_IN_GRID()) return;
    lv_tex t = LV_TEX(image);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1);
    if (!lv_inside(t, x, y)) return;
    const uchar4 p = vload4((size_t)y * lv_width(t) + (size_t)x, input);
    lv_write_half4(t, x, y, 0, (float4)(convert_float3(p.xyz) * (1.0f / 255.0f), 0.0f));
}

inline bool span_inside(lv_tex t, int x, int y, int slice) { return lv_inside(t, x, y) && slice < (int)lv_slices(t); }

// x · sigmoid(x)
kernel void spanSilu(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination))
{
    if (!LV_IN_GRID()) return;
    lv_tex s = LV_TEX(source), d = LV_TEX(destination);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1), z = (int)get_global_id(2);
    if (!span_inside(s, x, y, z) || !span_inside(d, x, y, z)) return;
    const float4 v = lv_read_half4(s, x, y, z);
    lv_write_half4(d, x, y, z, v / (1.0f + exp(-v)));
}

kernel void spanCopy(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination))
{
    if (!LV_IN_GRID()) return;
    lv_tex s = LV_TEX(source), d = LV_TEX(destination);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1), z = (int)get_global_id(2);
    if (!span_inside(s, x, y, z) || !span_inside(d, x, y, z)) return;
    // The half bits as they are: a copy must not round.
    *(global ushort4*)lv_texel(d, x, y, z) = *(global const ushort4*)lv_texel(s, x, y, z);
}

kernel void spanAdd(LV_GRID, LV_TEXTURE(a), LV_TEXTURE(b), LV_TEXTURE(sum))
{
    if (!LV_IN_GRID()) return;
    lv_tex ta = LV_TEX(a), tb = LV_TEX(b), ts = LV_TEX(sum);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1), z = (int)get_global_id(2);
    if (!span_inside(ta, x, y, z) || !span_inside(tb, x, y, z) || !span_inside(ts, x, y, z)) return;
    lv_write_half4(ts, x, y, z, lv_read_half4(ta, x, y, z) + lv_read_half4(tb, x, y, z));
}

// The block's attention: (c3 + x) · (sigmoid(c3) − 0.5), c3 the block's third convolution and x
// the block input.
kernel void spanAttention(LV_GRID, LV_TEXTURE(convolved), LV_TEXTURE(block_input), LV_TEXTURE(block_output))
{
    if (!LV_IN_GRID()) return;
    lv_tex c = LV_TEX(convolved), i = LV_TEX(block_input), o = LV_TEX(block_output);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1), z = (int)get_global_id(2);
    if (!span_inside(c, x, y, z) || !span_inside(i, x, y, z) || !span_inside(o, x, y, z)) return;
    const float4 c3 = lv_read_half4(c, x, y, z);
    const float4 attention = 1.0f / (1.0f + exp(-c3)) - 0.5f;
    lv_write_half4(o, x, y, z, (c3 + lv_read_half4(i, x, y, z)) * attention);
}

// Texture 0: the 12-channel upsampling output, channel c·4 + dy·2 + dx holding colour c of the
// output pixel (2x + dx, 2y + dy), so slice c is one colour of the 2 x 2 block. Buffer 0: the
// 2W x 2H RGBA output, alpha 255.
kernel void spanFinish2x(LV_GRID, LV_TEXTURE(upsampled), global uchar* output)
{
    if (!LV_IN_GRID()) return;
    lv_tex t = LV_TEX(upsampled);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1);
    if (!lv_inside(t, x, y) || lv_slices(t) < 3) return;
    const float4 r = clamp(lv_read_half4(t, x, y, 0), 0.0f, 1.0f) * 255.0f;
    const float4 g = clamp(lv_read_half4(t, x, y, 1), 0.0f, 1.0f) * 255.0f;
    const float4 b = clamp(lv_read_half4(t, x, y, 2), 0.0f, 1.0f) * 255.0f;
    const size_t W2 = 2 * (size_t)lv_width(t);
    const size_t top = (2 * (size_t)y) * W2 + 2 * (size_t)x, bottom = top + W2;
    const uchar8 upper = convert_uchar8_sat_rte((float8)(r.s0, g.s0, b.s0, 255.0f, r.s1, g.s1, b.s1, 255.0f));
    const uchar8 lower = convert_uchar8_sat_rte((float8)(r.s2, g.s2, b.s2, 255.0f, r.s3, g.s3, b.s3, 255.0f));
    vstore8(upper, 0, output + top * 4);
    vstore8(lower, 0, output + bottom * 4);
}
