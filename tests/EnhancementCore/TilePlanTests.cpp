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

TEST(TilePlanTest, EdgeTilesKeepTheFullInputAndNarrowTheirContent) {
    // A frame no larger than one step: one tile reaching P beyond the left and bottom edges and
    // TW - P - W (TH - P - H) beyond the right and top edges.
    const TilePlan single(20, 10, 64, 48, 16);
    ASSERT_EQ(single.tiles.size(), 1u);
    EXPECT_EQ(single.tiles[0].content, rect(0, 0, 20, 10));
    EXPECT_EQ(single.tiles[0].input, rect(-16, -16, 64, 48));

    // A width that is an exact multiple of the step has no narrow last column...
    const TilePlan exact(96, 32, 64, 64, 16);
    ASSERT_EQ(exact.tiles.size(), 3u);
    EXPECT_EQ(exact.tiles.back().content, rect(64, 0, 32, 32));
    // ...one more pixel adds a column of content width 1 whose input still has the tile size.
    const TilePlan oneMore(97, 33, 64, 64, 16);
    ASSERT_EQ(oneMore.tiles.size(), 8u);
    EXPECT_EQ(oneMore.tiles[3].content, rect(96, 0, 1, 32));
    EXPECT_EQ(oneMore.tiles[3].input, rect(80, -16, 64, 64));
    EXPECT_EQ(oneMore.tiles[7].content, rect(96, 32, 1, 1));
    EXPECT_EQ(oneMore.tiles[7].input, rect(80, 16, 64, 64));

    // Without padding input and content coincide except in the last column and row.
    const TilePlan unpadded(70, 40, 32, 32, 0);
    ASSERT_EQ(unpadded.tiles.size(), 6u);
    for (std::size_t i = 0; i < unpadded.tiles.size(); ++i) {
        const Tile& tile = unpadded.tiles[i];
        const bool lastColumn = i % 3 == 2, lastRow = i >= 3;
        EXPECT_EQ(tile.input, rect(tile.content.x, tile.content.y, 32, 32));
        EXPECT_EQ(tile.content.width == 32, !lastColumn) << i;
        EXPECT_EQ(tile.content.height == 32, !lastRow) << i;
    }
}

TEST(TilePlanTest, ContentsCoverEveryPixelExactlyOnce) {
    struct Case {
        int width, height, tileWidth, tileHeight, padding;
    };
    for (const Case c : {Case{100, 50, 64, 64, 16}, Case{1, 1, 8, 8, 3}, Case{257, 129, 48, 40, 7},
                         Case{64, 200, 64, 33, 16}, Case{33, 17, 5, 9, 2}}) {
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
