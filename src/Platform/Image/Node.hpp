#pragma once

// The recipe tree behind Image; shared by the GPU renderer and the CPU reference.

#include "Platform/Image/Image.hpp"

#include <array>
#include <memory>

namespace lumavane::image::detail {

enum class SourceFormat { bgra8, rgba8, ycbcr8, ycbcr16 };

// Where the pixels of a source leaf come from and how they turn into RGBA.
struct Source {
    SourceFormat format = SourceFormat::bgra8;
    int width = 0, height = 0;
    bool topDown = true; // memory row 0 is the top of the picture
    PixelBuffer pixelBuffer;
    std::shared_ptr<gpu::Texture> texture;
    // YCbCr only: samples are normalised as (v − yOffset)·yScale and (v − cOffset)·cScale,
    // v being the 8-bit value or the 10-bit value of a 16-bit word; then
    // R = Y + rCr·Cr, G = Y + gCb·Cb + gCr·Cr, B = Y + bCb·Cb.
    float yOffset = 0, yScale = 1, cOffset = 0, cScale = 1;
    float rCr = 0, gCb = 0, gCr = 0, bCb = 0;
};

struct Node {
    enum class Kind { source, constant, transform, crop, clamp, over };
    Kind kind;
    Rect extent;
    std::shared_ptr<const Source> source;   // source
    std::array<float, 4> color{};           // constant, premultiplied
    AffineTransform transform;              // transform: child space to this space
    Rect rect;                              // crop
    std::shared_ptr<const Node> child;      // transform, crop, clamp, over (foreground)
    std::shared_ptr<const Node> background; // over
};

} // namespace lumavane::image::detail
