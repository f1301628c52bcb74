// The "enhancementCleanup" kernel: what it keeps and what it pulls back.
#include "PassTestSupport.hpp"

#include <algorithm>
#include <cmath>

using namespace lumavane;
using namespace lumavane::test;

namespace {

using CleanupKernel = PassTest;

TEST_F(CleanupKernel, KeepsPixelsThatAgreeWithTheGuide) {
    // A smooth guide and its 2x upscale off by at most a level here and there.
    const Picture guide = Picture::make(16, 8, [](int x, int y) {
        return std::array<int, 3>{80 + x + 2 * y, 120 - x, 60 + y};
    });
    const Picture source = Picture::make(32, 16, [&](int x, int y) {
        const double u = std::clamp(x / 2.0 - 0.25, 0.0, 15.0), v = std::clamp(y / 2.0 - 0.25, 0.0, 7.0);
        const int wobble = (x * 5 + y * 3) % 3 - 1;
        return std::array<int, 3>{int(std::lround(80 + u + 2 * v)) + wobble,
                                  int(std::lround(120 - u)) - wobble, int(std::lround(60 + v))};
    });
    const Picture out = clean(guide, source, 1);
    EXPECT_EQ(out.bytes, source.bytes);
}

TEST_F(CleanupKernel, PullsRingingAndFlatAreaGrainBackTowardsTheGuide) {
    // A hard edge in the guide; the upscale overshoots on both sides of it and has a grainy
    // pattern on the flat left side.
    const Picture guide = Picture::grey(16, 8, [](int x, int) { return x < 8 ? 60 : 180; });
    const Picture source = Picture::grey(32, 16, [](int x, int y) {
        if (x == 14 || x == 15) return 25;
        if (x == 16 || x == 17) return 215;
        if (x < 8) return 60 + ((x + y) % 2 ? 6 : -6);
        return x < 16 ? 60 : 180;
    });
    for (const float strength : {1.0f, 0.75f}) {
        SCOPED_TRACE(strength);
        const Picture out = clean(guide, source, strength);
        for (int x = 0; x < source.width; ++x) {
            // The two guide columns around this one's centre bound it, within two levels.
            const int left = std::clamp(int(std::floor(x / 2.0 - 0.25)), 0, 15),
                      right = std::min(left + 1, 15);
            const int low = std::min(guide.green(left, 0), guide.green(right, 0)) - 2;
            const int high = std::max(guide.green(left, 0), guide.green(right, 0)) + 2;
            for (int y = 0; y < source.height; ++y) {
                const double s = source.green(x, y);
                const double expected = s + strength * (std::clamp(s, double(low), double(high)) - s);
                ASSERT_EQ(out.green(x, y), int(std::nearbyint(expected))) << x << ", " << y;
            }
        }
    }
}

} // namespace
