// The session under stress with everything real: GStreamer and the direct engine, the shipped
// models on the GPU layer, seek thumbnails, the surface drawing every picture. Each round opens a
// clip, on the two back-ends by turns, plays it, switches view modes, models and output scales,
// seeks, hovers and scrubs the seek bar, changes rate and audio track, pauses, plays to the end, and
// every third round closes it.
//
// By default it runs four rounds, which checks that the session comes through them whole. For a
// stress run set LUMAVANE_HAMMER_SECONDS (rounds repeat until that much time has passed); under
// ThreadSanitizer this is the run the README's "Sanitizers" section describes.
#include "SessionTestSupport.hpp"

#include "Lumavane/Presentation/ImageSurface.hpp"
#include "Lumavane/Presentation/MetalSurface.hpp"
#include "Lumavane/Presentation/PlayerSessionSurface.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Foundation/Resources.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace lumavane::test {
namespace {

std::filesystem::path media(const char* name) {
    return std::filesystem::path(LUMAVANE_TEST_MEDIA_DIR) / name;
}

double hammerSeconds() {
    const char* text = std::getenv("LUMAVANE_HAMMER_SECONDS");
    if (!text) return 0;
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    return end != text && seconds > 0 ? seconds : 0;
}

// The window half as the surface sees it: drawables from a pool, put on screen at once.
class HammerHost final : public SurfaceHost {
public:
    explicit HammerHost(MainExecutor& executor) : executor_(executor) {}
    image::Size size{640, 360};
    bool needsDisplay = false;
    int presented = 0;

    image::Size drawableSize() const override { return size; }
    image::Size backingSize() const override { return size; }
    image::Size pointSize() const override { return size; }
    std::shared_ptr<SurfaceDrawable> nextDrawable(gpu::Device* device) override {
        return pool_.acquire(device, int(size.width), int(size.height));
    }
    void present(std::shared_ptr<SurfaceDrawable> drawable, std::function<void()> handler) override {
        onScreen_ = std::move(drawable);
        ++presented;
        if (handler) executor_.post(std::move(handler));
    }
    void setNeedsDisplay() override { needsDisplay = true; }
    void drawNow() override { needsDisplay = true; }

private:
    MainExecutor& executor_;
    DrawablePool pool_;
    std::shared_ptr<SurfaceDrawable> onScreen_;
};

struct Hammer {
    SessionHarness harness;
    std::unique_ptr<PlayerSession> session;
    std::shared_ptr<PlayerSessionSurface> link;
    HammerHost host{harness.loop};
    std::unique_ptr<ImageSurface> surface;
    std::unique_ptr<MetalSurface> binder;
    double lastAdvance = hostTimeSeconds(); // virtual time follows real time

    Hammer() {
        PlayerSession::Options options = harness.options();
        options.loadModelSeriesManifest = nullptr; // the real reader, for the shipped series
        options.hostClock = [] { return hostTimeSeconds(); };
        session = std::make_unique<PlayerSession>(std::move(options));
        link = std::make_shared<PlayerSessionSurface>(*session);
        ImageSurface::Dependencies dependencies;
        dependencies.executor = &harness.loop;
        surface = std::make_unique<ImageSurface>(host, std::move(dependencies));
        binder = std::make_unique<MetalSurface>(
            link, *surface,
            MetalSurface::Options{.captureContent = nullptr,
                                  .capture = {harness.store, nullptr, nullptr, nullptr},
                                  .clock = nullptr,
                                  .quietHUD = nullptr});
        session->loadBundledModelIfAvailable(resourcesDirectory() / "Models" / "model-series.json");
    }

    ~Hammer() {
        session->stopPlayback();
        harness.loop.runUntilIdle();
        binder.reset();
        surface.reset();
        session.reset();
        harness.loop.runUntilIdle();
    }

    // Runs the main thread as the application does for `seconds` of real time: the display link at
    // 60 Hz, draws when asked, delayed work as time passes.
    void run(double seconds, const std::function<bool()>& done = nullptr) {
        const double start = hostTimeSeconds();
        double next = start;
        while (hostTimeSeconds() - start < seconds && !(done && done())) {
            next += 1.0 / 60;
            harness.loop.runUntil([] { return false; }, std::max(next - hostTimeSeconds(), 0.0));
            const double now = hostTimeSeconds();
            harness.loop.advance(now - std::exchange(lastAdvance, now));
            surface->displayLinkFired(now);
            if (std::exchange(host.needsDisplay, false)) surface->draw();
        }
    }

    bool open(const char* name) {
        session->loadVideo(media(name));
        run(20, [&] { return session->hasVideo() || session->message().has_value(); });
        return session->hasVideo();
    }

    void play() {
        if (!session->playing()) session->togglePlayback();
    }
};

TEST(SessionHammer, OpenPlaySeekSwitchAndCloseOnBothBackEnds) {
    Hammer h;
    PlayerSession& s = *h.session;
    h.run(30, [&] { return !s.loadingModel(); });
    ASSERT_TRUE(s.modelInfo().has_value()) << s.message().value_or("no model");

    const double seconds = hammerSeconds();
    const double start = hostTimeSeconds();
    int round = 0;
    int presentedBefore = h.host.presented;
    do {
        SCOPED_TRACE("round " + std::to_string(round));
        // MP4 plays on the platform back-end (the video-only one ends on the clock rather than the
        // sound); Matroska with two audio tracks and WebM go to the direct one.
        const bool direct = round % 2 == 1;
        const char* clip = direct ? (round % 4 == 1 ? "tracks.mkv" : "vp9_opus.webm")
                                  : (round % 4 == 0 ? "h264_aac.mp4" : "video_only.mp4");
        SCOPED_TRACE(clip);
        ASSERT_TRUE(h.open(clip)) << s.message().value_or("");
        EXPECT_EQ(s.directEngine() != nullptr, direct);
        h.play();
        h.run(0.3);

        // View modes and enhancement while frames flow.
        for (ViewMode mode : {ViewMode::original, ViewMode::enhanced, ViewMode::compare}) {
            s.setMode(mode);
            h.run(0.1);
        }
        s.setEnabled(false);
        h.run(0.05);
        s.setEnabled(true);

        // A model switch mid-playback, alternating; then an output scale and a display size.
        s.setBundledModel((round / 2) % 2 == 0 ? BundledModelPreset::fast : BundledModelPreset::quality);
        h.run(0.2);
        s.setOutputScale((round / 2) % 2 == 0 ? OutputScale::four : OutputScale::two);
        s.updateDisplayPixelSize({(round / 2) % 2 == 0 ? 800.0 : 640.0, 360});
        h.run(0.2);
        // Effects before the model run on the inference queue too.
        s.setFxPipelineOrder((round / 2) % 2 == 0 ? FXPipelineOrder::beforeUpscale
                                                  : FXPipelineOrder::afterUpscale);
        s.setSharpenEnabled((round / 2) % 2 == 0);

        // Seeks while playing, a hover over the seek bar and a scrub.
        for (double target : {2.0, 0.5, 1.5}) {
            s.seek(target);
            h.run(0.1);
        }
        for (double hover : {0.3, 0.9, 1.7, 2.4}) {
            s.setSeekPreview(hover);
            h.run(0.05);
        }
        s.setSeekPreview(std::nullopt);
        s.setScrubbing(true);
        for (double target : {1.0, 1.2, 1.4}) {
            s.seek(target);
            h.run(0.03);
        }
        s.setScrubbing(false);

        // Rate, audio track, pause and play, and a seek while paused.
        s.setPlaybackRate(1.5);
        h.run(0.15);
        s.setPlaybackRate(1.0);
        if (s.audioTracks().size() > 1) s.selectAudioTrack((round / 2) % 2 == 0 ? 1 : 0);
        h.run(0.15);
        s.togglePlayback();
        h.run(0.1);
        s.seek(0.2);
        h.run(0.1);
        s.togglePlayback();
        h.run(0.2);
        if (!s.subtitleTracks().empty()) s.selectSubtitle(s.subtitleTracks().back().id);

        // To the end: the back-end reports it and the session stops playing.
        s.seek(std::max(s.duration() - 0.4, 0.0));
        h.play();
        h.run(10, [&] { return !s.playing(); });
        EXPECT_FALSE(s.playing());
        EXPECT_FALSE(s.message().has_value()) << *s.message();

        // Closed every third round; otherwise the next clip replaces it.
        if (round % 3 == 2) s.stopPlayback();
        ++round;
    } while (hostTimeSeconds() - start < seconds || round < 4);

    // Pictures reached the screen, and the session is whole enough to play once more.
    EXPECT_GT(h.host.presented, presentedBefore);
    ASSERT_TRUE(h.open("h264_aac.mp4"));
    h.play();
    h.run(10, [&] { return s.latest().has_value(); });
    EXPECT_TRUE(s.playing());
    EXPECT_TRUE(s.latest().has_value());
}

} // namespace
} // namespace lumavane::test
