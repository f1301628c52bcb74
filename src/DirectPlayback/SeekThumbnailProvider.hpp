#pragma once

#include "DirectPlayback/ThumbnailCache.hpp"
#include "MediaDecoder/MediaDecoder.h"
#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Foundation/MainExecutor.hpp"
#include "Platform/Foundation/SerialQueue.hpp"
#include "Platform/Image/CPUImage.hpp"
#include "Platform/Video/PixelBuffer.hpp"

#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <optional>
#include <string>

namespace lumavane {

namespace image {
class Context;
}

// What the provider's decoders share with the request under way; it is the opaque pointer of both
// decoders and only ever touched on the provider's queue, inside lv_decoder_read.
class ThumbnailFrame {
public:
    using Observer =
        std::function<void(const PixelBuffer& buffer, double time, std::optional<double> previous)>;

    bool containingTime = false;
    double target = 0;
    PixelBuffer buffer; // the chosen frame; empty while none is chosen
    std::optional<double> lastPTS;
    std::optional<double> selectedPTS;
    // The frame after the chosen one, when the choice was made by containment.
    std::optional<double> selectedEndPTS;
    PixelBuffer lastBuffer;
    Observer observe;

    // The decoders' video callback.
    static void thumbnailCallback(void* opaque, lv_pixel_buffer* buffer, double time);
};

// Seek-bar preview pictures of one media file: decodes with its own decoders on its own queue, picks
// the frame at the requested time, renders it upright into at most 512 x 288 pixels and keeps it in
// memory caches, capturing the frames it passes on a grid of neighbouring times on the way.
//
// Every operation runs on the provider's queue, one at a time, except cachedImage(), which any thread
// may call while a decode is under way. Destroy the provider from outside its queue; queued work that
// has not started by then ends with CancellationError.
class SeekThumbnailProvider {
public:
    struct RequestMetrics {
        double totalMS = 0;
        double setupMS = 0;
        double seekMS = 0;
        double readMS = 0;
        double renderMS = 0; // neighbours included
        double packMS = 0;
        int packets = 0; // lv_decoder_read calls
        int frames = 0;  // neighbour frames captured
        double demuxMS = 0;
        double submitMS = 0;
        double receiveMS = 0;
        int hardwareFrames = 0;
        int softwareFrames = 0;
        double selectedPTS = std::numeric_limits<double>::quiet_NaN();
        std::uint32_t pixelFormat = 0;
    };

    using ImageResult = std::optional<image::CPUImage>;
    // The image (none when there is none) or the error, CancellationError when the token was cancelled.
    using ImageCompletion = std::function<void(ImageResult image, std::exception_ptr error)>;

    // `useBatchedDecoder`: thumbnail decoders (the asynchronous path for H.264 and HEVC) instead of
    // ordinary ones. `containingTime`: a request is answered by the frame on screen at its time, and
    // request times are snapped to 1/600 s; otherwise by the first frame at or after it. Opens nothing.
    SeekThumbnailProvider(std::filesystem::path url, bool useBatchedDecoder, bool containingTime);
    ~SeekThumbnailProvider();
    SeekThumbnailProvider(const SeekThumbnailProvider&) = delete;
    SeekThumbnailProvider& operator=(const SeekThumbnailProvider&) = delete;

    // Opens the decoder of exact or approximate requests ahead of time.
    std::future<void> prepare(bool approximate);

    // The exact image already known for a time, from any thread; never decodes.
    ImageResult cachedImage(double seconds) const;

    // The image at `seconds`: with `approximate` the nearest earlier key frame, else the exact frame.
    // `retainForRevisit` keeps it (compressed) after it leaves the decoded cache; `neighborhoodStep` is
    // the spacing of the neighbouring times captured on the way. Non-finite times count as 0.
    std::future<ImageResult> image(double seconds, bool approximate, bool retainForRevisit,
                                   double neighborhoodStep, CancellationToken cancellation = {});
    // The same, completing on `mainExecutor`, which must outlive the request.
    void image(double seconds, bool approximate, bool retainForRevisit, double neighborhoodStep,
               CancellationToken cancellation, MainExecutor& mainExecutor, ImageCompletion completion);

    // Decodes the grid positions one and two steps behind `seconds` (only the first when the step is
    // above 2 s), farther first; nothing unless 0.1 <= step <= 4. With `onlyIfNeeded`, nothing when
    // the image at `seconds` is cached.
    std::future<void> warmBackwardNeighborhood(double seconds, double step, bool onlyIfNeeded,
                                               CancellationToken cancellation = {});

    std::future<RequestMetrics> lastRequestMetrics();
    std::future<ThumbnailCache::Statistics> cacheStatistics();
    std::future<ThumbnailCache::Statistics> packedCacheStatistics();

    static std::int64_t bucket(double seconds) { return thumbnailBucket(seconds); }

private:
    lv_decoder* createDecoderIfNeeded(bool approximate);
    ImageResult decodeImage(double seconds, bool approximate, bool retainForRevisit, double neighborhoodStep,
                            const CancellationToken& cancellation);
    void warm(double seconds, double step, bool onlyIfNeeded, const CancellationToken& cancellation);
    ImageResult render(const PixelBuffer& buffer, lv_decoder* decoder);
    // Non-finite times count as 0; with containingTime, times are snapped to 1/600 s.
    double requestTime(double seconds) const;
    std::optional<std::string> imageKeyForRequest(const std::string& requestKey, double seconds,
                                                  bool approximate) const;
    bool cancelled(const CancellationToken& cancellation) const;
    // Runs `work` on the queue and hands its result or exception to the future.
    template <typename Result, typename Work> std::future<Result> submit(Work work);

    RequestMetrics metrics_;
    const std::filesystem::path url_;
    const bool useBatchedDecoder_;
    const bool containingTime_;
    std::atomic<lv_decoder*> decoder_{nullptr};
    std::atomic<lv_decoder*> quickDecoder_{nullptr};
    ThumbnailFrame frame_;
    std::shared_ptr<image::Context> context_; // made on first render, on the queue
    bool contextFailed_ = false;
    bool lastWasApproximate_ = false;
    std::optional<double> interruptedTarget_;
    bool decodedEOF_ = false;
    ThumbnailCache cache_;
    const std::shared_ptr<ImmediateThumbnailCache> immediateCache_;
    std::atomic<bool> closing_{false};
    SerialQueue queue_{"Lumavane.seek-thumbnails", QualityOfService::userInitiated};
};

} // namespace lumavane
