#include "VideoPresentation/PostProcessRenderer.hpp"

#include "Platform/Foundation/PlatformError.hpp"
#include "VideoPresentation/PostProcessKernels.hpp"

#include <algorithm>
#include <cmath>

namespace lumavane {

namespace {

std::size_t wholePixels(double length) { return std::size_t(std::max(1.0, std::round(length))); }

} // namespace

PostProcessRenderer::PostProcessRenderer(std::shared_ptr<gpu::Device> device)
    : device_(std::move(device)),
      encoderSource_([](gpu::CommandBuffer& buffer) { return buffer.computeCommandEncoder(); }) {
    pipeline_ =
        postprocess::pipeline(*device_, "postProcess", errorDomain, "postProcess function is missing");
    commandQueue_ = device_->newCommandQueue();
    if (!commandQueue_) throw PlatformError(errorDomain, 3, "GPU command queue is unavailable");
    context_ = image::Context::make(device_);
}

image::Image PostProcessRenderer::render(const image::Image& image,
                                         const PostProcessConfiguration& configuration) {
    if (!configuration.settings.isEnabled() || !(configuration.effectStart < configuration.effectEnd))
        return image;
    const image::Rect extent = image.extent();
    // Infinite extents never come from the callers; they are left alone like empty ones.
    if (!(extent.width > 0) || !(extent.height > 0) || extent.isInfinite() || !std::isfinite(extent.width) ||
        !std::isfinite(extent.height))
        return image;
    const std::size_t width = wholePixels(extent.width), height = wholePixels(extent.height);

    auto input = postprocess::frameTexture(*device_, width, height, "Lumavane pre-upscale FX input");
    auto output = postprocess::frameTexture(*device_, width, height, "Lumavane pre-upscale FX output");
    auto commandBuffer = commandQueue_->commandBuffer();
    if (!input || !output || !commandBuffer)
        throw PlatformError(errorDomain, 4, "FX textures could not be created");

    context_->render(image.transformed(image::AffineTransform::translation(-extent.x, -extent.y)), input,
                     commandBuffer, false);
    auto encoder = encoderSource_(*commandBuffer);
    // Without the pass the output holds no picture: hand back the input rather than garbage.
    if (!encoder) return image;
    encodePass(*encoder, input, output, configuration, {0, 0, double(width), double(height)}, false);
    commandBuffer->commit();
    commandBuffer->waitUntilCompleted();
    if (commandBuffer->status() != gpu::CommandBuffer::Status::completed) {
        if (auto error = commandBuffer->error()) throw *error;
        throw PlatformError(errorDomain, 5, "Pre-upscale FX processing failed");
    }
    // The pass wrote the top row first; Core Image reads row 0 as the bottom.
    return image::Image::fromTexture(output)
        .transformed(image::AffineTransform::scale(1, -1))
        .transformed(image::AffineTransform::translation(0, double(height)))
        .transformed(image::AffineTransform::translation(extent.x, extent.y));
}

void PostProcessRenderer::encode(const std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                                 const std::shared_ptr<gpu::Texture>& source,
                                 const std::shared_ptr<gpu::Texture>& destination,
                                 const PostProcessConfiguration& configuration,
                                 const image::Rect& contentRect, bool sourceIsDisplayOriented) {
    // Another pixel format would have the kernel read and write past the textures' rows.
    if (!commandBuffer || !source || !destination || !postprocess::isColourTexture(*source) ||
        !postprocess::isColourTexture(*destination))
        return;
    auto encoder = encoderSource_(*commandBuffer);
    if (!encoder) return;
    encodePass(*encoder, source, destination, configuration, contentRect, sourceIsDisplayOriented);
}

void PostProcessRenderer::encodePass(gpu::ComputeCommandEncoder& encoder,
                                     const std::shared_ptr<gpu::Texture>& source,
                                     const std::shared_ptr<gpu::Texture>& destination,
                                     const PostProcessConfiguration& configuration,
                                     const image::Rect& contentRect, bool sourceIsDisplayOriented) {
    ++frameIndex_;
    const PostProcessSettings& s = configuration.settings;
    const float amounts[4] = {s.sharpenAmount, s.debandAmount, s.grainAmount, float(frameIndex_)};
    const float content[4] = {float(contentRect.x), float(contentRect.y), float(contentRect.width),
                              float(contentRect.height)};
    const float band[4] = {configuration.effectStart, configuration.effectEnd,
                           s.differencePreview ? 1.0f : 0.0f, 0};
    const std::uint32_t flags[4] = {s.sharpenEnabled, s.debandEnabled, s.grainEnabled,
                                    sourceIsDisplayOriented};
    const float tone[2] = {s.brightness, s.gamma};
    encoder.setLabel("Sharpen + deband + grain");
    encoder.setComputePipelineState(pipeline_);
    encoder.setTexture(source, 0);
    encoder.setTexture(destination, 1);
    encoder.setBytes(amounts, sizeof amounts, 0);
    encoder.setBytes(content, sizeof content, 1);
    encoder.setBytes(band, sizeof band, 2);
    encoder.setBytes(flags, sizeof flags, 3);
    encoder.setBytes(tone, sizeof tone, 4);
    postprocess::dispatchOver(encoder, *pipeline_, *destination);
    encoder.endEncoding();
}

std::shared_ptr<gpu::Texture> PostProcessRenderer::intermediateTexture(int width, int height) {
    if (width < 1 || height < 1) return nullptr;
    return postprocess::cachedTexture(intermediate_, *device_, std::size_t(width), std::size_t(height),
                                      "Lumavane post-process input");
}

} // namespace lumavane
