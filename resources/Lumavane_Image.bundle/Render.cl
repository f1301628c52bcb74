// Helpers of the image render kernels. The host writes one kernel per recipe
// shape (the sequence of operations and source formats) as straight-line calls
// of these helpers, reading every number from the recipe's constant buffers; a
// shape is compiled once. The arithmetic mirrors the CPU reference in
// Platform/Image/Program.cpp operation for operation, so results match it.
// The host defines the source formats and field positions (FORMAT_*, FIELD_*).

#pragma OPENCL FP_CONTRACT OFF

typedef struct {
    int x0, r0, x1, r1;
    int height, top_down;
    float origin_x, origin_y;
} render_target;

typedef struct {
    lv_tex luma; // or the only plane
    lv_tex chroma;
    constant float* p;
} source_view;

inline source_view make_source(lv_tex luma, lv_tex chroma, constant float* p)
{
    source_view s;
    s.luma = luma;
    s.chroma = chroma;
    s.p = p;
    return s;
}

inline float clamp01(float v) { return fmin(fmax(v, 0.0f), 1.0f); }

inline float luma_value(source_view s, int x, int row, const int format)
{
    global uchar* q = lv_texel(s.luma, x, row, 0);
    if (format == FORMAT_YCBCR16)
        return (float)(*(global const ushort*)q >> 6);
    return (float)q[0];
}

inline float2 chroma_value(source_view s, int x, int row, const int format)
{
    global uchar* q = lv_texel(s.chroma, x, row, 0);
    if (format == FORMAT_YCBCR16) {
        ushort2 w = vload2(0, (global const ushort*)q);
        return (float2)((float)(w.x >> 6), (float)(w.y >> 6));
    }
    return (float2)((float)q[0], (float)q[1]);
}

// One source pixel, (x, y) in image space (y up); transparent outside. `format` is
// known when the kernel is written, so each kernel keeps only its own branch.
inline float4 fetch(source_view s, int x, int y, const int format)
{
    int width = (int)s.p[FIELD_WIDTH], height = (int)s.p[FIELD_HEIGHT];
    if (x < 0 || y < 0 || x >= width || y >= height)
        return (float4)(0.0f);
    int row = s.p[FIELD_TOP_DOWN] != 0.0f ? height - 1 - y : y;
    if (format == FORMAT_BGRA8 || format == FORMAT_RGBA8) {
        global uchar* q = lv_texel(s.luma, x, row, 0);
        float k = 1.0f / 255.0f;
        if (format == FORMAT_BGRA8)
            return (float4)((float)q[2] * k, (float)q[1] * k, (float)q[0] * k, (float)q[3] * k);
        return (float4)((float)q[0] * k, (float)q[1] * k, (float)q[2] * k, (float)q[3] * k);
    }
    // 4:2:0 chroma: co-sited with even columns, centred between row pairs.
    int cw = (int)s.chroma.d.width, ch = (int)s.chroma.d.height;
    float cx = (float)x * 0.5f, cy = ((float)row - 0.5f) * 0.5f;
    float fx0 = floor(cx), fy0 = floor(cy);
    float wx = cx - fx0, wy = cy - fy0;
    int ix0 = clamp((int)fx0, 0, cw - 1), ix1 = clamp((int)fx0 + 1, 0, cw - 1);
    int iy0 = clamp((int)fy0, 0, ch - 1), iy1 = clamp((int)fy0 + 1, 0, ch - 1);
    float2 c00 = chroma_value(s, ix0, iy0, format), c10 = chroma_value(s, ix1, iy0, format);
    float2 c01 = chroma_value(s, ix0, iy1, format), c11 = chroma_value(s, ix1, iy1, format);
    float cb_top = c00.x + (c10.x - c00.x) * wx, cb_bottom = c01.x + (c11.x - c01.x) * wx;
    float cr_top = c00.y + (c10.y - c00.y) * wx, cr_bottom = c01.y + (c11.y - c01.y) * wx;
    float cb_value = cb_top + (cb_bottom - cb_top) * wy, cr_value = cr_top + (cr_bottom - cr_top) * wy;
    float luma = (luma_value(s, x, row, format) - s.p[FIELD_Y_OFFSET]) * s.p[FIELD_Y_SCALE];
    float cb = (cb_value - s.p[FIELD_C_OFFSET]) * s.p[FIELD_C_SCALE];
    float cr = (cr_value - s.p[FIELD_C_OFFSET]) * s.p[FIELD_C_SCALE];
    return (float4)(clamp01(luma + s.p[FIELD_R_CR] * cr), clamp01(luma + s.p[FIELD_G_CB] * cb + s.p[FIELD_G_CR] * cr),
                    clamp01(luma + s.p[FIELD_B_CB] * cb), 1.0f);
}

inline float4 mix4(float4 a, float4 b, float t)
{
    return (float4)(a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t, a.z + (b.z - a.z) * t, a.w + (b.w - a.w) * t);
}

inline float4 sample_source(source_view s, float px, float py, const int format)
{
    float u = px - 0.5f, v = py - 0.5f;
    float fx0 = floor(u), fy0 = floor(v);
    float wx = u - fx0, wy = v - fy0;
    if (!(fabs(fx0) < 1e9f && fabs(fy0) < 1e9f))
        return (float4)(0.0f);
    int x0 = (int)fx0, y0 = (int)fy0;
    if (wx == 0.0f && wy == 0.0f)
        return fetch(s, x0, y0, format);
    float4 bottom = mix4(fetch(s, x0, y0, format), fetch(s, x0 + 1, y0, format), wx);
    float4 top = mix4(fetch(s, x0, y0 + 1, format), fetch(s, x0 + 1, y0 + 1, format), wx);
    return mix4(bottom, top, wy);
}

// sample_source for a point known to be a pixel centre: the weights are zero.
inline float4 sample_centre(source_view s, float px, float py, const int format)
{
    float fx0 = floor(px - 0.5f), fy0 = floor(py - 0.5f);
    if (!(fabs(fx0) < 1e9f && fabs(fy0) < 1e9f))
        return (float4)(0.0f);
    return fetch(s, (int)fx0, (int)fy0, format);
}

inline float4 over(float4 fg, float4 bg)
{
    float k = 1.0f - fg.w;
    return (float4)(fg.x + bg.x * k, fg.y + bg.y * k, fg.z + bg.z * k, fg.w + bg.w * k);
}

// clamp01(c) · 255 rounded half to even, as convert_uchar4_sat_rte would (which PoCL runs as a
// long scalar sequence): adding 1.5 · 2^23 leaves the rounded integer in the low mantissa bits.
inline void write_pixel(lv_tex destination, int x, int r, float4 c)
{
    c = (float4)(clamp01(c.x), clamp01(c.y), clamp01(c.z), clamp01(c.w));
    uchar4 v = convert_uchar4(as_uint4(c * 255.0f + 12582912.0f) & (uint4)(0xffu));
    vstore4(destination.d.format == LV_FORMAT_RGBA8UNORM ? v : v.zyxw, 0, lv_texel(destination, x, r, 0));
}
