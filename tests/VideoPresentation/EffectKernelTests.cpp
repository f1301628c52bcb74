// The "postProcess" kernel against plain CPU references and the properties each effect promises.
#include "PassTestSupport.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <tuple>

using namespace lumavane;
using namespace lumavane::test;

namespace {

using EffectKernel = PassTest;

int hashed(int x, int y, int range) {
    return int((unsigned(x) * 2654435761u ^ unsigned(y) * 40503u) >> 7) % range;
}

// Every 8-bit value in each channel, differently ordered per channel.
Picture allLevels() {
    return Picture::make(256, 2, [](int x, int y) {
        return std::array<int, 3>{x, 255 - x, (x * 7 + y * 91) % 256};
    });
}

TEST_F(EffectKernel, BrightnessAndGammaAreExact) {
    struct Case {
        float brightness, gamma;
        bool difference;
    };
    const Picture in = allLevels();
    for (const Case c : {Case{0.2f, 1, false}, Case{-0.25f, 1, false}, Case{0, 2.2f, false},
                         Case{0, 0.45f, false}, Case{0.05f, 1.8f, false}, Case{-0.1f, 0.25f, false},
                         Case{1, 3, false}, Case{0.2f, 1, true}, Case{0.03f, 1.3f, true}}) {
        SCOPED_TRACE(::testing::Message() << c.brightness << " " << c.gamma << " " << c.difference);
        const Picture out = applyEffects(
            in, {.differencePreview = c.difference, .brightness = c.brightness, .gamma = c.gamma});
        int mismatches = 0;
        for (std::size_t i = 0; i < in.bytes.size(); ++i) {
            if (i % 4 == 3) {
                mismatches += out.bytes[i] != 255;
                continue;
            }
            const double level = in.bytes[i];
            const double toned =
                255 * std::pow(std::clamp(level / 255 + double(c.brightness), 0.0, 1.0), 1 / double(c.gamma));
            const double expected = c.difference ? std::min(255.0, std::abs(toned - level) * 8) : toned;
            mismatches += out.bytes[i] != int(std::nearbyint(expected));
        }
        EXPECT_EQ(mismatches, 0);
    }
}

TEST_F(EffectKernel, SharpenHoldsEachPixelInItsNeighboursRange) {
    // A soft edge, a hard edge and some fine texture.
    const Picture in = Picture::make(40, 24, [](int x, int y) {
        const double t = std::clamp((x - 8) / 6.0, 0.0, 1.0);
        const int v =
            int(60 + 120 * t * t * (3 - 2 * t)) + (x >= 26 ? 60 : 0) - (y >= 12 ? hashed(x, y, 12) : 0);
        return std::array<int, 3>{v, v * 4 / 5, 255 - v};
    });
    for (const float amount : {0.3f, 1.0f}) {
        SCOPED_TRACE(amount);
        const Picture out = applyEffects(in, {.sharpenEnabled = true, .sharpenAmount = amount});
        int worst = 0;
        for (int y = 0; y < in.height; ++y)
            for (int x = 0; x < in.width; ++x)
                for (int c = 0; c < 3; ++c) {
                    // Unsharp mask over the pixel and its four neighbours (edges repeated), held in
                    // their range.
                    auto at = [&](int dx, int dy) {
                        return double(in.at(std::clamp(x + dx, 0, in.width - 1),
                                            std::clamp(y + dy, 0, in.height - 1))[c]);
                    };
                    const double cross[] = {at(0, -1), at(-1, 0), at(1, 0), at(0, 1), at(0, 0)};
                    const double blur = at(0, 0) / 2 + (cross[0] + cross[1] + cross[2] + cross[3]) / 8;
                    const double expected =
                        std::clamp(at(0, 0) + 4 * amount * (at(0, 0) - blur),
                                   *std::min_element(cross, cross + 5), *std::max_element(cross, cross + 5));
                    worst = std::max(worst, std::abs(out.at(x, y)[c] - int(std::nearbyint(expected))));
                }
        EXPECT_LE(worst, 1);
    }
}

// Columns where the mean over all rows moves by half a level or more from its neighbour.
int visibleSteps(const Picture& p) {
    int steps = 0;
    double previous = 0;
    for (int x = 0; x < p.width; ++x) {
        double sum = 0;
        for (int y = 0; y < p.height; ++y) sum += p.green(x, y);
        const double mean = sum / p.height;
        steps += x > 0 && std::abs(mean - previous) >= 0.5;
        previous = mean;
    }
    return steps;
}

TEST_F(EffectKernel, DebandDissolvesBandsButKeepsEdgesAndTexture) {
    const Picture ramp = Picture::grey(128, 64, [](int x, int) { return 100 + x / 16; }); // 8-bit bands
    ASSERT_EQ(visibleSteps(ramp), 7);
    EXPECT_LE(visibleSteps(applyEffects(ramp, {.debandEnabled = true, .debandAmount = 0.45f})), 1);

    // A strong edge, flat areas and a coarse checkered texture only gain dither.
    const Picture edges = Picture::grey(96, 32, [](int x, int y) {
        if (x < 48) return 40;
        return y < 16 ? 200 : 200 + ((x / 2 + y / 2) % 2 ? 30 : -30);
    });
    for (const float amount : {0.45f, 1.0f}) {
        const Picture out = applyEffects(edges, {.debandEnabled = true, .debandAmount = amount});
        int worst = 0;
        for (std::size_t i = 0; i < edges.bytes.size(); ++i)
            worst = std::max(worst, std::abs(int(out.bytes[i]) - int(edges.bytes[i])));
        EXPECT_LE(worst, 1) << amount;
    }
}

TEST_F(EffectKernel, GrainIsZeroMeanWithTheSameStrengthAtEveryResolution) {
    const float amount = 0.5f;
    const double expected = 0.08 * 255 * amount; // at mid grey
    // The same number of pixels at 540 and at 2160 content rows. Strength is measured over areas
    // the size of a pixel at 1080 rows (2x2 pixels at 2160), as the eye sees it on one screen.
    for (const auto& [width, height, block] : {std::tuple{64, 540, 1}, std::tuple{16, 2160, 2}}) {
        SCOPED_TRACE(height);
        const Picture grey = Picture::grey(width, height, [](int, int) { return 128; });
        const Picture first = applyEffects(grey, {.grainEnabled = true, .grainAmount = amount});
        const Picture second = applyEffects(grey, {.grainEnabled = true, .grainAmount = amount});
        double sum = 0, squares = 0;
        for (int y = 0; y < height; y += block)
            for (int x = 0; x < width; x += block) {
                double d = 0;
                for (int k = 0; k < block * block; ++k)
                    d += first.green(x + k % block, y + k / block) - 128.0;
                d /= block * block;
                sum += d, squares += d * d;
            }
        const int count = width * height / (block * block);
        const double mean = sum / count, deviation = std::sqrt(squares / count - mean * mean);
        EXPECT_LT(std::abs(mean), 0.4);
        EXPECT_GT(deviation, 0.85 * expected);
        EXPECT_LT(deviation, 1.15 * expected);
        int changedBetweenFrames = 0, coloured = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                changedBetweenFrames += first.green(x, y) != second.green(x, y);
                coloured += first.red(x, y) != first.green(x, y);
            }
        EXPECT_GT(changedBetweenFrames, width * height * 8 / 10); // a new pattern each frame
        EXPECT_EQ(coloured, 0);                                   // monochrome
    }
}

TEST_F(EffectKernel, OnlyTheBandInsideTheContentChanges) {
    const Picture in = Picture::make(64, 32, [](int x, int y) {
        return std::array<int, 3>{hashed(x, y, 200), hashed(y, x, 200), hashed(x + 7, y, 200)};
    });
    const Picture guide = Picture::make(32, 16, [](int x, int y) {
        return std::array<int, 3>{hashed(y, x + 3, 256), hashed(x, y + 5, 256), hashed(x, y, 256)};
    });
    // Content (8, 2, 48, 20) in Core Image coordinates is rows 10...29 from the top; the band
    // [0.25, 0.75) of its width is columns 20...43.
    const image::Rect content{8, 2, 48, 20};
    const Picture passes[] = {
        applyEffects(in,
                     {.sharpenEnabled = true,
                      .sharpenAmount = 1,
                      .debandEnabled = true,
                      .debandAmount = 1,
                      .grainEnabled = true,
                      .grainAmount = 1,
                      .brightness = 0.2f},
                     0.25f, 0.75f, content),
        clean(guide, in, 1, 0.25f, 0.75f, content),
    };
    for (const Picture& out : passes) {
        int changedInside = 0, changedOutside = 0;
        for (int y = 0; y < in.height; ++y)
            for (int x = 0; x < in.width; ++x) {
                const bool inside = y >= 10 && y < 30 && x >= 20 && x < 44;
                const bool changed = !std::equal(in.at(x, y), in.at(x, y) + 4, out.at(x, y));
                (inside ? changedInside : changedOutside) += changed;
            }
        EXPECT_EQ(changedOutside, 0);
        EXPECT_GT(changedInside, 20 * 24 / 2);
    }
}

} // namespace
