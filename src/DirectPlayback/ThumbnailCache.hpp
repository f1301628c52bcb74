#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "Platform/Image/CPUImage.hpp"

namespace lumavane {

// The bucket of a time: its 64-bit pattern read as a signed integer when it is
// finite and not negative (-0 counts as +0), else 0.
std::int64_t thumbnailBucket(double seconds);
// "true-<bucket>" or "false-<bucket>": the key of a request (requested time) or of
// an image (time of its frame), by the approximate flag.
std::string thumbnailKey(bool approximate, double seconds);

// A closed span of request times, lower <= t <= upper.
struct ThumbnailSpan {
    double lower = 0;
    double upper = 0;
    bool contains(double t) const { return lower <= t && t <= upper; }
    bool operator==(const ThumbnailSpan&) const = default;
};

// An image's pixel bytes compressed with LZ4, with the layout to rebuild it. Cheap to copy.
struct PackedThumbnail {
    std::shared_ptr<const std::vector<std::uint8_t>> data;
    int width = 0;
    int height = 0;
    int bitsPerComponent = 0;
    int bitsPerPixel = 0;
    std::size_t bytesPerRow = 0;

    // None when the image has no bytes or compression fails.
    static std::optional<PackedThumbnail> pack(const image::CPUImage& image);
    // None when the data does not decompress to exactly height x bytesPerRow bytes.
    std::optional<image::CPUImage> unpack() const;
    std::size_t dataLength() const { return data ? data->size() : 0; }
};

// The answers the main thread may read while the provider decodes: request key to
// image key with the decoded image or its packed form, and the spans of request
// times each image answers. Every member takes the lock; decompression runs outside it.
class ImmediateThumbnailCache {
public:
    // The answer for a request key, else for any image whose span holds `seconds`.
    // Marks the image key as demanded.
    std::optional<image::CPUImage> image(const std::string& requestKey, double seconds);
    // An image left the decoded cache: its entries keep the packed form, or go with its span.
    void retireDecoded(const std::string& imageKey, const std::optional<PackedThumbnail>& packed);
    // A packed image left the packed cache.
    void removePacked(const std::string& imageKey);
    // The image keys served since the last call.
    std::set<std::string> takeDemanded();

    void store(const std::string& requestKey, const std::string& imageKey, const image::CPUImage& image);
    void setSpan(const std::string& imageKey, ThumbnailSpan span);
    // The packed copy of a still decoded image is gone: entries holding only it take the image.
    void keepDecoded(const std::string& imageKey, const image::CPUImage& image);

private:
    struct Entry {
        std::string key;
        std::optional<image::CPUImage> image;
        std::optional<PackedThumbnail> packed;
    };

    std::mutex lock_;
    std::unordered_map<std::string, Entry> entries_;
    std::set<std::string> demanded_;
    std::map<std::string, ThumbnailSpan> ranges_;
};

// The seek thumbnails kept in memory: decoded images by recency within a budget,
// LZ4-packed copies of the images somebody looked at within a second budget, the
// maps from request times to images, and the immediate copy for the main thread.
// Confined to its owner's serial executor, except the immediate cache.
class ThumbnailCache {
public:
    static constexpr std::int64_t kCacheBudget = 16777216;  // decoded bytes
    static constexpr std::int64_t kPackedBudget = 33554432; // compressed bytes

    struct Statistics {
        int images = 0;
        std::int64_t bytes = 0;
    };

    // `containingTime`: an image answers the request times at which its frame is on
    // screen; otherwise the times for which its frame is the first at or after them.
    explicit ThumbnailCache(bool containingTime);

    // Stores the answer to a request and evicts beyond the budgets. Returns the
    // milliseconds spent packing evicted images.
    double remember(const image::CPUImage& image, const std::string& requestKey, const std::string& imageKey);
    // Records the frame time of an image and widens the span of requests it answers.
    void recordFrame(const std::string& imageKey, double requested, double pts, std::optional<double> endPTS);

    Statistics cacheStatistics() const;
    Statistics packedCacheStatistics() const;

    std::optional<std::string> imageKey(const std::string& requestKey) const;
    // The image whose span holds `seconds` (the first in key order when several do).
    std::optional<std::string> imageKeyContaining(double seconds) const;
    std::optional<image::CPUImage> decodedImage(const std::string& imageKey) const;
    // Unpacks a packed image and makes it the most recent in the packed cache.
    std::optional<image::CPUImage> unpackPacked(const std::string& imageKey);
    bool holds(const std::string& imageKey) const;
    std::optional<double> framePTS(const std::string& imageKey) const;
    // Keeps the image (packed) when it leaves the decoded cache.
    void demand(const std::string& imageKey);
    // Makes a decoded image the most recent.
    void touch(const std::string& imageKey);

    const std::shared_ptr<ImmediateThumbnailCache>& immediateCache() const { return immediate_; }

private:
    static std::int64_t byteCount(const image::CPUImage& image);
    void collectDemanded();
    void forget(const std::string& imageKey);

    bool containingTime_;
    std::unordered_map<std::string, std::string> requestCache_;
    std::map<std::string, ThumbnailSpan> frameRanges_;
    std::unordered_map<std::string, double> framePTS_;
    std::unordered_map<std::string, image::CPUImage> imageCache_;
    std::deque<std::string> recency_; // least recently used first
    std::int64_t cacheBytes_ = 0;
    std::set<std::string> demandedImages_;
    std::unordered_map<std::string, PackedThumbnail> packedCache_;
    std::deque<std::string> packedRecency_;
    std::int64_t packedBytes_ = 0;
    std::shared_ptr<ImmediateThumbnailCache> immediate_ = std::make_shared<ImmediateThumbnailCache>();
};

} // namespace lumavane
