#include "EnhancementCore/Enhancer.hpp"

#include "EnhancementCore/EnhancementError.hpp"
#include "EnhancementCore/EnhancerInternal.hpp"
#include "EnhancementCore/MetalBufferView.hpp"
#include "EnhancementCore/MetalTileComposer.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Image/Context.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace lumavane {
namespace {

constexpr long long maximumOutputSide = 8192;
constexpr long long maximumOutputPixels = 33'554'432;
constexpr int maximumTilesInFlight = 6;

double milliseconds(double since) { return (hostTimeSeconds() - since) * 1000; }

// Where the GPU can read the prediction's buffer in place (what an IOSurface backing is on
// the desktop platform): every 32-bit BGRA buffer can be viewed as a texture.
bool viewableByGPU(const PixelBuffer& buffer) { return buffer.pixelFormat() == LV_PIXEL_FORMAT_32BGRA; }

} // namespace

struct Enhancer::CompletedTile {
    Tile tile;
    int slotIndex = 0;
    PixelBuffer buffer;
    double prepareMS = 0;
    double predictionMS = 0;
    double compositeMS = 0;
    double compositeGPUMS = 0;
    bool usedOutputBacking = false;
    bool composited = false;
};

// The tiles of one pipelined call: workers hand their results (or errors) to the collecting
// thread in completion order.
struct Enhancer::TileGroup {
    struct Outcome {
        CompletedTile tile;
        std::exception_ptr error;
    };

    explicit TileGroup(CancellationToken token) : cancellation(std::move(token)) {}

    bool isCancelled() const {
        return cancelled.load(std::memory_order_acquire) || cancellation.isCancelled();
    }

    void finish(Outcome outcome) {
        // Notified under the lock: once `running` reaches 0 the collector may destroy the group.
        std::lock_guard lock(mutex);
        finished.push_back(std::move(outcome));
        --running;
        changed.notify_all();
    }

    Outcome next() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return !finished.empty(); });
        Outcome outcome = std::move(finished.front());
        finished.pop_front();
        return outcome;
    }

    // Stops tiles that have not begun and waits for those running.
    void cancelAndWait() {
        cancelled.store(true, std::memory_order_release);
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return running == 0; });
    }

    CancellationToken cancellation;
    std::atomic<bool> cancelled{false};
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Outcome> finished;
    int running = 0;
};

// Here, where a pipeline slot is a complete type.
Enhancer::~Enhancer() = default;

TilePlan Enhancer::planFrame(const image::Image& image, const char* limitMessage, int& width,
                             int& height) const {
    const image::Rect extent = image.extent();
    if (!extent.isNull()) {
        // Tiles are cut from the origin in whole pixels; anything else cannot be placed.
        const bool finite = std::isfinite(extent.x) && std::isfinite(extent.y) &&
                            std::isfinite(extent.width) && std::isfinite(extent.height) &&
                            !extent.isInfinite();
        if (!finite || extent.x != 0 || extent.y != 0 || extent.width != std::floor(extent.width) ||
            extent.height != std::floor(extent.height))
            throw EnhancementError::invalid(EnhancementMessage::imageExtent);
    }
    const long long scale = info_.scale;
    // Sides beyond the output limit are refused before they are narrowed to int.
    const double side = double(maximumOutputSide);
    const long long w = extent.isNull() ? 0 : static_cast<long long>(std::min(extent.width, side + 1));
    const long long h = extent.isNull() ? 0 : static_cast<long long>(std::min(extent.height, side + 1));
    if (w < 1 || h < 1 || w * scale > maximumOutputSide || h * scale > maximumOutputSide ||
        w * h * scale * scale > maximumOutputPixels)
        throw EnhancementError::invalid(limitMessage);
    width = int(w);
    height = int(h);
    return TilePlan(width, height, info_.inputWidth, info_.inputHeight, padding_);
}

void Enhancer::prepareTile(const image::Image& image, const Tile& tile, const PixelBuffer& input) const {
    const image::Rect bounds{0, 0, double(info_.inputWidth), double(info_.inputHeight)};
    const image::Image source =
        image.clampedToExtent()
            .transformed(image::AffineTransform::translation(-tile.input.minX(), -tile.input.minY()))
            .cropped(bounds);
    context_->render(source, input, bounds);
}

void Enhancer::compositeTile(const PixelBuffer& tileOutput, const Tile& tile,
                             const PixelBuffer& output) const {
    const double s = info_.scale;
    const image::Rect target{tile.content.x * s, tile.content.y * s, tile.content.width * s,
                             tile.content.height * s};
    const image::Image placed =
        image::Image::fromPixelBuffer(tileOutput)
            .transformed(image::AffineTransform::translation(tile.input.minX() * s, tile.input.minY() * s))
            .cropped(target);
    context_->render(placed, output, target);
}

EnhancementResult Enhancer::enhance(const image::Image& image) {
    if (usesWholeFrame_) return enhanceWholeFrame(image);

    EnhancementTimings timings;
    const double t0 = hostTimeSeconds();
    int width = 0, height = 0;
    const TilePlan plan = planFrame(image, EnhancementMessage::outputLimitSequential, width, height);
    const PixelBuffer output = buffer(width * info_.scale, height * info_.scale);
    timings.setupMS = milliseconds(t0);

    for (const Tile& tile : plan.tiles) {
        const double prepareStart = hostTimeSeconds();
        prepareTile(image, tile, inputBuffer_);
        const ml::FeatureProvider provider({{inputName_, ml::FeatureValue(inputBuffer_)}});
        timings.prepareMS += milliseconds(prepareStart);

        const double predictionStart = hostTimeSeconds();
        const ml::FeatureProvider result = model_->prediction(provider);
        timings.predictionMS += milliseconds(predictionStart);

        const std::optional<ml::FeatureValue> value = result.featureValue(outputName_);
        if (!value || !value->imageBufferValue())
            throw EnhancementError::invalid(EnhancementMessage::noModelImage);

        const double compositeStart = hostTimeSeconds();
        compositeTile(value->imageBufferValue(), tile, output);
        timings.compositeMS += milliseconds(compositeStart);
    }

    lastTimings_ = timings;
    return EnhancementResult{image::Image::fromPixelBuffer(output), int(plan.tiles.size())};
}

Enhancer::CompletedTile Enhancer::runTile(const image::Image& image, const Tile& tile, PipelineSlot& slot,
                                          int slotIndex, const MetalBufferView* outputView,
                                          const TileGroup& group) const {
    if (group.isCancelled()) throw CancellationError{};
    CompletedTile completed;
    completed.tile = tile;
    completed.slotIndex = slotIndex;

    const double prepareStart = hostTimeSeconds();
    prepareTile(image, tile, slot.input);
    completed.prepareMS = milliseconds(prepareStart);

    const double predictionStart = hostTimeSeconds();
    const ml::FeatureProvider result = model_->prediction(slot.provider, slot.options);
    completed.predictionMS = milliseconds(predictionStart);

    const std::optional<ml::FeatureValue> value = result.featureValue(outputName_);
    if (!value || !value->imageBufferValue())
        throw EnhancementError::invalid(EnhancementMessage::noModelImage);
    completed.buffer = value->imageBufferValue();
    completed.usedOutputBacking = completed.buffer == slot.output;

    if (outputView && viewableByGPU(completed.buffer)) {
        const double copyStart = hostTimeSeconds();
        completed.compositeGPUMS =
            metalComposer_->copy(completed.buffer, *outputView, tile.content, info_.scale, padding_).get();
        completed.compositeMS = milliseconds(copyStart);
        completed.composited = true;
    }
    return completed;
}

void Enhancer::startTile(TileGroup& group, const image::Image& image, const Tile& tile, int slotIndex,
                         const MetalBufferView* outputView) {
    PipelineSlot& slot = *pipelineSlots_[std::size_t(slotIndex)];
    {
        std::lock_guard lock(group.mutex);
        ++group.running;
    }
    // The group outlives the work: the collecting thread waits for every started tile.
    slot.queue.async([this, &group, &slot, image, tile, slotIndex, outputView] {
        TileGroup::Outcome outcome;
        try {
            outcome.tile = runTile(image, tile, slot, slotIndex, outputView, group);
        } catch (...) {
            outcome.error = std::current_exception();
        }
        group.finish(std::move(outcome));
    });
}

EnhancementResult Enhancer::enhancePipelined(const image::Image& image, int maxInFlight,
                                             CompositeBackend compositor,
                                             const CancellationToken& cancellation) {
    if (usesWholeFrame_) {
        cancellation.throwIfCancelled();
        EnhancementResult result = enhanceWholeFrame(image);
        cancellation.throwIfCancelled();
        return result;
    }
    if (maxInFlight < 1 || maxInFlight > maximumTilesInFlight)
        throw EnhancementError::invalid(EnhancementMessage::tilesInFlight);
    cancellation.throwIfCancelled();
    const double t0 = hostTimeSeconds();

    int width = 0, height = 0;
    const TilePlan plan = planFrame(image, EnhancementMessage::outputLimitPipelined, width, height);
    const std::size_t tileCount = plan.tiles.size();
    const std::size_t slotCount = std::min(tileCount, std::size_t(maxInFlight));
    while (pipelineSlots_.size() < slotCount)
        pipelineSlots_.push_back(std::make_unique<PipelineSlot>(inputName_, outputName_, info_.inputWidth,
                                                                info_.inputHeight, info_.scale,
                                                                pipelineSlots_.size()));
    const PixelBuffer output = outputPool_.pooledOutput(width * info_.scale, height * info_.scale);
    std::optional<MetalBufferView> outputView;
    if (compositor == CompositeBackend::metal) outputView.emplace(output, *metalComposer_->cache());
    const MetalBufferView* view = outputView ? &*outputView : nullptr;

    EnhancementTimings timings;
    timings.setupMS = milliseconds(t0);

    TileGroup group(cancellation);
    try {
        for (std::size_t i = 0; i < slotCount; ++i) startTile(group, image, plan.tiles[i], int(i), view);
        std::size_t next = slotCount;
        for (std::size_t received = 0; received < tileCount; ++received) {
            TileGroup::Outcome outcome = group.next();
            if (outcome.error) std::rethrow_exception(outcome.error);
            cancellation.throwIfCancelled();
            const CompletedTile& done = outcome.tile;
            timings.prepareMS += done.prepareMS;
            timings.predictionMS += done.predictionMS;
            timings.compositeMS += done.compositeMS;
            timings.compositeGPUMS += done.compositeGPUMS;
            if (done.usedOutputBacking) ++timings.outputBackingHits;
            if (!done.composited) {
                const double compositeStart = hostTimeSeconds();
                compositeTile(done.buffer, done.tile, output);
                timings.compositeMS += milliseconds(compositeStart);
            }
            // The slot is free only now: its output has reached the frame.
            if (next < tileCount) startTile(group, image, plan.tiles[next++], done.slotIndex, view);
        }
    } catch (...) {
        group.cancelAndWait();
        throw;
    }

    lastTimings_ = timings;
    return EnhancementResult{image::Image::fromPixelBuffer(output), int(tileCount)};
}

} // namespace lumavane
