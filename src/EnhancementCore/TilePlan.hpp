#pragma once

#include "Platform/Image/Geometry.hpp"

#include <vector>

namespace lumavane {

// One model run of a tiled frame, in source pixels (origin lower left, y up).
struct Tile {
    // What is fed to the model: `content` grown by the padding on every side, always the
    // model's input size; it may reach outside the frame.
    image::Rect input;
    // The part of the frame this tile writes. The contents of one plan cover the frame
    // exactly, without overlap.
    image::Rect content;

    friend bool operator==(const Tile&, const Tile&) = default;
};

// The tiles of a frame in row-major order, lowest row first, each row left to right.
struct TilePlan {
    // Throws EnhancementError "タイルサイズまたは余白が不正です。" for an empty frame, a
    // negative padding, or a padding that leaves no content inside a tile.
    TilePlan(int width, int height, int tileWidth, int tileHeight, int padding);

    std::vector<Tile> tiles;
};

} // namespace lumavane
