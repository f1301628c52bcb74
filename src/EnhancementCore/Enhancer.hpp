#pragma once

#include "EnhancementCore/CompositeBackend.hpp"
#include "EnhancementCore/EnhancementResult.hpp"
#include "EnhancementCore/EnhancementTimings.hpp"
#include "EnhancementCore/EnhancerBuffers.hpp"
#include "EnhancementCore/ModelInfo.hpp"
#include "EnhancementCore/TilePlan.hpp"
#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Image/Image.hpp"
#include "Platform/Ml/Model.hpp"
#include "Platform/Video/PixelBuffer.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumavane::image {
class Context;
}

namespace lumavane {

class MetalTileComposer;
class MetalBufferView;

// Runs a Core ML super-resolution model over video frames: in padded tiles of the model's
// fixed input size, or on the whole frame at once for models that declare so in their
// creator metadata. Serves one enhancement call at a time and holds no lock.
class Enhancer {
public:
    // Accepts ".mlmodel" and ".mlpackage" (compiled into a temporary copy that is removed
    // before the constructor returns, whether it succeeds or not) and ".mlmodelc". Slow:
    // call it off the main thread. Throws EnhancementError, or the model runtime's
    // PlatformError for compilation and loading.
    Enhancer(const std::filesystem::path& url, int padding, ml::ComputeUnits computeUnits,
             bool allowLowPrecisionAccumulation);
    ~Enhancer();
    Enhancer(const Enhancer&) = delete;
    Enhancer& operator=(const Enhancer&) = delete;

    // One BGRA buffer that the model runtime, the image layer and the GPU share.
    static PixelBuffer buffer(int width, int height) { return enhancerBuffer(width, height); }

    const ModelInfo& info() const { return info_; }
    bool usesWholeFrame() const { return usesWholeFrame_; }
    int padding() const { return padding_; }
    const EnhancementTimings& lastTimings() const { return lastTimings_; }

    // Enhances one frame (extent at the origin, whole-pixel size) with up to `maxInFlight`
    // (1...6) tiles prepared and predicted at once on worker threads; the calling thread
    // collects them. The result wraps a pooled output frame, which is not handed out again
    // while the result holds it. Throws EnhancementError, the runtime's and the GPU's errors
    // unchanged, or CancellationError once `cancellation` is cancelled (then no further tile
    // starts, and the call returns after the tiles already running have finished).
    EnhancementResult enhancePipelined(const image::Image& image, int maxInFlight,
                                       CompositeBackend compositor,
                                       const CancellationToken& cancellation = {});

    // The same result one tile after another on the calling thread, composited by the image
    // layer into a new output buffer.
    EnhancementResult enhance(const image::Image& image);

private:
    friend struct EnhancerTestAccess;
    struct PipelineSlot;
    struct CompletedTile;
    struct TileGroup;

    EnhancementResult enhanceWholeFrame(const image::Image& image);
    // The frame checks of both tiled paths; `limitMessage` is the path's own text.
    TilePlan planFrame(const image::Image& image, const char* limitMessage, int& width, int& height) const;
    // The tile's input region of the frame, edge pixels repeated outside, rendered into `input`.
    void prepareTile(const image::Image& image, const Tile& tile, const PixelBuffer& input) const;
    // Writes the scaled content of a finished tile into the output frame.
    void compositeTile(const PixelBuffer& tileOutput, const Tile& tile, const PixelBuffer& output) const;
    CompletedTile runTile(const image::Image& image, const Tile& tile, PipelineSlot& slot, int slotIndex,
                          const MetalBufferView* outputView, const TileGroup& group) const;
    void startTile(TileGroup& group, const image::Image& image, const Tile& tile, int slotIndex,
                   const MetalBufferView* outputView);

    ModelInfo info_;
    bool usesWholeFrame_ = false;
    PixelBuffer wholeFrameBuffer_;
    std::shared_ptr<ml::Model> model_;
    std::string inputName_;
    std::string outputName_;
    std::optional<image::Size> wholeFrameFixedSize_;
    std::shared_ptr<image::Context> context_;
    PixelBuffer inputBuffer_;
    std::unique_ptr<MetalTileComposer> metalComposer_;
    int padding_ = 0;
    EnhancementTimings lastTimings_;
    std::vector<std::unique_ptr<PipelineSlot>> pipelineSlots_;
    EnhancerOutputPool outputPool_;
};

} // namespace lumavane
