#include "GpuTestSupport.hpp"

#include <cmath>

namespace lumavane::gpu::testing {
namespace {

using KernelHelperTests = GpuTest;

// Copies every texel of one texture into another through lv_read/lv_write (any formats), and
// writes what it read as floats.
const char* const kConvert = R"(
kernel void convert(LV_GRID, LV_TEXTURE(from), LV_TEXTURE(to), global float4* seen) {
    if (!LV_IN_GRID()) return;
    lv_tex a = LV_TEX(from), b = LV_TEX(to);
    int x = get_global_id(0), y = get_global_id(1), s = get_global_id(2);
    float4 v = lv_read(a, x, y, s);
    seen[(s * lv_grid.y + y) * lv_grid.x + x] = v;
    lv_write(b, x, y, s, v);
}
)";

struct FormatCase {
    PixelFormat format;
    std::vector<uint8_t> texel;  // bytes of one texel
    std::vector<float> expected; // what a read returns
};

TEST_F(KernelHelperTests, ReadsAndWritesEveryFormat) {
    auto convert = pipeline(kConvert, "convert");
    const std::vector<FormatCase> cases = {
        {PixelFormat::r8Unorm, {51}, {0.2f, 0, 0, 1}},
        {PixelFormat::rg8Unorm, {51, 255}, {0.2f, 1, 0, 1}},
        {PixelFormat::rgba8Unorm, {0, 51, 102, 255}, {0, 0.2f, 0.4f, 1}},
        {PixelFormat::bgra8Unorm, {0, 51, 102, 255}, {0.4f, 0.2f, 0, 1}},
        {PixelFormat::r16Unorm, {0xff, 0xff}, {1, 0, 0, 1}},
        {PixelFormat::rg16Unorm, {0, 0, 0xff, 0xff}, {0, 1, 0, 1}},
        {PixelFormat::r16Float, {0x00, 0x3c}, {1, 0, 0, 1}},
        {PixelFormat::rgba16Float, {0x00, 0x3c, 0x00, 0xc0, 0x00, 0x38, 0x00, 0x00}, {1, -2, 0.5f, 0}},
        {PixelFormat::r32Float, {0, 0, 0x80, 0x3f}, {1, 0, 0, 1}},
        {PixelFormat::rgba32Float,
         {0, 0, 0x80, 0x3f, 0, 0, 0, 0xc0, 0, 0, 0, 0x3f, 0, 0, 0, 0},
         {1, -2, 0.5f, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(pixelFormatName(c.format));
        TextureDescriptor d;
        d.textureType = TextureType::type2DArray;
        d.pixelFormat = c.format;
        d.width = 3;
        d.height = 2;
        d.arrayLength = 2;
        auto from = device->newTexture(d), to = device->newTexture(d);
        for (size_t s = 0; s < 2; ++s)
            for (size_t y = 0; y < 2; ++y)
                for (size_t x = 0; x < 3; ++x)
                    from->replaceRegion({{x, y, 0}, {1, 1, 1}}, s, c.texel.data(), c.texel.size());
        auto seen = device->newBuffer(sizeof(float) * 4 * 12);
        runDispatch(convert, {3, 2, 2}, {4, 2, 1}, {seen}, {from, to});
        const float* v = static_cast<const float*>(seen->contents());
        for (int i = 0; i < 12; ++i)
            for (int k = 0; k < 4; ++k)
                ASSERT_NEAR(v[i * 4 + k], c.expected[k], 1e-3) << "texel " << i << " channel " << k;
        std::vector<uint8_t> back(c.texel.size());
        to->getBytes(back.data(), back.size(), {{2, 1, 0}, {1, 1, 1}}, 1);
        EXPECT_EQ(back, c.texel);
    }
}

// SIMD-group helpers in a work group of 96 items (three SIMD groups) over a grid that does not
// fill the last group: items outside the grid still take part in the exchanges.
const char* const kSimd = R"(
kernel void simd(LV_GRID, global float* out) {
    local float scratch[96];
    local float4 scratch4[96];
    float lane = lv_simd_lane();
    float group = lv_simd_group();
    float v = group * 100.0f + lane;
    float shuffled = lv_simd_shuffle(v, 31u - lv_simd_lane(), scratch);
    float xored = lv_simd_shuffle_xor(v, 1u, scratch);
    float broadcast = lv_simd_broadcast(v, 5u, scratch);
    float sum = lv_simd_sum(v, scratch);
    float maximum = lv_simd_max(-v, scratch);
    float4 sum4 = lv_simd_sum4((float4)(v, 1.0f, 0.0f, -v), scratch4);
    if (!LV_IN_GRID()) return;
    global float* o = out + get_global_id(0) * 8;
    o[0] = shuffled; o[1] = xored; o[2] = broadcast; o[3] = sum; o[4] = maximum;
    o[5] = sum4.y; o[6] = sum4.w; o[7] = lv_simd_groups();
}
)";

TEST_F(KernelHelperTests, SimdGroupExchangesWithinThirtyTwoItemSlices) {
    auto simd = pipeline(kSimd, "simd");
    EXPECT_EQ(simd->threadExecutionWidth(), 32u);
    auto out = device->newBuffer(sizeof(float) * 8 * 192);
    runDispatch(simd, {150, 1, 1}, {96, 1, 1}, {out});
    const float* o = static_cast<const float*>(out->contents());
    for (int item = 0; item < 150; ++item) {
        int local = item % 96, lane = local % 32, group = local / 32;
        float base = group * 100.0f;
        const float* r = o + item * 8;
        ASSERT_EQ(r[0], base + (31 - lane)) << item;
        ASSERT_EQ(r[1], base + (lane ^ 1)) << item;
        ASSERT_EQ(r[2], base + 5) << item;
        ASSERT_EQ(r[3], base * 32 + 496) << item;
        ASSERT_EQ(r[4], -base) << item;
        ASSERT_EQ(r[5], 32) << item;
        ASSERT_EQ(r[6], -(base * 32 + 496)) << item;
        ASSERT_EQ(r[7], 3) << item;
    }
}

} // namespace
} // namespace lumavane::gpu::testing
