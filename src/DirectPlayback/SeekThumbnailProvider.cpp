#include "DirectPlayback/SeekThumbnailProvider.hpp"

#include "DirectPlayback/SeekThumbnailFileAccess.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Image/Context.hpp"
#include "Platform/Image/DisplayRotation.hpp"
#include "Platform/Image/Image.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <type_traits>
#include <utility>
#include <vector>

namespace lumavane {

namespace {

constexpr int kErrorLength = 1024;
constexpr double kReadDeadline = 3.0;     // seconds a request may read
constexpr double kContinueDistance = 4.0; // forward hops that may read on instead of seeking
constexpr double kWidePreroll = 1.3;
constexpr double kNarrowPreroll = 0.12;
constexpr double kNeighborReach = 1.2; // seconds past the target that neighbours are captured
constexpr double kMaxWidth = 512;
constexpr double kMaxHeight = 288;
constexpr double kSameTime = 1e-9; // seconds apart that still name one frame time

double milliseconds(double since) { return (hostTimeSeconds() - since) * 1000.0; }

// Runs a callable when the scope ends, however it ends.
template <typename F> class ScopeExit {
public:
    explicit ScopeExit(F f) : f_(std::move(f)) {}
    ~ScopeExit() { f_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    F f_;
};

} // namespace

// ---- ThumbnailFrame ---------------------------------------------------------------

void ThumbnailFrame::thumbnailCallback(void* opaque, lv_pixel_buffer* frameBuffer, double time) {
    if (!opaque || !frameBuffer) return;
    auto& frame = *static_cast<ThumbnailFrame*>(opaque);
    const std::optional<double> previousPTS = frame.lastPTS;
    PixelBuffer previousBuffer = std::move(frame.lastBuffer);
    frame.lastPTS = time;
    frame.lastBuffer = PixelBuffer(frameBuffer, PixelBuffer::retain);
    if (frame.observe) {
        // Nothing may unwind through the C decoder; a neighbour that fails is only a missed neighbour.
        try {
            frame.observe(frame.lastBuffer, time, previousPTS);
        } catch (...) {}
    }
    if (frame.buffer) return;
    // A frame time computed from the stream's time base can sit one rounding step off the same time
    // written as seconds (1.4 s in 1/12800 units reads 1.4000000000000001); such a frame is at the target.
    const bool atTarget = std::fabs(time - frame.target) <= kSameTime;
    if (!(frame.target <= time) && !atTarget) return;
    if (frame.containingTime && !atTarget && frame.target < time && previousBuffer && previousPTS &&
        frame.target >= *previousPTS) {
        // The frame on screen at the target is the one before.
        frame.buffer = std::move(previousBuffer);
        frame.selectedPTS = *previousPTS;
        frame.selectedEndPTS = time;
    } else {
        frame.buffer = frame.lastBuffer;
        frame.selectedPTS = time;
    }
}

// ---- SeekThumbnailProvider ------------------------------------------------------------

SeekThumbnailProvider::SeekThumbnailProvider(std::filesystem::path url, bool useBatchedDecoder,
                                             bool containingTime)
    : url_(std::move(url)),
      useBatchedDecoder_(useBatchedDecoder),
      containingTime_(containingTime),
      cache_(containingTime),
      immediateCache_(cache_.immediateCache()) {
    frame_.containingTime = containingTime;
}

SeekThumbnailProvider::~SeekThumbnailProvider() {
    closing_.store(true);
    // A read stuck on a stalled source gives up; queued requests see closing_ and end at once.
    lv_decoder_interrupt(decoder_.load());
    lv_decoder_interrupt(quickDecoder_.load());
    queue_.shutdown();
    frame_.buffer.reset();
    frame_.lastBuffer.reset();
    lv_decoder_destroy(decoder_.exchange(nullptr));
    lv_decoder_destroy(quickDecoder_.exchange(nullptr));
}

template <typename Result, typename Work> std::future<Result> SeekThumbnailProvider::submit(Work work) {
    auto promise = std::make_shared<std::promise<Result>>();
    std::future<Result> future = promise->get_future();
    queue_.async([promise, work = std::move(work)]() mutable {
        try {
            if constexpr (std::is_void_v<Result>) {
                work();
                promise->set_value();
            } else {
                promise->set_value(work());
            }
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
    });
    return future;
}

std::future<void> SeekThumbnailProvider::prepare(bool approximate) {
    return submit<void>([this, approximate] {
        if (!closing_.load()) createDecoderIfNeeded(approximate);
    });
}

SeekThumbnailProvider::ImageResult SeekThumbnailProvider::cachedImage(double seconds) const {
    const double t = requestTime(seconds);
    return immediateCache_->image(thumbnailKey(false, t), t);
}

std::future<SeekThumbnailProvider::ImageResult> SeekThumbnailProvider::image(double seconds, bool approximate,
                                                                             bool retainForRevisit,
                                                                             double neighborhoodStep,
                                                                             CancellationToken cancellation) {
    return submit<ImageResult>([=, this] {
        return decodeImage(seconds, approximate, retainForRevisit, neighborhoodStep, cancellation);
    });
}

void SeekThumbnailProvider::image(double seconds, bool approximate, bool retainForRevisit,
                                  double neighborhoodStep, CancellationToken cancellation,
                                  MainExecutor& mainExecutor, ImageCompletion completion) {
    queue_.async([=, this, &mainExecutor, completion = std::move(completion)]() mutable {
        ImageResult result;
        std::exception_ptr error;
        try {
            result = decodeImage(seconds, approximate, retainForRevisit, neighborhoodStep, cancellation);
        } catch (...) {
            error = std::current_exception();
        }
        mainExecutor.post([completion = std::move(completion), result = std::move(result), error] {
            completion(result, error);
        });
    });
}

std::future<void> SeekThumbnailProvider::warmBackwardNeighborhood(double seconds, double step,
                                                                  bool onlyIfNeeded,
                                                                  CancellationToken cancellation) {
    return submit<void>([=, this] { warm(seconds, step, onlyIfNeeded, cancellation); });
}

std::future<SeekThumbnailProvider::RequestMetrics> SeekThumbnailProvider::lastRequestMetrics() {
    return submit<RequestMetrics>([this] { return metrics_; });
}

std::future<ThumbnailCache::Statistics> SeekThumbnailProvider::cacheStatistics() {
    return submit<ThumbnailCache::Statistics>([this] { return cache_.cacheStatistics(); });
}

std::future<ThumbnailCache::Statistics> SeekThumbnailProvider::packedCacheStatistics() {
    return submit<ThumbnailCache::Statistics>([this] { return cache_.packedCacheStatistics(); });
}

double SeekThumbnailProvider::requestTime(double seconds) const {
    if (!std::isfinite(seconds)) return 0;
    if (!containingTime_) return seconds;
    const double ticks = std::round(std::max(seconds, 0.0) * 600.0);
    // Beyond 2^53 ticks there is nothing left to round.
    if (ticks > 9007199254740992.0) return std::max(seconds, 0.0);
    return ticks / 600.0;
}

bool SeekThumbnailProvider::cancelled(const CancellationToken& cancellation) const {
    return cancellation.isCancelled() || closing_.load(std::memory_order_relaxed);
}

std::optional<std::string> SeekThumbnailProvider::imageKeyForRequest(const std::string& requestKey,
                                                                     double seconds, bool approximate) const {
    if (auto key = cache_.imageKey(requestKey)) return key;
    if (!approximate) return cache_.imageKeyContaining(seconds);
    return std::nullopt;
}

lv_decoder* SeekThumbnailProvider::createDecoderIfNeeded(bool approximate) {
    std::atomic<lv_decoder*>& slot = approximate ? quickDecoder_ : decoder_;
    if (lv_decoder* existing = slot.load()) return existing;
    SeekThumbnailFileAccess access(url_);
    std::array<char, kErrorLength> error{};
    const std::string path = url_.string();
    lv_decoder* decoder =
        useBatchedDecoder_
            ? lv_decoder_create_thumbnail(path.c_str(), &frame_, ThumbnailFrame::thumbnailCallback,
                                          error.data(), kErrorLength)
            : lv_decoder_create(path.c_str(), &frame_, ThumbnailFrame::thumbnailCallback, nullptr, nullptr,
                                error.data(), kErrorLength);
    if (decoder && approximate) lv_decoder_set_keyframe_preview(decoder, 1);
    slot.store(decoder);
    return decoder;
}

SeekThumbnailProvider::ImageResult SeekThumbnailProvider::decodeImage(double seconds, bool approximate,
                                                                      bool retainForRevisit,
                                                                      double neighborhoodStep,
                                                                      const CancellationToken& cancellation) {
    const double t = requestTime(seconds);
    metrics_ = RequestMetrics{};
    const double start = hostTimeSeconds();
    const auto throwIfCancelled = [&] {
        if (!cancelled(cancellation)) return;
        metrics_.totalMS = milliseconds(start);
        throw CancellationError{};
    };
    throwIfCancelled();
    const std::string requestKey = thumbnailKey(approximate, t);

    // Answers from memory.
    if (const auto imageKey = imageKeyForRequest(requestKey, t, approximate)) {
        std::optional<image::CPUImage> answer = cache_.decodedImage(*imageKey);
        if (!answer) {
            answer = cache_.unpackPacked(*imageKey);
            if (answer) metrics_.packMS += cache_.remember(*answer, requestKey, *imageKey);
        }
        if (answer) {
            metrics_.selectedPTS =
                cache_.framePTS(*imageKey).value_or(std::numeric_limits<double>::quiet_NaN());
            if (retainForRevisit) cache_.demand(*imageKey);
            cache_.touch(*imageKey);
            metrics_.totalMS = milliseconds(start);
            return answer;
        }
    }

    SeekThumbnailFileAccess access(url_);
    lv_decoder* decoder = createDecoderIfNeeded(approximate);
    if (!decoder) {
        metrics_.totalMS = milliseconds(start);
        return std::nullopt;
    }
    const lv_decoder_stats_t baseline = lv_decoder_stats(decoder);
    metrics_.setupMS = milliseconds(start);
    const auto writeStatistics = [&] {
        const lv_decoder_stats_t now = lv_decoder_stats(decoder);
        metrics_.demuxMS = (now.demux_seconds - baseline.demux_seconds) * 1000.0;
        metrics_.submitMS = (now.submit_seconds - baseline.submit_seconds) * 1000.0;
        metrics_.receiveMS = (now.receive_seconds - baseline.receive_seconds) * 1000.0;
        metrics_.hardwareFrames = now.hardware_frames - baseline.hardware_frames;
        metrics_.softwareFrames = now.software_frames - baseline.software_frames;
        metrics_.totalMS = milliseconds(start);
    };

    // A duration of 0 is unknown: only a known one bounds the target.
    const double duration = lv_decoder_duration(decoder);
    const double target = duration > 0 ? std::clamp(t, 0.0, duration) : std::max(t, 0.0);
    const auto targetSlot = static_cast<long long>(std::floor(target * 10));
    const long long stepTenths =
        !(neighborhoodStep >= 0.1)
            ? 1
            : std::max<long long>(1, std::llround(std::min(neighborhoodStep, 10.0) * 10));
    lv_decoder_set_thumbnail_target(decoder, target);
    const double preroll =
        frame_.lastPTS && std::fabs(target - *frame_.lastPTS) <= kContinueDistance && neighborhoodStep < 0.5
            ? kWidePreroll
            : kNarrowPreroll;
    lv_decoder_set_thumbnail_preroll(decoder, preroll);

    frame_.target = approximate ? -std::numeric_limits<double>::infinity() : target;
    frame_.buffer.reset();
    frame_.selectedPTS.reset();
    frame_.selectedEndPTS.reset();
    if (!approximate && !containingTime_) {
        frame_.observe = [this, target, preroll, stepTenths, targetSlot,
                          decoder](const PixelBuffer& buffer, double time, std::optional<double> previous) {
            if (!previous || time <= *previous || time < target - preroll || time > target + kNeighborReach)
                return;
            const auto first = static_cast<long long>(std::floor(*previous * 10)) + 1;
            const auto last = static_cast<long long>(std::floor(time * 10));
            if (last < first || last - first + 1 > 10) return;
            std::vector<long long> slots;
            for (long long s = first; s <= last; ++s) {
                if (static_cast<double>(s) / 10 >= target - preroll &&
                    s % stepTenths == targetSlot % stepTenths)
                    slots.push_back(s);
            }
            if (slots.empty()) return;
            metrics_.frames += 1;
            const std::string imageKey = thumbnailKey(false, time);
            ImageResult image = cache_.decodedImage(imageKey);
            if (!image) image = render(buffer, decoder);
            if (!image) return;
            for (long long s : slots) {
                const double requested = static_cast<double>(s) / 10;
                metrics_.packMS += cache_.remember(*image, thumbnailKey(false, requested), imageKey);
                cache_.recordFrame(imageKey, requested, time, std::nullopt);
            }
        };
    } else {
        frame_.observe = nullptr;
    }
    const ScopeExit finish([this, target] {
        if (!frame_.buffer) interruptedTarget_ = target;
        frame_.buffer.reset();
        frame_.observe = nullptr;
    });

    std::array<char, kErrorLength> error{};
    // Reading on past a key frame that the index places between the decoder and the target would decode
    // every picture up to it for nothing: a seek starts there.
    const auto keyFrameBetween = [&] { return lv_decoder_key_frame_time(decoder, target) > *frame_.lastPTS; };
    const bool continues = !approximate && !lastWasApproximate_ && !decodedEOF_ &&
                           (!interruptedTarget_ || *interruptedTarget_ <= target) && frame_.lastPTS &&
                           *frame_.lastPTS < target && target - *frame_.lastPTS <= kContinueDistance &&
                           !keyFrameBetween();
    if (continues) {
        interruptedTarget_.reset();
    } else {
        lastWasApproximate_ = approximate;
        interruptedTarget_.reset();
        decodedEOF_ = false;
        frame_.lastPTS.reset();
        frame_.lastBuffer.reset();
        const double seekStart = hostTimeSeconds();
        const int sought = lv_decoder_seek(decoder, error.data(), kErrorLength, target);
        metrics_.seekMS = milliseconds(seekStart);
        if (sought < 0) {
            writeStatistics();
            return std::nullopt;
        }
    }

    const double deadline = hostTimeSeconds() + kReadDeadline;
    try {
        while (!frame_.buffer && hostTimeSeconds() < deadline) {
            throwIfCancelled();
            const double readStart = hostTimeSeconds();
            const int result = lv_decoder_read(decoder, error.data(), kErrorLength);
            metrics_.readMS += milliseconds(readStart);
            metrics_.packets += 1;
            if (result > 0) continue;
            if (result == 0) {
                if (!frame_.buffer && frame_.lastBuffer) {
                    frame_.buffer = frame_.lastBuffer;
                    frame_.selectedPTS = frame_.lastPTS;
                }
                decodedEOF_ = true;
            }
            // Reading after the end only returns the end again.
            break;
        }
    } catch (const CancellationError&) {
        writeStatistics();
        throw;
    }

    if (!frame_.buffer) {
        writeStatistics();
        return std::nullopt;
    }
    metrics_.selectedPTS = frame_.selectedPTS.value_or(std::numeric_limits<double>::quiet_NaN());
    metrics_.pixelFormat = frame_.buffer.pixelFormat();
    const std::string imageKey = thumbnailKey(approximate, frame_.selectedPTS.value_or(target));
    ImageResult image = cache_.decodedImage(imageKey);
    if (!image) image = render(frame_.buffer, decoder);
    if (!image) {
        writeStatistics();
        return std::nullopt;
    }
    if (retainForRevisit) cache_.demand(imageKey);
    metrics_.packMS += cache_.remember(*image, requestKey, imageKey);
    if (!approximate && frame_.selectedPTS)
        cache_.recordFrame(imageKey, target, *frame_.selectedPTS, frame_.selectedEndPTS);
    writeStatistics();
    return image;
}

void SeekThumbnailProvider::warm(double seconds, double step, bool onlyIfNeeded,
                                 const CancellationToken& cancellation) {
    if (!std::isfinite(step) || step < 0.1 || step > 4) return;
    const double t = requestTime(seconds);
    if (onlyIfNeeded) {
        const auto imageKey = imageKeyForRequest(thumbnailKey(false, t), t, false);
        if (imageKey && cache_.holds(*imageKey)) return;
    }
    const int count = std::min(static_cast<int>(std::floor(4 / step)), 2);
    for (int i = count; i >= 1; --i) {
        if (cancelled(cancellation)) throw CancellationError{};
        decodeImage(std::max(t - i * step, 0.0), false, false, step, cancellation);
    }
}

SeekThumbnailProvider::ImageResult SeekThumbnailProvider::render(const PixelBuffer& buffer,
                                                                 lv_decoder* decoder) {
    const double start = hostTimeSeconds();
    const ScopeExit account([&] { metrics_.renderMS += milliseconds(start); });
    if (!context_ && !contextFailed_) {
        try {
            context_ = image::Context::make();
        } catch (...) {
            contextFailed_ = true; // no device: every request answers none
        }
    }
    if (!context_) return std::nullopt;
    try {
        image::Image picture = image::Image::fromPixelBuffer(buffer);
        picture = picture.transformed(image::uprightTransform(
            lv_decoder_rotation_degrees(decoder), picture.extent().width, picture.extent().height));
        const image::Rect upright = picture.extent();
        const double scale = std::min({1.0, kMaxWidth / upright.width, kMaxHeight / upright.height});
        picture = picture.transformed(image::AffineTransform::scale(scale, scale));
        return context_->createCPUImage(picture, picture.extent());
    } catch (...) {
        return std::nullopt; // a pixel format the image layer cannot read
    }
}

} // namespace lumavane
