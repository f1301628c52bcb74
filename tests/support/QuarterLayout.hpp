// The generated clips whose quarters are red, green / blue, white (top-left first): which way a
// picture of them stands, and how ffmpeg shows such a clip (rotated by its display matrix).
#pragma once

#include "Platform/Image/CPUImage.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace lumavane::test {

// The clips' quarters, top-left first: red, green / blue, white.
enum class Quarter { red, green, blue, white, black };
struct Layout {
    bool portrait = false;
    std::array<Quarter, 4> quarters{}; // top left, top right, bottom left, bottom right

    friend bool operator==(const Layout&, const Layout&) = default;
};

inline std::ostream& operator<<(std::ostream& out, const Layout& layout) {
    static const char* names[] = {"red", "green", "blue", "white", "black"};
    out << (layout.portrait ? "portrait" : "landscape");
    for (Quarter q : layout.quarters) out << " " << names[int(q)];
    return out;
}

// Each quarter's mean colour, named; `rgb(x, y)` reads a pixel, row 0 at the top.
template <typename Pixel> Layout layoutOf(int width, int height, Pixel rgb) {
    Layout layout;
    layout.portrait = height > width;
    for (int q = 0; q < 4; ++q) {
        const int x0 = q % 2 ? width / 2 : 0, y0 = q / 2 ? height / 2 : 0;
        std::array<double, 3> sum{};
        int count = 0;
        // The middle of the quarter, clear of the edges that scaling blurs.
        for (int y = y0 + height / 8; y < y0 + height / 2 - height / 8; ++y)
            for (int x = x0 + width / 8; x < x0 + width / 2 - width / 8; ++x) {
                const std::array<int, 3> p = rgb(x, y);
                for (int c = 0; c < 3; ++c) sum[c] += p[c];
                ++count;
            }
        const double r = sum[0] / count, g = sum[1] / count, b = sum[2] / count;
        layout.quarters[q] = r > 128 && g > 128 && b > 128 ? Quarter::white
                             : r > 128                     ? Quarter::red
                             : g > 128                     ? Quarter::green
                             : b > 128                     ? Quarter::blue
                                                           : Quarter::black;
    }
    return layout;
}

// The first frame as ffmpeg shows it: rotated by the file's display matrix, or as stored.
inline Layout asFfmpegShows(const std::string& path, bool autorotate = true) {
    const std::string command = std::string("ffmpeg -nostdin -v error ") +
                                (autorotate ? "" : "-noautorotate ") + "-i '" + path +
                                "' -frames:v 1 -f image2pipe -vcodec ppm -";
    FILE* pipe = popen(command.c_str(), "r");
    int width = 0, height = 0, maximum = 0;
    std::vector<unsigned char> bytes;
    if (pipe && std::fscanf(pipe, "P6 %d %d %d", &width, &height, &maximum) == 3 && width > 0 && height > 0) {
        std::fgetc(pipe);
        bytes.resize(std::size_t(width) * height * 3);
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), pipe));
    }
    if (pipe) pclose(pipe);
    EXPECT_EQ(bytes.size(), std::size_t(width) * height * 3) << "ffmpeg shows no picture of " << path;
    if (bytes.size() != std::size_t(width) * height * 3 || bytes.empty()) return {};
    return layoutOf(width, height, [&](int x, int y) {
        const unsigned char* p = &bytes[(std::size_t(y) * width + x) * 3];
        return std::array<int, 3>{p[0], p[1], p[2]};
    });
}

inline Layout layoutOf(const image::CPUImage& image) {
    return layoutOf(image.width(), image.height(), [&](int x, int y) {
        const std::uint8_t* p = image.row(y) + 4 * x;
        return std::array<int, 3>{p[2], p[1], p[0]};
    });
}

} // namespace lumavane::test
