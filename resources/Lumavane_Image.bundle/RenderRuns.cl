// The commonest recipes, written out by hand: one source, optionally cropped, over an
// optionally cropped constant colour; that is the player's picture in its view. render_runs
// draws a source placed at whole-pixel offsets (no resampling: the picture at its own size),
// or with SCALED one scaled and moved along the axes (the picture fitted into a view of another
// size), sampled bilinearly. Each work item writes RUNS_PER_ITEM runs of RUN (sixteen) pixels
// of one row with vector arithmetic, working out what belongs to the row once. The operations
// and their order are those of the helpers, so results match the general kernel bit for bit.
// Vectors are rearranged with swizzles only: PoCL turns shuffle() into a call per element, and
// its rint() and saturating conversions into long scalar sequences; values PoCL cannot prove
// invariant (floor() among them) are worked out per work item, so whole-pixel placements use
// integer arithmetic. The host defines SRC_FORMAT, SCALED, RUN and RUNS_PER_ITEM.

// PoCL left the bigger helpers as calls, which kept their values out of registers.
#define LV_INLINE inline __attribute__((always_inline))

typedef struct {
    float tx, ty;             // source pixel = image pixel − (tx, ty)
    float fx0, fy0, fx1, fy1; // crop of the source (image space)
    float bx0, by0, bx1, by1; // crop of the background
    float bg_r, bg_g, bg_b, bg_a; // premultiplied background
    int has_background, pad;
    float sx, sy, ox, oy;     // SCALED: source point = (sx · px + ox, sy · py + oy)
} run_params;

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

// The part of the destination a work item draws: RUNS_PER_ITEM runs of memory row r, whose
// pixels stand at image row y_index.
typedef struct {
    int r, x_begin, x_end, y_index;
} run_item;

inline run_item run_item_at(render_target target)
{
    run_item item;
    item.r = target.r0 + (int)get_global_id(1);
    item.x_begin = target.x0 + RUN * RUNS_PER_ITEM * (int)get_global_id(0);
    item.x_end = min(item.x_begin + RUN * RUNS_PER_ITEM, target.x1);
    item.y_index = target.top_down ? target.height - 1 - item.r : item.r;
    return item;
}

// A source at whole-pixel offsets: straight runs, edges pixel by pixel.
LV_INLINE void draw_placed(lv_tex d, source_view s, constant float* parameters, render_target target,
                        const run_params* qp, run_item item)
{
    const run_params q = *qp;
    int r = item.r, x_begin = item.x_begin, x_end = item.x_end, y_index = item.y_index;
    float py = target.origin_y + (float)y_index + 0.5f;
    int width = (int)parameters[FIELD_WIDTH], height = (int)parameters[FIELD_HEIGHT];
    // The host sends only whole origins and offsets, so floor(p − t − 0.5) is integer arithmetic.
    int dx = (int)target.origin_x - (int)q.tx;
    int ys = y_index + (int)target.origin_y - (int)q.ty;
    bool row_whole = ys >= 0 && ys < height && py >= q.fy0 && py < q.fy1 &&
                     (!q.has_background || (py >= q.by0 && py < q.by1));
    int row = parameters[FIELD_TOP_DOWN] != 0.0f ? height - 1 - ys : ys;
    row = clamp(row, 0, height - 1);
    float y_offset = parameters[FIELD_Y_OFFSET], y_scale = parameters[FIELD_Y_SCALE];
    float c_offset = parameters[FIELD_C_OFFSET], c_scale = parameters[FIELD_C_SCALE];
    float r_cr = parameters[FIELD_R_CR], g_cb = parameters[FIELD_G_CB], g_cr = parameters[FIELD_G_CR];
    float b_cb = parameters[FIELD_B_CB];
    global const uchar* line = lv_texel(s.luma, 0, row, 0);
#if SRC_FORMAT == FORMAT_YCBCR8
    // Chroma rows around the row: floor((row − 0.5) / 2) and the one below, mixed by 3/4 or 1/4.
    int cw = (int)s.chroma.d.width, ch = (int)s.chroma.d.height;
    int fy0 = (row - 1) >> 1;
    float wy = (row & 1) ? 0.25f : 0.75f;
    global const uchar* top_line = lv_texel(s.chroma, 0, clamp(fy0, 0, ch - 1), 0);
    global const uchar* bottom_line = lv_texel(s.chroma, 0, clamp(fy0 + 1, 0, ch - 1), 0);
#endif
    for (int x = x_begin; x < x_end; x += RUN) {
        float px0 = target.origin_x + (float)x + 0.5f;
        float pxl = px0 + (float)(RUN - 1);
        int xs = x + dx;
        bool whole = row_whole && x + RUN <= target.x1 && xs >= 0 && xs + RUN <= width && px0 >= q.fx0 &&
                     pxl < q.fx1 && (!q.has_background || (px0 >= q.bx0 && pxl < q.bx1));
#if SRC_FORMAT == FORMAT_YCBCR8
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
            continue;
        }
#if SRC_FORMAT == FORMAT_YCBCR8
        // Pixel 2j takes chroma pair j as it is (weight 0); pixel 2j+1 the middle of pairs j and
        // j+1, the last pair repeating at the right edge. Then the two chroma rows are mixed by wy.
        int base = xs / 2, last = min(base + RUN / 2, cw - 1);
        uchar16 t = vload16(0, top_line + 2 * base), b = vload16(0, bottom_line + 2 * base);
        uchar2 te = vload2(0, top_line + 2 * last), be = vload2(0, bottom_line + 2 * last);
        float8 cb_t = convert_float8(t.even), cr_t = convert_float8(t.odd);
        float8 cb_b = convert_float8(b.even), cr_b = convert_float8(b.odd);
        float8 cb_tn = (float8)(cb_t.s1234, cb_t.s567, (float)te.x);
        float8 cr_tn = (float8)(cr_t.s1234, cr_t.s567, (float)te.y);
        float8 cb_bn = (float8)(cb_b.s1234, cb_b.s567, (float)be.x);
        float8 cr_bn = (float8)(cr_b.s1234, cr_b.s567, (float)be.y);
        float8 cb_to = cb_t + (cb_tn - cb_t) * 0.5f, cr_to = cr_t + (cr_tn - cr_t) * 0.5f;
        float8 cb_bo = cb_b + (cb_bn - cb_b) * 0.5f, cr_bo = cr_b + (cr_bn - cr_b) * 0.5f;
#define LV_ZIP(e, o) \
    (float16)(e.s0, o.s0, e.s1, o.s1, e.s2, o.s2, e.s3, o.s3, e.s4, o.s4, e.s5, o.s5, e.s6, o.s6, e.s7, o.s7)
        float16 cb_top = LV_ZIP(cb_t, cb_to), cb_bottom = LV_ZIP(cb_b, cb_bo);
        float16 cr_top = LV_ZIP(cr_t, cr_to), cr_bottom = LV_ZIP(cr_b, cr_bo);
#undef LV_ZIP
        float16 cb_value = cb_top + (cb_bottom - cb_top) * wy, cr_value = cr_top + (cr_bottom - cr_top) * wy;
        float16 luma = (convert_float16(vload16(0, line + xs)) - y_offset) * y_scale;
        float16 cbn = (cb_value - c_offset) * c_scale;
        float16 crn = (cr_value - c_offset) * c_scale;
        float16 red = clamp(luma + r_cr * crn, 0.0f, 1.0f);
        float16 green = clamp(luma + g_cb * cbn + g_cr * crn, 0.0f, 1.0f);
        float16 blue = clamp(luma + b_cb * cbn, 0.0f, 1.0f);
        float16 alpha = (float16)(1.0f);
#else
        uint16 p = vload16(0, (global const uint*)line + xs);
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
}

// ---- scaled sources ----

typedef struct {
    float16 r, g, b, a;
} color16;

// v where the mask is set, else 0.
inline float16 kept(float16 v, int16 mask) { return select((float16)(0.0f), v, mask); }
inline float16 mix16(float16 a, float16 b, float16 t) { return a + (b - a) * t; }

// One row of the source as fetch() reads it: its memory row and, for YCbCr, its chroma rows.
typedef struct {
    bool inside;
    global const uchar* line;
#if SRC_FORMAT == FORMAT_YCBCR8
    global const ushort* top;
    global const ushort* bottom;
    float wy;
#endif
} source_row;

LV_INLINE source_row source_row_at(source_view s, int y, int height)
{
    source_row v;
    v.inside = y >= 0 && y < height;
    int row = clamp(s.p[FIELD_TOP_DOWN] != 0.0f ? height - 1 - y : y, 0, height - 1);
    v.line = lv_texel(s.luma, 0, row, 0);
#if SRC_FORMAT == FORMAT_YCBCR8
    int ch = (int)s.chroma.d.height;
    int fy0 = (row - 1) >> 1; // floor((row − 0.5) / 2)
    v.wy = (row & 1) ? 0.25f : 0.75f;
    v.top = (global const ushort*)lv_texel(s.chroma, 0, clamp(fy0, 0, ch - 1), 0);
    v.bottom = (global const ushort*)lv_texel(s.chroma, 0, clamp(fy0 + 1, 0, ch - 1), 0);
#endif
    return v;
}

// Two neighbouring elements in one load, for the sixteen gathers below.
inline ushort two_bytes(global const uchar* p) { return as_ushort(vload2(0, p)); }
inline uint two_shorts(global const ushort* p) { return as_uint(vload2(0, p)); }
inline ulong two_words(global const uint* p) { return as_ulong(vload2(0, p)); }
#define LV_GATHER16_WITH(f, p, i) (f(p + (i).s0), f(p + (i).s1), f(p + (i).s2), f(p + (i).s3), \
    f(p + (i).s4), f(p + (i).s5), f(p + (i).s6), f(p + (i).s7), f(p + (i).s8), f(p + (i).s9), \
    f(p + (i).sa), f(p + (i).sb), f(p + (i).sc), f(p + (i).sd), f(p + (i).se), f(p + (i).sf))

// fetch() at columns x and x + 1 of one source row, for sixteen x: transparent outside. Each
// lane loads the neighbours k = clamp(x, 0, width − 2) and k + 1 at once (gathers are element
// by element on PoCL) and picks what the clamped columns read; the host sends only sources at
// least four pixels wide, so both stay inside the row.
LV_INLINE void fetch_pair16(source_view s, source_row v, int16 x, int width, color16* left, color16* right)
{
    int16 row_inside = (int16)(v.inside ? -1 : 0);
    int16 inside_left = row_inside & x >= 0 & x < width, inside_right = row_inside & x >= -1 & x < width - 1;
    int16 k = clamp(x, 0, width - 2);
    int16 left_low = clamp(x, 0, width - 1) == k, right_low = clamp(x + 1, 0, width - 1) == k;
#if SRC_FORMAT == FORMAT_YCBCR8
    ushort16 luma_pair = (ushort16)LV_GATHER16_WITH(two_bytes, v.line, k);
    float16 luma_low = convert_float16(luma_pair & (ushort)0xff);
    float16 luma_high = convert_float16(luma_pair >> (ushort)8);
    float16 luma_left = select(luma_high, luma_low, left_low);
    float16 luma_right = select(luma_high, luma_low, right_low);
    // Column 2j takes chroma pair j (weight 0), column 2j+1 the middle of pairs j and j+1 (the
    // last pair repeating): with A = pair j and B = pair j+1 of x's j, an even x reads A and
    // then the middle, an odd x the middle and then B.
    int cw = (int)s.chroma.d.width;
    int16 j = x >> 1;
    int16 kc = clamp(j, 0, cw - 2);
    int16 a_low = clamp(j, 0, cw - 1) == kc, b_low = clamp(j + 1, 0, cw - 1) == kc;
    int16 odd = (x & 1) != 0;
    uint16 tp = (uint16)LV_GATHER16_WITH(two_shorts, v.top, kc);
    uint16 bp = (uint16)LV_GATHER16_WITH(two_shorts, v.bottom, kc);
    float16 cb_tl = convert_float16(tp & 0xffu), cr_tl = convert_float16((tp >> 8) & 0xffu);
    float16 cb_th = convert_float16((tp >> 16) & 0xffu), cr_th = convert_float16(tp >> 24);
    float16 cb_bl = convert_float16(bp & 0xffu), cr_bl = convert_float16((bp >> 8) & 0xffu);
    float16 cb_bh = convert_float16((bp >> 16) & 0xffu), cr_bh = convert_float16(bp >> 24);
    float16 cb_ta = select(cb_th, cb_tl, a_low), cb_tb = select(cb_th, cb_tl, b_low);
    float16 cr_ta = select(cr_th, cr_tl, a_low), cr_tb = select(cr_th, cr_tl, b_low);
    float16 cb_ba = select(cb_bh, cb_bl, a_low), cb_bb = select(cb_bh, cb_bl, b_low);
    float16 cr_ba = select(cr_bh, cr_bl, a_low), cr_bb = select(cr_bh, cr_bl, b_low);
    float16 cb_tm = cb_ta + (cb_tb - cb_ta) * 0.5f, cr_tm = cr_ta + (cr_tb - cr_ta) * 0.5f;
    float16 cb_bm = cb_ba + (cb_bb - cb_ba) * 0.5f, cr_bm = cr_ba + (cr_bb - cr_ba) * 0.5f;
    float16 cb_top[2] = {select(cb_ta, cb_tm, odd), select(cb_tm, cb_tb, odd)};
    float16 cr_top[2] = {select(cr_ta, cr_tm, odd), select(cr_tm, cr_tb, odd)};
    float16 cb_bottom[2] = {select(cb_ba, cb_bm, odd), select(cb_bm, cb_bb, odd)};
    float16 cr_bottom[2] = {select(cr_ba, cr_bm, odd), select(cr_bm, cr_bb, odd)};
    float16 luma[2] = {luma_left, luma_right};
    int16 inside[2] = {inside_left, inside_right};
    color16* out[2] = {left, right};
    for (int n = 0; n < 2; ++n) {
        float16 cb_value = cb_top[n] + (cb_bottom[n] - cb_top[n]) * v.wy;
        float16 cr_value = cr_top[n] + (cr_bottom[n] - cr_top[n]) * v.wy;
        float16 l = (luma[n] - s.p[FIELD_Y_OFFSET]) * s.p[FIELD_Y_SCALE];
        float16 cb = (cb_value - s.p[FIELD_C_OFFSET]) * s.p[FIELD_C_SCALE];
        float16 cr = (cr_value - s.p[FIELD_C_OFFSET]) * s.p[FIELD_C_SCALE];
        out[n]->r = kept(clamp(l + s.p[FIELD_R_CR] * cr, 0.0f, 1.0f), inside[n]);
        out[n]->g = kept(clamp(l + s.p[FIELD_G_CB] * cb + s.p[FIELD_G_CR] * cr, 0.0f, 1.0f), inside[n]);
        out[n]->b = kept(clamp(l + s.p[FIELD_B_CB] * cb, 0.0f, 1.0f), inside[n]);
        out[n]->a = kept((float16)(1.0f), inside[n]);
    }
#else
    ulong16 pair = (ulong16)LV_GATHER16_WITH(two_words, (global const uint*)v.line, k);
    uint16 low = convert_uint16(pair & 0xffffffffUL), high = convert_uint16(pair >> 32);
    uint16 p[2] = {select(high, low, left_low), select(high, low, right_low)};
    int16 inside[2] = {inside_left, inside_right};
    color16* out[2] = {left, right};
    float unit = 1.0f / 255.0f;
    for (int n = 0; n < 2; ++n) {
        float16 c0 = convert_float16(p[n] & 0xffu) * unit, c1 = convert_float16((p[n] >> 8) & 0xffu) * unit;
        float16 c2 = convert_float16((p[n] >> 16) & 0xffu) * unit, c3 = convert_float16(p[n] >> 24) * unit;
#if SRC_FORMAT == FORMAT_BGRA8
        out[n]->r = kept(c2, inside[n]), out[n]->g = kept(c1, inside[n]), out[n]->b = kept(c0, inside[n]);
#else
        out[n]->r = kept(c0, inside[n]), out[n]->g = kept(c1, inside[n]), out[n]->b = kept(c2, inside[n]);
#endif
        out[n]->a = kept(c3, inside[n]);
    }
#endif
}

// A source scaled and moved along the axes: every run sampled bilinearly.
LV_INLINE void draw_scaled(lv_tex d, source_view s, constant float* parameters, render_target target,
                        const run_params* qp, run_item item)
{
    const run_params q = *qp;
    int r = item.r, x_begin = item.x_begin, x_end = item.x_end, y_index = item.y_index;
    int width = (int)parameters[FIELD_WIDTH], height = (int)parameters[FIELD_HEIGHT];
    // sample_source() at the transformed point: the row's part once, then sixteen points a run.
    float py = target.origin_y + (float)y_index + 0.5f;
    float v = q.sy * py + q.oy - 0.5f;
    float fy0 = floor(v);
    float wy = v - fy0;
    bool finite_y = fabs(fy0) < 1e9f;
    int y0 = finite_y ? (int)fy0 : 0;
    source_row below = source_row_at(s, y0, height), above = source_row_at(s, y0 + 1, height);
    int16 in_crop_y = (int16)(finite_y && py >= q.fy0 && py < q.fy1 ? -1 : 0);
    int16 behind_y = (int16)(q.has_background && py >= q.by0 && py < q.by1 ? -1 : 0);
    const int16 lanes = (int16)(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    for (int x = x_begin; x < x_end; x += RUN) {
        float16 px = target.origin_x + convert_float16(x + lanes) + 0.5f;
        float16 u = q.sx * px + q.ox - 0.5f;
        float16 fx0 = floor(u);
        float16 wx = u - fx0;
        int16 finite = fabs(fx0) < 1e9f;
        int16 x0 = convert_int16(kept(fx0, finite));
        color16 c00, c10, c01, c11;
        fetch_pair16(s, below, x0, width, &c00, &c10);
        fetch_pair16(s, above, x0, width, &c01, &c11);
        float16 red = mix16(mix16(c00.r, c10.r, wx), mix16(c01.r, c11.r, wx), (float16)(wy));
        float16 green = mix16(mix16(c00.g, c10.g, wx), mix16(c01.g, c11.g, wx), (float16)(wy));
        float16 blue = mix16(mix16(c00.b, c10.b, wx), mix16(c01.b, c11.b, wx), (float16)(wy));
        float16 alpha = mix16(mix16(c00.a, c10.a, wx), mix16(c01.a, c11.a, wx), (float16)(wy));
        int16 keep = finite & in_crop_y & px >= q.fx0 & px < q.fx1;
        red = kept(red, keep), green = kept(green, keep), blue = kept(blue, keep), alpha = kept(alpha, keep);
        if (q.has_background) {
            int16 behind = behind_y & px >= q.bx0 & px < q.bx1;
            float16 under = 1.0f - alpha;
            red = red + kept((float16)(q.bg_r), behind) * under;
            green = green + kept((float16)(q.bg_g), behind) * under;
            blue = blue + kept((float16)(q.bg_b), behind) * under;
            alpha = alpha + kept((float16)(q.bg_a), behind) * under;
        }
        if (x + RUN <= target.x1) {
            write_run(d, x, r, red, green, blue, alpha);
            continue;
        }
        float cr[RUN], cg[RUN], cb[RUN], ca[RUN];
        vstore16(red, 0, cr), vstore16(green, 0, cg), vstore16(blue, 0, cb), vstore16(alpha, 0, ca);
        for (int k = 0; x + k < target.x1; ++k)
            write_pixel(d, x + k, r, (float4)(cr[k], cg[k], cb[k], ca[k]));
    }
}

kernel void render_runs(LV_GRID, LV_TEXTURE(destination), LV_TEXTURE(sa), LV_TEXTURE(sb),
    constant float* parameters, const render_target target, const run_params q)
{
    if (!LV_IN_GRID()) return;
#if SCALED
    draw_scaled(LV_TEX(destination), make_source(LV_TEX(sa), LV_TEX(sb), parameters), parameters, target, &q,
                run_item_at(target));
#else
    draw_placed(LV_TEX(destination), make_source(LV_TEX(sa), LV_TEX(sb), parameters), parameters, target, &q,
                run_item_at(target));
#endif
}
