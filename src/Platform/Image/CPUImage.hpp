#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace lumavane::image {

// An immutable bitmap in memory: 8 bits per component, 32 bits per pixel,
// B G R A bytes with premultiplied alpha, rows top to bottom (the layout of
// QImage::Format_ARGB32_Premultiplied on little-endian machines). Cheap to copy.
class CPUImage {
public:
    static constexpr int kBitsPerComponent = 8;
    static constexpr int kBitsPerPixel = 32;

    // Takes `bytes` as the pixel data; none when the layout is not the one above
    // or the data is shorter than height × bytesPerRow.
    static std::optional<CPUImage> make(int width, int height, int bitsPerComponent, int bitsPerPixel,
                                        std::size_t bytesPerRow, std::vector<std::uint8_t> bytes);

    int width() const { return width_; }
    int height() const { return height_; }
    int bitsPerComponent() const { return kBitsPerComponent; }
    int bitsPerPixel() const { return kBitsPerPixel; }
    std::size_t bytesPerRow() const { return bytesPerRow_; }
    // height × bytesPerRow bytes.
    const std::vector<std::uint8_t>& bytes() const { return *bytes_; }
    const std::uint8_t* row(int y) const {
        return bytes_->data() + static_cast<std::size_t>(y) * bytesPerRow_;
    }

private:
    CPUImage(int width, int height, std::size_t bytesPerRow,
             std::shared_ptr<const std::vector<std::uint8_t>> bytes)
        : width_(width), height_(height), bytesPerRow_(bytesPerRow), bytes_(std::move(bytes)) {}

    int width_;
    int height_;
    std::size_t bytesPerRow_;
    std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
};

// PNG file bytes (8-bit RGBA, straight alpha); none when encoding fails.
std::optional<std::vector<std::uint8_t>> encodePNG(const CPUImage& image);

} // namespace lumavane::image

namespace lumavane::image {
class Image;
// Renders (0, 0, width, height) of an image into BGRA memory, first row at the top, on the
// CPU: the path for a machine without a GPU device, far slower than a Context.
void renderOnCPU(const Image& image, std::uint8_t* pixels, int width, int height, std::size_t bytesPerRow);
} // namespace lumavane::image
