#include "ImageTestSupport.hpp"

#include "Platform/Gpu/Gpu.hpp"
#include "Platform/Image/Program.hpp"

#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <numbers>
#include <thread>

using namespace lumavane;
using namespace lumavane::image;
using namespace lumavane::image::test;

namespace {

class ImageRenderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            context = Context::make();
        } catch (const std::exception& error) {
            setUpError = error.what();
        }
    }
    static void TearDownTestSuite() { context.reset(); }
    void SetUp() override { ASSERT_TRUE(context) << setUpError; }

    // The CPU reference's bitmap of `rect` (whole pixels), top row first.
    static std::vector<std::uint8_t> reference(const Image& image, const Rect& rect) {
        const auto program = detail::compile(*image.node());
        const int width = int(rect.width), height = int(rect.height);
        std::vector<std::uint8_t> pixels(std::size_t(width) * height * 4, 0);
        detail::renderReference(program, detail::targetFor(width, height, true, {rect.x, rect.y}, rect),
                                pixels.data(), std::size_t(width) * 4);
        return pixels;
    }

    static CPUImage render(const Image& image, const Rect& rect) {
        auto bitmap = context->createCPUImage(image, rect);
        EXPECT_TRUE(bitmap.has_value());
        return *bitmap;
    }

    static int differenceFromReference(const Image& image, const Rect& rect) {
        const CPUImage gpu = render(image, rect);
        const auto cpu = reference(image, rect);
        return maxDifference(gpu.bytes().data(), gpu.bytesPerRow(), cpu.data(), std::size_t(gpu.width()) * 4,
                             gpu.width(), gpu.height());
    }

    static inline std::shared_ptr<Context> context;
    static inline std::string setUpError;
};

BGRA bitmapPixel(const CPUImage& image, int x, int row) {
    const std::uint8_t* p = image.row(row) + 4 * x;
    return {p[0], p[1], p[2], p[3]};
}

// ---- YCbCr ----

struct YCbCrCase {
    std::uint32_t format;
    lv_color_matrix matrix;
    double kr, kb;
};

// Textbook conversion in double precision, independent of the renderer.
std::array<double, 3> expectedRGB(const YCbCrCase& c, int y, int cb, int cr) {
    const bool tenBit = c.format == LV_PIXEL_FORMAT_X420 || c.format == LV_PIXEL_FORMAT_XF20;
    const bool full = c.format == LV_PIXEL_FORMAT_420F || c.format == LV_PIXEL_FORMAT_XF20;
    const double top = tenBit ? 1023 : 255, half = tenBit ? 512 : 128, k = tenBit ? 4 : 1;
    const double luma = full ? y / top : (y - 16 * k) / (219 * k);
    const double pb = full ? (cb - half) / top : (cb - half) / (224 * k);
    const double pr = full ? (cr - half) / top : (cr - half) / (224 * k);
    const double kg = 1 - c.kr - c.kb;
    const double r = luma + 2 * (1 - c.kr) * pr;
    const double b = luma + 2 * (1 - c.kb) * pb;
    const double g = (luma - c.kr * r - c.kb * b) / kg;
    auto unit = [](double v) { return std::clamp(v, 0.0, 1.0) * 255; };
    return {unit(r), unit(g), unit(b)};
}

// Fills a bi-planar buffer: every 2×2 block shares one chroma pair, so chroma
// interpolation is trivial for blocks of equal chroma.
PixelBuffer makeYCbCr(std::uint32_t format, lv_color_matrix matrix, int width, int height,
                      const std::function<int(int, int)>& luma,
                      const std::function<std::pair<int, int>(int, int)>& chroma) {
    PixelBuffer buffer = PixelBuffer::create(width, height, format);
    lv_color_attachments color = buffer.color();
    color.matrix = matrix;
    buffer.setColor(color);
    const bool tenBit = format == LV_PIXEL_FORMAT_X420 || format == LV_PIXEL_FORMAT_XF20;
    auto* y = static_cast<std::uint8_t*>(buffer.baseAddress(0));
    auto* c = static_cast<std::uint8_t*>(buffer.baseAddress(1));
    for (int row = 0; row < height; ++row)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = y + row * buffer.bytesPerRow(0);
            if (tenBit) {
                const std::uint16_t word = std::uint16_t(luma(x, row) << 6);
                std::memcpy(p + 2 * x, &word, 2);
            } else {
                p[x] = std::uint8_t(luma(x, row));
            }
        }
    for (int row = 0; row < int(buffer.planeHeight(1)); ++row)
        for (int x = 0; x < int(buffer.planeWidth(1)); ++x) {
            const auto [cb, cr] = chroma(x, row);
            std::uint8_t* p = c + row * buffer.bytesPerRow(1);
            if (tenBit) {
                const std::uint16_t words[2] = {std::uint16_t(cb << 6), std::uint16_t(cr << 6)};
                std::memcpy(p + 4 * x, words, 4);
            } else {
                p[2 * x] = std::uint8_t(cb);
                p[2 * x + 1] = std::uint8_t(cr);
            }
        }
    return buffer;
}

} // namespace

TEST_F(ImageRenderTest, YCbCrConvertsWithTheBuffersMatrixAndRange) {
    const YCbCrCase cases[] = {
        {LV_PIXEL_FORMAT_420V, LV_COLOR_MATRIX_BT709, 0.2126, 0.0722},
        {LV_PIXEL_FORMAT_420F, LV_COLOR_MATRIX_BT601, 0.299, 0.114},
        {LV_PIXEL_FORMAT_X420, LV_COLOR_MATRIX_BT2020, 0.2627, 0.0593},
        {LV_PIXEL_FORMAT_XF20, LV_COLOR_MATRIX_BT709, 0.2126, 0.0722},
        // Unspecified on a small frame: BT.601.
        {LV_PIXEL_FORMAT_420V, LV_COLOR_MATRIX_UNSPECIFIED, 0.299, 0.114},
    };
    for (const YCbCrCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "format " << std::hex << c.format << " matrix " << c.matrix);
        const bool tenBit = c.format == LV_PIXEL_FORMAT_X420 || c.format == LV_PIXEL_FORMAT_XF20;
        const int k = tenBit ? 4 : 1;
        // Chroma varies only along rows, so at even columns (co-sited with chroma) the
        // pixel takes exactly one chroma pair; values span the whole code range.
        auto luma = [&](int x, int row) { return ((x * 37 + row * 11) % 256) * k + (tenBit ? x % 4 : 0); };
        auto chroma = [&](int cx, int) {
            return std::pair{((cx * 61) % 256) * k, ((cx * 13 + 89) % 256) * k};
        };
        PixelBuffer buffer = makeYCbCr(c.format, c.matrix, 64, 8, luma, chroma);
        const Image image = Image::fromPixelBuffer(buffer);
        EXPECT_EQ(image.extent(), (Rect{0, 0, 64, 8}));
        const CPUImage bitmap = render(image, image.extent());
        ASSERT_EQ(bitmap.width(), 64);
        for (int row = 0; row < 8; ++row)
            for (int x = 0; x < 64; x += 2) {
                const auto [cb, cr] = chroma(x / 2, 0);
                const auto expected = expectedRGB(c, luma(x, row), cb, cr);
                const BGRA got = bitmapPixel(bitmap, x, row);
                EXPECT_NEAR(got.r, expected[0], 1.0) << x << "," << row;
                EXPECT_NEAR(got.g, expected[1], 1.0) << x << "," << row;
                EXPECT_NEAR(got.b, expected[2], 1.0) << x << "," << row;
                EXPECT_EQ(got.a, 255);
            }
        // Everywhere, the GPU matches the CPU reference.
        EXPECT_LE(differenceFromReference(image, image.extent()), 1);
    }
}

// Turned pictures take the general kernel, with luma and chroma both sampled between pixels.
TEST_F(ImageRenderTest, TurnedPicturesMatchTheReference) {
    std::mt19937 random(11);
    PixelBuffer yuv = makeYCbCr(
        LV_PIXEL_FORMAT_420V, LV_COLOR_MATRIX_BT709, 41, 19, [&](int, int) { return int(16 + random() % 220); },
        [&](int, int) { return std::pair{int(16 + random() % 225), int(16 + random() % 225)}; });
    const Image turned = Image::fromPixelBuffer(yuv).transformed(
        AffineTransform::rotation(0.3).concatenating(AffineTransform::scale(1.7, 1.3)));
    EXPECT_LE(differenceFromReference(turned, turned.extent().integral()), 1);
    // The thumbnail road: 1920 × 1080 scaled to 512 × 288 must not gain a row.
    const double s = std::min({1.0, 51.2 / 192, 28.8 / 108});
    const Image small = Image::fromPixelBuffer(makeNoise(192, 108, 3)).transformed(AffineTransform::scale(s, s));
    EXPECT_EQ(small.extent().integral(), (Rect{0, 0, 52, 29}));
    EXPECT_LE(differenceFromReference(small, small.extent().integral()), 1);
}

// The display path's recipes take hand-written run kernels: a picture at whole-pixel offsets,
// or scaled and moved along the axes (fitted into a view), optionally cropped, over a cropped
// backdrop. They must give the general kernel's (and so the reference's) result bit for bit:
// odd sizes (partial runs, a lone last chroma column), both ranges, BGRA and bottom-up texture
// sources, mirrored and half-pixel placements, runs cut by crops and by the written area.
TEST_F(ImageRenderTest, RunKernelsMatchTheReferenceExactly) {
    std::mt19937 random(23);
    auto byte = [&](int low, int high) { return int(low + random() % unsigned(high - low + 1)); };
    const Image video = Image::fromPixelBuffer(makeYCbCr(
        LV_PIXEL_FORMAT_420V, LV_COLOR_MATRIX_BT709, 75, 43, [&](int, int) { return byte(16, 235); },
        [&](int, int) {
            return std::pair{byte(16, 240), byte(16, 240)};
        }));
    const Image full = Image::fromPixelBuffer(makeYCbCr(
        LV_PIXEL_FORMAT_420F, LV_COLOR_MATRIX_BT601, 64, 37, [&](int, int) { return byte(0, 255); },
        [&](int, int) {
            return std::pair{byte(0, 255), byte(0, 255)};
        }));
    const Image bgra = Image::fromPixelBuffer(makeBGRA(33, 21, [&](int, int) {
        return BGRA{std::uint8_t(random()), std::uint8_t(random()), std::uint8_t(random()),
                    std::uint8_t(byte(0, 255))};
    }));
    auto texture = context->device()->newTexture(
        gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, 29, 17));
    const PixelBuffer noise = makeNoise(29, 17, 9);
    texture->replaceRegion({{0, 0, 0}, {29, 17, 1}}, 0, noise.baseAddress(0), noise.bytesPerRow(0));
    const Image bottomUp = Image::fromTexture(texture);

    const Image backdrop = Image::constantColor({0.1, 0.7, 0.3, 1}).cropped({-3, -2, 150, 70});
    using Kernel = detail::RunKernel;
    struct Placement {
        const char* name;
        AffineTransform transform;
        bool cropped;
        Kernel kernel;
    } placements[] = {
        {"as it is", AffineTransform::identity(), false, Kernel::runs},
        {"at an even offset", AffineTransform::translation(18, -4), true, Kernel::runs},
        {"at an odd offset", AffineTransform::translation(3, 5), false, Kernel::runs},
        {"fitted up", AffineTransform::scale(1.5, 1.5).concatenating(AffineTransform::translation(0.25, 7)),
         true, Kernel::rows},
        {"fitted down",
         AffineTransform::scale(0.37, 0.41).concatenating(AffineTransform::translation(2, 3.5)), false,
         Kernel::rows},
        {"shrunk a little",
         AffineTransform::scale(0.62, 0.8).concatenating(AffineTransform::translation(-1, 0)), true,
         Kernel::rows},
        {"stretched and mirrored",
         AffineTransform::scale(-1.3, 0.8).concatenating(AffineTransform::translation(100, 0)), true,
         Kernel::rows},
        {"half a pixel off", AffineTransform::translation(0.5, -0.5), false, Kernel::rows},
    };
    const Rect rect{-5, -4, 131, 67};
    for (const auto& [sourceName, source] : {std::pair{"video range", video},
                                             {"full range", full},
                                             {"bgra", bgra},
                                             {"bottom-up texture", bottomUp}})
        for (const Placement& p : placements) {
            SCOPED_TRACE(std::string(sourceName) + ", " + p.name);
            Image placed = source.transformed(p.transform);
            if (p.cropped) placed = placed.cropped({1, 2, 80, 30});
            for (const Image& recipe : {placed, placed.composited(backdrop)}) {
                EXPECT_EQ(detail::runKernelFor(*recipe.node(), {rect.x, rect.y}), p.kernel);
                EXPECT_EQ(differenceFromReference(recipe, rect), 0);
            }
        }
    // Compositions of scaled pictures run in rows too: the comparison (the original scaled to the
    // enhanced picture's size, cropped at the split, over it) fitted into a view, a clamped tile of
    // a frame, and two pictures scaled each its own way.
    const Image compared =
        full.transformed(AffineTransform::scale(33.0 / 64, 21.0 / 37))
            .cropped({0, 0, 16.5, 21})
            .composited(bgra)
            .transformed(AffineTransform::scale(3.7, 2.9).concatenating(AffineTransform::translation(1.5, 0)))
            .cropped({0, 0, 120, 60})
            .composited(backdrop);
    const Image tile = video.clampedToExtent()
                           .transformed(AffineTransform::translation(5, 3))
                           .cropped({0, 0, 90, 50})
                           .transformed(AffineTransform::scale(1.25, 1.25));
    const Image sideBySide = video.transformed(AffineTransform::scale(0.8, 1.1))
                                 .cropped({0, 0, 30, 50})
                                 .composited(bgra.transformed(AffineTransform::scale(2.5, 2)));
    for (const Image& recipe : {compared, tile, sideBySide}) {
        EXPECT_EQ(detail::runKernelFor(*recipe.node(), {rect.x, rect.y}), Kernel::rows);
        EXPECT_EQ(differenceFromReference(recipe, rect), 0);
    }
    // Turned pictures, and scaled ones too narrow for pairs of columns, stay with the general kernel.
    EXPECT_EQ(detail::runKernelFor(*video.transformed(AffineTransform::rotation(0.5)).node(), {0, 0}),
              Kernel::general);
    const Image narrow = Image::fromPixelBuffer(makeNoise(3, 5, 1)).transformed(AffineTransform::scale(2, 2));
    EXPECT_EQ(detail::runKernelFor(*narrow.node(), {0, 0}), Kernel::general);
}

// ---- transforms ----

TEST_F(ImageRenderTest, QuarterTurnMovesEveryPixelExactly) {
    const int w = 7, h = 5;
    PixelBuffer buffer = makeNoise(w, h, 1);
    // A quarter turn counter-clockwise, then moved back to the origin as the thumbnail road does.
    Image turned =
        Image::fromPixelBuffer(buffer).transformed(AffineTransform::rotation(std::numbers::pi / 2));
    turned = turned.transformed(AffineTransform::translation(-turned.extent().x, -turned.extent().y));
    EXPECT_EQ(turned.extent().integral(), (Rect{0, 0, h, w}));
    const CPUImage bitmap = render(turned, turned.extent());
    ASSERT_EQ(bitmap.width(), h);
    ASSERT_EQ(bitmap.height(), w);
    // Image point (x, y) goes to (h − y, x): source column x becomes row y' = x, counted from the bottom.
    for (int row = 0; row < h; ++row)
        for (int x = 0; x < w; ++x) {
            const int y = h - 1 - row;            // source y (up)
            const int outX = h - 1 - y, outY = x; // destination pixel, y up
            EXPECT_EQ(bitmapPixel(bitmap, outX, w - 1 - outY), pixelAt(buffer, x, row)) << x << "," << row;
        }
}

TEST_F(ImageRenderTest, OddAngleSamplesBilinearly) {
    PixelBuffer buffer = makeNoise(24, 16, 2);
    const Image source = Image::fromPixelBuffer(buffer);
    const AffineTransform transform =
        AffineTransform::rotation(0.41).concatenating(AffineTransform::translation(3.25, -1.5));
    const Image turned = source.transformed(transform);
    const Rect rect = turned.extent().integral();
    EXPECT_LE(differenceFromReference(turned, rect), 1);

    // Independent check in double precision at interior points.
    const CPUImage bitmap = render(turned, rect);
    const AffineTransform inverse = transform.inverted();
    auto sourceAt = [&](int x, int y, int channel) {
        return double((&pixelAt(buffer, x, 15 - y).b)[channel]);
    };
    int checked = 0;
    for (int row = 0; row < bitmap.height(); ++row)
        for (int x = 0; x < bitmap.width(); ++x) {
            const Point p = inverse.apply({rect.x + x + 0.5, rect.maxY() - row - 0.5});
            const double u = p.x - 0.5, v = p.y - 0.5;
            const int x0 = int(std::floor(u)), y0 = int(std::floor(v));
            if (x0 < 0 || y0 < 0 || x0 + 1 >= 24 || y0 + 1 >= 16) continue;
            const double fx = u - x0, fy = v - y0;
            for (int channel = 0; channel < 3; ++channel) {
                const double value =
                    (sourceAt(x0, y0, channel) * (1 - fx) + sourceAt(x0 + 1, y0, channel) * fx) * (1 - fy) +
                    (sourceAt(x0, y0 + 1, channel) * (1 - fx) + sourceAt(x0 + 1, y0 + 1, channel) * fx) * fy;
                EXPECT_NEAR(bitmap.row(row)[4 * x + channel], value, 1.0);
            }
            ++checked;
        }
    EXPECT_GT(checked, 150);
    // Corners outside the rotated picture are transparent.
    EXPECT_EQ(bitmapPixel(bitmap, 0, 0), (BGRA{0, 0, 0, 0}));
}

// ---- crop, clamp, composite ----

TEST_F(ImageRenderTest, CropAndBoundsLimitWhatIsWritten) {
    PixelBuffer source = makeNoise(16, 12, 4);
    const Image image = Image::fromPixelBuffer(source).cropped({3, 2, 8, 5});
    EXPECT_EQ(image.extent(), (Rect{3, 2, 8, 5}));
    PixelBuffer target = makeBGRA(16, 12, [](int, int) { return BGRA{9, 9, 9, 9}; });
    // Bounds cover more than the crop but not all of the buffer.
    context->render(image, target, {1, 1, 12, 8});
    for (int row = 0; row < 12; ++row)
        for (int x = 0; x < 16; ++x) {
            const int y = 11 - row;
            const bool inBounds = x >= 1 && x < 13 && y >= 1 && y < 9;
            const bool inCrop = x >= 3 && x < 11 && y >= 2 && y < 7;
            const BGRA expected = !inBounds ? BGRA{9, 9, 9, 9}
                                  : inCrop  ? pixelAt(source, x, row)
                                            : BGRA{0, 0, 0, 0};
            EXPECT_EQ(pixelAt(target, x, row), expected) << x << "," << row;
        }
}

TEST_F(ImageRenderTest, ClampedTileInputRepeatsEdges) {
    // The tiled road: clamp, move the tile's input region to the origin, crop to the tile size.
    const int w = 10, h = 6;
    PixelBuffer frame = makeNoise(w, h, 5);
    const Rect input{-3, -3, 8, 8}; // reaches out left and below
    const Image tile = Image::fromPixelBuffer(frame)
                           .clampedToExtent()
                           .transformed(AffineTransform::translation(-input.x, -input.y))
                           .cropped({0, 0, 8, 8});
    EXPECT_EQ(tile.extent(), (Rect{0, 0, 8, 8}));
    PixelBuffer slot = PixelBuffer::create(8, 8, LV_PIXEL_FORMAT_32BGRA);
    context->render(tile, slot, {0, 0, 8, 8});
    for (int row = 0; row < 8; ++row)
        for (int x = 0; x < 8; ++x) {
            const int sx = std::clamp(x - 3, 0, w - 1), sy = std::clamp((7 - row) - 3, 0, h - 1);
            EXPECT_EQ(pixelAt(slot, x, row), pixelAt(frame, sx, h - 1 - sy)) << x << "," << row;
        }
    EXPECT_TRUE(Image::fromPixelBuffer(frame).clampedToExtent().extent().isInfinite());
}

TEST_F(ImageRenderTest, CompositingIsSourceOverWithPremultipliedAlpha) {
    PixelBuffer background = makeNoise(9, 7, 6);
    const Image veil = Image::constantColor({1.0, 0.5, 0.0, 0.25}).cropped({2, 1, 4, 4});
    const Image composed = veil.composited(Image::fromPixelBuffer(background));
    EXPECT_EQ(composed.extent(), (Rect{0, 0, 9, 7}));
    const CPUImage bitmap = render(composed, composed.extent());
    for (int row = 0; row < 7; ++row)
        for (int x = 0; x < 9; ++x) {
            const int y = 6 - row;
            const BGRA bg = pixelAt(background, x, row);
            const bool covered = x >= 2 && x < 6 && y >= 1 && y < 5;
            const double fr = covered ? 0.25 : 0, fg = covered ? 0.125 : 0, fa = covered ? 0.25 : 0;
            const BGRA got = bitmapPixel(bitmap, x, row);
            EXPECT_NEAR(got.r, fr * 255 + bg.r * (1 - fa), 1.0);
            EXPECT_NEAR(got.g, fg * 255 + bg.g * (1 - fa), 1.0);
            EXPECT_NEAR(got.b, bg.b * (1 - fa), 1.0);
            EXPECT_EQ(got.a, 255);
        }
    EXPECT_LE(differenceFromReference(composed, composed.extent()), 1);
}

// ---- upright round trips ----

TEST_F(ImageRenderTest, PictureStaysUprightOnEveryRoad) {
    const BGRA red{0, 0, 255, 255}, blue{255, 0, 0, 255}, grey{128, 128, 128, 255};
    PixelBuffer source = makeBGRA(8, 6, [&](int, int row) {
        return row == 0 ? red : row == 5 ? blue : grey;
    });
    const Image image = Image::fromPixelBuffer(source);

    // Through PNG.
    const auto png = encodePNG(render(image, image.extent()));
    ASSERT_TRUE(png.has_value());
    png_image decoded{};
    decoded.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&decoded, png->data(), png->size()));
    decoded.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> rgba(PNG_IMAGE_SIZE(decoded));
    ASSERT_TRUE(png_image_finish_read(&decoded, nullptr, rgba.data(), 0, nullptr));
    EXPECT_EQ(decoded.width, 8u);
    EXPECT_EQ(rgba[0], 255); // first row red
    EXPECT_EQ(rgba[2], 0);
    EXPECT_EQ(rgba[5 * 8 * 4 + 2], 255); // last row blue

    // Into textures: flipped keeps the picture upright in memory; not flipped puts y = 0 in row 0.
    auto device = context->device();
    for (bool flipped : {true, false}) {
        auto texture =
            device->newTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, 8, 6));
        auto commands = device->newCommandQueue()->commandBuffer();
        context->render(image, texture, commands, flipped);
        commands->commit();
        commands->waitUntilCompleted();
        ASSERT_FALSE(commands->error().has_value());
        BGRA first{}, last{};
        texture->getBytes(&first, 4, {{3, 0, 0}, {1, 1, 1}}, 0);
        texture->getBytes(&last, 4, {{3, 5, 0}, {1, 1, 1}}, 0);
        EXPECT_EQ(first, flipped ? red : blue);
        EXPECT_EQ(last, flipped ? blue : red);

        // And an image read back from that texture is the same picture again.
        if (!flipped) {
            const CPUImage again = render(Image::fromTexture(texture), {0, 0, 8, 6});
            EXPECT_EQ(bitmapPixel(again, 3, 0), red);
            EXPECT_EQ(bitmapPixel(again, 3, 5), blue);
        }
    }
}

// ---- context ----

TEST_F(ImageRenderTest, ContextServesSeveralThreadsAtOnce) {
    PixelBuffer source = makeNoise(32, 32, 8);
    const Image image = Image::fromPixelBuffer(source).transformed(AffineTransform::rotation(0.2));
    const auto expected = reference(image, image.extent().integral());
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) {
                const auto bitmap = context->createCPUImage(image, image.extent());
                if (!bitmap || maxDifference(bitmap->bytes().data(), bitmap->bytesPerRow(), expected.data(),
                                             bitmap->bytesPerRow(), bitmap->width(), bitmap->height()) > 1)
                    ++mismatches;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(ImageRenderTest, RefusesWhatItCannotRender) {
    PixelBuffer yuv = PixelBuffer::create(4, 4, LV_PIXEL_FORMAT_420V);
    const Image image = Image::constantColor({0, 1, 0, 1});
    EXPECT_THROW(context->render(image, yuv, {0, 0, 4, 4}), PlatformError);
    EXPECT_FALSE(context->createCPUImage(image, image.extent()).has_value()); // infinite
    EXPECT_FALSE(context->createCPUImage(image, Rect::null()).has_value());
    // Five different sources are more than one render reads.
    Image many = Image::fromPixelBuffer(makeNoise(2, 2, 0));
    for (unsigned i = 1; i < 5; ++i) many = many.composited(Image::fromPixelBuffer(makeNoise(2, 2, i)));
    EXPECT_THROW(context->render(many, PixelBuffer::create(2, 2, LV_PIXEL_FORMAT_32BGRA), {0, 0, 2, 2}),
                 PlatformError);
}
