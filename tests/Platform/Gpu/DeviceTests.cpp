#include "GpuTestSupport.hpp"

#include "Platform/Video/PixelBuffer.h"

namespace lumavane::gpu::testing {
namespace {

using DeviceTests = GpuTest;

TEST_F(DeviceTests, TheDefaultDeviceIsSharedAndProfilesChangeOnlyTheAnswers) {
    EXPECT_EQ(Device::systemDefault(), device);
    EXPECT_LE(device->maxThreadgroupMemoryLength(), 32768u);
    // CPU devices claim the Apple families whose kernels were measured fastest there.
    EXPECT_EQ(device->supportsFamily(GPUFamily::apple7), device->isCPU());

    DeviceProfile profile;
    profile.families = {GPUFamily::apple7};
    profile.name = "Test GPU";
    profile.maxThreadgroupMemoryLength = 1024;
    auto apple7 = Device::withProfile(profile);
    ASSERT_TRUE(apple7);
    EXPECT_NE(apple7, device);
    EXPECT_EQ(apple7->name(), "Test GPU");
    EXPECT_TRUE(apple7->supportsFamily(GPUFamily::apple7));
    EXPECT_FALSE(apple7->supportsFamily(GPUFamily::apple8));
    EXPECT_EQ(apple7->maxThreadgroupMemoryLength(), 1024u);

    // Same OpenCL device underneath: it runs kernels all the same.
    auto buffer = apple7->newBuffer(16);
    auto q = apple7->newCommandQueue();
    auto commands = q->commandBuffer();
    auto blit = commands->blitCommandEncoder();
    blit->fillBuffer(buffer, 0, 16, 7);
    blit->endEncoding();
    commands->commit();
    commands->waitUntilCompleted();
    EXPECT_EQ(static_cast<unsigned char*>(buffer->contents())[15], 7);
}

TEST_F(DeviceTests, BuffersAreZeroedSharedAndCounted) {
    auto fresh = Device::withProfile(DeviceProfile::defaultFor(true));
    EXPECT_EQ(fresh->currentAllocatedSize(), 0u);
    {
        const float values[3] = {1, 2, 3};
        auto buffer = fresh->newBuffer(values, sizeof values);
        ASSERT_TRUE(buffer);
        EXPECT_EQ(buffer->length(), sizeof values);
        EXPECT_EQ(static_cast<float*>(buffer->contents())[2], 3.0f);
        auto empty = fresh->newBuffer(10000);
        EXPECT_EQ(static_cast<unsigned char*>(empty->contents())[9999], 0);
        EXPECT_GE(fresh->currentAllocatedSize(), 10000u + sizeof values);
        EXPECT_FALSE(fresh->newBuffer(0));
    }
    EXPECT_EQ(fresh->currentAllocatedSize(), 0u);
}

TEST_F(DeviceTests, TexturesReportTheirShapeAndAllocation) {
    TextureDescriptor d;
    d.textureType = TextureType::type2DArray;
    d.pixelFormat = PixelFormat::rgba16Float;
    d.width = 33;
    d.height = 7;
    d.arrayLength = 6;
    auto array = device->newTexture(d);
    ASSERT_TRUE(array);
    EXPECT_GE(array->allocatedSize(), 33u * 7 * 6 * 8);
    EXPECT_EQ(array->layout().slicePitch, 8u); // slices of a pixel side by side
    auto other = device->newTexture(d);
    EXPECT_NE(array->identity(), other->identity());

    EXPECT_FALSE(device->newTexture(TextureDescriptor::texture2D(PixelFormat::invalid, 4, 4)));
    EXPECT_FALSE(device->newTexture(TextureDescriptor::texture2D(PixelFormat::bgra8Unorm, 0, 4)));
    d.textureType = TextureType::type2D; // a 2-D texture has one slice
    EXPECT_FALSE(device->newTexture(d));
}

TEST_F(DeviceTests, LinearTextureViewsShareTheBuffer) {
    auto buffer = device->newBuffer(64 * 4 + 16);
    auto view = buffer->newTexture(TextureDescriptor::texture2D(PixelFormat::rgba8Unorm, 4, 4), 16, 64);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->allocatedSize(), 0u);
    static_cast<unsigned char*>(buffer->contents())[16 + 64 * 2 + 4 * 3] = 99;
    uint8_t pixel[4];
    view->getBytes(pixel, 4, {{3, 2, 0}, {1, 1, 1}}, 0);
    EXPECT_EQ(pixel[0], 99);
    // Misaligned rows, misaligned offsets and rows past the end are refused.
    EXPECT_FALSE(buffer->newTexture(TextureDescriptor::texture2D(PixelFormat::rgba8Unorm, 4, 4), 16, 20));
    EXPECT_FALSE(buffer->newTexture(TextureDescriptor::texture2D(PixelFormat::rgba8Unorm, 4, 4), 8, 64));
    EXPECT_FALSE(buffer->newTexture(TextureDescriptor::texture2D(PixelFormat::rgba8Unorm, 4, 5), 16, 64));
}

const char* const kInvert = R"(
kernel void invert(LV_GRID, LV_TEXTURE(image)) {
    if (!LV_IN_GRID()) return;
    lv_tex t = LV_TEX(image);
    int x = get_global_id(0), y = get_global_id(1);
    float4 c = lv_read(t, x, y, 0);
    lv_write(t, x, y, 0, (float4)(1.0f - c.xyz, c.w));
}
)";

TEST_F(DeviceTests, PixelBufferTexturesAreZeroCopyBothWays) {
    lv_pixel_buffer* pixels = nullptr;
    ASSERT_EQ(lv_pixel_buffer_create(37, 5, LV_PIXEL_FORMAT_32BGRA, &pixels), LV_PIXEL_BUFFER_SUCCESS);
    auto texture = device->newTextureOverPixelBuffer(pixels, 0, PixelFormat::bgra8Unorm);
    ASSERT_TRUE(texture);
    EXPECT_EQ(texture->width(), 37u);
    EXPECT_EQ(texture->pixelBuffer(), pixels);
    EXPECT_EQ(texture->buffer()->contents(), lv_pixel_buffer_get_base_address(pixels));

    // Written through the pixel buffer, inverted by a kernel through the texture, read back
    // through the pixel buffer.
    auto* base = static_cast<unsigned char*>(lv_pixel_buffer_get_base_address(pixels));
    size_t row = lv_pixel_buffer_get_bytes_per_row(pixels);
    base[row * 4 + 36 * 4 + 0] = 10;  // B
    base[row * 4 + 36 * 4 + 2] = 200; // R
    runDispatch(pipeline(kInvert, "invert"), {37, 5, 1}, {8, 8, 1}, {}, {texture});
    EXPECT_EQ(base[row * 4 + 36 * 4 + 0], 245);
    EXPECT_EQ(base[row * 4 + 36 * 4 + 2], 55);
    EXPECT_EQ(base[0], 255);

    // The texture keeps the pixel buffer alive.
    lv_pixel_buffer_release(pixels);
    EXPECT_EQ(lv_pixel_buffer_get_width(texture->pixelBuffer()), 37u);
    size_t live = lv_pixel_buffer_live_count();
    texture.reset();
    EXPECT_EQ(lv_pixel_buffer_live_count(), live - 1);
}

TEST_F(DeviceTests, BiPlanarPlanesAndWrongFormats) {
    lv_pixel_buffer* pixels = nullptr;
    ASSERT_EQ(lv_pixel_buffer_create(16, 8, LV_PIXEL_FORMAT_420V, &pixels), LV_PIXEL_BUFFER_SUCCESS);
    auto luma = device->newTextureOverPixelBuffer(pixels, 0, PixelFormat::r8Unorm);
    auto chroma = device->newTextureOverPixelBuffer(pixels, 1, PixelFormat::rg8Unorm);
    ASSERT_TRUE(luma && chroma);
    EXPECT_EQ(chroma->width(), 8u);
    EXPECT_EQ(chroma->height(), 4u);
    EXPECT_FALSE(device->newTextureOverPixelBuffer(pixels, 0, PixelFormat::bgra8Unorm));

    // The chroma plane lies inside the allocation: a kernel sees and changes its memory.
    auto* plane = static_cast<unsigned char*>(lv_pixel_buffer_get_base_address_of_plane(pixels, 1));
    size_t row = lv_pixel_buffer_get_bytes_per_row_of_plane(pixels, 1);
    auto* luma0 = static_cast<unsigned char*>(lv_pixel_buffer_get_base_address_of_plane(pixels, 0));
    luma0[0] = 77;
    std::memset(plane, 0, row * 4);
    plane[row * 3 + 7 * 2] = 10;
    plane[row * 3 + 7 * 2 + 1] = 200;
    runDispatch(pipeline(kInvert, "invert"), {8, 4, 1}, {8, 1, 1}, {}, {chroma});
    EXPECT_EQ(plane[row * 3 + 7 * 2], 245);
    EXPECT_EQ(plane[row * 3 + 7 * 2 + 1], 55);
    EXPECT_EQ(plane[0], 255);
    EXPECT_EQ(luma0[0], 77) << "luma untouched";
    EXPECT_FALSE(device->newTextureOverPixelBuffer(pixels, 2, PixelFormat::r8Unorm));
    lv_pixel_buffer_release(pixels);
}

} // namespace
} // namespace lumavane::gpu::testing
