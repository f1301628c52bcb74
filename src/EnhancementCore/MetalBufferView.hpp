#pragma once

#include "Platform/Video/PixelBuffer.hpp"

#include <memory>

namespace lumavane::gpu {
class Device;
class Texture;
} // namespace lumavane::gpu

namespace lumavane {

// Makes textures over pixel-buffer memory on one device (what a Metal texture
// cache is to the enhancers).
class MetalTextureCache {
public:
    // nullptr without a device.
    static std::shared_ptr<MetalTextureCache> make(std::shared_ptr<gpu::Device> device);

    const std::shared_ptr<gpu::Device>& device() const { return device_; }

    // Internal.
    explicit MetalTextureCache(std::shared_ptr<gpu::Device> device) : device_(std::move(device)) {}

private:
    std::shared_ptr<gpu::Device> device_;
};

// A bgra8Unorm texture over a BGRA pixel buffer's memory, of the buffer's size.
// The texture retains the buffer, so its memory lives as long as either.
class MetalBufferView {
public:
    // Throws EnhancementError "ピクセルバッファをGPUテクスチャとして共有できません（status）。"
    // for a buffer that is not 32-bit BGRA or cannot be wrapped.
    MetalBufferView(PixelBuffer buffer, const MetalTextureCache& cache);

    const PixelBuffer& buffer() const { return buffer_; }
    const std::shared_ptr<gpu::Texture>& texture() const { return texture_; }

private:
    PixelBuffer buffer_;
    std::shared_ptr<gpu::Texture> texture_;
};

} // namespace lumavane
