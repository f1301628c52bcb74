#include "Platform/Image/CPUImage.hpp"

#include "Platform/Image/Image.hpp"
#include "Platform/Image/Program.hpp"

#include <png.h>

#include <limits>

namespace lumavane::image {

std::optional<CPUImage> CPUImage::make(int width, int height, int bitsPerComponent, int bitsPerPixel,
                                       std::size_t bytesPerRow, std::vector<std::uint8_t> bytes) {
    if (width <= 0 || height <= 0 || bitsPerComponent != kBitsPerComponent || bitsPerPixel != kBitsPerPixel)
        return std::nullopt;
    if (bytesPerRow / 4 < static_cast<std::size_t>(width)) return std::nullopt;
    if (bytesPerRow > std::numeric_limits<std::size_t>::max() / static_cast<std::size_t>(height) ||
        bytes.size() < bytesPerRow * static_cast<std::size_t>(height))
        return std::nullopt;
    bytes.resize(bytesPerRow * static_cast<std::size_t>(height));
    return CPUImage(width, height, bytesPerRow,
                    std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes)));
}

namespace {

void appendToVector(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void noFlush(png_structp) {}

} // namespace

std::optional<std::vector<std::uint8_t>> encodePNG(const CPUImage& image) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return std::nullopt;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return std::nullopt;
    }
    std::vector<std::uint8_t> out;
    std::vector<std::uint8_t> row(static_cast<std::size_t>(image.width()) * 4);
    // libpng reports errors by longjmp; nothing with a destructor is created below this point.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return std::nullopt;
    }
    png_set_write_fn(png, &out, appendToVector, noFlush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width()), static_cast<png_uint_32>(image.height()),
                 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    png_write_info(png, info);
    for (int y = 0; y < image.height(); ++y) {
        const std::uint8_t* source = image.row(y);
        for (int x = 0; x < image.width(); ++x) {
            const std::uint8_t b = source[4 * x], g = source[4 * x + 1], r = source[4 * x + 2],
                               a = source[4 * x + 3];
            std::uint8_t* target = &row[4 * static_cast<std::size_t>(x)];
            // PNG stores straight alpha.
            auto straight = [a](std::uint8_t v) -> std::uint8_t {
                if (a == 0) return 0;
                const unsigned value = (v * 255u + a / 2u) / a;
                return static_cast<std::uint8_t>(value > 255 ? 255 : value);
            };
            target[0] = straight(r);
            target[1] = straight(g);
            target[2] = straight(b);
            target[3] = a;
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

} // namespace lumavane::image

namespace lumavane::image {
void renderOnCPU(const Image& image, std::uint8_t* pixels, int width, int height, std::size_t bytesPerRow) {
    const detail::Program program = detail::compile(*image.node());
    const detail::Target target = detail::targetFor(width, height, true, {0, 0}, Rect{0, 0, double(width), double(height)});
    detail::renderReference(program, target, pixels, bytesPerRow);
}
} // namespace lumavane::image
