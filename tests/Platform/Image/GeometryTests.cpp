#include "Platform/Image/CPUImage.hpp"
#include "Platform/Image/Geometry.hpp"
#include "Platform/Image/Image.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace lumavane::image;

TEST(ImageGeometryTest, RectsBehaveLikeCoreGraphics) {
    const Rect a{0, 0, 10, 5};
    EXPECT_EQ(a.intersection({5, 2, 10, 10}), (Rect{5, 2, 5, 3}));
    EXPECT_TRUE(a.intersection({20, 20, 1, 1}).isNull());
    EXPECT_EQ(a.unionWith({-2, 1, 3, 10}), (Rect{-2, 0, 12, 11}));
    EXPECT_EQ(Rect::infinite().intersection(a), a);
    EXPECT_TRUE(Rect::infinite().unionWith(a).isInfinite());
    EXPECT_EQ((Rect{0.2, -0.5, 3.1, 1.0}).integral(), (Rect{0, -1, 4, 2}));
    // Residue of exact operations does not add pixels.
    EXPECT_EQ((Rect{-1e-9, 0, 512.0000000001, 288}).integral(), (Rect{0, 0, 512, 288}));
    EXPECT_TRUE(a.contains({0, 0}));
    EXPECT_FALSE(a.contains({10, 0}));
}

TEST(ImageGeometryTest, TransformsComposeAndInvert) {
    const AffineTransform quarter = AffineTransform::rotation(std::numbers::pi / 2);
    EXPECT_EQ(quarter.apply({1, 0}), (Point{0, 1})); // counter-clockwise, exact
    const AffineTransform t = AffineTransform::scale(2, 3).concatenating(AffineTransform::translation(5, 7));
    EXPECT_EQ(t.apply({1, 1}), (Point{7, 10})); // scale first, then move
    const Point back = t.inverted().apply({7, 10});
    EXPECT_DOUBLE_EQ(back.x, 1);
    EXPECT_DOUBLE_EQ(back.y, 1);
    EXPECT_EQ((Rect{0, 0, 4, 2}).applying(quarter), (Rect{-2, 0, 2, 4}));
}

TEST(ImageGeometryTest, RecipesTrackTheirExtent) {
    const Image color = Image::constantColor({1, 0, 0, 1});
    EXPECT_TRUE(color.extent().isInfinite());
    EXPECT_TRUE(color.transformed(AffineTransform::rotation(1)).extent().isInfinite());
    EXPECT_EQ(color.cropped({1, 2, 3, 4}).extent(), (Rect{1, 2, 3, 4}));
    const Image twice = color.cropped({0, 0, 10, 10}).cropped({5, 5, 10, 10});
    EXPECT_EQ(twice.extent(), (Rect{5, 5, 5, 5}));
    const Image moved =
        twice.transformed(AffineTransform::translation(1, 1)).transformed(AffineTransform::scale(2, 2));
    EXPECT_EQ(moved.extent(), (Rect{12, 12, 10, 10}));
    EXPECT_TRUE(twice.cropped({100, 100, 1, 1}).extent().isEmpty());
}

TEST(ImageGeometryTest, CPUImageChecksItsLayout) {
    EXPECT_TRUE(CPUImage::make(2, 2, 8, 32, 8, std::vector<std::uint8_t>(16)).has_value());
    EXPECT_FALSE(CPUImage::make(2, 2, 8, 32, 8, std::vector<std::uint8_t>(15)).has_value());
    EXPECT_FALSE(CPUImage::make(2, 2, 8, 32, 4, std::vector<std::uint8_t>(64)).has_value());
    EXPECT_FALSE(CPUImage::make(2, 2, 16, 64, 16, std::vector<std::uint8_t>(64)).has_value());
    const auto image = CPUImage::make(1, 1, 8, 32, 4, {10, 20, 30, 0});
    ASSERT_TRUE(image.has_value());
    EXPECT_TRUE(encodePNG(*image).has_value());
}
