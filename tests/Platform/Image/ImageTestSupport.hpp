#pragma once

#include "Platform/Image/Context.hpp"
#include "Platform/Video/PixelBuffer.hpp"

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>

namespace lumavane::image::test {

struct BGRA {
    std::uint8_t b, g, r, a;
    friend bool operator==(const BGRA&, const BGRA&) = default;
};

inline BGRA& pixelAt(const PixelBuffer& buffer, int x, int row) {
    auto* base = static_cast<std::uint8_t*>(buffer.baseAddress(0));
    return *reinterpret_cast<BGRA*>(base + std::size_t(row) * buffer.bytesPerRow(0) + std::size_t(x) * 4);
}

// A BGRA buffer whose pixel at memory (x, row) is f(x, row).
inline PixelBuffer makeBGRA(int width, int height, const std::function<BGRA(int, int)>& f) {
    PixelBuffer buffer = PixelBuffer::create(width, height, LV_PIXEL_FORMAT_32BGRA);
    for (int row = 0; row < height; ++row)
        for (int x = 0; x < width; ++x) pixelAt(buffer, x, row) = f(x, row);
    return buffer;
}

inline PixelBuffer makeNoise(int width, int height, unsigned seed) {
    std::mt19937 random(seed);
    return makeBGRA(width, height, [&](int, int) {
        return BGRA{std::uint8_t(random()), std::uint8_t(random()), std::uint8_t(random()), 255};
    });
}

// Largest difference of any channel between two BGRA memory areas of width × height.
inline int maxDifference(const std::uint8_t* a, std::size_t aRow, const std::uint8_t* b, std::size_t bRow,
                         int width, int height) {
    int worst = 0;
    for (int y = 0; y < height; ++y)
        for (int i = 0; i < width * 4; ++i)
            worst = std::max(worst, std::abs(int(a[y * aRow + i]) - int(b[y * bRow + i])));
    return worst;
}

} // namespace lumavane::image::test
