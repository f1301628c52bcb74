#include "DirectPlayback/SeekThumbnailScaler.hpp"

#include "Platform/Image/Geometry.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

namespace lumavane {

namespace {

// The quarter turns of an angle, 0 to 3; none for another angle.
std::optional<int> quarterTurns(double degrees) {
    if (!std::isfinite(degrees)) return std::nullopt;
    const double quarters = degrees / 90.0;
    const double whole = std::round(quarters);
    if (std::fabs(quarters - whole) > 1e-6 || std::fabs(whole) > 1e9) return std::nullopt;
    return static_cast<int>(((static_cast<long long>(whole) % 4) + 4) % 4);
}

std::optional<AVPixelFormat> sourceFormat(std::uint32_t pixelFormat) {
    switch (pixelFormat) {
    case LV_PIXEL_FORMAT_420V:
    case LV_PIXEL_FORMAT_420F:
        return AV_PIX_FMT_NV12;
    case LV_PIXEL_FORMAT_X420:
    case LV_PIXEL_FORMAT_XF20:
        return AV_PIX_FMT_P010LE;
    case LV_PIXEL_FORMAT_32BGRA:
        return AV_PIX_FMT_BGRA;
    default:
        return std::nullopt;
    }
}

// The matrix the image layer reads a frame with: the one it is tagged with, else BT.709 above 576 lines.
int colorspaceOf(const PixelBuffer& buffer) {
    switch (buffer.color().matrix) {
    case LV_COLOR_MATRIX_BT601:
        return SWS_CS_ITU601;
    case LV_COLOR_MATRIX_BT709:
        return SWS_CS_ITU709;
    case LV_COLOR_MATRIX_BT2020:
        return SWS_CS_BT2020;
    case LV_COLOR_MATRIX_UNSPECIFIED:
        break;
    }
    return buffer.height() > 576 ? SWS_CS_ITU709 : SWS_CS_ITU601;
}

// Pixel (x, y) of the turned picture is this pixel of the upright one, both rows top first.
struct Turn {
    int quarters, width, height; // of the upright picture
    std::size_t sourceIndex(int x, int y) const {
        switch (quarters) {
        case 1: // counter-clockwise: the right column becomes the top row
            return std::size_t(x) * width + (width - 1 - y);
        case 2:
            return std::size_t(height - 1 - y) * width + (width - 1 - x);
        case 3: // clockwise: the left column, read upwards, becomes the top row
            return std::size_t(height - 1 - x) * width + y;
        default:
            return std::size_t(y) * width + x;
        }
    }
};

} // namespace

SeekThumbnailScaler::~SeekThumbnailScaler() { sws_freeContext(context_); }

std::optional<image::CPUImage> SeekThumbnailScaler::thumbnail(const PixelBuffer& buffer, double degrees,
                                                              double maxWidth, double maxHeight) {
    const std::optional<int> quarters = quarterTurns(degrees);
    const std::optional<AVPixelFormat> format = buffer ? sourceFormat(buffer.pixelFormat()) : std::nullopt;
    if (!quarters || !format) return std::nullopt;
    const int width = static_cast<int>(buffer.width()), height = static_cast<int>(buffer.height());
    if (width <= 0 || height <= 0) return std::nullopt;
    const bool sideways = *quarters % 2 == 1;
    const double turnedWidth = sideways ? height : width, turnedHeight = sideways ? width : height;
    const double scale = std::min({1.0, maxWidth / turnedWidth, maxHeight / turnedHeight});
    const image::Rect size = image::Rect{0, 0, turnedWidth * scale, turnedHeight * scale}.integral();
    const int outWidth = static_cast<int>(sideways ? size.height : size.width);
    const int outHeight = static_cast<int>(sideways ? size.width : size.height);
    if (outWidth <= 0 || outHeight <= 0) return std::nullopt;

    context_ = sws_getCachedContext(context_, width, height, *format, outWidth, outHeight, AV_PIX_FMT_BGRA,
                                    SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!context_) return std::nullopt;
    const std::uint32_t pixelFormat = buffer.pixelFormat();
    const bool fullRange = pixelFormat == LV_PIXEL_FORMAT_420F || pixelFormat == LV_PIXEL_FORMAT_XF20;
    if (*format != AV_PIX_FMT_BGRA)
        sws_setColorspaceDetails(context_, sws_getCoefficients(colorspaceOf(buffer)), fullRange ? 1 : 0,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);

    std::vector<std::uint8_t> scaled(std::size_t(outWidth) * outHeight * 4);
    const std::uint8_t* planes[4] = {};
    int strides[4] = {};
    for (std::size_t plane = 0; plane < std::max<std::size_t>(buffer.planeCount(), 1) && plane < 4; ++plane) {
        planes[plane] = static_cast<const std::uint8_t*>(buffer.baseAddress(plane));
        strides[plane] = static_cast<int>(buffer.bytesPerRow(plane));
    }
    std::uint8_t* destination[4] = {scaled.data(), nullptr, nullptr, nullptr};
    int destinationStrides[4] = {outWidth * 4, 0, 0, 0};
    lv_pixel_buffer_lock(buffer.get(), LV_PIXEL_BUFFER_LOCK_READ_ONLY);
    const int rows = sws_scale(context_, planes, strides, 0, height, destination, destinationStrides);
    lv_pixel_buffer_unlock(buffer.get(), LV_PIXEL_BUFFER_LOCK_READ_ONLY);
    if (rows != outHeight) return std::nullopt;

    if (*quarters == 0)
        return image::CPUImage::make(outWidth, outHeight, 8, 32, std::size_t(outWidth) * 4,
                                     std::move(scaled));
    const Turn turn{*quarters, outWidth, outHeight};
    const int turnedWidthPixels = sideways ? outHeight : outWidth;
    const int turnedHeightPixels = sideways ? outWidth : outHeight;
    std::vector<std::uint8_t> turned(scaled.size());
    for (int y = 0; y < turnedHeightPixels; ++y)
        for (int x = 0; x < turnedWidthPixels; ++x)
            std::memcpy(&turned[(std::size_t(y) * turnedWidthPixels + x) * 4],
                        &scaled[turn.sourceIndex(x, y) * 4], 4);
    return image::CPUImage::make(turnedWidthPixels, turnedHeightPixels, 8, 32,
                                 std::size_t(turnedWidthPixels) * 4, std::move(turned));
}

} // namespace lumavane
