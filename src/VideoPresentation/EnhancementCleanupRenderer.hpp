#pragma once

#include "Platform/Gpu/Gpu.hpp"
#include "Platform/Image/Geometry.hpp"

#include <memory>

namespace lumavane {

// Runs the "enhancementCleanup" kernel: pulls the upscaled picture (the source) back where it
// rings next to edges or has grainy detail on areas the frame before upscaling (the guide) shows
// flat, inside a band of the content and at a given strength. Only encodes into the caller's
// command buffer; main thread only.
//
// Errors are PlatformError in the domain "Lumavane.EnhancementCleanup":
//   1 "PostProcess.cl is missing", 2 "enhancementCleanup function is missing".
class EnhancementCleanupRenderer {
public:
    static constexpr const char* errorDomain = "Lumavane.EnhancementCleanup";

    // Throws the errors above; compile and pipeline errors pass through.
    explicit EnhancementCleanupRenderer(std::shared_ptr<gpu::Device> device);

    // The cached texture the caller renders the upscaled picture into (destination size), and the
    // one for the guide (its own size). An empty size empties the cache and gives nullptr, as does
    // a texture that cannot be made.
    std::shared_ptr<gpu::Texture> source(int width, int height);
    std::shared_ptr<gpu::Texture> guide(int width, int height);

    // Encodes the pass. Guide and source are read bottom row first, as Core Image renders; the
    // destination is written top row first. `contentRect` is where the picture lies in the
    // destination (pixels, Core Image coordinates); the guide spans it. The band
    // [effectStart, effectEnd) is a fraction of the content width. Whether to run is the caller's
    // choice; only missing textures, textures not of four bytes a pixel or a buffer that gives no
    // encoder make it do nothing.
    void encode(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                const std::shared_ptr<gpu::Texture>& guide, const std::shared_ptr<gpu::Texture>& source,
                const std::shared_ptr<gpu::Texture>& destination, const image::Rect& contentRect,
                float effectStart, float effectEnd, float strength);

private:
    std::shared_ptr<gpu::Device> device_;
    std::shared_ptr<gpu::ComputePipelineState> pipeline_;
    std::shared_ptr<gpu::Texture> sourceTexture_;
    std::shared_ptr<gpu::Texture> guideTexture_;
};

} // namespace lumavane
