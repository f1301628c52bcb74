#include "EnhancementCore/EnhancementError.hpp"
#include "EnhancementCore/TilePlan.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace lumavane;

namespace {

image::Rect rect(double x, double y, double w, double h) { return {x, y, w, h}; }

std::string planError(int width, int height, int tileWidth, int tileHeight, int padding) {
    try {
        TilePlan(width, height, tileWidth, tileHeight, padding);
    } catch (const EnhancementError& error) {
        return error.message();
    }
    return "(no error)";
}

} // namespace

TEST(TilePlanTest, CutsTheWorkedExampleIntoEightTiles) {
    const TilePlan plan(100, 50, 64, 64, 16);
    // Steps of 32: four columns, two rows, lowest row first; the last column is 4 wide.
    const std::vector<Tile> expected = {
        {rect(-16, -16, 64, 64), rect(0, 0, 32, 32)}, {rect(16, -16, 64, 64), rect(32, 0, 32, 32)},
        {rect(48, -16, 64, 64), rect(64, 0, 32, 32)}, {rect(80, -16, 64, 64), rect(96, 0, 4, 32)},
        {rect(-16, 16, 64, 64), rect(0, 32, 32, 18)}, {rect(16, 16, 64, 64), rect(32, 32, 32, 18)},
        {rect(48, 16, 64, 64), rect(64, 32, 32, 18)}, {rect(80, 16, 64, 64), rect(96, 32, 4, 18)},
    };
    EXPECT_EQ(plan.tiles, expected);
}

TEST(TilePlanTest, ContentsCoverEveryPixelExactlyOnce) {
    struct Case {
        int width, height, tileWidth, tileHeight, padding;
    };
    // Single tiles, exact multiples of the step and one pixel more, no padding.
    for (const Case c : {Case{100, 50, 64, 64, 16}, Case{1, 1, 8, 8, 3}, Case{20, 10, 64, 48, 16},
                         Case{96, 32, 64, 64, 16}, Case{97, 33, 64, 64, 16}, Case{70, 40, 32, 32, 0},
                         Case{257, 129, 48, 40, 7}, Case{33, 17, 5, 9, 2}}) {
        const TilePlan plan(c.width, c.height, c.tileWidth, c.tileHeight, c.padding);
        const int stepX = c.tileWidth - 2 * c.padding, stepY = c.tileHeight - 2 * c.padding;
        EXPECT_EQ(plan.tiles.size(),
                  std::size_t(((c.width + stepX - 1) / stepX) * ((c.height + stepY - 1) / stepY)));
        std::vector<int> covered(std::size_t(c.width * c.height), 0);
        for (const Tile& tile : plan.tiles) {
            EXPECT_EQ(tile.input, rect(tile.content.x - c.padding, tile.content.y - c.padding, c.tileWidth,
                                       c.tileHeight));
            for (int y = int(tile.content.y); y < int(tile.content.maxY()); ++y)
                for (int x = int(tile.content.x); x < int(tile.content.maxX()); ++x)
                    ++covered[std::size_t(y * c.width + x)];
        }
        for (int count : covered) ASSERT_EQ(count, 1) << c.width << "x" << c.height;
    }
}

TEST(TilePlanTest, RefusesFramesAndPaddingsThatLeaveNoContent) {
    const std::string message = "タイルサイズまたは余白が不正です。";
    EXPECT_EQ(planError(0, 10, 64, 64, 16), message);
    EXPECT_EQ(planError(10, 0, 64, 64, 16), message);
    EXPECT_EQ(planError(10, 10, 64, 64, -1), message);
    EXPECT_EQ(planError(10, 10, 32, 64, 16), message);
    EXPECT_EQ(planError(10, 10, 64, 32, 16), message);
    EXPECT_EQ(planError(10, 10, 64, 64, 1 << 30), message);
    EXPECT_EQ(planError(10, 10, 33, 33, 16), "(no error)");
}
