#include "DirectPlayback/ThumbnailCache.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

#include <lz4.h>

namespace lumavane {

using image::CPUImage;

std::int64_t thumbnailBucket(double seconds) {
    if (!(seconds >= 0) || !std::isfinite(seconds)) return 0;
    // -0 passes the test above but has another bit pattern; it must share +0's key.
    if (seconds == 0) return 0;
    return std::bit_cast<std::int64_t>(seconds);
}

std::string thumbnailKey(bool approximate, double seconds) {
    return (approximate ? "true-" : "false-") + std::to_string(thumbnailBucket(seconds));
}

// ---- PackedThumbnail ----------------------------------------------------------

std::optional<PackedThumbnail> PackedThumbnail::pack(const CPUImage& image) {
    const std::vector<std::uint8_t>& bytes = image.bytes();
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE)) return std::nullopt;
    const int size = static_cast<int>(bytes.size());
    std::vector<std::uint8_t> compressed(static_cast<std::size_t>(LZ4_compressBound(size)));
    const int length = LZ4_compress_default(reinterpret_cast<const char*>(bytes.data()),
                                            reinterpret_cast<char*>(compressed.data()), size,
                                            static_cast<int>(compressed.size()));
    if (length <= 0) return std::nullopt;
    compressed.resize(static_cast<std::size_t>(length));
    compressed.shrink_to_fit();
    PackedThumbnail packed;
    packed.data = std::make_shared<const std::vector<std::uint8_t>>(std::move(compressed));
    packed.width = image.width();
    packed.height = image.height();
    packed.bitsPerComponent = image.bitsPerComponent();
    packed.bitsPerPixel = image.bitsPerPixel();
    packed.bytesPerRow = image.bytesPerRow();
    return packed;
}

std::optional<CPUImage> PackedThumbnail::unpack() const {
    if (!data || data->empty() || height <= 0) return std::nullopt;
    const std::size_t expected = static_cast<std::size_t>(height) * bytesPerRow;
    if (expected == 0 || expected > static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE) ||
        data->size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return std::nullopt;
    std::vector<std::uint8_t> bytes(expected);
    const int length = LZ4_decompress_safe(reinterpret_cast<const char*>(data->data()),
                                           reinterpret_cast<char*>(bytes.data()),
                                           static_cast<int>(data->size()), static_cast<int>(expected));
    if (length < 0 || static_cast<std::size_t>(length) != expected) return std::nullopt;
    return CPUImage::make(width, height, bitsPerComponent, bitsPerPixel, bytesPerRow, std::move(bytes));
}

// ---- ImmediateThumbnailCache ----------------------------------------------------

std::optional<CPUImage> ImmediateThumbnailCache::image(const std::string& requestKey, double seconds) {
    Entry entry;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = entries_.find(requestKey);
        if (found == entries_.end()) {
            auto span = std::find_if(ranges_.begin(), ranges_.end(),
                                     [&](const auto& range) { return range.second.contains(seconds); });
            if (span == ranges_.end()) return std::nullopt;
            found = std::find_if(entries_.begin(), entries_.end(),
                                 [&](const auto& candidate) { return candidate.second.key == span->first; });
            if (found == entries_.end()) return std::nullopt;
        }
        entry = found->second;
        demanded_.insert(entry.key);
    }
    if (entry.image) return entry.image;
    if (entry.packed) return entry.packed->unpack();
    return std::nullopt;
}

void ImmediateThumbnailCache::retireDecoded(const std::string& imageKey,
                                            const std::optional<PackedThumbnail>& packed) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!packed) ranges_.erase(imageKey);
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second.key != imageKey) {
            ++it;
        } else if (packed) {
            it->second = Entry{imageKey, std::nullopt, packed};
            ++it;
        } else {
            it = entries_.erase(it);
        }
    }
}

void ImmediateThumbnailCache::removePacked(const std::string& imageKey) {
    std::lock_guard<std::mutex> guard(lock_);
    std::erase_if(entries_, [&](const auto& entry) { return entry.second.key == imageKey; });
    ranges_.erase(imageKey);
}

std::set<std::string> ImmediateThumbnailCache::takeDemanded() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(demanded_, {});
}

void ImmediateThumbnailCache::store(const std::string& requestKey, const std::string& imageKey,
                                    const CPUImage& image) {
    std::lock_guard<std::mutex> guard(lock_);
    entries_[requestKey] = Entry{imageKey, image, std::nullopt};
}

void ImmediateThumbnailCache::setSpan(const std::string& imageKey, ThumbnailSpan span) {
    std::lock_guard<std::mutex> guard(lock_);
    ranges_[imageKey] = span;
}

void ImmediateThumbnailCache::keepDecoded(const std::string& imageKey, const CPUImage& image) {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [requestKey, entry] : entries_) {
        if (entry.key == imageKey) entry = Entry{imageKey, image, std::nullopt};
    }
}

// ---- ThumbnailCache -------------------------------------------------------------

ThumbnailCache::ThumbnailCache(bool containingTime) : containingTime_(containingTime) {}

std::int64_t ThumbnailCache::byteCount(const CPUImage& image) {
    return static_cast<std::int64_t>(image.bytesPerRow()) * image.height();
}

void ThumbnailCache::collectDemanded() { demandedImages_.merge(immediate_->takeDemanded()); }

void ThumbnailCache::forget(const std::string& imageKey) {
    frameRanges_.erase(imageKey);
    framePTS_.erase(imageKey);
    demandedImages_.erase(imageKey);
    std::erase_if(requestCache_, [&](const auto& entry) { return entry.second == imageKey; });
}

double ThumbnailCache::remember(const CPUImage& image, const std::string& requestKey,
                                const std::string& imageKey) {
    requestCache_[requestKey] = imageKey;
    immediate_->store(requestKey, imageKey, image);
    collectDemanded();
    if (imageCache_.contains(imageKey)) {
        touch(imageKey);
        return 0;
    }
    imageCache_.emplace(imageKey, image);
    cacheBytes_ += byteCount(image);
    recency_.push_back(imageKey);

    double packMS = 0;
    while (cacheBytes_ > kCacheBudget && recency_.size() >= 2) {
        const std::string victim = recency_.front();
        recency_.pop_front();
        collectDemanded();
        auto cached = imageCache_.find(victim);
        if (cached != imageCache_.end()) {
            const CPUImage evicted = cached->second;
            imageCache_.erase(cached);
            cacheBytes_ -= byteCount(evicted);
            if (demandedImages_.contains(victim) && !packedCache_.contains(victim)) {
                const auto start = std::chrono::steady_clock::now();
                if (auto packed = PackedThumbnail::pack(evicted)) {
                    packedBytes_ += static_cast<std::int64_t>(packed->dataLength());
                    packedCache_.emplace(victim, std::move(*packed));
                    packedRecency_.push_back(victim);
                }
                packMS += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                              .count();
            }
        }
        auto packed = packedCache_.find(victim);
        immediate_->retireDecoded(victim, packed != packedCache_.end() ? std::optional(packed->second)
                                                                       : std::nullopt);
        if (packed == packedCache_.end()) forget(victim);
    }

    while (packedBytes_ > kPackedBudget && !packedRecency_.empty()) {
        const std::string victim = packedRecency_.front();
        packedRecency_.pop_front();
        auto packed = packedCache_.find(victim);
        if (packed != packedCache_.end()) {
            packedBytes_ -= static_cast<std::int64_t>(packed->second.dataLength());
            packedCache_.erase(packed);
        }
        // An image that is still decoded only loses its spare copy; dropping its
        // mappings would leave it counted in the budget where nobody can reach it.
        if (auto decoded = imageCache_.find(victim); decoded != imageCache_.end()) {
            immediate_->keepDecoded(victim, decoded->second);
            continue;
        }
        immediate_->removePacked(victim);
        forget(victim);
    }
    return packMS;
}

void ThumbnailCache::recordFrame(const std::string& imageKey, double requested, double pts,
                                 std::optional<double> endPTS) {
    if (!std::isfinite(pts)) return;
    framePTS_[imageKey] = pts;
    const auto existing = frameRanges_.find(imageKey);
    ThumbnailSpan span;
    if (!containingTime_) {
        if (!std::isfinite(requested) || requested > pts) return;
        const double lower =
            existing != frameRanges_.end() ? std::min(requested, existing->second.lower) : requested;
        span = {lower, pts};
    } else {
        if (!std::isfinite(requested) || pts > requested) return;
        double until = requested;
        // On screen until the next frame, which it must never answer for.
        if (endPTS && std::isfinite(*endPTS) && requested < *endPTS)
            until = std::nextafter(*endPTS, -std::numeric_limits<double>::infinity());
        const double upper = existing != frameRanges_.end() ? existing->second.upper : requested;
        span = {pts, std::max(until, upper)};
    }
    frameRanges_[imageKey] = span;
    immediate_->setSpan(imageKey, span);
}

ThumbnailCache::Statistics ThumbnailCache::cacheStatistics() const {
    return {static_cast<int>(imageCache_.size()), cacheBytes_};
}

ThumbnailCache::Statistics ThumbnailCache::packedCacheStatistics() const {
    return {static_cast<int>(packedCache_.size()), packedBytes_};
}

std::optional<std::string> ThumbnailCache::imageKey(const std::string& requestKey) const {
    auto found = requestCache_.find(requestKey);
    if (found == requestCache_.end()) return std::nullopt;
    return found->second;
}

std::optional<std::string> ThumbnailCache::imageKeyContaining(double seconds) const {
    for (const auto& [key, span] : frameRanges_) {
        if (span.contains(seconds)) return key;
    }
    return std::nullopt;
}

std::optional<CPUImage> ThumbnailCache::decodedImage(const std::string& imageKey) const {
    auto found = imageCache_.find(imageKey);
    if (found == imageCache_.end()) return std::nullopt;
    return found->second;
}

std::optional<CPUImage> ThumbnailCache::unpackPacked(const std::string& imageKey) {
    auto found = packedCache_.find(imageKey);
    if (found == packedCache_.end()) return std::nullopt;
    std::erase(packedRecency_, imageKey);
    packedRecency_.push_back(imageKey);
    return found->second.unpack();
}

bool ThumbnailCache::holds(const std::string& imageKey) const {
    return imageCache_.contains(imageKey) || packedCache_.contains(imageKey);
}

std::optional<double> ThumbnailCache::framePTS(const std::string& imageKey) const {
    auto found = framePTS_.find(imageKey);
    if (found == framePTS_.end()) return std::nullopt;
    return found->second;
}

void ThumbnailCache::demand(const std::string& imageKey) { demandedImages_.insert(imageKey); }

void ThumbnailCache::touch(const std::string& imageKey) {
    if (!imageCache_.contains(imageKey)) return;
    std::erase(recency_, imageKey);
    recency_.push_back(imageKey);
}

} // namespace lumavane
