// The shipped fast model on a real clip through the direct engine and the session.
#include "HeadlessPlayback.hpp"
#include "SessionTestSupport.hpp"

#include "Platform/Foundation/Resources.hpp"
#include "Platform/Image/Context.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace lumavane {
namespace {

using test::HeadlessPlayback;
using test::SessionHarness;

std::filesystem::path quadrantClip() {
    const std::string dir = LUMAVANE_PIPELINE_MEDIA_DIR;
    const std::string command = std::string("'") + LUMAVANE_PIPELINE_MEDIA_SCRIPT + "' '" + dir + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot generate " + dir);
    return std::filesystem::path(dir) / "quadrant.mp4";
}

// Red in the top-left quadrant and nowhere else, sampled at the quadrants' centres.
void expectUpright(const image::Image& picture) {
    const auto bitmap = image::Context::make()->createCPUImage(picture, picture.extent());
    ASSERT_TRUE(bitmap);
    const auto red = [&](double fx, double fy) {
        const std::uint8_t* pixel = bitmap->row(int(fy * bitmap->height())) + int(fx * bitmap->width()) * 4;
        return pixel[2] > 200 && pixel[1] < 60 && pixel[0] < 60;
    };
    EXPECT_TRUE(red(0.25, 0.25));
    EXPECT_FALSE(red(0.75, 0.25));
    EXPECT_FALSE(red(0.25, 0.75));
    EXPECT_FALSE(red(0.75, 0.75));
}

TEST(PipelineEndToEnd, TheFastModelsPicturesAreShownUprightAt2xAnd4x) {
    const std::filesystem::path clip = quadrantClip();
    const std::filesystem::path model = resourcesDirectory() / "Models" / "Lumavane-Fast-4x";
    for (const auto& [scale, factor] : {std::pair{OutputScale::two, 2}, std::pair{OutputScale::four, 4}}) {
        SCOPED_TRACE(factor);
        SessionHarness harness;
        auto options = harness.options();
        options.hostClock = [] { return hostTimeSeconds(); };
        PlayerSession session(std::move(options));
        session.setMode(ViewMode::enhanced);
        const auto enhancer = ModelPlaybackEnhancerFactory().make(model, scale);
        // One frame first: with an empty kernel cache (or many tests compiling at once) the first
        // step compiles for seconds, longer than the clip plays.
        enhancer->enhancePipelined(image::Image::constantColor({0.5, 0.5, 0.5}).cropped({0, 0, 160, 96}),
                                   std::nullopt, std::nullopt, CancellationToken());
        session.setEnhancer(enhancer);

        HeadlessPlayback playback(session, harness.loop, clip);
        playback.play();
        ASSERT_TRUE(playback.ended);
        EXPECT_FALSE(session.message()) << *session.message();

        // Whatever came late during playback, the enhanced pictures were shown, at the model's size.
        EXPECT_FALSE(playback.shownEnhanced.empty());
        ASSERT_TRUE(playback.lastEnhanced);
        const image::Rect extent = playback.lastEnhanced->picture.extent();
        EXPECT_EQ(extent.width, 160 * factor);
        EXPECT_EQ(extent.height, 96 * factor);
        EXPECT_EQ(session.outputResolution(), std::to_string(160 * factor) + " × " + std::to_string(96 * factor));
        expectUpright(playback.lastEnhanced->picture);

        // Paused at the end the newest frame is enhanced and shown, however old it is.
        session.togglePlayback();
        harness.loop.runUntil([&] { return playback.lastShown && playback.lastShown->enhanced; }, 10);
        ASSERT_TRUE(playback.lastShown);
        EXPECT_TRUE(playback.lastShown->enhanced);
        expectUpright(playback.lastShown->picture);
    }
}

// Slower than a frame, as a model on a busy machine is.
class SlowEnhancer final : public PlaybackEnhancer {
public:
    const ModelInfo& info() const override { return model_; }
    EnhancementResult enhancePipelined(const image::Image& image, const std::optional<PixelBuffer>&,
                                       std::optional<image::Size>, const CancellationToken&) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        return {image.transformed(image::AffineTransform::scale(2, 2)), 1};
    }

private:
    ModelInfo model_{"Slow", 64, 64, 2, "", "", false};
};

// The first frame of a run is on screen at a refresh however late the main thread takes the engine's
// frames: here it is busy until the engine's clock is 0.2 s on, then ticks at 60 Hz. After opening and
// after Play at the end; without and with enhancement, at rate 1 and 1.5.
TEST(PipelineEndToEnd, TheFirstFrameOfARunIsOnScreenHoweverLateTheMainThreadTakesIt) {
    const std::filesystem::path clip = quadrantClip();
    for (const bool enhance : {false, true})
        for (const double rate : {1.0, 1.5}) {
            SCOPED_TRACE(std::string(enhance ? "enhanced" : "original") + ", rate " + std::to_string(rate));
            SessionHarness harness;
            auto options = harness.options();
            options.hostClock = [] { return hostTimeSeconds(); };
            PlayerSession session(std::move(options));
            session.setMode(ViewMode::enhanced);
            if (enhance) session.setEnhancer(std::make_shared<SlowEnhancer>());
            HeadlessPlayback playback(session, harness.loop, clip);
            session.setPlaybackRate(rate);
            for (const bool fromTheEnd : {false, true}) {
                SCOPED_TRACE(fromTheEnd ? "Play at the end" : "opened");
                if (fromTheEnd) {
                    session.togglePlayback();
                    session.setPosition(session.duration());
                    playback.ended = false;
                }
                playback.lastShown.reset();
                session.togglePlayback();
                ASSERT_TRUE(session.playing());
                const double start = hostTimeSeconds();
                while (playback.engine->currentTime() < 0.2 && hostTimeSeconds() - start < 20)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                ASSERT_GE(playback.engine->currentTime(), 0.2);
                std::optional<double> firstOnScreen;
                while (!playback.ended && hostTimeSeconds() - start < 60) {
                    harness.loop.runUntil([] { return false; }, 1.0 / 60);
                    session.tick(hostTimeSeconds());
                    if (!firstOnScreen && playback.lastShown) firstOnScreen = playback.lastShown->pts;
                }
                ASSERT_TRUE(playback.ended);
                EXPECT_EQ(firstOnScreen, 0.0);
            }
        }
}

} // namespace
} // namespace lumavane
