#include "EnhancementCore/EnhancementError.hpp"
#include "EnhancementCore/EnhancerBuffers.hpp"
#include "EnhancementCore/MessageOf.hpp"
#include "EnhancementCore/MetalBufferView.hpp"
#include "EnhancementCore/MetalTileComposer.hpp"
#include "Platform/Gpu/Gpu.hpp"
#include "Platform/Image/Image.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <thread>
#include <vector>

using namespace lumavane;
using lumavane::testing::messageOf;

namespace {

std::uint8_t* pixel(const PixelBuffer& buffer, int x, int row) {
    return static_cast<std::uint8_t*>(buffer.baseAddress(0)) + std::size_t(row) * buffer.bytesPerRow(0) +
           4 * x;
}

} // namespace

TEST(EnhancerBufferTest, MakesBGRABuffersOrSaysWhy) {
    const PixelBuffer buffer = enhancerBuffer(48, 20);
    EXPECT_EQ(buffer.pixelFormat(), std::uint32_t(LV_PIXEL_FORMAT_32BGRA));
    EXPECT_EQ(buffer.width(), 48u);
    EXPECT_EQ(buffer.height(), 20u);
    EXPECT_EQ(messageOf([] { enhancerBuffer(0, 10); }), "画像用メモリを確保できませんでした（-6661）。");
    EXPECT_EQ(messageOf([] { enhancerBuffer(-5, 10); }), "画像用メモリを確保できませんでした（-6661）。");
    // Far too large: the status of the failed allocation, as a decimal number.
    const std::string huge = messageOf([] { enhancerBuffer(1 << 30, 1 << 30); });
    EXPECT_TRUE(huge.starts_with("画像用メモリを確保できませんでした（-66")) << huge;
    EXPECT_TRUE(huge.ends_with("）。"));
}

TEST(EnhancerOutputPoolTest, RebuildsOnlyWhenTheSizeChangesAndReusesOnlyReleasedFrames) {
    EnhancerOutputPool pools;
    EXPECT_FALSE(pools.outputPool());
    pools.pooledOutput(32, 16);
    const lv_pixel_buffer_pool* first = pools.outputPool().get();
    pools.pooledOutput(32, 16);
    EXPECT_EQ(pools.outputPool().get(), first);
    EXPECT_EQ(pools.pooledOutput(16, 32).width(), 16u);
    EXPECT_NE(pools.outputPool().get(), first);
    // A pool that cannot be made leaves the old one in place.
    const lv_pixel_buffer_pool* current = pools.outputPool().get();
    EXPECT_EQ(messageOf([&] { pools.pooledOutput(0, 16); }), "出力バッファプールを作成できません。");
    EXPECT_EQ(pools.outputPool().get(), current);
    EXPECT_EQ(pools.outputPoolSize(), (image::Size{16, 32}));

    // The image made from a frame holds it, as the returned result does; without a threshold the
    // pool grows while frames are held.
    std::optional<image::Image> held;
    const lv_pixel_buffer* heldBuffer = nullptr;
    {
        const PixelBuffer frame = pools.pooledOutput(16, 32);
        heldBuffer = frame.get();
        held = image::Image::fromPixelBuffer(frame);
    }
    std::vector<PixelBuffer> more;
    for (int i = 0; i < 8; ++i) {
        more.push_back(pools.pooledOutput(16, 32));
        EXPECT_NE(more.back().get(), heldBuffer); // the held one is not handed out again
    }
    EXPECT_EQ(pools.outputPool().outstandingCount(), 9u);
    more.clear();
    held.reset();
    EXPECT_EQ(pools.outputPool().outstandingCount(), 0u);

    // With a threshold of six the seventh frame is refused, and a released one comes back.
    EnhancerOutputPool six(6);
    std::vector<PixelBuffer> frames;
    for (int i = 0; i < 6; ++i) frames.push_back(six.pooledOutput(16, 8));
    EXPECT_EQ(messageOf([&] { six.pooledOutput(16, 8); }), "出力バッファを取得できません。");
    lv_pixel_buffer* freed = frames.back().get();
    frames.pop_back();
    EXPECT_EQ(six.pooledOutput(16, 8).get(), freed);
}

class MetalTileComposerTest : public ::testing::Test {
protected:
    void SetUp() override {
        device = gpu::Device::systemDefault();
        ASSERT_TRUE(device);
        composer.emplace(device);
    }

    std::shared_ptr<gpu::Device> device;
    std::optional<MetalTileComposer> composer;
};

TEST_F(MetalTileComposerTest, ViewsShareThePixelBuffersMemory) {
    const PixelBuffer buffer = enhancerBuffer(20, 10);
    const MetalBufferView view(buffer, *composer->cache());
    ASSERT_TRUE(view.texture());
    EXPECT_EQ(view.texture()->pixelFormat(), gpu::PixelFormat::bgra8Unorm);
    EXPECT_EQ(view.texture()->width(), 20u);
    EXPECT_EQ(view.texture()->height(), 10u);
    EXPECT_EQ(view.buffer(), buffer);
    pixel(buffer, 3, 2)[1] = 99;
    std::uint8_t got[4];
    view.texture()->getBytes(got, 4, {{3, 2, 0}, {1, 1, 1}}, 0);
    EXPECT_EQ(got[1], 99);

    const PixelBuffer yuv = PixelBuffer::create(8, 8, LV_PIXEL_FORMAT_420V);
    EXPECT_EQ(messageOf([&] { MetalBufferView(yuv, *composer->cache()); }),
              "ピクセルバッファをGPUテクスチャとして共有できません（-6680）。");
    EXPECT_EQ(messageOf([] { MetalTileComposer(nullptr); }), "GPU合成用のリソースを確保できません。");
}

// Tiles of a plan (frame W × H, tile T × T, padding P) whose outputs hold, at every
// pixel, the colour that belongs at that output position: after all copies the
// frame must hold f everywhere, the right way up.
TEST_F(MetalTileComposerTest, TilesLandWhereTheirContentBelongs) {
    const int W = 10, H = 7, T = 6, P = 1, S = 2, step = T - 2 * P;
    auto f = [](int X, int Y) {
        return std::array<std::uint8_t, 4>{std::uint8_t(X), std::uint8_t(Y), 77, 255};
    };
    const PixelBuffer frame = enhancerBuffer(W * S, H * S);
    std::memset(frame.baseAddress(0), 0, frame.bytesPerRow(0) * frame.height());
    const MetalBufferView frameView(frame, *composer->cache());

    std::vector<std::future<double>> copies;
    std::vector<PixelBuffer> outputs;
    for (int y = 0; y < H; y += step)
        for (int x = 0; x < W; x += step) {
            const image::Rect input{double(x - P), double(y - P), double(T), double(T)};
            const image::Rect content{double(x), double(y), double(std::min(W - x, step)),
                                      double(std::min(H - y, step))};
            PixelBuffer output = enhancerBuffer(T * S, T * S);
            for (int row = 0; row < T * S; ++row)
                for (int u = 0; u < T * S; ++u) {
                    const int v = T * S - 1 - row; // y up
                    const auto c = f(int(input.x) * S + u + 64, int(input.y) * S + v + 64);
                    std::memcpy(pixel(output, u, row), c.data(), 4);
                }
            copies.push_back(composer->copy(output, frameView, content, S, P));
            outputs.push_back(std::move(output));
        }
    for (auto& copy : copies) EXPECT_GE(copy.get(), 0.0);
    for (int row = 0; row < H * S; ++row)
        for (int X = 0; X < W * S; ++X) {
            const int Y = H * S - 1 - row;
            const auto expected = f(X + 64, Y + 64);
            EXPECT_EQ(std::memcmp(pixel(frame, X, row), expected.data(), 4), 0) << X << "," << Y;
        }
}

TEST_F(MetalTileComposerTest, RectanglesOutsideTheTexturesAreRefused) {
    const PixelBuffer frame = enhancerBuffer(8, 8);
    const MetalBufferView view(frame, *composer->cache());
    const PixelBuffer source = enhancerBuffer(4, 4);
    const std::string refused = "GPUの合成コマンドを作成できません。";
    auto copy = [&](image::Rect content, int padding) { composer->copy(source, view, content, 1, padding); };
    // Past the right edge of the frame, padding beyond the source, nothing to copy.
    EXPECT_EQ(messageOf([&] { copy({6, 0, 4, 4}, 0); }), refused);
    EXPECT_EQ(messageOf([&] { copy({0, 0, 2, 2}, 3); }), refused);
    EXPECT_EQ(messageOf([&] { copy({0, 0, 0, 2}, 0); }), refused);
    EXPECT_EQ(messageOf([&] { copy({0, 0, 2, 2}, 2); }), "(no error)");
    const PixelBuffer yuv = PixelBuffer::create(4, 4, LV_PIXEL_FORMAT_420V);
    EXPECT_EQ(messageOf([&] {
                  composer->copy(yuv, view, {0, 0, 2, 2}, 1, 0);
              }),
              "ピクセルバッファをGPUテクスチャとして共有できません（-6680）。");
}

TEST_F(MetalTileComposerTest, CopiesFromSeveralThreadsAtOnce) {
    const int tiles = 8, size = 16;
    const PixelBuffer frame = enhancerBuffer(tiles * size, size);
    const MetalBufferView view(frame, *composer->cache());
    std::vector<std::thread> threads;
    for (int t = 0; t < tiles; ++t)
        threads.emplace_back([&, t] {
            const PixelBuffer source = enhancerBuffer(size, size);
            for (int row = 0; row < size; ++row)
                for (int x = 0; x < size; ++x) pixel(source, x, row)[2] = std::uint8_t(t + 1);
            composer->copy(source, view, {double(t * size), 0, double(size), double(size)}, 1, 0).get();
        });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < tiles; ++t) EXPECT_EQ(pixel(frame, t * size + 5, 7)[2], t + 1);
}
