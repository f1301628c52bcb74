#include "EnhancementCore/MetalBufferView.hpp"

#include "EnhancementCore/EnhancementError.hpp"
#include "Platform/Gpu/Gpu.hpp"

namespace lumavane {
namespace {

// The status the platform gives for a buffer the GPU cannot share.
constexpr int kNotGPUCompatible = -6684;

} // namespace

std::shared_ptr<MetalTextureCache> MetalTextureCache::make(std::shared_ptr<gpu::Device> device) {
    if (!device) return nullptr;
    return std::make_shared<MetalTextureCache>(std::move(device));
}

MetalBufferView::MetalBufferView(PixelBuffer buffer, const MetalTextureCache& cache)
    : buffer_(std::move(buffer)) {
    if (!buffer_)
        throw EnhancementError::invalid(EnhancementMessage::sharedTexture,
                                        {LV_PIXEL_BUFFER_INVALID_ARGUMENT});
    if (buffer_.pixelFormat() != LV_PIXEL_FORMAT_32BGRA)
        throw EnhancementError::invalid(EnhancementMessage::sharedTexture,
                                        {LV_PIXEL_BUFFER_INVALID_PIXEL_FORMAT});
    texture_ = cache.device()->newTextureOverPixelBuffer(buffer_.get(), 0, gpu::PixelFormat::bgra8Unorm);
    if (!texture_) throw EnhancementError::invalid(EnhancementMessage::sharedTexture, {kNotGPUCompatible});
}

} // namespace lumavane
