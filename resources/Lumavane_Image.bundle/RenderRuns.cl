// The commonest recipes, written out by hand: one source, optionally cropped, over an
// optionally cropped constant colour; that is the player's picture in its view. render_runs
// takes a source placed at whole-pixel offsets (no resampling: the picture at its own size),
// render_scaled one scaled and moved along the axes (the picture fitted into a view of another
// size), sampled bilinearly. Each work item writes a run of sixteen pixels of one row with
// vector arithmetic. The operations and their order are those of the helpers, so results match
// the general kernel bit for bit. Vectors are rearranged with swizzles only: PoCL turns
// shuffle() into a call per element, and its rint() and saturating conversions into long
// scalar sequences. The host defines SRC_FORMAT.

typedef struct {
    float tx, ty;             // source pixel = image pixel − (tx, ty)
    float fx0, fy0, fx1, fy1; // crop of the source (image space)
    float bx0, by0, bx1, by1; // crop of the background
    float bg_r, bg_g, bg_b, bg_a; // premultiplied background
    int has_background, pad;
    float sx, sy, ox, oy;     // render_scaled: source point = (sx · px + ox, sy · py + oy)
} run_params;

#define RUN 16

inline float4 background_at(const run_params* q, float px, float py)
{
    if (!q->has_background || !(px >= q->bx0 && px < q->bx1 && py >= q->by0 && py < q->by1))
        return (float4)(0.0f);
    return (float4)(q->bg_r, q->bg_g, q->bg_b, q->bg_a);
}

// clamp(v, 0, 1) · 255 rounded half to even, as convert_uchar_sat_rte would: adding 1.5 · 2^23
// leaves the rounded integer in the low mantissa bits.
inline uint16 unorm8_run(float16 v)
{
    return as_uint16(clamp(v, 0.0f, 1.0f) * 255.0f + 12582912.0f) & (uint16)(0xffu);
}

inline void write_run(lv_tex d, int x, int r, float16 cr, float16 cg, float16 cb, float16 ca)
{
    uint16 red = unorm8_run(cr), green = unorm8_run(cg), blue = unorm8_run(cb), alpha = unorm8_run(ca);
    uint16 first = d.d.format == LV_FORMAT_RGBA8UNORM ? red : blue;
    uint16 third = d.d.format == LV_FORMAT_RGBA8UNORM ? blue : red;
    vstore16(first | (green << 8) | (third << 16) | (alpha << 24), 0, (global uint*)lv_texel(d, x, r, 0));
}

kernel void render_runs(LV_GRID, LV_TEXTURE(destination), LV_TEXTURE(sa), LV_TEXTURE(sb),
    constant float* parameters, const render_target target, const run_params q)
{
    if (!LV_IN_GRID()) return;
    lv_tex d = LV_TEX(destination);
    source_view s = make_source(LV_TEX(sa), LV_TEX(sb), parameters);
    int x = target.x0 + RUN * (int)get_global_id(0), r = target.r0 + (int)get_global_id(1);
    int y_index = target.top_down ? target.height - 1 - r : r;
    float py = target.origin_y + (float)y_index + 0.5f;
    float px0 = target.origin_x + (float)x + 0.5f;
    int width = (int)parameters[FIELD_WIDTH], height = (int)parameters[FIELD_HEIGHT];
    int xs = (int)floor(px0 - q.tx - 0.5f), ys = (int)floor(py - q.ty - 0.5f);
    float pxl = px0 + (float)(RUN - 1);
    bool whole = x + RUN <= target.x1 && xs >= 0 && xs + RUN <= width && ys >= 0 && ys < height &&
                 px0 >= q.fx0 && pxl < q.fx1 && py >= q.fy0 && py < q.fy1 &&
                 (!q.has_background || (px0 >= q.bx0 && pxl < q.bx1 && py >= q.by0 && py < q.by1));
#if SRC_FORMAT == FORMAT_YCBCR8
    int cw = (int)s.chroma.d.width;
    whole = whole && (xs & 1) == 0 && xs / 2 + RUN / 2 - 1 < cw;
#endif
    if (!whole) {
        for (int k = 0; k < RUN && x + k < target.x1; ++k) {
            float px = px0 + (float)k;
            float4 c = sample_centre(s, px - q.tx, py - q.ty, SRC_FORMAT);
            if (!(px >= q.fx0 && px < q.fx1 && py >= q.fy0 && py < q.fy1))
                c = (float4)(0.0f);
            c = over(c, background_at(&q, px, py));
            write_pixel(d, x + k, r, c);
        }
        return;
    }
    int row = parameters[FIELD_TOP_DOWN] != 0.0f ? height - 1 - ys : ys;
#if SRC_FORMAT == FORMAT_YCBCR8
    // Pixel 2j takes chroma pair j as it is (weight 0); pixel 2j+1 the middle of pairs j and j+1,
    // the last pair repeating at the right edge. Then the two chroma rows are mixed by wy.
    int ch = (int)s.chroma.d.height;
    float cy = ((float)row - 0.5f) * 0.5f;
    float fy0 = floor(cy);
    float wy = cy - fy0;
    int iy0 = clamp((int)fy0, 0, ch - 1), iy1 = clamp((int)fy0 + 1, 0, ch - 1);
    int base = xs / 2, last = min(base + RUN / 2, cw - 1);
    uchar16 t = vload16(0, lv_texel(s.chroma, base, iy0, 0)), b = vload16(0, lv_texel(s.chroma, base, iy1, 0));
    uchar2 te = vload2(0, lv_texel(s.chroma, last, iy0, 0)), be = vload2(0, lv_texel(s.chroma, last, iy1, 0));
    float8 cb_t = convert_float8(t.even), cr_t = convert_float8(t.odd);
    float8 cb_b = convert_float8(b.even), cr_b = convert_float8(b.odd);
    float8 cb_tn = (float8)(cb_t.s1234, cb_t.s567, (float)te.x), cr_tn = (float8)(cr_t.s1234, cr_t.s567, (float)te.y);
    float8 cb_bn = (float8)(cb_b.s1234, cb_b.s567, (float)be.x), cr_bn = (float8)(cr_b.s1234, cr_b.s567, (float)be.y);
    float8 cb_to = cb_t + (cb_tn - cb_t) * 0.5f, cr_to = cr_t + (cr_tn - cr_t) * 0.5f;
    float8 cb_bo = cb_b + (cb_bn - cb_b) * 0.5f, cr_bo = cr_b + (cr_bn - cr_b) * 0.5f;
#define LV_ZIP(e, o) (float16)(e.s0, o.s0, e.s1, o.s1, e.s2, o.s2, e.s3, o.s3, e.s4, o.s4, e.s5, o.s5, e.s6, o.s6, e.s7, o.s7)
    float16 cb_top = LV_ZIP(cb_t, cb_to), cb_bottom = LV_ZIP(cb_b, cb_bo);
    float16 cr_top = LV_ZIP(cr_t, cr_to), cr_bottom = LV_ZIP(cr_b, cr_bo);
#undef LV_ZIP
    float16 cb_value = cb_top + (cb_bottom - cb_top) * wy, cr_value = cr_top + (cr_bottom - cr_top) * wy;
    float16 luma = (convert_float16(vload16(0, lv_texel(s.luma, xs, row, 0))) - parameters[FIELD_Y_OFFSET]) *
                   parameters[FIELD_Y_SCALE];
    float16 cbn = (cb_value - parameters[FIELD_C_OFFSET]) * parameters[FIELD_C_SCALE];
    float16 crn = (cr_value - parameters[FIELD_C_OFFSET]) * parameters[FIELD_C_SCALE];
    float16 red = clamp(luma + parameters[FIELD_R_CR] * crn, 0.0f, 1.0f);
    float16 green = clamp(luma + parameters[FIELD_G_CB] * cbn + parameters[FIELD_G_CR] * crn, 0.0f, 1.0f);
    float16 blue = clamp(luma + parameters[FIELD_B_CB] * cbn, 0.0f, 1.0f);
    float16 alpha = (float16)(1.0f);
#else
    uint16 p = vload16(0, (global const uint*)lv_texel(s.luma, xs, row, 0));
    float16 c0 = convert_float16(p & 0xffu), c1 = convert_float16((p >> 8) & 0xffu);
    float16 c2 = convert_float16((p >> 16) & 0xffu), c3 = convert_float16(p >> 24);
    float k = 1.0f / 255.0f;
#if SRC_FORMAT == FORMAT_BGRA8
    float16 red = c2 * k, green = c1 * k, blue = c0 * k;
#else
    float16 red = c0 * k, green = c1 * k, blue = c2 * k;
#endif
    float16 alpha = c3 * k;
#endif
    if (q.has_background) {
        float16 keep = 1.0f - alpha;
        red = red + q.bg_r * keep;
        green = green + q.bg_g * keep;
        blue = blue + q.bg_b * keep;
        alpha = alpha + q.bg_a * keep;
    }
    write_run(d, x, r, red, green, blue, alpha);
}

// ---- render_scaled ----

#define LV_GATHER16(p, i) (p[(i).s0], p[(i).s1], p[(i).s2], p[(i).s3], p[(i).s4], p[(i).s5], p[(i).s6], \
    p[(i).s7], p[(i).s8], p[(i).s9], p[(i).sa], p[(i).sb], p[(i).sc], p[(i).sd], p[(i).se], p[(i).sf])

typedef struct {
    float16 r, g, b, a;
} color16;

// v where the mask is set, else 0.
inline float16 kept(float16 v, int16 mask) { return select((float16)(0.0f), v, mask); }

// fetch() for sixteen columns `x` of image row `y`: transparent outside the source.
inline color16 fetch16(source_view s, int16 x, int y, int width, int height)
{
    color16 c;
    c.r = c.g = c.b = c.a = (float16)(0.0f);
    if (y < 0 || y >= height)
        return c;
    int16 inside = x >= 0 & x < width;
    int16 xc = clamp(x, 0, width - 1);
    int row = s.p[FIELD_TOP_DOWN] != 0.0f ? height - 1 - y : y;
#if SRC_FORMAT == FORMAT_YCBCR8
    global const uchar* luma_row = lv_texel(s.luma, 0, row, 0);
    float16 luma = convert_float16((uchar16)LV_GATHER16(luma_row, xc));
    int cw = (int)s.chroma.d.width, ch = (int)s.chroma.d.height;
    float16 cx = convert_float16(xc) * 0.5f;
    float cy = ((float)row - 0.5f) * 0.5f;
    float16 fx0 = floor(cx);
    float fy0 = floor(cy);
    float16 wx = cx - fx0;
    float wy = cy - fy0;
    int16 ix0 = clamp(convert_int16(fx0), 0, cw - 1), ix1 = clamp(convert_int16(fx0) + 1, 0, cw - 1);
    int iy0 = clamp((int)fy0, 0, ch - 1), iy1 = clamp((int)fy0 + 1, 0, ch - 1);
    global const ushort* c0 = (global const ushort*)lv_texel(s.chroma, 0, iy0, 0);
    global const ushort* c1 = (global const ushort*)lv_texel(s.chroma, 0, iy1, 0);
    ushort16 p00 = (ushort16)LV_GATHER16(c0, ix0), p10 = (ushort16)LV_GATHER16(c0, ix1);
    ushort16 p01 = (ushort16)LV_GATHER16(c1, ix0), p11 = (ushort16)LV_GATHER16(c1, ix1);
    float16 b00 = convert_float16(p00 & (ushort)0xff), r00 = convert_float16(p00 >> (ushort)8);
    float16 b10 = convert_float16(p10 & (ushort)0xff), r10 = convert_float16(p10 >> (ushort)8);
    float16 b01 = convert_float16(p01 & (ushort)0xff), r01 = convert_float16(p01 >> (ushort)8);
    float16 b11 = convert_float16(p11 & (ushort)0xff), r11 = convert_float16(p11 >> (ushort)8);
    float16 cb_top = b00 + (b10 - b00) * wx, cb_bottom = b01 + (b11 - b01) * wx;
    float16 cr_top = r00 + (r10 - r00) * wx, cr_bottom = r01 + (r11 - r01) * wx;
    float16 cb_value = cb_top + (cb_bottom - cb_top) * wy, cr_value = cr_top + (cr_bottom - cr_top) * wy;
    float16 l = (luma - s.p[FIELD_Y_OFFSET]) * s.p[FIELD_Y_SCALE];
    float16 cb = (cb_value - s.p[FIELD_C_OFFSET]) * s.p[FIELD_C_SCALE];
    float16 cr = (cr_value - s.p[FIELD_C_OFFSET]) * s.p[FIELD_C_SCALE];
    c.r = clamp(l + s.p[FIELD_R_CR] * cr, 0.0f, 1.0f);
    c.g = clamp(l + s.p[FIELD_G_CB] * cb + s.p[FIELD_G_CR] * cr, 0.0f, 1.0f);
    c.b = clamp(l + s.p[FIELD_B_CB] * cb, 0.0f, 1.0f);
    c.a = (float16)(1.0f);
#else
    global const uint* line = (global const uint*)lv_texel(s.luma, 0, row, 0);
    uint16 p = (uint16)LV_GATHER16(line, xc);
    float k = 1.0f / 255.0f;
    float16 c0 = convert_float16(p & 0xffu) * k, c1 = convert_float16((p >> 8) & 0xffu) * k;
    float16 c2 = convert_float16((p >> 16) & 0xffu) * k, c3 = convert_float16(p >> 24) * k;
#if SRC_FORMAT == FORMAT_BGRA8
    c.r = c2, c.g = c1, c.b = c0;
#else
    c.r = c0, c.g = c1, c.b = c2;
#endif
    c.a = c3;
#endif
    c.r = kept(c.r, inside), c.g = kept(c.g, inside), c.b = kept(c.b, inside), c.a = kept(c.a, inside);
    return c;
}

inline float16 mix16(float16 a, float16 b, float16 t) { return a + (b - a) * t; }

kernel void render_scaled(LV_GRID, LV_TEXTURE(destination), LV_TEXTURE(sa), LV_TEXTURE(sb),
    constant float* parameters, const render_target target, const run_params q)
{
    if (!LV_IN_GRID()) return;
    lv_tex d = LV_TEX(destination);
    source_view s = make_source(LV_TEX(sa), LV_TEX(sb), parameters);
    int x = target.x0 + RUN * (int)get_global_id(0), r = target.r0 + (int)get_global_id(1);
    int y_index = target.top_down ? target.height - 1 - r : r;
    const int16 lanes = (int16)(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    float16 px = target.origin_x + convert_float16(x + lanes) + 0.5f;
    float py = target.origin_y + (float)y_index + 0.5f;
    // sample_source() at the transformed point, for sixteen points of one row.
    float16 u = q.sx * px + q.ox - 0.5f;
    float v = q.sy * py + q.oy - 0.5f;
    float16 fx0 = floor(u);
    float fy0 = floor(v);
    float16 wx = u - fx0;
    float wy = v - fy0;
    int16 near = fabs(fx0) < 1e9f & (int16)(fabs(fy0) < 1e9f ? -1 : 0);
    int16 x0 = convert_int16(kept(fx0, near));
    int y0 = fabs(fy0) < 1e9f ? (int)fy0 : 0;
    int width = (int)parameters[FIELD_WIDTH], height = (int)parameters[FIELD_HEIGHT];
    color16 c00 = fetch16(s, x0, y0, width, height), c10 = fetch16(s, x0 + 1, y0, width, height);
    color16 c01 = fetch16(s, x0, y0 + 1, width, height), c11 = fetch16(s, x0 + 1, y0 + 1, width, height);
    float16 red = mix16(mix16(c00.r, c10.r, wx), mix16(c01.r, c11.r, wx), (float16)(wy));
    float16 green = mix16(mix16(c00.g, c10.g, wx), mix16(c01.g, c11.g, wx), (float16)(wy));
    float16 blue = mix16(mix16(c00.b, c10.b, wx), mix16(c01.b, c11.b, wx), (float16)(wy));
    float16 alpha = mix16(mix16(c00.a, c10.a, wx), mix16(c01.a, c11.a, wx), (float16)(wy));
    int16 keep = near & px >= q.fx0 & px < q.fx1 & (int16)(py >= q.fy0 && py < q.fy1 ? -1 : 0);
    red = kept(red, keep), green = kept(green, keep), blue = kept(blue, keep), alpha = kept(alpha, keep);
    if (q.has_background) {
        int16 behind = px >= q.bx0 & px < q.bx1 & (int16)(py >= q.by0 && py < q.by1 ? -1 : 0);
        float16 under = 1.0f - alpha;
        red = red + kept((float16)(q.bg_r), behind) * under;
        green = green + kept((float16)(q.bg_g), behind) * under;
        blue = blue + kept((float16)(q.bg_b), behind) * under;
        alpha = alpha + kept((float16)(q.bg_a), behind) * under;
    }
    if (x + RUN <= target.x1) {
        write_run(d, x, r, red, green, blue, alpha);
        return;
    }
    float cr[RUN], cg[RUN], cb[RUN], ca[RUN];
    vstore16(red, 0, cr), vstore16(green, 0, cg), vstore16(blue, 0, cb), vstore16(alpha, 0, ca);
    for (int k = 0; x + k < target.x1; ++k)
        write_pixel(d, x + k, r, (float4)(cr[k], cg[k], cb[k], ca[k]));
}
