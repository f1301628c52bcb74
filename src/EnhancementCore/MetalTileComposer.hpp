#pragma once

#include "EnhancementCore/MetalBufferView.hpp"
#include "Platform/Image/Geometry.hpp"

#include <future>
#include <memory>

namespace lumavane::gpu {
class CommandQueue;
}

namespace lumavane {

// Copies finished tiles from prediction outputs into the output frame with one
// GPU blit each. Copies may run from several threads at once; each has its own
// command buffer on the shared queue.
class MetalTileComposer {
public:
    // Throws EnhancementError "GPU合成用のリソースを確保できません。".
    explicit MetalTileComposer(std::shared_ptr<gpu::Device> device);

    const std::shared_ptr<MetalTextureCache>& cache() const { return cache_; }
    const std::shared_ptr<gpu::CommandQueue>& queue() const { return queue_; }

    // Copies the tile's content rectangle (source pixels, y up) from `source`, a
    // prediction output of the tile's input size × scale whose content starts
    // `padding` pixels inside, into the same place of `destination` scaled by
    // `scale`. The future gives the GPU milliseconds of the copy once the GPU has
    // finished, or the command buffer's error. Throws EnhancementError before
    // anything is submitted: the view's message, or "GPUの合成コマンドを作成できません。"
    // when no command can be made (also for a rectangle outside either texture).
    std::future<double> copy(const PixelBuffer& source, const MetalBufferView& destination,
                             const image::Rect& content, int scale, int padding) const;

private:
    std::shared_ptr<MetalTextureCache> cache_;
    std::shared_ptr<gpu::CommandQueue> queue_;
};

} // namespace lumavane
