// Kernels of the model runtime: everything a network needs besides the convolutions the GPU
// layer provides and those of ConvBlocked.cl. Values are feature images (rgba16Float, four
// channels per slice); channels past a value's count are kept at zero, because a following
// convolution multiplies them.
// Grids are (width, height, slices) of the image written unless a kernel says otherwise.
//
// Macros: ACTIVATION (0 ReLU, 1 leaky ReLU, 2 PReLU, 3 sigmoid, 4 SiLU) for lv_ml_activation;
// BINARY (0 add, 1 multiply) for lv_ml_binary.

inline float lv_ml_channel(lv_tex t, int x, int y, int c)
{
    return vload_half(c & 3, (global const half*)lv_texel(t, x, y, c >> 2));
}

// Keeps lanes at or past `channels` zero.
inline float4 lv_ml_mask(float4 v, int slice, int channels)
{
    const int4 lane = (int4)(0, 1, 2, 3) + slice * 4;
    return select((float4)(0.0f), v, lane < (int4)(channels));
}

// BGRA pixels to the three-channel input: scale * byte + bias. params.x: 1 for BGR order.
kernel void lv_ml_from_bgra(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), const int4 params, const float4 scaleBias,
                            const float4 bias)
{
    if (!LV_IN_GRID()) return;
    lv_tex s = LV_TEX(source);
    lv_tex d = LV_TEX(destination);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1);
    const float4 rgba = lv_read_bgra8(s, x, y) * 255.0f;
    const float3 ordered = params.x ? rgba.zyx : rgba.xyz;
    lv_write_half4(d, x, y, 0, (float4)(ordered * scaleBias.x + bias.xyz, 0.0f));
}

// Three channels to BGRA pixels, rounded and clamped; alpha opaque. params.x: 1 for BGR order.
kernel void lv_ml_to_bgra(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), const int4 params)
{
    if (!LV_IN_GRID()) return;
    lv_tex s = LV_TEX(source);
    lv_tex d = LV_TEX(destination);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1);
    const float4 v = lv_read_half4(s, x, y, 0);
    const float3 rgb = params.x ? v.zyx : v.xyz;
    // Not-a-number becomes 0, as on the CPU.
    const uchar4 bgra = (uchar4)(convert_uchar_sat(rgb.z + 0.5f), convert_uchar_sat(rgb.y + 0.5f), convert_uchar_sat(rgb.x + 0.5f), 255);
    vstore4(bgra, 0, lv_texel(d, x, y, 0));
}

#ifdef ACTIVATION
// params.x: channels; alpha.x: leaky slope.
kernel void lv_ml_activation(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), global const float* slopes, const int4 params,
                             const float4 alpha)
{
    if (!LV_IN_GRID()) return;
    lv_tex s = LV_TEX(source);
    lv_tex d = LV_TEX(destination);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1), slice = (int)get_global_id(2);
    const float4 v = lv_read_half4(s, x, y, slice);
#if ACTIVATION == 0
    float4 r = fmax(v, (float4)(0.0f));
#elif ACTIVATION == 1
    float4 r = select(v * alpha.x, v, v >= (float4)(0.0f));
#elif ACTIVATION == 2
    float4 r = select(v * vload4(slice, slopes), v, v >= (float4)(0.0f));
#elif ACTIVATION == 3
    float4 r = 1.0f / (1.0f + exp(-v));
#else
    float4 r = v / (1.0f + exp(-v));
#endif
    lv_write_half4(d, x, y, slice, lv_ml_mask(r, slice, params.x));
}
#endif

#ifdef BINARY
// out = a op b, each operand broadcast where its extent is 1. A constant b comes as a buffer
// (CHW floats) when the texture b is not bound. shapeA, shapeB: (channels, height, width);
// params.x: output channels; params.y: 1 when both are values of the output's shape.
inline float lv_ml_operand(lv_tex t, global const float* table, int4 shape, int c, int y, int x)
{
    c = shape.x == 1 ? 0 : c;
    y = shape.y == 1 ? 0 : y;
    x = shape.z == 1 ? 0 : x;
    if (t.data) return lv_ml_channel(t, x, y, c);
    return table[(c * shape.y + y) * shape.z + x];
}

inline float4 lv_ml_apply(float4 a, float4 b)
{
#if BINARY == 0
    return a + b;
#else
    return a * b;
#endif
}

kernel void lv_ml_binary(LV_GRID, LV_TEXTURE(a), LV_TEXTURE(b), LV_TEXTURE(destination), global const float* table,
                         const int4 shapeA, const int4 shapeB, const int4 params)
{
    if (!LV_IN_GRID()) return;
    lv_tex ta = LV_TEX(a);
    lv_tex tb = LV_TEX(b);
    lv_tex d = LV_TEX(destination);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1), slice = (int)get_global_id(2);
    float4 r;
    if (params.y) {
        r = lv_ml_apply(lv_read_half4(ta, x, y, slice), lv_read_half4(tb, x, y, slice));
    } else {
        float ea[4], eb[4];
        for (int l = 0; l < 4; ++l) {
            const int c = min(slice * 4 + l, params.x - 1);
            ea[l] = lv_ml_operand(ta, 0, shapeA, c, y, x);
            eb[l] = lv_ml_operand(tb, table, shapeB, c, y, x);
        }
        r = lv_ml_apply((float4)(ea[0], ea[1], ea[2], ea[3]), (float4)(eb[0], eb[1], eb[2], eb[3]));
    }
    lv_write_half4(d, x, y, slice, lv_ml_mask(r, slice, params.x));
}
#endif

// params: factor, order (0 pixel shuffle, 1 depth to space), output channels.
kernel void lv_ml_pixel_shuffle(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), const int4 params)
{
    if (!LV_IN_GRID()) return;
    lv_tex s = LV_TEX(source);
    lv_tex d = LV_TEX(destination);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1), slice = (int)get_global_id(2);
    const int r = params.x, channels = params.z;
    const int i = y % r, j = x % r;
    float e[4];
    for (int l = 0; l < 4; ++l) {
        const int c = min(slice * 4 + l, channels - 1);
        const int sc = params.y == 0 ? c * r * r + i * r + j : (i * r + j) * channels + c;
        e[l] = lv_ml_channel(s, x / r, y / r, sc);
    }
    lv_write_half4(d, x, y, slice, lv_ml_mask((float4)(e[0], e[1], e[2], e[3]), slice, channels));
}

inline float lv_ml_source_coordinate(int sampling, int i, int n, int m)
{
    float g;
    if (sampling == 0)
        g = m > 1 ? (float)i * (float)(n - 1) / (float)(m - 1) : 0.0f;
    else if (sampling == 1)
        g = ((float)i + 0.5f) * (float)n / (float)m - 0.5f;
    else
        g = (float)i * (float)n / (float)m;
    return clamp(g, 0.0f, (float)(n - 1));
}

// params: bilinear, sampling (0 align corners, 1 half pixel, 2 asymmetric); scale: (y, x).
kernel void lv_ml_upsample(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), const int4 params, const float4 scale)
{
    if (!LV_IN_GRID()) return;
    lv_tex s = LV_TEX(source);
    lv_tex d = LV_TEX(destination);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1), slice = (int)get_global_id(2);
    const int W = (int)s.d.width, H = (int)s.d.height;
    float4 r;
    if (!params.x) {
        const int sy = min(H - 1, (int)floor((float)y / scale.x));
        const int sx = min(W - 1, (int)floor((float)x / scale.y));
        r = lv_read_half4(s, sx, sy, slice);
    } else {
        const float gy = lv_ml_source_coordinate(params.y, y, H, (int)d.d.height);
        const float gx = lv_ml_source_coordinate(params.y, x, W, (int)d.d.width);
        const int y0 = (int)gy, x0 = (int)gx;
        const int y1 = min(y0 + 1, H - 1), x1 = min(x0 + 1, W - 1);
        const float fy = gy - (float)y0, fx = gx - (float)x0;
        const float4 top = lv_read_half4(s, x0, y0, slice) * (1.0f - fx) + lv_read_half4(s, x1, y0, slice) * fx;
        const float4 bottom = lv_read_half4(s, x0, y1, slice) * (1.0f - fx) + lv_read_half4(s, x1, y1, slice) * fx;
        r = top * (1.0f - fy) + bottom * fy;
    }
    lv_write_half4(d, x, y, slice, r);
}

inline int lv_ml_pad_source(int mode, int i, int n)
{
    if (i >= 0 && i < n) return i;
    if (mode == 2) return clamp(i, 0, n - 1);
    return i < 0 ? -i : 2 * (n - 1) - i;
}

// params: top, left, mode (0 constant, 1 reflect, 2 replicate), channels; value.x: the constant.
kernel void lv_ml_pad(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), const int4 params, const float4 value)
{
    if (!LV_IN_GRID()) return;
    lv_tex s = LV_TEX(source);
    lv_tex d = LV_TEX(destination);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1), slice = (int)get_global_id(2);
    const int sy = y - params.x, sx = x - params.y;
    const int W = (int)s.d.width, H = (int)s.d.height;
    float4 r;
    if (sx >= 0 && sy >= 0 && sx < W && sy < H)
        r = lv_read_half4(s, sx, sy, slice);
    else if (params.z == 0)
        r = (float4)(value.x);
    else
        r = lv_read_half4(s, lv_ml_pad_source(params.z, sx, W), lv_ml_pad_source(params.z, sy, H), slice);
    lv_write_half4(d, x, y, slice, lv_ml_mask(r, slice, params.w));
}

// Copies a strided region of some source channels into a channel range of the destination:
// destination channel dc0 + k, pixel (dx + x, dy + y) takes source channel map[k], pixel
// (sx + x * stepX, sy + y * stepY). Grid: (region width, region height, slices touched from
// slice dc0 / 4). Lanes outside the range keep their value; lanes past `channels` become zero.
// region: dx, dy, sx, sy; steps: stepX, stepY, dc0, count; params.x: destination channels.
kernel void lv_ml_copy(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), global const int* map, const int4 region,
                       const int4 steps, const int4 params)
{
    if (!LV_IN_GRID()) return;
    lv_tex s = LV_TEX(source);
    lv_tex d = LV_TEX(destination);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1);
    const int slice = steps.z / 4 + (int)get_global_id(2);
    const int dx = region.x + x, dy = region.y + y;
    const int sx = region.z + x * steps.x, sy = region.w + y * steps.y;
    float4 old = lv_read_half4(d, dx, dy, slice);
    float e[4] = {old.x, old.y, old.z, old.w};
    for (int l = 0; l < 4; ++l) {
        const int k = slice * 4 + l - steps.z;
        if (k >= 0 && k < steps.w) e[l] = lv_ml_channel(s, sx, sy, map[k]);
    }
    lv_write_half4(d, dx, dy, slice, lv_ml_mask((float4)(e[0], e[1], e[2], e[3]), slice, params.x));
}

// Any convolution the GPU layer's does not run (even kernels, strides, dilation, groups):
// four output channels per work item.
// shape: kernel height, kernel width, input channels per group, output channels per group;
// stride: (y, x, dilation y, dilation x); pad: (top, left, output channels, 0).
kernel void lv_ml_convolution(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), global const float* weights,
                              global const float* bias, const int4 shape, const int4 stride, const int4 pad)
{
    if (!LV_IN_GRID()) return;
    lv_tex s = LV_TEX(source);
    lv_tex d = LV_TEX(destination);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1), slice = (int)get_global_id(2);
    const int KH = shape.x, KW = shape.y, inPerGroup = shape.z, outPerGroup = shape.w;
    const int W = (int)s.d.width, H = (int)s.d.height, channels = pad.z;
    float e[4];
    for (int l = 0; l < 4; ++l) {
        const int o = slice * 4 + l;
        if (o >= channels) {
            e[l] = 0.0f;
            continue;
        }
        const int g = o / outPerGroup;
        float sum = bias[o];
        for (int i = 0; i < inPerGroup; ++i) {
            const int c = g * inPerGroup + i;
            for (int ky = 0; ky < KH; ++ky) {
                const int sy = y * stride.x + ky * stride.z - pad.x;
                if (sy < 0 || sy >= H) continue;
                for (int kx = 0; kx < KW; ++kx) {
                    const int sx = x * stride.y + kx * stride.w - pad.y;
                    if (sx < 0 || sx >= W) continue;
                    sum = fma(weights[((o * inPerGroup + i) * KH + ky) * KW + kx], lv_ml_channel(s, sx, sy, c), sum);
                }
            }
        }
        e[l] = sum;
    }
    lv_write_half4(d, x, y, slice, (float4)(e[0], e[1], e[2], e[3]));
}
