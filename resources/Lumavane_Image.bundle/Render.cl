// Renders an image recipe: every work item evaluates the recipe's stack program
// for one destination pixel. The arithmetic mirrors the CPU reference in
// Platform/Image/Program.cpp operation for operation, so results match it.
// The host defines the opcodes, source formats and limits (OP_*, FORMAT_*, MAX_STACK,
// SOURCE_FLOATS, FIELD_*).

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

inline float clamp01(float v) { return fmin(fmax(v, 0.0f), 1.0f); }

inline float luma_value(source_view s, int x, int row)
{
    global uchar* q = lv_texel(s.luma, x, row, 0);
    if ((int)s.p[FIELD_FORMAT] == FORMAT_YCBCR16)
        return (float)(*(global const ushort*)q >> 6);
    return (float)q[0];
}

inline float2 chroma_value(source_view s, int x, int row)
{
    global uchar* q = lv_texel(s.chroma, x, row, 0);
    if ((int)s.p[FIELD_FORMAT] == FORMAT_YCBCR16) {
        ushort2 w = vload2(0, (global const ushort*)q);
        return (float2)((float)(w.x >> 6), (float)(w.y >> 6));
    }
    return (float2)((float)q[0], (float)q[1]);
}

// One source pixel, (x, y) in image space (y up); transparent outside.
inline float4 fetch(source_view s, int x, int y)
{
    int width = (int)s.p[FIELD_WIDTH], height = (int)s.p[FIELD_HEIGHT];
    if (x < 0 || y < 0 || x >= width || y >= height)
        return (float4)(0.0f);
    int row = s.p[FIELD_TOP_DOWN] != 0.0f ? height - 1 - y : y;
    int format = (int)s.p[FIELD_FORMAT];
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
    float2 c00 = chroma_value(s, ix0, iy0), c10 = chroma_value(s, ix1, iy0);
    float2 c01 = chroma_value(s, ix0, iy1), c11 = chroma_value(s, ix1, iy1);
    float cb_top = c00.x + (c10.x - c00.x) * wx, cb_bottom = c01.x + (c11.x - c01.x) * wx;
    float cr_top = c00.y + (c10.y - c00.y) * wx, cr_bottom = c01.y + (c11.y - c01.y) * wx;
    float cb_value = cb_top + (cb_bottom - cb_top) * wy, cr_value = cr_top + (cr_bottom - cr_top) * wy;
    float luma = (luma_value(s, x, row) - s.p[FIELD_Y_OFFSET]) * s.p[FIELD_Y_SCALE];
    float cb = (cb_value - s.p[FIELD_C_OFFSET]) * s.p[FIELD_C_SCALE];
    float cr = (cr_value - s.p[FIELD_C_OFFSET]) * s.p[FIELD_C_SCALE];
    return (float4)(clamp01(luma + s.p[FIELD_R_CR] * cr), clamp01(luma + s.p[FIELD_G_CB] * cb + s.p[FIELD_G_CR] * cr),
                    clamp01(luma + s.p[FIELD_B_CB] * cb), 1.0f);
}

inline float4 mix4(float4 a, float4 b, float t)
{
    return (float4)(a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t, a.z + (b.z - a.z) * t, a.w + (b.w - a.w) * t);
}

inline float4 sample_source(source_view s, float px, float py)
{
    float u = px - 0.5f, v = py - 0.5f;
    float fx0 = floor(u), fy0 = floor(v);
    float wx = u - fx0, wy = v - fy0;
    if (!(fabs(fx0) < 1e9f && fabs(fy0) < 1e9f))
        return (float4)(0.0f);
    int x0 = (int)fx0, y0 = (int)fy0;
    if (wx == 0.0f && wy == 0.0f)
        return fetch(s, x0, y0);
    float4 bottom = mix4(fetch(s, x0, y0), fetch(s, x0 + 1, y0), wx);
    float4 top = mix4(fetch(s, x0, y0 + 1), fetch(s, x0 + 1, y0 + 1), wx);
    return mix4(bottom, top, wy);
}

inline source_view source_at(int i, lv_tex t1, lv_tex t2, lv_tex t3, lv_tex t4, lv_tex t5, lv_tex t6, lv_tex t7,
                             lv_tex t8, constant float* parameters)
{
    source_view s;
    s.p = parameters + i * SOURCE_FLOATS;
    switch (i) {
    case 0: s.luma = t1; s.chroma = t2; break;
    case 1: s.luma = t3; s.chroma = t4; break;
    case 2: s.luma = t5; s.chroma = t6; break;
    default: s.luma = t7; s.chroma = t8; break;
    }
    return s;
}

kernel void render_recipe(LV_GRID, LV_TEXTURE(destination), LV_TEXTURE(s0a), LV_TEXTURE(s0b), LV_TEXTURE(s1a),
                          LV_TEXTURE(s1b), LV_TEXTURE(s2a), LV_TEXTURE(s2b), LV_TEXTURE(s3a), LV_TEXTURE(s3b),
                          constant float* code, constant float* parameters, const render_target target)
{
    if (!LV_IN_GRID())
        return;
    int x = target.x0 + (int)get_global_id(0);
    int r = target.r0 + (int)get_global_id(1);
    lv_tex t1 = LV_TEX(s0a), t2 = LV_TEX(s0b), t3 = LV_TEX(s1a), t4 = LV_TEX(s1b);
    lv_tex t5 = LV_TEX(s2a), t6 = LV_TEX(s2b), t7 = LV_TEX(s3a), t8 = LV_TEX(s3b);

    int y_index = target.top_down ? target.height - 1 - r : r;
    float px = target.origin_x + (float)x + 0.5f, py = target.origin_y + (float)y_index + 0.5f;
    float2 points[MAX_STACK];
    float4 colors[MAX_STACK];
    int point_count = 0, count = 0;
    for (int pc = 0;;) {
        int op = (int)code[pc];
        constant float* a = code + pc + 1;
        if (op == OP_END)
            break;
        if (op == OP_SAMPLE) {
            colors[count++] = sample_source(source_at((int)a[0], t1, t2, t3, t4, t5, t6, t7, t8, parameters), px, py);
            pc += 2;
        } else if (op == OP_CONSTANT) {
            colors[count++] = (float4)(a[0], a[1], a[2], a[3]);
            pc += 5;
        } else if (op == OP_PUSH) {
            points[point_count++] = (float2)(px, py);
            pc += 1;
        } else if (op == OP_POP) {
            --point_count;
            px = points[point_count].x;
            py = points[point_count].y;
            pc += 1;
        } else if (op == OP_TRANSFORM) {
            float nx = a[0] * px + a[2] * py + a[4];
            float ny = a[1] * px + a[3] * py + a[5];
            px = nx;
            py = ny;
            pc += 7;
        } else if (op == OP_CLAMP) {
            px = fmin(fmax(px, a[0]), a[2]);
            py = fmin(fmax(py, a[1]), a[3]);
            pc += 5;
        } else if (op == OP_CROP) {
            if (!(px >= a[0] && px < a[2] && py >= a[1] && py < a[3]))
                colors[count - 1] = (float4)(0.0f);
            pc += 5;
        } else if (op == OP_OVER) {
            float4 bg = colors[--count];
            float4 fg = colors[count - 1];
            float k = 1.0f - fg.w;
            colors[count - 1] = (float4)(fg.x + bg.x * k, fg.y + bg.y * k, fg.z + bg.z * k, fg.w + bg.w * k);
            pc += 1;
        } else {
            break;
        }
    }
    float4 c = count > 0 ? colors[0] : (float4)(0.0f);
    lv_tex destination = LV_TEX(destination);
    c = (float4)(clamp01(c.x), clamp01(c.y), clamp01(c.z), clamp01(c.w));
    if (destination.d.format == LV_FORMAT_RGBA8UNORM)
        lv_write_rgba8(destination, x, r, c);
    else
        lv_write_bgra8(destination, x, r, c);
}
