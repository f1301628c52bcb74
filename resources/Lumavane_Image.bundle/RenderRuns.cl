// The display path's recipes in runs of RUN (sixteen) pixels of a row, with vector arithmetic;
// each work item draws RUNS_PER_ITEM runs and works out what belongs to its row once.
// render_runs, written out by hand, draws one source placed at whole-pixel offsets (no
// resampling: the picture at its own size), optionally cropped, over an optionally cropped
// constant colour; the host defines SRC_FORMAT for it. Recipes that only scale and move along
// the axes (a picture fitted into a view of another size, the comparison's two pictures) run as
// kernels the host writes from their programs with the helpers at the end. The operations and
// their order are those of Render.cl's helpers, so results match the general kernel bit for bit.
// Vectors are rearranged with swizzles only: PoCL turns shuffle() into a call per element, and
// its rint() and saturating conversions into long scalar sequences; values PoCL cannot prove
// invariant (floor() among them) are worked out per work item, so whole-pixel placements use
// integer arithmetic.

// PoCL left the bigger helpers as calls, which kept their values out of registers.
#define LV_INLINE inline __attribute__((always_inline))

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

#ifdef SRC_FORMAT
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

#endif

// ---- programs in runs ----
// Recipes whose transforms only scale and move along the axes keep a point's y the same across
// a row, so the host writes their program as a kernel that works out each row once (the
// source rows every sample reads, the crops' vertical tests) and then evaluates the program
// for sixteen pixels at a time, sampling bilinearly as sample_source() does.

typedef struct {
    float16 r, g, b, a;
} color16;

// v where the mask is set, else 0.
inline float16 kept(float16 v, int16 mask) { return select((float16)(0.0f), v, mask); }
inline color16 kept16(color16 c, int16 mask)
{
    c.r = kept(c.r, mask), c.g = kept(c.g, mask), c.b = kept(c.b, mask), c.a = kept(c.a, mask);
    return c;
}
inline color16 constant16(float r, float g, float b, float a)
{
    color16 c;
    c.r = (float16)(r), c.g = (float16)(g), c.b = (float16)(b), c.a = (float16)(a);
    return c;
}
inline float16 mix16(float16 a, float16 b, float16 t) { return a + (b - a) * t; }
inline color16 mix_colors16(color16 a, color16 b, float16 t)
{
    color16 c;
    c.r = mix16(a.r, b.r, t), c.g = mix16(a.g, b.g, t), c.b = mix16(a.b, b.b, t), c.a = mix16(a.a, b.a, t);
    return c;
}
inline color16 over16(color16 fg, color16 bg)
{
    float16 k = 1.0f - fg.a;
    fg.r = fg.r + bg.r * k, fg.g = fg.g + bg.g * k, fg.b = fg.b + bg.b * k, fg.a = fg.a + bg.a * k;
    return fg;
}

// One row of a source as fetch() reads it: its memory row and, for YCbCr, its chroma rows.
typedef struct {
    bool inside;
    global const uchar* line;
    global const ushort* top;
    global const ushort* bottom;
    float wy;
} source_row;

LV_INLINE source_row source_row_at(source_view s, int y, const int format)
{
    int height = (int)s.p[FIELD_HEIGHT];
    source_row v;
    v.inside = y >= 0 && y < height;
    int row = clamp(s.p[FIELD_TOP_DOWN] != 0.0f ? height - 1 - y : y, 0, height - 1);
    v.line = lv_texel(s.luma, 0, row, 0);
    v.top = v.bottom = (global const ushort*)v.line;
    v.wy = 0.0f;
    if (format == FORMAT_YCBCR8) {
        int ch = (int)s.chroma.d.height;
        int fy0 = (row - 1) >> 1; // floor((row − 0.5) / 2)
        v.wy = (row & 1) ? 0.25f : 0.75f;
        v.top = (global const ushort*)lv_texel(s.chroma, 0, clamp(fy0, 0, ch - 1), 0);
        v.bottom = (global const ushort*)lv_texel(s.chroma, 0, clamp(fy0 + 1, 0, ch - 1), 0);
    }
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
LV_INLINE void fetch_pair16(source_view s, source_row v, int16 x, const int format, color16* left,
                            color16* right)
{
    int width = (int)s.p[FIELD_WIDTH];
    int16 row_inside = (int16)(v.inside ? -1 : 0);
    int16 inside_left = row_inside & (x >= 0) & (x < width);
    int16 inside_right = row_inside & (x >= -1) & (x < width - 1);
    int16 k = clamp(x, 0, width - 2);
    int16 left_low = clamp(x, 0, width - 1) == k, right_low = clamp(x + 1, 0, width - 1) == k;
    if (format == FORMAT_YCBCR8) {
        ushort16 luma_pair = (ushort16)LV_GATHER16_WITH(two_bytes, v.line, k);
        float16 luma_low = convert_float16(luma_pair & (ushort)0xff);
        float16 luma_high = convert_float16(luma_pair >> (ushort)8);
        // Column 2j takes chroma pair j (weight 0), column 2j+1 the middle of pairs j and j+1
        // (the last pair repeating): with A = pair j and B = pair j+1 of x's j, an even x reads A
        // and then the middle, an odd x the middle and then B.
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
        float16 luma[2] = {select(luma_high, luma_low, left_low), select(luma_high, luma_low, right_low)};
        int16 inside[2] = {inside_left, inside_right};
        color16* out[2] = {left, right};
        for (int n = 0; n < 2; ++n) {
            float16 cb_value = cb_top[n] + (cb_bottom[n] - cb_top[n]) * v.wy;
            float16 cr_value = cr_top[n] + (cr_bottom[n] - cr_top[n]) * v.wy;
            float16 l = (luma[n] - s.p[FIELD_Y_OFFSET]) * s.p[FIELD_Y_SCALE];
            float16 cb = (cb_value - s.p[FIELD_C_OFFSET]) * s.p[FIELD_C_SCALE];
            float16 cr = (cr_value - s.p[FIELD_C_OFFSET]) * s.p[FIELD_C_SCALE];
            out[n]->r = clamp(l + s.p[FIELD_R_CR] * cr, 0.0f, 1.0f);
            out[n]->g = clamp(l + s.p[FIELD_G_CB] * cb + s.p[FIELD_G_CR] * cr, 0.0f, 1.0f);
            out[n]->b = clamp(l + s.p[FIELD_B_CB] * cb, 0.0f, 1.0f);
            out[n]->a = (float16)(1.0f);
            *out[n] = kept16(*out[n], inside[n]);
        }
        return;
    }
    ulong16 pair = (ulong16)LV_GATHER16_WITH(two_words, (global const uint*)v.line, k);
    uint16 low = convert_uint16(pair & 0xffffffffUL), high = convert_uint16(pair >> 32);
    uint16 p[2] = {select(high, low, left_low), select(high, low, right_low)};
    int16 inside[2] = {inside_left, inside_right};
    color16* out[2] = {left, right};
    float unit = 1.0f / 255.0f;
    for (int n = 0; n < 2; ++n) {
        float16 c0 = convert_float16(p[n] & 0xffu) * unit, c1 = convert_float16((p[n] >> 8) & 0xffu) * unit;
        float16 c2 = convert_float16((p[n] >> 16) & 0xffu) * unit, c3 = convert_float16(p[n] >> 24) * unit;
        out[n]->r = format == FORMAT_BGRA8 ? c2 : c0, out[n]->g = c1, out[n]->b = format == FORMAT_BGRA8 ? c0 : c2;
        out[n]->a = c3;
        *out[n] = kept16(*out[n], inside[n]);
    }
}

// sample_source() for one row: the two source rows its points fall between, and their weight.
typedef struct {
    source_row below, above;
    float wy;
    bool finite;
} sample_rows;

LV_INLINE sample_rows rows_at(source_view s, float py, const int format)
{
    sample_rows rows;
    float v = py - 0.5f;
    float fy0 = floor(v);
    rows.wy = v - fy0;
    rows.finite = fabs(fy0) < 1e9f;
    int y0 = rows.finite ? (int)fy0 : 0;
    rows.below = source_row_at(s, y0, format);
    rows.above = source_row_at(s, y0 + 1, format);
    return rows;
}

// sample_source() at sixteen points px of that row.
LV_INLINE color16 sample16(source_view s, sample_rows rows, float16 px, const int format)
{
    float16 u = px - 0.5f;
    float16 fx0 = floor(u);
    float16 wx = u - fx0;
    int16 finite = (fabs(fx0) < 1e9f) & (int16)(rows.finite ? -1 : 0);
    int16 x0 = convert_int16(kept(fx0, finite));
    color16 c00, c10, c01, c11;
    fetch_pair16(s, rows.below, x0, format, &c00, &c10);
    fetch_pair16(s, rows.above, x0, format, &c01, &c11);
    color16 c = mix_colors16(mix_colors16(c00, c10, wx), mix_colors16(c01, c11, wx), (float16)(rows.wy));
    return kept16(c, finite);
}

// write_pixel() for the sixteen pixels from x on, those left of x1.
inline void write16(lv_tex d, int x, int r, int x1, color16 c)
{
    if (x + RUN <= x1) {
        write_run(d, x, r, c.r, c.g, c.b, c.a);
        return;
    }
    float cr[RUN], cg[RUN], cb[RUN], ca[RUN];
    vstore16(c.r, 0, cr), vstore16(c.g, 0, cg), vstore16(c.b, 0, cb), vstore16(c.a, 0, ca);
    for (int k = 0; x + k < x1; ++k)
        write_pixel(d, x + k, r, (float4)(cr[k], cg[k], cb[k], ca[k]));
}

#ifdef SRC_FORMAT
kernel void render_runs(LV_GRID, LV_TEXTURE(destination), LV_TEXTURE(sa), LV_TEXTURE(sb),
    constant float* parameters, const render_target target, const run_params q)
{
    if (!LV_IN_GRID()) return;
    draw_placed(LV_TEX(destination), make_source(LV_TEX(sa), LV_TEX(sb), parameters), parameters, target, &q,
                run_item_at(target));
}
#endif
