#include "PresentationTestSupport.hpp"

#include "Lumavane/Presentation/VideoAspectMode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace lumavane;
using namespace lumavane::test;

namespace {

PostProcessConfiguration configurationWith(bool effects, bool cleanup) {
    PostProcessConfiguration::Options options;
    PostProcessSettings::Options settings;
    settings.brightness = effects ? 0.001f : 0;
    options.settings = PostProcessSettings(settings);
    options.effectStart = 0, options.effectEnd = effects ? 1 : 0;
    options.cleanupEnabled = cleanup;
    options.cleanupStart = 0, options.cleanupEnd = cleanup ? 1 : 0;
    return PostProcessConfiguration(options);
}

TEST(VideoAspectModeTests, RawValuesRoundTripAndOthersAreAbsent) {
    for (VideoAspectMode mode : allVideoAspectModes) EXPECT_EQ(videoAspectModeFromRawValue(rawValue(mode)), mode);
    EXPECT_EQ(rawValue(VideoAspectMode::ratio21x9), "ratio21x9");
    EXPECT_FALSE(videoAspectModeFromRawValue("Fit"));
}

// 1920 × 1080 into a 1000 × 1000 drawable (and a wide one for the ratio branch): the content
// rectangle, and where the picture's top-right corner lands.
TEST(VideoAspectModeTests, FitsEveryModeAsTheTableSays) {
    struct Case {
        VideoAspectMode mode;
        std::optional<double> ratio;
        double W, H;
        image::Rect content;
        image::Point topRight;
    };
    const double fill = 1000.0 / 1080;
    const double h21 = 1000 / (21.0 / 9);
    const Case cases[] = {
        {VideoAspectMode::automatic, std::nullopt, 1000, 1000, {0, 218.75, 1000, 562.5}, {1000, 781.25}},
        {VideoAspectMode::automatic, 4.0 / 3, 1000, 1000, {0, 125, 1000, 750}, {1000, 875}},
        {VideoAspectMode::fit, std::nullopt, 1000, 1000, {0, 0, 1000, 1000}, {1000, 1000}},
        {VideoAspectMode::fill, std::nullopt, 1000, 1000, {0, 0, 1000, 1000}, {(1000 + 1920 * fill) / 2, 1000}},
        {VideoAspectMode::ratio16x9, 1.0, 1000, 1000, {0, 218.75, 1000, 562.5}, {1000, 781.25}},
        {VideoAspectMode::ratio4x3, std::nullopt, 1000, 1000, {0, 125, 1000, 750}, {1000, 875}},
        {VideoAspectMode::ratio1x1, std::nullopt, 1000, 1000, {0, 0, 1000, 1000}, {1000, 1000}},
        {VideoAspectMode::ratio21x9, std::nullopt, 1000, 1000, {0, (1000 - h21) / 2, 1000, h21}, {1000, (1000 + h21) / 2}},
        {VideoAspectMode::ratio4x3, std::nullopt, 1000, 400, {(1000 - 1600 / 3.0) / 2, 0, 1600 / 3.0, 400},
         {(1000 + 1600 / 3.0) / 2, 400}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(rawValue(c.mode)));
        const AspectFit fit = aspectFit(1920, 1080, c.W, c.H, c.mode, c.ratio);
        EXPECT_NEAR(fit.contentRect.x, c.content.x, 1e-9);
        EXPECT_NEAR(fit.contentRect.y, c.content.y, 1e-9);
        EXPECT_NEAR(fit.contentRect.width, c.content.width, 1e-9);
        EXPECT_NEAR(fit.contentRect.height, c.content.height, 1e-9);
        const image::Point corner = fit.transform.apply({1920, 1080});
        EXPECT_NEAR(corner.x, c.topRight.x, 1e-9);
        EXPECT_NEAR(corner.y, c.topRight.y, 1e-9);
        // The fitted image of a picture with an offset extent lands in the same place.
        const auto fitted =
            fittedImage(solid(1, 0, 0, 1920, 1080).transformed(image::AffineTransform::translation(-5, 7)),
                        {0, 0, c.W, c.H}, c.mode, c.ratio);
        EXPECT_NEAR(fitted.contentRect.width, c.content.width, 1e-9);
        EXPECT_LE(fitted.image.extent().maxX(), std::max(c.W, corner.x) + 1e-9);
    }
}

// Tiny pictures drawn into a larger drawable keep their aspect, and their edge pixels keep their
// colours: past the outermost pixel centres the border pixels go on, nothing dark is blended in.
// Expected: a plain bilinear enlargement with clamped coordinates, letterboxed in black.
TEST(ImageSurfaceTests, TinyPicturesKeepTheirAspectAndTheirEdges) {
    struct Case {
        int w, h;
        int W, H;
        std::optional<double> ratio;
    } cases[] = {{2, 2, 40, 20, std::nullopt}, {2, 2, 40, 20, 1.0}, {4, 2, 20, 40, 2.0}, {4, 2, 30, 12, std::nullopt}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " in " + std::to_string(c.W) + "x" +
                     std::to_string(c.H));
        const auto colour = [&](int x, int row) {
            return Pixel{std::uint8_t(40 + 70 * x), std::uint8_t(230 - 150 * row), std::uint8_t(x == row ? 250 : 20),
                         255};
        };
        SurfaceRig rig;
        rig.host.size = {double(c.W), double(c.H)};
        if (c.ratio) rig.surface->configureSourceAspectRatio(*c.ratio);
        rig.surface->present(pictureOf(c.w, c.h, colour), std::nullopt);
        rig.drawAndSettle();
        ASSERT_EQ(rig.host.presented.size(), 1u);
        const double s = std::min(double(c.W) / c.w, double(c.H) / c.h);
        const double left = (c.W - s * c.w) / 2, top = (c.H - s * c.h) / 2;
        int worst = 0;
        std::string where;
        for (int row = 0; row < c.H; ++row)
            for (int x = 0; x < c.W; ++x) {
                const double cx = x + 0.5, cy = row + 0.5;
                double expected[3] = {0, 0, 0};
                if (cx > left && cx < left + s * c.w && cy > top && cy < top + s * c.h) {
                    const double u = std::clamp((cx - left) / s - 0.5, 0.0, c.w - 1.0);
                    const double v = std::clamp((cy - top) / s - 0.5, 0.0, c.h - 1.0);
                    const int x0 = int(u), y0 = int(v), x1 = std::min(x0 + 1, c.w - 1), y1 = std::min(y0 + 1, c.h - 1);
                    const double fx = u - x0, fy = v - y0;
                    const auto at = [&](int px, int py, int channel) {
                        const Pixel p = colour(px, py);
                        return double(channel == 0 ? p.b : channel == 1 ? p.g : p.r);
                    };
                    for (int k = 0; k < 3; ++k)
                        expected[k] = (at(x0, y0, k) * (1 - fx) + at(x1, y0, k) * fx) * (1 - fy) +
                                      (at(x0, y1, k) * (1 - fx) + at(x1, y1, k) * fx) * fy;
                }
                const Pixel shown = pixelOf(rig.shown(), x, row);
                const double got[3] = {double(shown.b), double(shown.g), double(shown.r)};
                for (int k = 0; k < 3; ++k) {
                    const int off = int(std::lround(std::abs(got[k] - expected[k])));
                    if (off > worst) {
                        worst = off;
                        where = "pixel " + std::to_string(x) + "," + std::to_string(row) + " channel " +
                                std::to_string(k) + " is " + std::to_string(got[k]) + ", expected " +
                                std::to_string(expected[k]);
                    }
                }
            }
        EXPECT_LE(worst, 3) << where;
    }
}

// Two pictures presented and drawn: both renders stay in flight until the loop runs.
void twoRendersInFlight(SurfaceRig& rig, const image::Image& first, const image::Image& second) {
    rig.surface->present(first, std::nullopt);
    rig.surface->draw();
    rig.surface->present(second, std::nullopt);
    rig.surface->draw();
    ASSERT_EQ(rig.surface->rendersInFlight(), 2);
}

// Revisions, the in-flight limit and the collapse of a burst into one draw of the newest state.
TEST(ImageSurfaceTests, DrawsEachRevisionOnceWithAtMostTwoBuffersInFlight) {
    SurfaceRig rig;
    ImageSurface& surface = *rig.surface;
    twoRendersInFlight(rig, solid(1, 0, 0), solid(0, 1, 0));
    surface.present(solid(0, 0, 1), std::nullopt);
    surface.present(solid(1, 1, 1), std::nullopt);
    surface.draw(); // refused: two in flight
    EXPECT_EQ(surface.rendersInFlight(), 2);
    const int requestsBefore = rig.host.displayRequests;
    rig.settle();
    EXPECT_EQ(rig.host.presented.size(), 2u);
    EXPECT_GT(rig.host.displayRequests, requestsBefore) << "a completion of a stale buffer asks for a draw";
    rig.drawAndSettle();
    ASSERT_EQ(rig.host.presented.size(), 3u);
    EXPECT_EQ(pixelOf(rig.shown(), 8, 3), (Pixel{255, 255, 255, 255})) << "the newest picture";

    // Nothing changed: no draw; equal settings and invalid ratios change nothing either.
    const auto revision = surface.revision();
    rig.drawAndSettle();
    surface.configure(surface.postProcessConfiguration());
    surface.configureAspectMode(VideoAspectMode::automatic);
    for (double ratio : {0.0, -1.0, double(INFINITY), double(NAN)}) surface.configureSourceAspectRatio(ratio);
    surface.configureSourceAspectRatio(2.0);
    surface.configureSourceAspectRatio(2.0);
    EXPECT_EQ(rig.host.presented.size(), 3u);
    EXPECT_EQ(surface.revision(), revision + 1);
}

// Mend: renders held up on the device (a model step queued ahead of them compiling its kernels)
// froze the screen for seconds. Once held up, the newest picture is drawn on the CPU at once, and
// the held renders, finishing later, do not put an older picture back.
TEST(ImageSurfaceTests, RendersHeldUpOnTheDeviceGiveWayToTheNewestPictureDrawnOnTheCPU) {
    double now = 100, drawSeconds = 0;
    int presents = 0;
    SurfaceRig rig({.clock = [&] { return now; }});
    ImageSurface& surface = *rig.surface;
    // Like the window, the host keeps only the drawable on screen.
    rig.host.onPresent = [&] {
        ++presents;
        now += drawSeconds;
        rig.host.presented.clear();
    };
    const Pixel blue{255, 0, 0, 255}, white{255, 255, 255, 255};
    twoRendersInFlight(rig, solid(1, 0, 0), solid(0, 1, 0));
    // The completions come only through the loop: to the surface both renders are still running.
    surface.present(solid(0, 0, 1), std::nullopt);
    now += ImageSurface::heldUpRenderSeconds / 2;
    surface.draw();
    EXPECT_EQ(presents, 0) << "a render taking a few refreshes is no hold-up";
    const int requests = rig.host.displayRequests;
    surface.displayLinkFired(now);
    EXPECT_EQ(rig.host.displayRequests, requests + 1) << "the refused draw is tried again on the next tick";

    now += ImageSurface::heldUpRenderSeconds;
    drawSeconds = 0.1; // each picture drawn on the CPU takes 100 ms
    surface.draw();
    ASSERT_EQ(presents, 1) << "held up: drawn on the CPU without waiting";
    EXPECT_EQ(pixelOf(rig.shown(), 8, 3), blue);
    // Those draws take at most a third of the main thread: the next waits twice as long as one took.
    surface.present(solid(1, 0, 1), std::nullopt);
    now += 0.15;
    surface.draw();
    EXPECT_EQ(presents, 1) << "too soon after the last picture drawn on the CPU";
    now += 0.06;
    surface.draw();
    EXPECT_EQ(presents, 2);
    surface.present(solid(0, 0, 1), std::nullopt);
    surface.draw();
    EXPECT_EQ(presents, 2);
    now += 0.21;
    surface.draw();
    ASSERT_EQ(presents, 3);
    EXPECT_EQ(pixelOf(rig.shown(), 8, 3), blue);
    drawSeconds = 0;
    rig.settle();
    EXPECT_EQ(presents, 3) << "the held renders finishing later are not shown";
    EXPECT_EQ(pixelOf(rig.shown(), 8, 3), blue);

    // The device free again: the next picture is rendered there and shown.
    surface.present(solid(1, 1, 1), std::nullopt);
    surface.draw();
    EXPECT_EQ(surface.rendersInFlight(), 1);
    rig.settle();
    ASSERT_EQ(presents, 4);
    EXPECT_EQ(pixelOf(rig.shown(), 8, 3), white);
}

// The picture stands upright on screen whichever pass wrote the drawable last.
TEST(ImageSurfaceTests, MarkedCornerStaysTopLeftThroughEveryPath) {
    const auto marked = pictureOf(16, 8, [](int x, int row) {
        return x < 4 && row < 2 ? Pixel{0, 0, 255, 255} : Pixel{255, 0, 0, 255};
    });
    struct Case {
        const char* name;
        bool effects, cleanup;
    } cases[] = {{"plain", false, false}, {"effects", true, false}, {"cleanup", false, true}, {"both", true, true}};
    // At its own size, and fitted into a larger drawable (scale 2.3125, rows 1.25 to 19.75 from the top).
    struct Drawable {
        image::Size size;
        int cornerX, cornerRow, bottomRow;
    } drawables[] = {{{16, 8}, 0, 0, 7}, {{37, 21}, 2, 3, 18}};
    for (const Drawable& d : drawables)
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " in " + std::to_string(int(d.size.width)));
            SurfaceRig rig;
            rig.host.size = d.size;
            rig.surface->configure(configurationWith(c.effects, c.cleanup));
            rig.surface->present(marked, marked);
            rig.drawAndSettle();
            ASSERT_EQ(rig.host.presented.size(), 1u);
            const Pixel corner = pixelOf(rig.shown(), d.cornerX, d.cornerRow);
            const Pixel bottom = pixelOf(rig.shown(), d.cornerX, d.bottomRow);
            EXPECT_GT(corner.r, 200);
            EXPECT_LT(corner.b, 60);
            EXPECT_GT(bottom.b, 200);
            EXPECT_LT(bottom.r, 60);
        }
}

class RecordingPasses : public PresentationPasses {
public:
    explicit RecordingPasses(std::shared_ptr<gpu::Device> device, std::vector<std::string>& log)
        : device_(std::move(device)), log_(log) {}
    bool hasCleanup() const override { return true; }
    bool hasEffects() const override { return true; }
    std::shared_ptr<gpu::Texture> make(const char* label, int w, int h) {
        auto t = device_->newTexture(gpu::TextureDescriptor::texture2D(gpu::PixelFormat::bgra8Unorm, w, h));
        t->setLabel(label);
        return t;
    }
    std::shared_ptr<gpu::Texture> cleanupSource(int w, int h) override { return make("source", w, h); }
    std::shared_ptr<gpu::Texture> cleanupGuide(int w, int h) override { return make("guide", w, h); }
    std::shared_ptr<gpu::Texture> effectsIntermediate(int w, int h) override { return make("intermediate", w, h); }
    void encodeCleanup(const std::shared_ptr<gpu::CommandBuffer>&, const std::shared_ptr<gpu::Texture>& guide,
                       const std::shared_ptr<gpu::Texture>& source, const std::shared_ptr<gpu::Texture>& destination,
                       const image::Rect&, float, float, float) override {
        log_.push_back("cleanup " + guide->label() + "+" + source->label() + "->" + destination->label());
    }
    void encodeEffects(const std::shared_ptr<gpu::CommandBuffer>&, const std::shared_ptr<gpu::Texture>& source,
                       const std::shared_ptr<gpu::Texture>& destination, const PostProcessConfiguration&,
                       const image::Rect&, bool displayOriented) override {
        log_.push_back("effects " + source->label() + "->" + destination->label() +
                       (displayOriented ? " oriented" : " bottom-up"));
    }

private:
    std::shared_ptr<gpu::Device> device_;
    std::vector<std::string>& log_;
};

TEST(ImageSurfaceTests, CleanupRunsBeforeTheEffectsAndFeedsThem) {
    struct Case {
        bool effects, cleanup, guide;
        std::vector<std::string> passes;
    } cases[] = {
        {true, true, true, {"cleanup guide+source->intermediate", "effects intermediate->Lumavane drawable oriented"}},
        {false, true, true, {"cleanup guide+source->Lumavane drawable"}},
        {true, false, true, {"effects intermediate->Lumavane drawable bottom-up"}},
        {true, true, false, {"effects intermediate->Lumavane drawable bottom-up"}}, // no guide, no cleanup
        {false, false, true, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> log;
        SurfaceRig rig({.passes = [&](const auto& device) { return std::make_unique<RecordingPasses>(device, log); }});
        rig.surface->configure(configurationWith(c.effects, c.cleanup));
        rig.surface->present(solid(1, 0, 0), c.guide ? std::optional(solid(0, 1, 0, 4, 4)) : std::nullopt);
        rig.drawAndSettle();
        EXPECT_EQ(log, c.passes);
    }
}

// Mend: a draw that finds no drawable tries again on the next display-link tick.
TEST(ImageSurfaceTests, DrawWithoutDrawableRetriesOnTheNextTick) {
    SurfaceRig rig;
    double clocked = 0;
    rig.surface->advanceFrame = [&](double t) { clocked = t; };
    rig.host.drawablesAvailable = false;
    rig.surface->present(solid(0, 0, 1), std::nullopt);
    rig.surface->draw();
    EXPECT_TRUE(rig.host.presented.empty());
    const int requests = rig.host.displayRequests;
    rig.surface->displayLinkFired(1.5);
    EXPECT_EQ(clocked, 1.5);
    EXPECT_EQ(rig.host.displayRequests, requests + 1);
    rig.host.drawablesAvailable = true;
    rig.drawAndSettle();
    EXPECT_EQ(rig.host.presented.size(), 1u);
    rig.surface->displayLinkFired(1.6);
    rig.surface->displayLinkFired(1.7);
    EXPECT_EQ(rig.host.displayRequests, requests + 1) << "an idle surface asks for nothing";
}

// Mend: no device still shows frames (on the CPU, no passes); the reason is told once.
TEST(ImageSurfaceTests, WithoutADeviceFramesStillShowAndTheErrorIsReportedOnce) {
    SurfaceRig rig({.device = [] { return std::shared_ptr<gpu::Device>(); }});
    int reports = 0;
    rig.surface->reportUnavailable = [&](const std::string&) { ++reports; };
    EXPECT_FALSE(rig.surface->hasEffectPasses());
    rig.surface->configure(configurationWith(true, true));
    rig.surface->present(solid(0, 1, 0), solid(0, 1, 0));
    rig.surface->draw();
    rig.surface->present(solid(1, 0, 0, 16, 8), std::nullopt);
    rig.surface->draw();
    ASSERT_EQ(rig.host.presented.size(), 2u);
    EXPECT_EQ(pixelOf(rig.shown(), 15, 7), (Pixel{0, 0, 255, 255}));
    EXPECT_EQ(reports, 1);
}

TEST(ImageSurfaceTests, PresentationCompletionWaitsForAFrameOfTheBackingSize) {
    SurfaceRig rig;
    int first = 0, second = 0;
    rig.surface->present(solid(1, 0, 0), std::nullopt);
    rig.surface->afterNextPresentedFrame([&] { ++first; });
    rig.surface->afterNextPresentedFrame([&] { ++second; }); // replaces the first
    rig.settle();
    rig.host.size = {32, 16}; // the backing size changes before the frame reaches the screen
    for (auto& handler : rig.host.presentedHandlers) handler();
    EXPECT_EQ(second, 0);
    rig.surface->drawableSizeWillChange(rig.host.size);
    rig.drawAndSettle();
    for (auto& handler : rig.host.presentedHandlers) handler();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
}

TEST(ImageSurfaceTests, MirroringForwardsPresentsUntilFinished) {
    SurfaceRig player, transition;
    int restarts = 0;
    player.surface->setMirroringLinkHandler([&] { ++restarts; });
    std::vector<image::Size> reported;
    player.surface->reportContentPixelSize = [&](image::Size s) { reported.push_back(s); };
    player.surface->present(solid(1, 0, 0), std::nullopt);
    player.surface->mirrorPresentation(*transition.surface);
    EXPECT_TRUE(player.surface->isMirroring());
    player.surface->present(solid(0, 1, 0), std::nullopt);
    player.surface->configureAspectMode(VideoAspectMode::fill);
    EXPECT_EQ(transition.surface->presentedFrameCount(), 2);
    EXPECT_EQ(transition.surface->aspectMode(), VideoAspectMode::fill);
    player.surface->finishMirroring();
    player.surface->present(solid(0, 0, 1), std::nullopt);
    EXPECT_EQ(transition.surface->presentedFrameCount(), 2);
    EXPECT_FALSE(transition.surface->reportContentPixelSize);
    EXPECT_EQ(restarts, 2);
}

} // namespace
