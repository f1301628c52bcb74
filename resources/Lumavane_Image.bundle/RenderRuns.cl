// The commonest recipe, written out by hand: one source placed at whole-pixel offsets (no
// resampling), optionally cropped, over an optionally cropped constant colour. That is the
// player's picture whenever it is shown at its own size. Each work item writes a run of eight
// pixels of one row with vector arithmetic; runs that touch an edge of the source, of a crop
// or of the written area take the per-pixel helpers instead. The operations and their order
// are those of the helpers, so results match the general kernel. The host defines SRC_FORMAT.

typedef struct {
    float tx, ty;             // source pixel = image pixel − (tx, ty)
    float fx0, fy0, fx1, fy1; // crop of the source (image space)
    float bx0, by0, bx1, by1; // crop of the background
    float bg_r, bg_g, bg_b, bg_a; // premultiplied background
    int has_background, pad;
} run_params;

inline float4 background_at(const run_params* q, float px, float py)
{
    if (!q->has_background || !(px >= q->bx0 && px < q->bx1 && py >= q->by0 && py < q->by1))
        return (float4)(0.0f);
    return (float4)(q->bg_r, q->bg_g, q->bg_b, q->bg_a);
}

inline void write_run(lv_tex d, int x, int r, float8 cr, float8 cg, float8 cb, float8 ca)
{
    uchar8 r8 = convert_uchar8_sat_rte(clamp(cr, 0.0f, 1.0f) * 255.0f);
    uchar8 g8 = convert_uchar8_sat_rte(clamp(cg, 0.0f, 1.0f) * 255.0f);
    uchar8 b8 = convert_uchar8_sat_rte(clamp(cb, 0.0f, 1.0f) * 255.0f);
    uchar8 a8 = convert_uchar8_sat_rte(clamp(ca, 0.0f, 1.0f) * 255.0f);
    if (d.d.format == LV_FORMAT_RGBA8UNORM) {
        uchar8 t = r8;
        r8 = b8;
        b8 = t;
    }
    // Interleaved with shuffles, which compile to byte permutes.
    const uchar16 zip = (uchar16)(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
    uchar16 bg = shuffle2(b8, g8, zip), ra = shuffle2(r8, a8, zip);
    uchar16 lo = shuffle2(bg, ra, (uchar16)(0, 1, 16, 17, 2, 3, 18, 19, 4, 5, 20, 21, 6, 7, 22, 23));
    uchar16 hi = shuffle2(bg, ra, (uchar16)(8, 9, 24, 25, 10, 11, 26, 27, 12, 13, 28, 29, 14, 15, 30, 31));
    global uchar* out = lv_texel(d, x, r, 0);
    vstore16(lo, 0, out);
    vstore16(hi, 1, out);
}

kernel void render_runs(LV_GRID, LV_TEXTURE(destination), LV_TEXTURE(sa), LV_TEXTURE(sb),
    constant float* parameters, const render_target target, const run_params q)
{
    if (!LV_IN_GRID()) return;
    lv_tex d = LV_TEX(destination);
    source_view s = make_source(LV_TEX(sa), LV_TEX(sb), parameters);
    int x = target.x0 + 8 * (int)get_global_id(0), r = target.r0 + (int)get_global_id(1);
    int y_index = target.top_down ? target.height - 1 - r : r;
    float py = target.origin_y + (float)y_index + 0.5f;
    float px0 = target.origin_x + (float)x + 0.5f;
    int width = (int)parameters[FIELD_WIDTH], height = (int)parameters[FIELD_HEIGHT];
    int xs = (int)floor(px0 - q.tx - 0.5f), ys = (int)floor(py - q.ty - 0.5f);
    float px7 = px0 + 7.0f;
    bool whole = x + 8 <= target.x1 && xs >= 0 && xs + 8 <= width && ys >= 0 && ys < height &&
                 px0 >= q.fx0 && px7 < q.fx1 && py >= q.fy0 && py < q.fy1 &&
                 (!q.has_background || (px0 >= q.bx0 && px7 < q.bx1 && py >= q.by0 && py < q.by1));
#if SRC_FORMAT == FORMAT_YCBCR8
    int cw = (int)s.chroma.d.width;
    whole = whole && (xs & 1) == 0 && xs / 2 + 3 < cw;
#endif
    if (!whole) {
        for (int k = 0; k < 8 && x + k < target.x1; ++k) {
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
    int ch = (int)s.chroma.d.height;
    float cy = ((float)row - 0.5f) * 0.5f;
    float fy0 = floor(cy);
    float wy = cy - fy0;
    int iy0 = clamp((int)fy0, 0, ch - 1), iy1 = clamp((int)fy0 + 1, 0, ch - 1);
    int base = xs / 2, last = min(base + 4, cw - 1);
    uchar8 t = vload8(0, lv_texel(s.chroma, base, iy0, 0));
    uchar2 te = vload2(0, lv_texel(s.chroma, last, iy0, 0));
    uchar8 b = vload8(0, lv_texel(s.chroma, base, iy1, 0));
    uchar2 be = vload2(0, lv_texel(s.chroma, last, iy1, 0));
    float8 wx = (float8)(0.0f, 0.5f, 0.0f, 0.5f, 0.0f, 0.5f, 0.0f, 0.5f);
    // Pixel 2j reads pairs j and j+1 with weight 0; pixel 2j+1 the same pairs with weight 1/2.
    const uchar8 left_cb = (uchar8)(0, 0, 2, 2, 4, 4, 6, 6), right_cb = (uchar8)(2, 2, 4, 4, 6, 6, 8, 8);
    const uchar8 left_cr = left_cb + (uchar8)(1), right_cr = right_cb + (uchar8)(1);
    uchar8 te8 = (uchar8)(te, te, te, te), be8 = (uchar8)(be, be, be, be);
    float8 cb00 = convert_float8(shuffle(t, left_cb)), cb10 = convert_float8(shuffle2(t, te8, right_cb));
    float8 cr00 = convert_float8(shuffle(t, left_cr)), cr10 = convert_float8(shuffle2(t, te8, right_cr));
    float8 cb01 = convert_float8(shuffle(b, left_cb)), cb11 = convert_float8(shuffle2(b, be8, right_cb));
    float8 cr01 = convert_float8(shuffle(b, left_cr)), cr11 = convert_float8(shuffle2(b, be8, right_cr));
    float8 cb_top = cb00 + (cb10 - cb00) * wx, cb_bottom = cb01 + (cb11 - cb01) * wx;
    float8 cr_top = cr00 + (cr10 - cr00) * wx, cr_bottom = cr01 + (cr11 - cr01) * wx;
    float8 cb_value = cb_top + (cb_bottom - cb_top) * wy, cr_value = cr_top + (cr_bottom - cr_top) * wy;
    float8 luma = (convert_float8(vload8(0, lv_texel(s.luma, xs, row, 0))) - parameters[FIELD_Y_OFFSET]) *
                  parameters[FIELD_Y_SCALE];
    float8 cbn = (cb_value - parameters[FIELD_C_OFFSET]) * parameters[FIELD_C_SCALE];
    float8 crn = (cr_value - parameters[FIELD_C_OFFSET]) * parameters[FIELD_C_SCALE];
    float8 red = clamp(luma + parameters[FIELD_R_CR] * crn, 0.0f, 1.0f);
    float8 green = clamp(luma + parameters[FIELD_G_CB] * cbn + parameters[FIELD_G_CR] * crn, 0.0f, 1.0f);
    float8 blue = clamp(luma + parameters[FIELD_B_CB] * cbn, 0.0f, 1.0f);
    float8 alpha = (float8)(1.0f);
#else
    global uchar* p = lv_texel(s.luma, xs, row, 0);
    uchar16 lo = vload16(0, p), hi = vload16(1, p);
    const uchar8 every4 = (uchar8)(0, 4, 8, 12, 16, 20, 24, 28);
    uchar8 c0 = shuffle2(lo, hi, every4), c1 = shuffle2(lo, hi, every4 + (uchar8)(1));
    uchar8 c2 = shuffle2(lo, hi, every4 + (uchar8)(2)), c3 = shuffle2(lo, hi, every4 + (uchar8)(3));
    float k = 1.0f / 255.0f;
#if SRC_FORMAT == FORMAT_BGRA8
    float8 red = convert_float8(c2) * k, green = convert_float8(c1) * k, blue = convert_float8(c0) * k;
#else
    float8 red = convert_float8(c0) * k, green = convert_float8(c1) * k, blue = convert_float8(c2) * k;
#endif
    float8 alpha = convert_float8(c3) * k;
#endif
    if (q.has_background) {
        float8 keep = 1.0f - alpha;
        red = red + q.bg_r * keep;
        green = green + q.bg_g * keep;
        blue = blue + q.bg_b * keep;
        alpha = alpha + q.bg_a * keep;
    }
    write_run(d, x, r, red, green, blue, alpha);
}
