#include "EnhancementCore/MetalTileComposer.hpp"

#include "EnhancementCore/EnhancementError.hpp"
#include "Platform/Gpu/Gpu.hpp"

namespace lumavane {

MetalTileComposer::MetalTileComposer(std::shared_ptr<gpu::Device> device) {
    cache_ = MetalTextureCache::make(device);
    if (cache_) queue_ = device->newCommandQueue();
    if (!cache_ || !queue_) throw EnhancementError::invalid(EnhancementMessage::compositeResources);
}

std::future<double> MetalTileComposer::copy(const PixelBuffer& source, const MetalBufferView& destination,
                                            const image::Rect& content, int scale, int padding) const {
    const MetalBufferView sourceView(source, *cache_);
    const auto& from = sourceView.texture();
    const auto& to = destination.texture();

    // Texture rows run down from the top edge, tile coordinates up from the bottom edge.
    const long long s = scale;
    const long long w = static_cast<long long>(content.width) * s;
    const long long h = static_cast<long long>(content.height) * s;
    const long long p = static_cast<long long>(padding) * s;
    const long long sourceX = p, sourceY = static_cast<long long>(from->height()) - p - h;
    const long long destinationX = static_cast<long long>(content.minX()) * s;
    const long long destinationY =
        static_cast<long long>(to->height()) - static_cast<long long>(content.maxY()) * s;
    // A rectangle reaching outside either texture would write or read beyond the buffers.
    const bool fits = w > 0 && h > 0 && sourceX >= 0 && sourceY >= 0 && destinationX >= 0 &&
                      destinationY >= 0 && sourceX + w <= static_cast<long long>(from->width()) &&
                      sourceY + h <= static_cast<long long>(from->height()) &&
                      destinationX + w <= static_cast<long long>(to->width()) &&
                      destinationY + h <= static_cast<long long>(to->height());

    auto commandBuffer = queue_->commandBuffer();
    auto blit = fits && commandBuffer ? commandBuffer->blitCommandEncoder() : nullptr;
    if (!blit) throw EnhancementError::invalid(EnhancementMessage::compositeCommand);
    commandBuffer->setLabel("Lumavane tile assembly");
    blit->copyFromTexture(from, 0, 0, {std::size_t(sourceX), std::size_t(sourceY), 0},
                          {std::size_t(w), std::size_t(h), 1}, to, 0, 0,
                          {std::size_t(destinationX), std::size_t(destinationY), 0});
    blit->endEncoding();

    auto promise = std::make_shared<std::promise<double>>();
    auto result = promise->get_future();
    commandBuffer->addCompletedHandler([promise](gpu::CommandBuffer& finished) {
        if (auto error = finished.error())
            promise->set_exception(std::make_exception_ptr(*error));
        else
            promise->set_value((finished.GPUEndTime() - finished.GPUStartTime()) * 1000);
    });
    commandBuffer->commit();
    return result;
}

} // namespace lumavane
