// Picture effects ("postProcess") and the enhancement-artifact cleanup ("enhancementCleanup") on
// 8-bit BGRA textures.
//
// Each work item handles 32 neighbouring pixels of one destination row (the host dispatches
// ceil(width / 32) x height items), eight at a time with each colour channel in a float8, so
// CPU devices compute whole vectors and share each item's setup over several blocks. Values are
// in 8-bit units (0...255) throughout.
//
// Orientation: a texture Core Image wrote has the bottom row of the picture first; the destination
// is always written top row first (display oriented). Content rectangles are in Core Image
// coordinates of the destination (origin at the lower left), in pixels. A pixel belongs to a
// rectangle or a band when its centre does. Outside the content rectangle and outside the band
// the source pixel is copied bit for bit.

#define LANES 8
// Left to itself PoCL keeps the larger helpers as calls and passes their vectors through memory;
// inlined, a pass takes a third to a half less time.
#define INLINE inline __attribute__((always_inline))
// Blocks of eight pixels each work item handles, one after the other along its row.
#define BLOCKS_PER_ITEM 4

typedef struct {
    float8 r, g, b;
} rgb8;

INLINE int8 lane_offsets(void) { return (int8)(0, 1, 2, 3, 4, 5, 6, 7); }

INLINE global uint* row_of(lv_tex t, int y) { return (global uint*)(t.data + t.d.offset + (size_t)y * t.d.row_pitch); }

// Eight pixels of row y from column x, columns clamped to [lo, hi].
INLINE uint8 load_row(lv_tex t, int y, int x, int lo, int hi)
{
    global const uint* row = row_of(t, y);
    if (x >= lo && x + LANES - 1 <= hi) return vload8(0, row + x);
    int8 c = clamp((int8)(x) + lane_offsets(), (int8)(lo), (int8)(hi));
    return (uint8)(row[c.s0], row[c.s1], row[c.s2], row[c.s3], row[c.s4], row[c.s5], row[c.s6], row[c.s7]);
}

// One pixel per lane from columns x of row `row`.
INLINE uint8 gather_row(global const uint* row, int8 x)
{
    return (uint8)(row[x.s0], row[x.s1], row[x.s2], row[x.s3], row[x.s4], row[x.s5], row[x.s6], row[x.s7]);
}

INLINE void store_row(lv_tex t, int y, int x, uint8 v)
{
    global uint* row = row_of(t, y);
    int n = (int)t.d.width - x;
    if (n >= LANES) {
        vstore8(v, 0, row + x);
        return;
    }
    uint lanes[LANES];
    vstore8(v, 0, lanes);
    for (int i = 0; i < n; ++i) row[x + i] = lanes[i];
}

INLINE rgb8 unpack(uint8 v)
{
    rgb8 p;
    p.b = convert_float8(v & 0xffu);
    p.g = convert_float8((v >> 8) & 0xffu);
    p.r = convert_float8((v >> 16) & 0xffu);
    return p;
}

INLINE uint8 to_byte(float8 v) { return convert_uint8_rte(clamp(v, 0.0f, 255.0f)); }

// The colour of p with the alpha of `alpha_from`.
INLINE uint8 pack(rgb8 p, uint8 alpha_from)
{
    return to_byte(p.b) | (to_byte(p.g) << 8) | (to_byte(p.r) << 16) | (alpha_from & 0xff000000u);
}

// First pixel whose centre lies at or after v, within [0, limit].
INLINE int pixel_edge(float v, int limit) { return (int)fmin(fmax(ceil(v - 0.5f), 0.0f), (float)limit); }

// A 32-bit integer hash, lane by lane.
INLINE uint8 mix8(uint8 x)
{
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

INLINE uint mix1(uint x) { return mix8((uint8)(x)).s0; }


// Where a pass may act on one destination row: the content's columns [x0, x1) and whether the
// row lies inside the content, plus the band's columns [b0, b1) inside them.
typedef struct {
    int x0, x1, y0, y1, b0, b1;
} region;

INLINE region region_of(float4 content, float start, float end, int width, int height)
{
    region r;
    r.x0 = pixel_edge(content.x, width);
    r.x1 = pixel_edge(content.x + content.z, width);
    r.y0 = pixel_edge(content.y, height);
    r.y1 = pixel_edge(content.y + content.w, height);
    r.b0 = max(r.x0, pixel_edge(content.x + start * content.z, width));
    r.b1 = min(r.x1, pixel_edge(content.x + end * content.z, width));
    return r;
}

INLINE bool block_untouched(region r, int x, int ci_y)
{
    return ci_y < r.y0 || ci_y >= r.y1 || x + LANES <= r.b0 || x >= r.b1;
}

// All lanes set (-1) for the pixels inside the band.
INLINE uint8 band_mask(region r, int x)
{
    int8 xs = (int8)(x) + lane_offsets();
    return as_uint8((xs >= (int8)(r.b0)) & (xs < (int8)(r.b1)));
}

// ---- effects ----

// Unsharp mask over the pixel and its four nearest neighbours, the result held inside their range
// so that edges get steeper without overshoot (no halos).
#define SHARPEN_CHANNEL(ch)                                                                         \
    {                                                                                               \
        const float8 blur = fma(c.ch, 0.5f, (u.ch + l.ch + r.ch + d.ch) * 0.125f);                  \
        const float8 least = fmin(fmin(fmin(u.ch, l.ch), fmin(r.ch, d.ch)), c.ch);                  \
        const float8 most = fmax(fmax(fmax(u.ch, l.ch), fmax(r.ch, d.ch)), c.ch);                   \
        out.ch = clamp(fma(k, c.ch - blur, c.ch), least, most);                                     \
    }

INLINE rgb8 sharpen(lv_tex t, rgb8 c, int x, int y, int lo, int hi, int top, int bottom, float amount)
{
    const rgb8 u = unpack(load_row(t, max(y - 1, top), x, lo, hi)), d = unpack(load_row(t, min(y + 1, bottom), x, lo, hi));
    const rgb8 l = unpack(load_row(t, y, x - 1, lo, hi)), r = unpack(load_row(t, y, x + 1, lo, hi));
    const float k = 4.0f * amount;
    rgb8 out;
    SHARPEN_CHANNEL(r)
    SHARPEN_CHANNEL(g)
    SHARPEN_CHANNEL(b)
    return out;
}

// Four point-symmetric taps at a random offset up to `radius` away; where they all lie within a
// few levels of the pixel (a gentle gradient cut into 8-bit bands) the pixel becomes their mean
// plus a level of triangular dither, so the bands dissolve; a tap across an edge or texture
// stronger than the threshold leaves the pixel as it is. The offset's length is drawn per row and
// its signs per block of eight pixels, so a row's taps come from four rows read front to back
// (random rows per block cost CPU devices twice the time).
INLINE rgb8 deband(lv_tex t, rgb8 c, int x, int y, uint row_seed, int lo, int hi, int top, int bottom, float amount,
                   float content_height)
{
    const float radius = (6.0f + 18.0f * amount) * clamp(content_height / 1080.0f, 0.5f, 4.0f);
    const float threshold = 1.5f + 4.5f * amount;
    const uint h = mix1((uint)x + row_seed);
    const int a = (int)rint((0.35f + (float)(row_seed & 0xffffu) * (0.65f / 65535.0f)) * radius);
    const int b = (int)rint((float)(row_seed >> 16) * (radius / 65535.0f));
    const int dx = (h & 1u) ? a : -a, dy = (h & 2u) ? b : -b;
    const rgb8 t1 = unpack(load_row(t, clamp(y + dy, top, bottom), x + dx, lo, hi));
    const rgb8 t2 = unpack(load_row(t, clamp(y - dy, top, bottom), x - dx, lo, hi));
    const rgb8 t3 = unpack(load_row(t, clamp(y + dx, top, bottom), x - dy, lo, hi));
    const rgb8 t4 = unpack(load_row(t, clamp(y - dx, top, bottom), x + dy, lo, hi));
    float8 diff = (float8)(0.0f);
#define DEBAND_DIFF(ch)                                                                                         \
    diff = fmax(diff, fmax(fmax(fabs(t1.ch - c.ch), fabs(t2.ch - c.ch)), fmax(fabs(t3.ch - c.ch), fabs(t4.ch - c.ch))));
    DEBAND_DIFF(r)
    DEBAND_DIFF(g)
    DEBAND_DIFF(b)
    const float8 weight = clamp((threshold - diff) * (2.0f / threshold), 0.0f, 1.0f);
    // Triangular dither from two 16-bit halves of one cheap per-lane hash.
    const uint8 noise = ((uint8)(h) ^ as_uint8((int8)(x) + lane_offsets())) * 0x9e3779b1u;
    const float8 dither = convert_float8((noise >> 16) & 0xffffu) * (1.0f / 65535.0f) +
                          convert_float8(noise & 0xffffu) * (1.0f / 65535.0f) - 1.0f;
    rgb8 out;
    out.r = fma(weight, (t1.r + t2.r + t3.r + t4.r) * 0.25f - c.r + dither, c.r);
    out.g = fma(weight, (t1.g + t2.g + t3.g + t4.g) * 0.25f - c.g + dither, c.g);
    out.b = fma(weight, (t1.b + t2.b + t3.b + t4.b) * 0.25f - c.b + dither, c.b);
    return out;
}

// Film-like grain: one monochrome, near-Gaussian value per grain cell, strongest in the mid-tones.
// Cells are pixels up to 1080 content rows and grow with the content above that, so the grain
// has the same size on screen and the same strength per pixel at every resolution. A new pattern
// each frame.
INLINE float8 grain(int x, int ci_y, float4 content, uint frame, float8 luma, float amount)
{
    const float cells = content.w > 1080.0f ? 1080.0f / content.w : 1.0f;
    const float8 px = (convert_float8((int8)(x) + lane_offsets()) + 0.5f - content.x) * cells;
    const uint cy = (uint)(int)floor(((float)ci_y + 0.5f - content.y) * cells);
    const uint8 h = mix8(as_uint8(convert_int8(floor(px))) + (uint8)(mix1(cy ^ mix1(frame + 0x2545f491u))));
    // Three 10-bit uniforms summed: mean 0, standard deviation 1 after scaling.
    const float8 sum = convert_float8(h & 0x3ffu) + convert_float8((h >> 10) & 0x3ffu) + convert_float8((h >> 20) & 0x3ffu);
    const float8 normal = (sum * (1.0f / 1023.0f) - 1.5f) * 2.0f;
    const float8 l = luma * (1.0f / 255.0f);
    const float8 weight = 0.35f + 2.6f * l * (1.0f - l);
    return normal * weight * (0.08f * 255.0f * amount);
}

// 2^y for y <= 0 and log2(x) for 0 <= x <= 1, as plain arithmetic that CPU devices keep in vectors
// (the library's pow is called lane by lane there). Both are good to a few parts in a million,
// far below the half level that decides an 8-bit result.
INLINE float8 exp2_nonpositive(float8 y)
{
    const float8 whole = floor(fmax(y, -126.0f));
    const float8 f = (fmax(y, -126.0f) - whole) * 0.69314718f;
    float8 p = fma(f, 1.0f / 5040.0f, 1.0f / 720.0f);
    p = fma(p, f, 1.0f / 120.0f);
    p = fma(p, f, 1.0f / 24.0f);
    p = fma(p, f, 1.0f / 6.0f);
    p = fma(p, f, 0.5f);
    p = fma(p, f, 1.0f);
    p = fma(p, f, 1.0f);
    return p * as_float8((convert_int8(whole) + 127) << 23);
}

INLINE float8 log2_unit(float8 x)
{
    const int8 bits = as_int8(fmax(x, 1e-30f));
    const float8 exponent = convert_float8((bits >> 23) - 127);
    const float8 m = as_float8((bits & 0x7fffff) | 0x3f800000); // 1 <= m < 2
    const float8 t = (m - 1.0f) / (m + 1.0f);
    const float8 t2 = t * t;
    float8 p = fma(t2, 1.0f / 11.0f, 1.0f / 9.0f);
    p = fma(p, t2, 1.0f / 7.0f);
    p = fma(p, t2, 1.0f / 5.0f);
    p = fma(p, t2, 1.0f / 3.0f);
    p = fma(p, t2, 1.0f);
    return fma(p * t, 2.88539008f, exponent); // 2 / ln 2
}

// 255 (v / 255)^(1 / gamma) for v in 0...255.
INLINE float8 apply_gamma(float8 v, float inverse)
{
    const float8 result = 255.0f * exp2_nonpositive(log2_unit(v * (1.0f / 255.0f)) * inverse);
    return select(result, (float8)(0.0f), v <= 0.0f);
}

typedef struct {
    float sharpen, deband, grain, brightness, inverse_gamma;
    uint frame;
    bool sharpen_on, deband_on, grain_on, tone_on, gamma_on, difference;
} effects;

// Eight pixels of the destination row y from column x, read from source row sy.
INLINE void effect_block(lv_tex src, lv_tex dst, effects e, region area, float4 content, int x, int y, int sy,
                         int ci_y, int source_width, int lo, int hi, int top, int bottom, uint row_seed)
{
    const uint8 centre = load_row(src, sy, x, 0, source_width - 1);
    if (block_untouched(area, x, ci_y) || hi < lo) {
        store_row(dst, y, x, centre);
        return;
    }
    const rgb8 c = unpack(centre);
    rgb8 v = c;
    if (e.deband_on) v = deband(src, c, x, sy, row_seed, lo, hi, top, bottom, e.deband, content.w);
    if (e.sharpen_on) {
        const rgb8 s = sharpen(src, c, x, sy, lo, hi, top, bottom, e.sharpen);
        v.r += s.r - c.r;
        v.g += s.g - c.g;
        v.b += s.b - c.b;
    }
    if (e.tone_on) {
        v.r = clamp(v.r + e.brightness, 0.0f, 255.0f);
        v.g = clamp(v.g + e.brightness, 0.0f, 255.0f);
        v.b = clamp(v.b + e.brightness, 0.0f, 255.0f);
        if (e.gamma_on) {
            v.r = apply_gamma(v.r, e.inverse_gamma);
            v.g = apply_gamma(v.g, e.inverse_gamma);
            v.b = apply_gamma(v.b, e.inverse_gamma);
        }
    }
    if (e.grain_on) {
        const float8 luma = 0.2126f * v.r + 0.7152f * v.g + 0.0722f * v.b;
        const float8 n = grain(x, ci_y, content, e.frame, luma, e.grain);
        v.r += n;
        v.g += n;
        v.b += n;
    }
    if (e.difference) { // the change the effects make, eight times over
        v.r = fabs(v.r - c.r) * 8.0f;
        v.g = fabs(v.g - c.g) * 8.0f;
        v.b = fabs(v.b - c.b) * 8.0f;
    }
    store_row(dst, y, x, select(centre, pack(v, centre), band_mask(area, x)));
}

// buffer 0: sharpen, deband and grain amounts, frame index; buffer 1: content rectangle;
// buffer 2: band start and end, difference preview; buffer 3: the three switches and whether the
// source is display oriented; buffer 4: brightness and gamma.
kernel void postProcess(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), const float4 amounts,
                        const float4 content, const float4 band, const uint4 flags, const float2 tone)
{
    if (!LV_IN_GRID()) return;
    const lv_tex src = LV_TEX(source), dst = LV_TEX(destination);
    const int width = (int)dst.d.width, height = (int)dst.d.height;
    const int source_width = (int)src.d.width, source_height = (int)src.d.height;
    const int y = (int)get_global_id(1);
    const int ci_y = height - 1 - y;
    const bool display_oriented = flags.w != 0;
    const int sy = clamp(display_oriented ? y : ci_y, 0, source_height - 1);
    const region area = region_of(content, band.x, band.y, width, height);
    // Neighbours come from inside the content (and the source), so black bars never bleed in.
    const int lo = area.x0, hi = min(area.x1, source_width) - 1;
    const int top = clamp(display_oriented ? height - area.y1 : area.y0, 0, source_height - 1);
    const int bottom = clamp(display_oriented ? height - 1 - area.y0 : area.y1 - 1, 0, source_height - 1);

    effects e;
    e.sharpen = clamp(amounts.x, 0.0f, 1.0f);
    e.deband = clamp(amounts.y, 0.0f, 1.0f);
    e.grain = clamp(amounts.z, 0.0f, 1.0f);
    e.frame = convert_uint_sat(amounts.w);
    const float brightness = isfinite(tone.x) ? clamp(tone.x, -1.0f, 1.0f) : 0.0f;
    const float gamma = isfinite(tone.y) && tone.y > 0.0f ? tone.y : 1.0f;
    e.brightness = brightness * 255.0f;
    e.inverse_gamma = 1.0f / gamma;
    e.sharpen_on = flags.x != 0;
    e.deband_on = flags.y != 0;
    e.grain_on = flags.z != 0;
    e.gamma_on = gamma != 1.0f;
    e.tone_on = brightness != 0.0f || e.gamma_on;
    e.difference = band.z != 0.0f;
    const uint row_seed = mix1((uint)ci_y * 0x9e3779b1u);

    const int first = (int)get_global_id(0) * BLOCKS_PER_ITEM * LANES;
    for (int b = 0; b < BLOCKS_PER_ITEM; ++b) {
        const int x = first + b * LANES;
        if (x >= width) break;
        effect_block(src, dst, e, area, content, x, y, sy, ci_y, source_width, lo, hi, top, bottom, row_seed);
    }
}

// ---- enhancement cleanup ----

// The guide (the frame before upscaling, as Core Image wrote it) spans the content rectangle.
// Where the upscaled source leaves the range of the four guide pixels around it (ringing next to
// an edge) it is pulled back into that range; where the guide is flat, detail the guide does not
// have (the model's grainy patterns) is pulled towards the guide. Pixels within two levels of the
// guide are kept exactly. `strength` blends the cleaned pixel over the source.
#define CLEANUP_TOLERANCE 2.0f

#define CLEANUP_GUIDE(ch)                                                                          \
    const float8 mean_##ch = mix(mix(g00.ch, g10.ch, ax), mix(g01.ch, g11.ch, ax), ay);             \
    const float8 least_##ch = fmin(fmin(g00.ch, g10.ch), fmin(g01.ch, g11.ch));                     \
    const float8 most_##ch = fmax(fmax(g00.ch, g10.ch), fmax(g01.ch, g11.ch));

#define CLEANUP_CHANNEL(ch)                                                                         \
    {                                                                                               \
        const float8 held = clamp(s.ch, least_##ch - CLEANUP_TOLERANCE, most_##ch + CLEANUP_TOLERANCE); \
        const float8 off = held - mean_##ch;                                                        \
        const float8 excess = copysign(fmax(fabs(off) - CLEANUP_TOLERANCE, 0.0f), off);            \
        out.ch = fma(strength, fma(-flat, excess, held) - s.ch, s.ch);                              \
    }

INLINE void cleanup_block(lv_tex gd, lv_tex src, lv_tex dst, region area, float4 content, float strength, int x,
                          int y, int ci_y, global const uint* row0, global const uint* row1, float ay)
{
    const uint8 centre = load_row(src, clamp(ci_y, 0, (int)src.d.height - 1), x, 0, (int)src.d.width - 1);
    if (block_untouched(area, x, ci_y)) {
        store_row(dst, y, x, centre);
        return;
    }
    const int guide_width = (int)gd.d.width;
    const float8 u = (convert_float8((int8)(x) + lane_offsets()) + 0.5f - content.x) *
                         ((float)guide_width / content.z) - 0.5f;
    const float8 fu = clamp(floor(u), -1.0f, (float)guide_width);
    const float8 ax = clamp(u - fu, 0.0f, 1.0f);
    const int8 gx0 = clamp(convert_int8(fu), (int8)(0), (int8)(guide_width - 1));
    const int8 gx1 = clamp(convert_int8(fu) + 1, (int8)(0), (int8)(guide_width - 1));
    const rgb8 g00 = unpack(gather_row(row0, gx0)), g10 = unpack(gather_row(row0, gx1));
    const rgb8 g01 = unpack(gather_row(row1, gx0)), g11 = unpack(gather_row(row1, gx1));
    CLEANUP_GUIDE(r)
    CLEANUP_GUIDE(g)
    CLEANUP_GUIDE(b)
    const float8 range = fmax(fmax(most_r - least_r, most_g - least_g), most_b - least_b);
    const float8 flat = clamp((8.0f - range) * (1.0f / 6.0f), 0.0f, 1.0f);

    const rgb8 s = unpack(centre);
    rgb8 out;
    CLEANUP_CHANNEL(r)
    CLEANUP_CHANNEL(g)
    CLEANUP_CHANNEL(b)
    store_row(dst, y, x, select(centre, pack(out, centre), band_mask(area, x)));
}

// buffer 0: content rectangle; buffer 1: band start and end, strength.
kernel void enhancementCleanup(LV_GRID, LV_TEXTURE(guide), LV_TEXTURE(source), LV_TEXTURE(destination),
                               const float4 content, const float4 params)
{
    if (!LV_IN_GRID()) return;
    const lv_tex gd = LV_TEX(guide), src = LV_TEX(source), dst = LV_TEX(destination);
    const int width = (int)dst.d.width, height = (int)dst.d.height;
    const int y = (int)get_global_id(1);
    const int ci_y = height - 1 - y;
    region area = region_of(content, params.x, params.y, width, height);
    const float strength = fmin(fmax(params.z, 0.0f), 1.0f);
    if (!(strength > 0.0f) || !(content.z > 0.0f) || !(content.w > 0.0f)) area.b1 = area.b0; // copy only

    const int guide_height = (int)gd.d.height;
    const float v = ((float)ci_y + 0.5f - content.y) * (content.w > 0.0f ? (float)guide_height / content.w : 0.0f) - 0.5f;
    const float fv = clamp(floor(v), -1.0f, (float)guide_height);
    const float ay = clamp(v - fv, 0.0f, 1.0f);
    global const uint* row0 = row_of(gd, clamp((int)fv, 0, guide_height - 1));
    global const uint* row1 = row_of(gd, clamp((int)fv + 1, 0, guide_height - 1));

    const int first = (int)get_global_id(0) * BLOCKS_PER_ITEM * LANES;
    for (int b = 0; b < BLOCKS_PER_ITEM; ++b) {
        const int x = first + b * LANES;
        if (x >= width) break;
        cleanup_block(gd, src, dst, area, content, strength, x, y, ci_y, row0, row1, ay);
    }
}
