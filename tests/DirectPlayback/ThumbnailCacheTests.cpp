// Thumbnail caches: keys, packing, the two budgets with their eviction order,
// the spans of request times, and the immediate copy read from another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "DirectPlayback/ThumbnailCache.hpp"

namespace {

using lumavane::ImmediateThumbnailCache;
using lumavane::PackedThumbnail;
using lumavane::thumbnailBucket;
using lumavane::ThumbnailCache;
using lumavane::thumbnailKey;
using lumavane::image::CPUImage;

// Noise does not compress, so its packed size is about its decoded size; a flat
// picture packs into almost nothing.
CPUImage makeImage(int width, int height, std::uint32_t seed, bool noise = true, std::size_t padding = 0) {
    const std::size_t bytesPerRow = static_cast<std::size_t>(width) * 4 + padding;
    std::vector<std::uint8_t> bytes(bytesPerRow * static_cast<std::size_t>(height));
    std::uint64_t state = 0x9E3779B97F4A7C15ull * (seed + 1);
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        for (std::size_t j = 0; j < 8 && i + j < bytes.size(); j++)
            bytes[i + j] =
                noise ? static_cast<std::uint8_t>(state >> (8 * j)) : static_cast<std::uint8_t>(seed);
    }
    return *CPUImage::make(width, height, 8, 32, bytesPerRow, std::move(bytes));
}

std::string key(double seconds) { return thumbnailKey(false, seconds); }

// The pixel bytes of an answer, empty when there is none.
std::vector<std::uint8_t> bytesOf(const std::optional<CPUImage>& image) {
    return image ? image->bytes() : std::vector<std::uint8_t>{};
}

// 4 MiB each: four fit the decoded budget, seven packed ones the packed budget.
constexpr int kSide = 1024;
constexpr std::int64_t kImageBytes = std::int64_t(kSide) * kSide * 4;

TEST(ThumbnailKeys, BucketIsTheBitPatternOfFiniteNonNegativeTimesAndMinusZeroIsZero) {
    EXPECT_EQ(thumbnailKey(false, 12.5), "false-" + std::to_string(std::bit_cast<std::int64_t>(12.5)));
    EXPECT_EQ(thumbnailKey(true, 0.0), "true-0");
    for (double t : {-0.0, -1.0, -1e-300, double(NAN), double(INFINITY), -double(INFINITY)})
        EXPECT_EQ(thumbnailBucket(t), 0) << t;
    ThumbnailCache cache(false);
    cache.remember(makeImage(8, 8, 1), key(0.0), key(0.0));
    EXPECT_EQ(cache.imageKey(key(-0.0)), key(0.0));
    EXPECT_TRUE(cache.immediateCache()->image(key(-0.0), -0.0).has_value());
}

TEST(PackedThumbnail, RoundTripsExactlyWithRowPaddingAndRefusesDamagedData) {
    for (bool noise : {true, false}) {
        CPUImage image = makeImage(37, 19, 7, noise, 12);
        auto packed = PackedThumbnail::pack(image);
        ASSERT_TRUE(packed.has_value());
        if (!noise) {
            EXPECT_LT(packed->dataLength(), image.bytes().size() / 20);
        }
        auto unpacked = packed->unpack();
        ASSERT_TRUE(unpacked.has_value());
        EXPECT_EQ(unpacked->width(), 37);
        EXPECT_EQ(unpacked->bytesPerRow(), image.bytesPerRow());
        EXPECT_EQ(unpacked->bytes(), image.bytes());
    }
    auto packed = *PackedThumbnail::pack(makeImage(64, 64, 3));
    PackedThumbnail truncated = packed;
    truncated.data = std::make_shared<const std::vector<std::uint8_t>>(
        packed.data->begin(), packed.data->begin() + packed.data->size() / 2);
    PackedThumbnail taller = packed;
    taller.height = 65; // decompresses to fewer bytes than the layout needs
    PackedThumbnail empty = packed;
    empty.data.reset();
    for (const PackedThumbnail* damaged : {&truncated, &taller, &empty})
        EXPECT_FALSE(damaged->unpack().has_value());
}

TEST(ThumbnailCacheBudget, KeepsImagesUpTo16MiBAndEvictsTheLeastRecentFirst) {
    ThumbnailCache cache(false);
    for (int i = 0; i < 4; i++) cache.remember(makeImage(kSide, kSide, i, false), key(i), key(i));
    EXPECT_EQ(cache.cacheStatistics().images, 4);
    EXPECT_EQ(cache.cacheStatistics().bytes, 4 * kImageBytes);
    EXPECT_EQ(cache.cacheStatistics().bytes, ThumbnailCache::kCacheBudget) << "exactly at the budget is fine";

    // Remembering a cached key again (for another request) only refreshes it.
    cache.remember(makeImage(kSide, kSide, 0, false), key(0.5), key(0));
    EXPECT_EQ(cache.cacheStatistics().images, 4);
    EXPECT_EQ(cache.imageKey(key(0.5)), key(0));

    cache.remember(makeImage(kSide, kSide, 4, false), key(4), key(4));
    EXPECT_EQ(cache.cacheStatistics().images, 4);
    EXPECT_EQ(cache.cacheStatistics().bytes, 4 * kImageBytes);
    EXPECT_TRUE(cache.decodedImage(key(0)).has_value()) << "refreshed, so kept";
    EXPECT_FALSE(cache.decodedImage(key(1)).has_value()) << "least recent";
    EXPECT_EQ(cache.packedCacheStatistics().images, 0) << "nobody asked for it";

    // A single oversized image stays until another arrives; the one just stored is never evicted.
    cache.remember(makeImage(2100, 2100, 1, false), key(10), key(10));
    EXPECT_EQ(cache.cacheStatistics().images, 1);
    cache.remember(makeImage(8, 8, 2, false), key(11), key(11));
    EXPECT_EQ(cache.cacheStatistics().bytes, 8 * 8 * 4);
    EXPECT_TRUE(cache.decodedImage(key(11)).has_value());
}

TEST(ThumbnailCacheEviction, AnImageNobodyAskedForLeavesNoTrace) {
    ThumbnailCache cache(false);
    auto immediate = cache.immediateCache();
    cache.remember(makeImage(kSide, kSide, 0, false), key(0.95), key(1.0));
    cache.remember(makeImage(kSide, kSide, 0, false), key(0.97), key(1.0));
    cache.recordFrame(key(1.0), 0.95, 1.0, std::nullopt);
    ASSERT_EQ(cache.imageKeyContaining(0.96), key(1.0));
    for (int i = 2; i <= 5; i++) cache.remember(makeImage(kSide, kSide, i, false), key(i), key(i));

    EXPECT_FALSE(cache.holds(key(1.0)));
    EXPECT_FALSE(cache.imageKey(key(0.95)).has_value());
    EXPECT_FALSE(cache.imageKey(key(0.97)).has_value());
    EXPECT_FALSE(cache.imageKeyContaining(0.96).has_value());
    EXPECT_FALSE(cache.framePTS(key(1.0)).has_value());
    EXPECT_FALSE(immediate->image(key(0.95), 0.95).has_value());
    EXPECT_FALSE(immediate->image(key(0.96), 0.96).has_value()) << "its span went too";
}

TEST(ThumbnailCacheEviction, AShownImageSurvivesPackedAndIsStillServedImmediately) {
    ThumbnailCache cache(true);
    auto immediate = cache.immediateCache();
    CPUImage shown = makeImage(kSide, kSide, 10);
    CPUImage served = makeImage(kSide, kSide, 11);
    cache.remember(shown, key(1.0), key(1.0));
    cache.recordFrame(key(1.0), 1.0, 1.0, 1.04);
    cache.demand(key(1.0)); // retainForRevisit
    cache.remember(served, key(2.0), key(2.0));
    ASSERT_TRUE(immediate->image(key(2.0), 2.0).has_value()); // served on the main thread
    for (int i = 3; i <= 6; i++) cache.remember(makeImage(kSide, kSide, i, false), key(i), key(i));

    EXPECT_EQ(cache.cacheStatistics().images, 4);
    EXPECT_EQ(cache.packedCacheStatistics().images, 2);
    EXPECT_GT(cache.packedCacheStatistics().bytes, 2 * kImageBytes) << "noise does not compress";
    EXPECT_TRUE(cache.holds(key(1.0)));
    EXPECT_FALSE(cache.decodedImage(key(1.0)).has_value());
    EXPECT_EQ(cache.imageKey(key(1.0)), key(1.0));
    EXPECT_EQ(cache.framePTS(key(1.0)), 1.0);

    auto byRequest = immediate->image(key(1.0), 1.0);
    ASSERT_TRUE(byRequest.has_value());
    EXPECT_EQ(byRequest->bytes(), shown.bytes());
    auto bySpan = immediate->image(key(1.02), 1.02);
    ASSERT_TRUE(bySpan.has_value());
    EXPECT_EQ(bySpan->bytes(), shown.bytes());
    EXPECT_EQ(bytesOf(immediate->image(key(2.0), 2.0)), served.bytes());

    // Brought back from the packed form, it is decoded again and later leaves without packing anew.
    auto unpacked = cache.unpackPacked(key(1.0));
    ASSERT_TRUE(unpacked.has_value());
    cache.remember(*unpacked, key(1.0), key(1.0));
    EXPECT_TRUE(cache.decodedImage(key(1.0)).has_value());
    auto packedBefore = cache.packedCacheStatistics();
    for (int i = 7; i <= 10; i++) cache.remember(makeImage(kSide, kSide, i, false), key(i), key(i));
    EXPECT_FALSE(cache.decodedImage(key(1.0)).has_value());
    EXPECT_EQ(cache.packedCacheStatistics().bytes, packedBefore.bytes);
    EXPECT_EQ(bytesOf(immediate->image(key(1.0), 1.0)), shown.bytes());
}

TEST(ThumbnailCacheEviction, PackedImagesAreDroppedOldestFirstBeyond32MiB) {
    ThumbnailCache cache(false);
    auto immediate = cache.immediateCache();
    for (int i = 0; i < 14; i++) {
        cache.remember(makeImage(kSide, kSide, 100 + i), key(i), key(i));
        cache.recordFrame(key(i), i - 0.01, i, std::nullopt);
        cache.demand(key(i));
    }
    auto packed = cache.packedCacheStatistics();
    EXPECT_LE(packed.bytes, ThumbnailCache::kPackedBudget);
    EXPECT_EQ(packed.images, 7);
    EXPECT_EQ(cache.cacheStatistics().images, 4);
    // 0..2 are gone, 3..9 packed, 10..13 decoded.
    for (int i = 0; i < 3; i++) {
        EXPECT_FALSE(cache.holds(key(i))) << i;
        EXPECT_FALSE(cache.imageKey(key(i)).has_value()) << i;
        EXPECT_FALSE(cache.imageKeyContaining(i - 0.005).has_value()) << i;
        EXPECT_FALSE(cache.framePTS(key(i)).has_value()) << i;
        EXPECT_FALSE(immediate->image(key(i), i).has_value()) << i;
    }
    for (int i = 3; i < 14; i++) {
        EXPECT_TRUE(cache.holds(key(i))) << i;
        EXPECT_TRUE(immediate->image(key(i), i).has_value()) << i;
    }
}

TEST(ThumbnailCacheEviction, APackedCopyDroppedWhileDecodedLeavesTheImageReachable) {
    ThumbnailCache cache(false);
    auto immediate = cache.immediateCache();
    CPUImage kept = makeImage(kSide, kSide, 500);
    cache.remember(kept, key(0.5), key(0));
    cache.remember(kept, key(0.2), key(0));
    cache.recordFrame(key(0), 0.2, 0.4, std::nullopt);
    cache.demand(key(0));
    for (int i = 1; i <= 4; i++) cache.remember(makeImage(kSide, kSide, i, false), key(i), key(i));
    ASSERT_FALSE(cache.decodedImage(key(0)).has_value());
    ASSERT_EQ(cache.packedCacheStatistics().images, 1);

    // Revisited: decoded again, while its packed copy stays and becomes the newest.
    cache.remember(*cache.unpackPacked(key(0)), key(0.5), key(0));
    // More shown images pass through while this one stays in use, until its packed copy is the oldest to go.
    for (int i = 10; i < 20; i++) {
        cache.remember(makeImage(kSide, kSide, i), key(i), key(i));
        cache.demand(key(i));
        cache.touch(key(0));
    }
    ASSERT_TRUE(cache.decodedImage(key(0)).has_value());
    ASSERT_LE(cache.packedCacheStatistics().bytes, ThumbnailCache::kPackedBudget);

    // Every way in still leads to it, and every decoded byte counted belongs to a reachable image.
    EXPECT_EQ(cache.imageKey(key(0.5)), key(0));
    EXPECT_EQ(cache.imageKey(key(0.2)), key(0));
    EXPECT_EQ(cache.imageKeyContaining(0.3), key(0));
    EXPECT_EQ(cache.framePTS(key(0)), 0.4);
    EXPECT_EQ(bytesOf(immediate->image(key(0.2), 0.2)), kept.bytes())
        << "the entry that only held the packed copy";
    EXPECT_EQ(bytesOf(immediate->image(key(0.5), 0.5)), kept.bytes());
    EXPECT_EQ(cache.cacheStatistics().bytes, cache.cacheStatistics().images * kImageBytes);

    // When it finally leaves the decoded cache it is packed again, since it was shown.
    for (int i = 30; i < 34; i++) cache.remember(makeImage(kSide, kSide, i, false), key(i), key(i));
    EXPECT_FALSE(cache.decodedImage(key(0)).has_value());
    EXPECT_TRUE(cache.holds(key(0)));
    EXPECT_EQ(bytesOf(immediate->image(key(0.5), 0.5)), kept.bytes());
}

TEST(ThumbnailCacheSpans, FirstFrameAtOrAfterTheRequestEndsAtTheFrame) {
    ThumbnailCache cache(false);
    cache.remember(makeImage(8, 8, 1), key(2.0), key(2.0));
    cache.recordFrame(key(2.0), 1.9, 2.0, std::nullopt);
    cache.recordFrame(key(2.0), 1.95, 2.0, std::nullopt);
    cache.recordFrame(key(2.0), 1.8, 2.0, std::nullopt);
    cache.recordFrame(key(2.0), 2.1, 2.0, std::nullopt); // after the frame: not answered by it
    cache.recordFrame(key(2.0), NAN, 2.0, std::nullopt);
    EXPECT_EQ(cache.imageKeyContaining(1.8), key(2.0));
    EXPECT_EQ(cache.imageKeyContaining(2.0), key(2.0));
    EXPECT_FALSE(cache.imageKeyContaining(std::nextafter(2.0, 3.0)).has_value());
    EXPECT_FALSE(cache.imageKeyContaining(1.79).has_value());
    EXPECT_EQ(cache.framePTS(key(2.0)), 2.0);
    cache.recordFrame(key(3.0), 2.5, NAN, std::nullopt);
    EXPECT_FALSE(cache.framePTS(key(3.0)).has_value());
}

TEST(ThumbnailCacheSpans, FrameOnScreenNeverReachesTheNextFrame) {
    ThumbnailCache cache(true);
    auto immediate = cache.immediateCache();
    cache.remember(makeImage(8, 8, 1), key(1.02), key(1.0));
    cache.recordFrame(key(1.0), 1.02, 1.0, 1.04);
    const double justBefore = std::nextafter(1.04, 0.0);
    EXPECT_EQ(cache.imageKeyContaining(justBefore), key(1.0));
    EXPECT_FALSE(cache.imageKeyContaining(1.04).has_value());
    EXPECT_EQ(cache.imageKeyContaining(1.0), key(1.0));
    EXPECT_FALSE(cache.imageKeyContaining(0.99).has_value());
    EXPECT_TRUE(immediate->image(key(1.03), 1.03).has_value());
    EXPECT_FALSE(immediate->image(key(1.04), 1.04).has_value());

    // Without the next frame the span reaches the request and only grows.
    cache.remember(makeImage(8, 8, 2), key(2.5), key(2.0));
    cache.recordFrame(key(2.0), 2.5, 2.0, std::nullopt);
    cache.recordFrame(key(2.0), 2.2, 2.0, std::nullopt);
    cache.recordFrame(key(2.0), 1.9, 2.0, std::nullopt); // before the frame: ignored
    EXPECT_EQ(cache.imageKeyContaining(2.5), key(2.0));
    EXPECT_FALSE(cache.imageKeyContaining(std::nextafter(2.5, 3.0)).has_value());
    EXPECT_FALSE(cache.imageKeyContaining(1.95).has_value());
}

TEST(ImmediateThumbnailCache, ReadsFromAnotherThreadWhileTheCacheEvicts) {
    ThumbnailCache cache(false);
    auto immediate = cache.immediateCache();
    std::atomic<bool> done{false};
    std::atomic<int> hits{0};
    std::thread reader([&] {
        while (!done) {
            for (int i = 0; i < 40; i++) {
                if (auto image = immediate->image(key(i), i)) {
                    EXPECT_EQ(image->width(), 256);
                    hits++;
                }
            }
        }
    });
    for (int i = 0; i < 40; i++) {
        cache.remember(makeImage(256, 256, i), key(i), key(i));
        cache.recordFrame(key(i), i - 0.5, i, std::nullopt);
        if (i % 3 == 0) cache.demand(key(i));
        cache.remember(makeImage(2048, 512, i, false), key(i + 0.5), key(i + 0.5));
    }
    done = true;
    reader.join();
    EXPECT_GT(hits.load(), 0);
    EXPECT_LE(cache.cacheStatistics().bytes, ThumbnailCache::kCacheBudget);
}

} // namespace
