// Included before every library's source. See Platform/Gpu/Gpu.hpp for the binding convention.

// Texture descriptor; must match the host's layout (eight 32-bit words).
typedef struct {
    uint width, height, slices, format;
    uint offset, row_pitch, pixel_pitch, slice_pitch;
} lv_texture_desc;

typedef struct {
    global uchar* data;
    lv_texture_desc d;
} lv_tex;

#define LV_FORMAT_R8UNORM 1
#define LV_FORMAT_RG8UNORM 2
#define LV_FORMAT_RGBA8UNORM 3
#define LV_FORMAT_BGRA8UNORM 4
#define LV_FORMAT_R16UNORM 5
#define LV_FORMAT_RG16UNORM 6
#define LV_FORMAT_R16FLOAT 7
#define LV_FORMAT_RGBA16FLOAT 8
#define LV_FORMAT_R32FLOAT 9
#define LV_FORMAT_RGBA32FLOAT 10

// First kernel argument: the true grid size (x, y, z) of the dispatch.
#define LV_GRID const uint4 lv_grid
// A texture argument (two kernel arguments: the memory and its descriptor).
#define LV_TEXTURE(name) global uchar* name##_lvdata, const lv_texture_desc name##_lvdesc
// The texture argument `name` as one value for the helpers below.
#define LV_TEX(name) lv_make_tex(name##_lvdata, name##_lvdesc)
// True for work items inside the true grid; items outside must still reach every barrier.
#define LV_IN_GRID() (get_global_id(0) < lv_grid.x && get_global_id(1) < lv_grid.y && get_global_id(2) < lv_grid.z)

inline lv_tex lv_make_tex(global uchar* data, lv_texture_desc d)
{
    lv_tex t;
    t.data = data;
    t.d = d;
    return t;
}

inline uint lv_width(lv_tex t) { return t.d.width; }
inline uint lv_height(lv_tex t) { return t.d.height; }
inline uint lv_slices(lv_tex t) { return t.d.slices; }
inline bool lv_inside(lv_tex t, int x, int y) { return x >= 0 && y >= 0 && x < (int)t.d.width && y < (int)t.d.height; }

inline global uchar* lv_texel(lv_tex t, int x, int y, int slice)
{
    return t.data + t.d.offset + (size_t)y * t.d.row_pitch + (size_t)x * t.d.pixel_pitch + (size_t)slice * t.d.slice_pitch;
}

// Half-float slices (rgba16Float): the feature-image format. Loads are vector loads; compute in float.
inline float4 lv_read_half4(lv_tex t, int x, int y, int slice) { return vload_half4(0, (global const half*)lv_texel(t, x, y, slice)); }
inline void lv_write_half4(lv_tex t, int x, int y, int slice, float4 v) { vstore_half4(v, 0, (global half*)lv_texel(t, x, y, slice)); }

// 8-bit colour textures, as (r, g, b, a) in 0...1.
inline float4 lv_read_bgra8(lv_tex t, int x, int y)
{
    uchar4 p = vload4(0, lv_texel(t, x, y, 0));
    return (float4)(p.z, p.y, p.x, p.w) * (1.0f / 255.0f);
}
inline float4 lv_read_rgba8(lv_tex t, int x, int y) { return convert_float4(vload4(0, lv_texel(t, x, y, 0))) * (1.0f / 255.0f); }
inline uchar4 lv_unorm8(float4 v) { return convert_uchar4_sat_rte(v * 255.0f); }
inline void lv_write_bgra8(lv_tex t, int x, int y, float4 v) { vstore4(lv_unorm8(v.zyxw), 0, lv_texel(t, x, y, 0)); }
inline void lv_write_rgba8(lv_tex t, int x, int y, float4 v) { vstore4(lv_unorm8(v), 0, lv_texel(t, x, y, 0)); }

// Any format, as a texture read returns it: missing channels are 0, a missing alpha 1.
inline float4 lv_read(lv_tex t, int x, int y, int slice)
{
    global uchar* p = lv_texel(t, x, y, slice);
    switch (t.d.format) {
    case LV_FORMAT_R8UNORM: return (float4)(p[0] / 255.0f, 0.0f, 0.0f, 1.0f);
    case LV_FORMAT_RG8UNORM: return (float4)(p[0] / 255.0f, p[1] / 255.0f, 0.0f, 1.0f);
    case LV_FORMAT_RGBA8UNORM: return convert_float4(vload4(0, p)) * (1.0f / 255.0f);
    case LV_FORMAT_BGRA8UNORM: { uchar4 c = vload4(0, p); return (float4)(c.z, c.y, c.x, c.w) * (1.0f / 255.0f); }
    case LV_FORMAT_R16UNORM: return (float4)(*(global const ushort*)p / 65535.0f, 0.0f, 0.0f, 1.0f);
    case LV_FORMAT_RG16UNORM: { float2 c = convert_float2(vload2(0, (global const ushort*)p)) / 65535.0f; return (float4)(c, 0.0f, 1.0f); }
    case LV_FORMAT_R16FLOAT: return (float4)(vload_half(0, (global const half*)p), 0.0f, 0.0f, 1.0f);
    case LV_FORMAT_RGBA16FLOAT: return vload_half4(0, (global const half*)p);
    case LV_FORMAT_R32FLOAT: return (float4)(*(global const float*)p, 0.0f, 0.0f, 1.0f);
    case LV_FORMAT_RGBA32FLOAT: return vload4(0, (global const float*)p);
    }
    return (float4)(0.0f);
}

inline void lv_write(lv_tex t, int x, int y, int slice, float4 v)
{
    global uchar* p = lv_texel(t, x, y, slice);
    switch (t.d.format) {
    case LV_FORMAT_R8UNORM: p[0] = lv_unorm8(v).x; break;
    case LV_FORMAT_RG8UNORM: vstore2(lv_unorm8(v).xy, 0, p); break;
    case LV_FORMAT_RGBA8UNORM: vstore4(lv_unorm8(v), 0, p); break;
    case LV_FORMAT_BGRA8UNORM: vstore4(lv_unorm8(v.zyxw), 0, p); break;
    case LV_FORMAT_R16UNORM: *(global ushort*)p = convert_ushort_sat_rte(v.x * 65535.0f); break;
    case LV_FORMAT_RG16UNORM: vstore2(convert_ushort2_sat_rte(v.xy * 65535.0f), 0, (global ushort*)p); break;
    case LV_FORMAT_R16FLOAT: vstore_half(v.x, 0, (global half*)p); break;
    case LV_FORMAT_RGBA16FLOAT: vstore_half4(v, 0, (global half*)p); break;
    case LV_FORMAT_R32FLOAT: *(global float*)p = v.x; break;
    case LV_FORMAT_RGBA32FLOAT: vstore4(v, 0, (global float*)p); break;
    }
}

// SIMD groups: 32-item slices of a work group (whose size must be a multiple of 32). The
// exchange helpers go through local memory and contain barriers, so every work item of the work
// group must call them, the same number of times; `scratch` holds one element per work item.
#define LV_SIMD_WIDTH 32

inline uint lv_local_index(void)
{
    return ((uint)get_local_id(2) * (uint)get_local_size(1) + (uint)get_local_id(1)) * (uint)get_local_size(0) + (uint)get_local_id(0);
}
inline uint lv_local_count(void) { return (uint)(get_local_size(0) * get_local_size(1) * get_local_size(2)); }
inline uint lv_simd_lane(void) { return lv_local_index() & 31u; }
inline uint lv_simd_group(void) { return lv_local_index() >> 5; }
inline uint lv_simd_groups(void) { return lv_local_count() >> 5; }

// The value of `lane` of the caller's SIMD group.
inline float lv_simd_shuffle(float v, uint lane, local float* scratch)
{
    uint i = lv_local_index();
    scratch[i] = v;
    barrier(CLK_LOCAL_MEM_FENCE);
    float r = scratch[(i & ~31u) + (lane & 31u)];
    barrier(CLK_LOCAL_MEM_FENCE);
    return r;
}
inline float4 lv_simd_shuffle4(float4 v, uint lane, local float4* scratch)
{
    uint i = lv_local_index();
    scratch[i] = v;
    barrier(CLK_LOCAL_MEM_FENCE);
    float4 r = scratch[(i & ~31u) + (lane & 31u)];
    barrier(CLK_LOCAL_MEM_FENCE);
    return r;
}
inline float lv_simd_shuffle_xor(float v, uint mask, local float* scratch) { return lv_simd_shuffle(v, lv_simd_lane() ^ mask, scratch); }
inline float lv_simd_broadcast(float v, uint lane, local float* scratch) { return lv_simd_shuffle(v, lane, scratch); }

// Sum and maximum over the caller's SIMD group, returned to every lane.
inline float lv_simd_sum(float v, local float* scratch)
{
    uint i = lv_local_index();
    scratch[i] = v;
    barrier(CLK_LOCAL_MEM_FENCE);
    local const float* g = scratch + (i & ~31u);
    float s = 0.0f;
    for (int k = 0; k < 32; ++k) s += g[k];
    barrier(CLK_LOCAL_MEM_FENCE);
    return s;
}
inline float4 lv_simd_sum4(float4 v, local float4* scratch)
{
    uint i = lv_local_index();
    scratch[i] = v;
    barrier(CLK_LOCAL_MEM_FENCE);
    local const float4* g = scratch + (i & ~31u);
    float4 s = (float4)(0.0f);
    for (int k = 0; k < 32; ++k) s += g[k];
    barrier(CLK_LOCAL_MEM_FENCE);
    return s;
}
inline float lv_simd_max(float v, local float* scratch)
{
    uint i = lv_local_index();
    scratch[i] = v;
    barrier(CLK_LOCAL_MEM_FENCE);
    local const float* g = scratch + (i & ~31u);
    float m = g[0];
    for (int k = 1; k < 32; ++k) m = fmax(m, g[k]);
    barrier(CLK_LOCAL_MEM_FENCE);
    return m;
}
