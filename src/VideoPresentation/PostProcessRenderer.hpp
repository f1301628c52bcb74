#pragma once

#include "Platform/Gpu/Gpu.hpp"
#include "Platform/Image/Context.hpp"
#include "Platform/Image/Image.hpp"
#include "VideoPresentation/PostProcessSettings.hpp"

#include <cstdint>
#include <functional>
#include <memory>

namespace lumavane {

// Runs the "postProcess" kernel (sharpen, deband, grain, brightness, gamma, difference preview)
// over a picture: before upscaling through render(), after it through encode() inside the
// caller's command buffer. One instance per owner; not shared between threads.
//
// Errors are PlatformError in the domain "Lumavane.PostProcess":
//   1 "PostProcess.cl is missing", 2 "postProcess function is missing",
//   3 "GPU command queue is unavailable", 4 "FX textures could not be created",
//   5 "Pre-upscale FX processing failed".
class PostProcessRenderer {
public:
    static constexpr const char* errorDomain = "Lumavane.PostProcess";

    // Throws the errors above; compile, pipeline and image-context errors pass through.
    explicit PostProcessRenderer(std::shared_ptr<gpu::Device> device);

    // The picture with the effects, the same extent rounded to whole pixels; the input itself when
    // the effects are off, the band is empty, the extent is empty or no compute encoder can be
    // had. Waits for the GPU. Throws error 4, the command buffer's error or error 5.
    image::Image render(const image::Image& image, const PostProcessConfiguration& configuration);

    // Encodes the pass from `source` into `destination` (same size) inside `commandBuffer`, the
    // effects applying in the band of `contentRect` (destination pixels, Core Image coordinates).
    // The destination is written top row first; the source is read so too when
    // sourceIsDisplayOriented, else bottom row first as Core Image renders. Does not look at
    // isEnabled(); does nothing without an encoder, or for textures not of four bytes a pixel.
    void encode(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                const std::shared_ptr<gpu::Texture>& source, const std::shared_ptr<gpu::Texture>& destination,
                const PostProcessConfiguration& configuration, const image::Rect& contentRect,
                bool sourceIsDisplayOriented);

    // The cached source texture of the post-upscale path; nullptr for an empty size (the cache
    // stays) or when the texture cannot be made.
    std::shared_ptr<gpu::Texture> intermediateTexture(int width, int height);

    // Passes encoded so far, modulo 2^32; the first pass sees 1 and animates the grain with it.
    std::uint32_t frameIndex() const { return frameIndex_; }

    // Tests stand in for a command buffer that gives no compute encoder.
    using EncoderSource = std::function<std::shared_ptr<gpu::ComputeCommandEncoder>(gpu::CommandBuffer&)>;
    void setEncoderSourceForTesting(EncoderSource source) { encoderSource_ = std::move(source); }

private:
    void encodePass(gpu::ComputeCommandEncoder& encoder, const std::shared_ptr<gpu::Texture>& source,
                    const std::shared_ptr<gpu::Texture>& destination,
                    const PostProcessConfiguration& configuration, const image::Rect& contentRect,
                    bool sourceIsDisplayOriented);

    std::shared_ptr<gpu::Device> device_;
    std::shared_ptr<gpu::ComputePipelineState> pipeline_;
    std::shared_ptr<gpu::CommandQueue> commandQueue_;
    std::shared_ptr<image::Context> context_;
    std::shared_ptr<gpu::Texture> intermediate_;
    std::uint32_t frameIndex_ = 0;
    EncoderSource encoderSource_;
};

} // namespace lumavane
