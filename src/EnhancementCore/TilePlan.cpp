#include "EnhancementCore/TilePlan.hpp"

#include "EnhancementCore/EnhancementError.hpp"

#include <algorithm>

namespace lumavane {

TilePlan::TilePlan(int width, int height, int tileWidth, int tileHeight, int padding) {
    // Compared in 64 bits so that a huge padding cannot wrap into an acceptable one.
    const long long p = padding;
    if (width < 1 || height < 1 || p < 0 || 2 * p >= tileWidth || 2 * p >= tileHeight)
        throw EnhancementError::invalid(EnhancementMessage::tileGeometry);
    const int stepX = tileWidth - 2 * padding, stepY = tileHeight - 2 * padding;
    const auto columns = std::size_t((static_cast<long long>(width) + stepX - 1) / stepX);
    const auto rows = std::size_t((static_cast<long long>(height) + stepY - 1) / stepY);
    tiles.reserve(columns * rows);
    for (int y = 0; y < height; y += stepY) {
        for (int x = 0; x < width; x += stepX) {
            tiles.push_back(Tile{
                .input = {double(x - padding), double(y - padding), double(tileWidth), double(tileHeight)},
                .content = {double(x), double(y), double(std::min(width - x, stepX)),
                            double(std::min(height - y, stepY))},
            });
            if (width - x <= stepX) break; // the next step would overflow near INT_MAX
        }
        if (height - y <= stepY) break;
    }
}

} // namespace lumavane
