#pragma once

#include "Platform/Image/Geometry.hpp"
#include "Platform/Video/PixelBuffer.hpp"

#include <memory>

namespace lumavane::gpu {
class Texture;
}

namespace lumavane::image {

// Straight (not premultiplied) colour components in 0...1.
struct Color {
    double red = 0, green = 0, blue = 0, alpha = 1;
};

namespace detail {
struct Node;
}

// An immutable image recipe in Core Image's convention: origin at the lower left,
// y up. Nothing is computed until a Context renders it; sources stay retained
// for as long as the image (or anything made from it) lives.
class Image {
public:
    // BGRA buffers, and 4:2:0 bi-planar YCbCr (8-bit 420v/420f, 10-bit x420/xf20)
    // converted with the buffer's matrix attachment (BT.601, BT.709 or BT.2020;
    // unspecified means BT.709 above 576 rows, else BT.601). The first row in
    // memory is the top of the picture. Extent (0, 0, width, height). Throws
    // PlatformError for another pixel format.
    static Image fromPixelBuffer(const PixelBuffer& buffer);
    // A bgra8Unorm or rgba8Unorm texture; its row 0 is y = 0 (the bottom), as
    // Core Image reads Metal textures. Throws PlatformError for another format.
    static Image fromTexture(std::shared_ptr<gpu::Texture> texture);
    // Infinite extent.
    static Image constantColor(Color color);

    Rect extent() const;

    // Sampled bilinearly wherever the transform moves pixels off the grid.
    Image transformed(const AffineTransform& transform) const;
    // Outside `rect` the image is transparent.
    Image cropped(const Rect& rect) const;
    // Edge pixels repeat forever outside the extent.
    Image clampedToExtent() const;
    // This image placed over `background` (source-over, premultiplied alpha).
    Image composited(const Image& background) const;

    // Internal.
    explicit Image(std::shared_ptr<const detail::Node> node) : node_(std::move(node)) {}
    const std::shared_ptr<const detail::Node>& node() const { return node_; }

private:
    std::shared_ptr<const detail::Node> node_;
};

} // namespace lumavane::image
