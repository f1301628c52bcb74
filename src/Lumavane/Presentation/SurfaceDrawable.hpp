#pragma once

#include "Platform/Gpu/Gpu.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace lumavane {

// One picture-sized BGRA target the surface draws into, first row at the top. On a device it
// is a texture over a buffer whose memory the CPU reads directly (the upload to the screen
// reads it without a copy); without one it is plain memory.
class SurfaceDrawable {
public:
    // nullptr when the memory cannot be had.
    static std::shared_ptr<SurfaceDrawable> make(gpu::Device* device, int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    std::size_t bytesPerRow() const { return bytesPerRow_; }
    const std::uint8_t* pixels() const;
    std::uint8_t* mutablePixels();
    // nullptr for a drawable in plain memory.
    const std::shared_ptr<gpu::Texture>& texture() const { return texture_; }

private:
    int width_ = 0, height_ = 0;
    std::size_t bytesPerRow_ = 0;
    std::shared_ptr<gpu::Buffer> buffer_;
    std::shared_ptr<gpu::Texture> texture_;
    std::vector<std::uint8_t> memory_;
};

// Four drawables of the current size, like a display layer's swap chain: one on screen, up to
// two being rendered and one for a picture drawn on the CPU while those two are held up. A
// drawable is free again once nobody but the pool holds it.
class DrawablePool {
public:
    static constexpr std::size_t capacity = 4;
    // nullptr when all are taken or the memory cannot be had.
    std::shared_ptr<SurfaceDrawable> acquire(gpu::Device* device, int width, int height);

private:
    std::vector<std::shared_ptr<SurfaceDrawable>> drawables_;
};

} // namespace lumavane
