#pragma once

#include "EnhancementCore/EnhancementResult.hpp"
#include "EnhancementCore/ModelInfo.hpp"
#include "Platform/Foundation/Cancellation.hpp"
#include "Platform/Image/Geometry.hpp"
#include "Platform/Image/Image.hpp"
#include "Platform/Video/PixelBuffer.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace lumavane::gpu {
class CommandBuffer;
class Device;
class Texture;
} // namespace lumavane::gpu

namespace lumavane::image {
class Context;
}

namespace lumavane {

class CompactMetalEngine;
class MetalTextureCache;

struct CompactEnhancerOptions {
    // The compact model folder.
    std::filesystem::path url;
    // Passed to every engine encode: the first layer reads the input texture itself.
    bool directInput = true;
    std::optional<bool> customConv24;
    // On a 4x model: native 4x output instead of the fused 4x-to-2x output.
    bool native4xOutput = false;
    // Output sized for the display (any size up to the model's scale) instead of frame x scale.
    bool optimalDisplayOutput = false;
    std::optional<bool> customConv16;
    std::optional<std::string> conv24Mode;
    // The engine's device; nullptr takes the system default. Tests give devices with other
    // GPU families so that the engine's own kernels run.
    std::shared_ptr<gpu::Device> device;
};

// Runs a compact model folder frame in, frame out on the compact engine. BGRA pixel buffers are
// read in place; every other input is rendered by the image layer into an input texture inside
// the frame's command buffer. Results wrap pooled BGRA buffers, at most six of which may be held
// at a time. Every operation records one command buffer, commits it and blocks its caller until
// the GPU is done, so call it off the main thread. One call at a time; no locks.
class CompactEnhancer {
public:
    // Slow (the engine compiles its kernels). Throws the engine's errors unchanged, or
    // EnhancementError "GPUテクスチャキャッシュを作れません。" / "出力プールを作れません。".
    explicit CompactEnhancer(const CompactEnhancerOptions& options);
    ~CompactEnhancer();
    CompactEnhancer(const CompactEnhancer&) = delete;
    CompactEnhancer& operator=(const CompactEnhancer&) = delete;

    const ModelInfo& info() const noexcept { return info_; }
    // Milliseconds spent encoding the image layer's render of the last input (0 for BGRA input).
    double lastInputPreparationMS() const noexcept { return lastInputPreparationMS_; }
    // GPU milliseconds of the last completed command buffer.
    double lastGPUMS() const noexcept { return lastGPUMS_; }
    std::string convolutionBackend() const;
    bool usesApproximateDown2() const;
    std::size_t activationAllocatedBytes() const;
    bool usesUniformInputOptimization() const;
    double previousUniformInputFraction() const;
    bool supportsNative4xOutput() const;
    bool supportsOptimalDisplayOutput() const;

    // The enhanced frame over a pooled buffer, tileCount 1. `outputSize` counts only with
    // display-optimal output. With a target, the result is also rendered into it (row 0 the
    // bottom, as the image layer writes textures) in the same command buffer; the target must
    // have the output's size. Throws EnhancementError with the messages of the module, the
    // engine's, the image layer's and the GPU's errors unchanged, and CancellationError when
    // `cancellation` is set before the commit or while the GPU ran (nothing is kept then).
    EnhancementResult enhance(const image::Image& image, const CancellationToken& cancellation = {});
    EnhancementResult enhance(const image::Image& image, std::optional<image::Size> outputSize,
                              const CancellationToken& cancellation = {});
    EnhancementResult enhance(const image::Image& image, const std::shared_ptr<gpu::Texture>& renderingTo,
                              const CancellationToken& cancellation = {});
    EnhancementResult enhance(const PixelBuffer& pixelBuffer, const CancellationToken& cancellation = {});
    EnhancementResult enhance(const PixelBuffer& pixelBuffer, std::optional<image::Size> outputSize,
                              const CancellationToken& cancellation = {});
    EnhancementResult enhance(const PixelBuffer& pixelBuffer,
                              const std::shared_ptr<gpu::Texture>& renderingTo,
                              const CancellationToken& cancellation = {});

    // Writes the enhanced frame straight into `to`, a bgra8Unorm texture of the output size, with
    // row 0 the bottom of the picture.
    void render(const image::Image& image, const std::shared_ptr<gpu::Texture>& to,
                const CancellationToken& cancellation = {});
    void render(const PixelBuffer& pixelBuffer, const std::shared_ptr<gpu::Texture>& to,
                const CancellationToken& cancellation = {});

private:
    friend struct CompactEnhancerTestAccess;

    // What a frame operation asks for beyond its input.
    struct Request {
        std::optional<image::Size> outputSize;
        std::shared_ptr<gpu::Texture> target;
        bool direct = false; // render(_:to:): the engine writes `target` itself
        const char* operation = "";
    };

    std::optional<EnhancementResult> enhanceImage(const image::Image& image, const Request& request,
                                                  const CancellationToken& cancellation);
    std::optional<EnhancementResult> enhancePixelBuffer(const PixelBuffer& pixelBuffer,
                                                        const Request& request,
                                                        const CancellationToken& cancellation);
    std::optional<EnhancementResult> dispatch(const std::shared_ptr<gpu::Texture>& source,
                                              const image::Image* preparing, const Request& request,
                                              const CancellationToken& cancellation);
    void prepare(std::int64_t width, std::int64_t height, std::optional<image::Size> outputSize);
    EnhancementResult process(const std::shared_ptr<gpu::Texture>& source, const image::Image* preparing,
                              const std::shared_ptr<gpu::Texture>& target, const char* operation,
                              const CancellationToken& cancellation);
    void processDirect(const std::shared_ptr<gpu::Texture>& source,
                       const std::shared_ptr<gpu::Texture>& destination, const image::Image* preparing,
                       const char* operation, const CancellationToken& cancellation);
    std::shared_ptr<gpu::CommandBuffer> makeCommandBuffer(const char* operation) const;
    void prepareInput(const image::Image& image, const std::shared_ptr<gpu::Texture>& source,
                      const std::shared_ptr<gpu::CommandBuffer>& commandBuffer);
    void commitAndWait(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                       const CancellationToken& cancellation);
    bool engineFlipsOutput() const;

    ModelInfo info_;
    double lastInputPreparationMS_ = 0;
    double lastGPUMS_ = 0;
    std::unique_ptr<CompactMetalEngine> engine_;
    std::int64_t outputScale_ = 0;
    bool optimalDisplayOutput_ = false;
    bool directInput_ = false;
    std::shared_ptr<image::Context> context_;
    std::shared_ptr<MetalTextureCache> cache_;
    std::shared_ptr<gpu::Texture> inputTexture_;
    PixelBufferPool pool_;
    std::int64_t outputWidth_ = 0;
    std::int64_t outputHeight_ = 0;
};

} // namespace lumavane
