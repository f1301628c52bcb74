#include "Platform/Video/PixelBuffer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include <unistd.h>

namespace lumavane {
namespace {

std::size_t pageSize() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

struct PlaneExpectation {
    std::size_t width, height, bytesPerRow;
};

struct GeometryCase {
    std::uint32_t format;
    std::size_t width, height;
    std::vector<PlaneExpectation> planes;
};

// Rows round up to 64 bytes; chroma planes of odd sizes round up.
const std::vector<GeometryCase> geometryCases = {
    {LV_PIXEL_FORMAT_32BGRA, 1, 1, {{1, 1, 64}}},
    {LV_PIXEL_FORMAT_32BGRA, 17, 3, {{17, 3, 128}}},
    {LV_PIXEL_FORMAT_32BGRA, 1920, 1080, {{1920, 1080, 7680}}},
    {LV_PIXEL_FORMAT_420V, 1, 1, {{1, 1, 64}, {1, 1, 64}}},
    {LV_PIXEL_FORMAT_420V, 641, 361, {{641, 361, 704}, {321, 181, 704}}},
    {LV_PIXEL_FORMAT_420F, 1280, 720, {{1280, 720, 1280}, {640, 360, 1280}}},
    {LV_PIXEL_FORMAT_420F, 33, 2, {{33, 2, 64}, {17, 1, 64}}},
    {LV_PIXEL_FORMAT_X420, 641, 361, {{641, 361, 1344}, {321, 181, 1344}}},
    {LV_PIXEL_FORMAT_XF20, 3, 5, {{3, 5, 64}, {2, 3, 64}}},
    {LV_PIXEL_FORMAT_XF20, 32, 16, {{32, 16, 64}, {16, 8, 64}}},
};

TEST(PixelBuffer, PlaneGeometryForEveryFormatAndOddSizes) {
    for (const auto& c : geometryCases) {
        SCOPED_TRACE(::testing::Message()
                     << "format " << std::hex << c.format << std::dec << " " << c.width << "x" << c.height);
        PixelBuffer buffer = PixelBuffer::create(c.width, c.height, c.format);
        EXPECT_EQ(buffer.width(), c.width);
        EXPECT_EQ(buffer.height(), c.height);
        EXPECT_EQ(buffer.pixelFormat(), c.format);
        ASSERT_EQ(buffer.planeCount(), c.planes.size());
        EXPECT_EQ(lv_pixel_buffer_get_base_address(buffer.get()), buffer.baseAddress(0));
        EXPECT_EQ(lv_pixel_buffer_get_bytes_per_row(buffer.get()), buffer.bytesPerRow(0));

        auto* const base = static_cast<unsigned char*>(buffer.baseAddress(0));
        const std::size_t dataSize = buffer.dataSize();
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(base) % pageSize(), 0u);
        EXPECT_EQ(dataSize % pageSize(), 0u);

        unsigned char* previousEnd = base;
        for (std::size_t p = 0; p < c.planes.size(); ++p) {
            SCOPED_TRACE(::testing::Message() << "plane " << p);
            EXPECT_EQ(buffer.planeWidth(p), c.planes[p].width);
            EXPECT_EQ(buffer.planeHeight(p), c.planes[p].height);
            EXPECT_EQ(buffer.bytesPerRow(p), c.planes[p].bytesPerRow);
            auto* const plane = static_cast<unsigned char*>(buffer.baseAddress(p));
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(plane) % pageSize(), 0u);
            // Planes follow each other without overlap, inside the allocation.
            EXPECT_GE(plane, previousEnd);
            previousEnd = plane + buffer.bytesPerRow(p) * buffer.planeHeight(p);
            EXPECT_LE(previousEnd, base + dataSize);
            // Fresh memory is zeroed, and every byte of the plane is writable (ASan checks the bounds).
            for (const unsigned char* b = plane; b < previousEnd; ++b) ASSERT_EQ(*b, 0);
            std::memset(plane, 0xAB, static_cast<std::size_t>(previousEnd - plane));
        }
        // Past the last plane there is nothing.
        EXPECT_EQ(buffer.baseAddress(c.planes.size()), nullptr);
        EXPECT_EQ(buffer.bytesPerRow(c.planes.size()), 0u);
        EXPECT_EQ(buffer.planeWidth(c.planes.size()), 0u);
    }
}

TEST(PixelBuffer, RejectsBadArgumentsAndAllocatesNothing) {
    lv_pixel_buffer* buffer = reinterpret_cast<lv_pixel_buffer*>(0x1);
    EXPECT_EQ(lv_pixel_buffer_create(0, 10, LV_PIXEL_FORMAT_32BGRA, &buffer),
              LV_PIXEL_BUFFER_INVALID_ARGUMENT);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(lv_pixel_buffer_create(10, 0, LV_PIXEL_FORMAT_420V, &buffer), LV_PIXEL_BUFFER_INVALID_ARGUMENT);
    EXPECT_EQ(lv_pixel_buffer_create(10, 10, LV_FOURCC('y', 'u', 'v', '2'), &buffer),
              LV_PIXEL_BUFFER_INVALID_PIXEL_FORMAT);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(lv_pixel_buffer_create(10, 10, LV_PIXEL_FORMAT_32BGRA, nullptr),
              LV_PIXEL_BUFFER_INVALID_ARGUMENT);
    EXPECT_THROW(PixelBuffer::create(16, 16, LV_FOURCC('n', 'o', 'p', 'e')), PlatformError);
    // Sizes whose byte count overflows fail cleanly instead of wrapping to a small allocation.
    const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2;
    EXPECT_EQ(lv_pixel_buffer_create(huge, 2, LV_PIXEL_FORMAT_32BGRA, &buffer),
              LV_PIXEL_BUFFER_ALLOCATION_FAILED);
    EXPECT_EQ(lv_pixel_buffer_create(1 << 20, huge, LV_PIXEL_FORMAT_X420, &buffer),
              LV_PIXEL_BUFFER_ALLOCATION_FAILED);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(lv_pixel_buffer_live_count(), 0u);

    // NULL buffers are tolerated by the accessors.
    EXPECT_EQ(lv_pixel_buffer_retain(nullptr), nullptr);
    lv_pixel_buffer_release(nullptr);
    EXPECT_EQ(lv_pixel_buffer_get_width(nullptr), 0u);
    EXPECT_EQ(lv_pixel_buffer_get_base_address(nullptr), nullptr);
}

TEST(PixelBuffer, ColorAttachmentsDefaultFromTheFormatAndTheRangeAlwaysFollowsIt) {
    const struct {
        std::uint32_t format;
        int fullRange;
    } cases[] = {{LV_PIXEL_FORMAT_32BGRA, 1},
                 {LV_PIXEL_FORMAT_420V, 0},
                 {LV_PIXEL_FORMAT_420F, 1},
                 {LV_PIXEL_FORMAT_X420, 0},
                 {LV_PIXEL_FORMAT_XF20, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.format);
        PixelBuffer buffer = PixelBuffer::create(8, 8, c.format);
        lv_color_attachments color = buffer.color();
        EXPECT_EQ(color.matrix, LV_COLOR_MATRIX_UNSPECIFIED);
        EXPECT_EQ(color.transfer, LV_COLOR_TRANSFER_UNSPECIFIED);
        EXPECT_EQ(color.full_range, c.fullRange);
        // Stamped attachments stay, but not a range the format does not have; unknown matrices are dropped.
        buffer.setColor({LV_COLOR_MATRIX_BT2020, LV_COLOR_PRIMARIES_BT2020, LV_COLOR_TRANSFER_PQ, !c.fullRange});
        color = buffer.color();
        EXPECT_EQ(color.matrix, LV_COLOR_MATRIX_BT2020);
        EXPECT_EQ(color.primaries, LV_COLOR_PRIMARIES_BT2020);
        EXPECT_EQ(color.transfer, LV_COLOR_TRANSFER_PQ);
        EXPECT_EQ(color.full_range, c.fullRange);
        buffer.setColor({static_cast<lv_color_matrix>(99), LV_COLOR_PRIMARIES_P3, LV_COLOR_TRANSFER_LINEAR, 0});
        EXPECT_EQ(buffer.color().matrix, LV_COLOR_MATRIX_UNSPECIFIED);
    }
}

TEST(PixelBuffer, RetainAndReleaseKeepTheBufferUntilTheLastReference) {
    lv_pixel_buffer* raw = nullptr;
    ASSERT_EQ(lv_pixel_buffer_create(32, 32, LV_PIXEL_FORMAT_420F, &raw), LV_PIXEL_BUFFER_SUCCESS);
    EXPECT_EQ(lv_pixel_buffer_live_count(), 1u);
    EXPECT_EQ(lv_pixel_buffer_retain(raw), raw);
    {
        PixelBuffer adopted(raw, PixelBuffer::adopt); // takes the retain above
        PixelBuffer copy = adopted;
        PixelBuffer retained(raw, PixelBuffer::retain);
        PixelBuffer moved = std::move(copy);
        EXPECT_FALSE(copy); // NOLINT(bugprone-use-after-move): moved-from wrappers are empty
        EXPECT_EQ(moved.get(), raw);
        EXPECT_TRUE(moved == retained);
        copy = moved;          // copy-assign
        moved = PixelBuffer(); // releases
        EXPECT_EQ(lv_pixel_buffer_live_count(), 1u);
    }
    EXPECT_EQ(lv_pixel_buffer_live_count(), 1u); // the creation reference is still ours
    std::memset(lv_pixel_buffer_get_base_address(raw), 1, 32);
    lv_pixel_buffer_release(raw);
    EXPECT_EQ(lv_pixel_buffer_live_count(), 0u);

    PixelBuffer detached = PixelBuffer::create(4, 4, LV_PIXEL_FORMAT_32BGRA);
    lv_pixel_buffer* owned = detached.detach();
    EXPECT_FALSE(detached);
    EXPECT_EQ(lv_pixel_buffer_live_count(), 1u);
    lv_pixel_buffer_release(owned);
    EXPECT_EQ(lv_pixel_buffer_live_count(), 0u);
}

TEST(PixelBuffer, LockAndUnlockBalance) {
    PixelBuffer buffer = PixelBuffer::create(4, 4, LV_PIXEL_FORMAT_32BGRA);
    EXPECT_EQ(lv_pixel_buffer_unlock(buffer.get(), 0), LV_PIXEL_BUFFER_INVALID_ARGUMENT);
    EXPECT_EQ(lv_pixel_buffer_lock(buffer.get(), LV_PIXEL_BUFFER_LOCK_READ_ONLY), LV_PIXEL_BUFFER_SUCCESS);
    EXPECT_EQ(lv_pixel_buffer_lock(buffer.get(), 0), LV_PIXEL_BUFFER_SUCCESS);
    EXPECT_EQ(lv_pixel_buffer_unlock(buffer.get(), 0), LV_PIXEL_BUFFER_SUCCESS);
    EXPECT_EQ(lv_pixel_buffer_unlock(buffer.get(), LV_PIXEL_BUFFER_LOCK_READ_ONLY), LV_PIXEL_BUFFER_SUCCESS);
    EXPECT_EQ(lv_pixel_buffer_unlock(buffer.get(), 0), LV_PIXEL_BUFFER_INVALID_ARGUMENT);
    EXPECT_EQ(lv_pixel_buffer_lock(nullptr, 0), LV_PIXEL_BUFFER_INVALID_ARGUMENT);
}

TEST(PixelBuffer, ConcurrentRetainAndReleaseFromSeveralThreads) {
    PixelBuffer buffer = PixelBuffer::create(64, 64, LV_PIXEL_FORMAT_32BGRA);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < 20000; ++i) {
                PixelBuffer copy = buffer; // NOLINT(performance-unnecessary-copy-initialization): retains
                lv_pixel_buffer_release(lv_pixel_buffer_retain(copy.get()));
            } // release
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(lv_pixel_buffer_live_count(), 1u);
    buffer.reset();
    EXPECT_EQ(lv_pixel_buffer_live_count(), 0u);
}

TEST(PixelBuffer, LastReleaseOnAnotherThreadFreesTheBuffer) {
    std::vector<PixelBuffer> buffers;
    for (int i = 0; i < 16; ++i) buffers.push_back(PixelBuffer::create(16, 16, LV_PIXEL_FORMAT_420V));
    std::vector<std::thread> threads;
    for (auto& buffer : buffers) {
        threads.emplace_back([b = buffer] { std::memset(b.baseAddress(1), 7, b.bytesPerRow(1)); });
    }
    buffers.clear(); // the threads may now hold the last references
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(lv_pixel_buffer_live_count(), 0u);
}

} // namespace
} // namespace lumavane
