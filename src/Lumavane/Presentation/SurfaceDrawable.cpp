#include "Lumavane/Presentation/SurfaceDrawable.hpp"

#include <algorithm>

namespace lumavane {

std::shared_ptr<SurfaceDrawable> SurfaceDrawable::make(gpu::Device* device, int width, int height) {
    if (width < 1 || height < 1) return nullptr;
    auto drawable = std::make_shared<SurfaceDrawable>();
    drawable->width_ = width;
    drawable->height_ = height;
    if (!device) {
        drawable->bytesPerRow_ = std::size_t(width) * 4;
        drawable->memory_.assign(drawable->bytesPerRow_ * std::size_t(height), 0);
        return drawable;
    }
    const std::size_t alignment = std::max<std::size_t>(
        device->minimumLinearTextureAlignment(gpu::PixelFormat::bgra8Unorm), 4);
    drawable->bytesPerRow_ = (std::size_t(width) * 4 + alignment - 1) / alignment * alignment;
    drawable->buffer_ = device->newBuffer(drawable->bytesPerRow_ * std::size_t(height));
    if (!drawable->buffer_) return nullptr;
    auto descriptor = gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, std::size_t(width),
                                                        std::size_t(height));
    descriptor.usage = gpu::textureUsageShaderRead | gpu::textureUsageShaderWrite | gpu::textureUsageRenderTarget;
    drawable->texture_ = drawable->buffer_->newTexture(descriptor, 0, drawable->bytesPerRow_);
    if (!drawable->texture_) return nullptr;
    drawable->texture_->setLabel("Lumavane drawable");
    return drawable;
}

const std::uint8_t* SurfaceDrawable::pixels() const {
    return buffer_ ? static_cast<const std::uint8_t*>(buffer_->contents()) : memory_.data();
}

std::uint8_t* SurfaceDrawable::mutablePixels() {
    return buffer_ ? static_cast<std::uint8_t*>(buffer_->contents()) : memory_.data();
}

std::shared_ptr<SurfaceDrawable> DrawablePool::acquire(gpu::Device* device, int width, int height) {
    std::erase_if(drawables_, [&](const auto& d) {
        return d->width() != width || d->height() != height || bool(d->texture()) != bool(device);
    });
    for (const auto& drawable : drawables_)
        if (drawable.use_count() == 1) return drawable;
    if (drawables_.size() >= capacity) return nullptr;
    auto drawable = SurfaceDrawable::make(device, width, height);
    if (drawable) drawables_.push_back(drawable);
    return drawable;
}

} // namespace lumavane
