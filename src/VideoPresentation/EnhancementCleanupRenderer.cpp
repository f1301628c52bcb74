#include "VideoPresentation/EnhancementCleanupRenderer.hpp"

#include "VideoPresentation/PostProcessKernels.hpp"

namespace lumavane {

namespace {

std::shared_ptr<gpu::Texture> cached(std::shared_ptr<gpu::Texture>& cache, gpu::Device& device, int width,
                                     int height, const char* label) {
    if (width < 1 || height < 1) {
        cache.reset();
        return nullptr;
    }
    return postprocess::cachedTexture(cache, device, std::size_t(width), std::size_t(height), label);
}

} // namespace

EnhancementCleanupRenderer::EnhancementCleanupRenderer(std::shared_ptr<gpu::Device> device)
    : device_(std::move(device)) {
    pipeline_ = postprocess::pipeline(*device_, "enhancementCleanup", errorDomain,
                                      "enhancementCleanup function is missing");
}

std::shared_ptr<gpu::Texture> EnhancementCleanupRenderer::source(int width, int height) {
    return cached(sourceTexture_, *device_, width, height, "Lumavane enhancement cleanup input");
}

std::shared_ptr<gpu::Texture> EnhancementCleanupRenderer::guide(int width, int height) {
    return cached(guideTexture_, *device_, width, height, "Lumavane enhancement cleanup guide");
}

void EnhancementCleanupRenderer::encode(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                                        const std::shared_ptr<gpu::Texture>& guide,
                                        const std::shared_ptr<gpu::Texture>& source,
                                        const std::shared_ptr<gpu::Texture>& destination,
                                        const image::Rect& contentRect, float effectStart, float effectEnd,
                                        float strength) {
    // Another pixel format would have the kernel read and write past the textures' rows.
    if (!commandBuffer || !guide || !source || !destination || !postprocess::isColourTexture(*guide) ||
        !postprocess::isColourTexture(*source) || !postprocess::isColourTexture(*destination))
        return;
    auto encoder = commandBuffer->computeCommandEncoder();
    if (!encoder) return;
    const float content[4] = {float(contentRect.x), float(contentRect.y), float(contentRect.width),
                              float(contentRect.height)};
    const float parameters[4] = {effectStart, effectEnd, strength, 0};
    encoder->setLabel("Enhancement model artifact cleanup");
    encoder->setComputePipelineState(pipeline_);
    encoder->setTexture(guide, 0);
    encoder->setTexture(source, 1);
    encoder->setTexture(destination, 2);
    encoder->setBytes(content, sizeof content, 0);
    encoder->setBytes(parameters, sizeof parameters, 1);
    postprocess::dispatchOver(*encoder, *pipeline_, *destination);
    encoder->endEncoding();
}

} // namespace lumavane
