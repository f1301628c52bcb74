#include "Platform/Video/PixelBuffer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

namespace lumavane {
namespace {

TEST(PixelBufferPool, MakesBuffersOfItsShape) {
    PixelBufferPool pool = PixelBufferPool::create(321, 181, LV_PIXEL_FORMAT_420V);
    PixelBuffer buffer = pool.createBuffer();
    EXPECT_EQ(buffer.width(), 321u);
    EXPECT_EQ(buffer.height(), 181u);
    EXPECT_EQ(buffer.planeWidth(1), 161u);
    EXPECT_EQ(buffer.color().full_range, 0);

    lv_pixel_buffer_pool* raw = nullptr;
    EXPECT_EQ(lv_pixel_buffer_pool_create(16, 16, LV_FOURCC('n', 'o', 'p', 'e'), &raw),
              LV_PIXEL_BUFFER_INVALID_PIXEL_FORMAT);
    EXPECT_EQ(lv_pixel_buffer_pool_create(0, 16, LV_PIXEL_FORMAT_32BGRA, &raw),
              LV_PIXEL_BUFFER_INVALID_ARGUMENT);
    EXPECT_EQ(raw, nullptr);
    EXPECT_THROW(PixelBufferPool::create(16, 0, LV_PIXEL_FORMAT_32BGRA), PlatformError);
}

TEST(PixelBufferPool, ThresholdRefusesWithoutAllocating) {
    PixelBufferPool pool = PixelBufferPool::create(64, 32, LV_PIXEL_FORMAT_32BGRA);
    std::vector<PixelBuffer> held;
    for (int i = 0; i < 6; ++i) held.push_back(pool.createBuffer(6));
    EXPECT_EQ(pool.outstandingCount(), 6u);
    EXPECT_EQ(lv_pixel_buffer_live_count(), 6u);

    lv_pixel_buffer* seventh = reinterpret_cast<lv_pixel_buffer*>(0x1);
    EXPECT_EQ(lv_pixel_buffer_pool_create_buffer(pool.get(), 6, &seventh),
              LV_PIXEL_BUFFER_WOULD_EXCEED_ALLOCATION_THRESHOLD);
    EXPECT_EQ(seventh, nullptr);
    EXPECT_EQ(lv_pixel_buffer_live_count(), 6u); // nothing was allocated
    EXPECT_EQ(pool.outstandingCount(), 6u);
    try {
        pool.createBuffer(6);
        FAIL() << "no error thrown";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.domain(), "Lumavane.PixelBuffer");
        EXPECT_EQ(error.code(), LV_PIXEL_BUFFER_WOULD_EXCEED_ALLOCATION_THRESHOLD);
    }
    int status = 0;
    EXPECT_FALSE(pool.tryCreateBuffer(6, &status));
    EXPECT_EQ(status, LV_PIXEL_BUFFER_WOULD_EXCEED_ALLOCATION_THRESHOLD);

    // A higher threshold, or none, still allows more.
    PixelBuffer extra = pool.createBuffer(7);
    PixelBuffer unlimited = pool.createBuffer();
    EXPECT_EQ(pool.outstandingCount(), 8u);
    extra.reset();
    unlimited.reset();

    // Giving one back makes room again.
    held.pop_back();
    EXPECT_EQ(pool.outstandingCount(), 5u);
    held.push_back(pool.createBuffer(6));
    EXPECT_EQ(pool.outstandingCount(), 6u);
}

TEST(PixelBufferPool, ReusesReturnedBuffersWithTheSameMemory) {
    PixelBufferPool pool = PixelBufferPool::create(48, 48, LV_PIXEL_FORMAT_XF20);
    PixelBuffer first = pool.createBuffer();
    lv_pixel_buffer* const object = first.get();
    void* const memory = first.baseAddress(0);
    std::memset(first.baseAddress(1), 0x55, first.bytesPerRow(1));
    first.setColor({LV_COLOR_MATRIX_BT709, LV_COLOR_PRIMARIES_BT709, LV_COLOR_TRANSFER_BT709, 1});
    first.reset();
    EXPECT_EQ(pool.outstandingCount(), 0u);
    EXPECT_EQ(lv_pixel_buffer_live_count(), 1u); // idle in the pool

    PixelBuffer again = pool.createBuffer();
    EXPECT_EQ(again.get(), object);
    EXPECT_EQ(again.baseAddress(0), memory);
    // Pixels are not cleared on reuse, but the attachments of the last user are.
    EXPECT_EQ(static_cast<unsigned char*>(again.baseAddress(1))[0], 0x55);
    EXPECT_EQ(again.color().matrix, LV_COLOR_MATRIX_UNSPECIFIED);
    EXPECT_EQ(again.color().full_range, 1);

    // Flushing frees idle buffers only.
    PixelBuffer second = pool.createBuffer();
    second.reset();
    EXPECT_EQ(lv_pixel_buffer_live_count(), 2u);
    pool.flush();
    EXPECT_EQ(lv_pixel_buffer_live_count(), 1u);
    EXPECT_EQ(again.baseAddress(0), memory);
}

TEST(PixelBufferPool, BufferOutlivesItsPool) {
    PixelBuffer survivor;
    {
        PixelBufferPool pool = PixelBufferPool::create(32, 32, LV_PIXEL_FORMAT_32BGRA);
        PixelBuffer idle = pool.createBuffer();
        survivor = pool.createBuffer(2);
        idle.reset();
        EXPECT_EQ(lv_pixel_buffer_live_count(), 2u);
    } // the pool's last reference goes: its idle buffer is freed at once
    EXPECT_EQ(lv_pixel_buffer_live_count(), 1u);
    std::memset(survivor.baseAddress(), 0x11, survivor.bytesPerRow() * survivor.height());
    EXPECT_EQ(survivor.width(), 32u);
    survivor.reset(); // returns to a pool that is gone: the buffer and the pool are freed
    EXPECT_EQ(lv_pixel_buffer_live_count(), 0u);
}

TEST(PixelBufferPool, RetainedPoolStaysUsable) {
    lv_pixel_buffer_pool* raw = nullptr;
    ASSERT_EQ(lv_pixel_buffer_pool_create(16, 16, LV_PIXEL_FORMAT_420F, &raw), LV_PIXEL_BUFFER_SUCCESS);
    PixelBufferPool retained(raw, PixelBuffer::retain);
    lv_pixel_buffer_pool_release(raw); // the creation reference
    PixelBuffer buffer = retained.createBuffer(1);
    EXPECT_EQ(retained.outstandingCount(), 1u);
}

TEST(PixelBufferPool, ConcurrentUseRespectsTheThreshold) {
    PixelBufferPool pool = PixelBufferPool::create(32, 16, LV_PIXEL_FORMAT_420V);
    constexpr std::size_t threshold = 3;
    std::atomic<bool> go{false};
    std::atomic<int> refused{0};
    std::atomic<int> made{0};
    std::atomic<std::size_t> maximumSeen{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < 2000; ++i) {
                int status = 0;
                PixelBuffer buffer = pool.tryCreateBuffer(threshold, &status);
                if (!buffer) {
                    EXPECT_EQ(status, LV_PIXEL_BUFFER_WOULD_EXCEED_ALLOCATION_THRESHOLD);
                    refused.fetch_add(1);
                    continue;
                }
                made.fetch_add(1);
                const std::size_t outstanding = pool.outstandingCount();
                std::size_t seen = maximumSeen.load();
                while (outstanding > seen && !maximumSeen.compare_exchange_weak(seen, outstanding)) {}
                static_cast<unsigned char*>(buffer.baseAddress(0))[0] = 1;
                // Another holder, released on this thread too.
                PixelBuffer shared = buffer; // NOLINT(performance-unnecessary-copy-initialization)
            }
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(made + refused, 6 * 2000);
    EXPECT_GT(made.load(), 0);
    EXPECT_LE(maximumSeen.load(), threshold);
    EXPECT_EQ(pool.outstandingCount(), 0u);
    EXPECT_LE(lv_pixel_buffer_live_count(), threshold); // never more buffers than the threshold allows
    pool.reset();
    EXPECT_EQ(lv_pixel_buffer_live_count(), 0u);
}

} // namespace
} // namespace lumavane
