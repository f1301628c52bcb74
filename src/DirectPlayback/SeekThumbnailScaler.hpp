#pragma once

#include "Platform/Image/CPUImage.hpp"
#include "Platform/Video/PixelBuffer.hpp"

#include <optional>

struct SwsContext;

namespace lumavane {

// Turns a decoded frame into its thumbnail on the CPU in one pass: colour conversion and scaling straight
// to the thumbnail's size, then quarter turns. Cheaper than a render of the whole frame through the image
// layer, which remains the way for other turns. One thread at a time.
class SeekThumbnailScaler {
public:
    SeekThumbnailScaler() = default;
    ~SeekThumbnailScaler();
    SeekThumbnailScaler(const SeekThumbnailScaler&) = delete;
    SeekThumbnailScaler& operator=(const SeekThumbnailScaler&) = delete;

    // The frame turned counter-clockwise by `degrees` (as the image layer's rotation turns it) and scaled
    // uniformly to fit `maxWidth` x `maxHeight`, never enlarged; the size is rounded up to whole pixels as
    // the image layer rounds an extent. None when the turn is not a multiple of 90 degrees, or for a pixel
    // format it does not read.
    std::optional<image::CPUImage> thumbnail(const PixelBuffer& buffer, double degrees, double maxWidth,
                                             double maxHeight);

private:
    SwsContext* context_ = nullptr;
};

} // namespace lumavane
