// Clips stored with a display rotation, played by the real session on either back-end: the picture it
// shows and captures stands as ffmpeg's own autorotated render of the same file does.
#include "PresentationTestSupport.hpp"

#include "Lumavane/Presentation/FrameCapture.hpp"
#include "Lumavane/Presentation/MetalSurface.hpp"
#include "Lumavane/Presentation/PlayerSessionSurface.hpp"
#include "Lumavane/Session/SessionTestSupport.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Image/Context.hpp"
#include "support/QuarterLayout.hpp"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

using namespace lumavane;
using namespace lumavane::test;

namespace {

// A platform player that plays nothing, so the session opens every file on the direct back-end.
class RefusingPlayer final : public media::Player {
public:
    void loadAsset(const std::filesystem::path&,
                   std::function<void(media::AssetResult)> completion) override {
        completion(media::AssetProperties{});
    }
    std::shared_ptr<media::PlayerItem> makeItem(const std::filesystem::path&) override { return nullptr; }
    void replaceCurrentItem(std::shared_ptr<media::PlayerItem>) override {}
    std::shared_ptr<media::PlayerItem> currentItem() const override { return nullptr; }
    void setDefaultRate(double) override {}
    double defaultRate() const override { return 1; }
    void playImmediately(double) override {}
    void pause() override {}
    double rate() const override { return 0; }
    void setRate(double) override {}
    void setVolume(float) override {}
    double currentTime() const override { return 0; }
    void seek(double, std::function<void(bool)> completion) override { completion(false); }
};

TEST(RotationTests, BothBackEndsShowAndCaptureRotatedClipsAsFfmpegDoes) {
    for (const bool direct : {false, true}) {
        for (const char* clip :
             {"quarters_90.mp4", "quarters_180.mp4", "quarters_270.mp4", "quarters_45.mp4"}) {
            const std::string path = std::string(LUMAVANE_TEST_MEDIA_DIR) + "/" + clip;
            SCOPED_TRACE(std::string(clip) + (direct ? " direct" : " platform"));
            // An odd rotation, which ffmpeg renders skewed and cropped, is not applied.
            const Layout expected = asFfmpegShows(path, std::string(clip) != "quarters_45.mp4");

            SessionHarness harness;
            TemporaryDirectory captures;
            harness.store.set("player.captureSaveMode", "folder");
            harness.store.set("player.captureDirectory", captures.path().string());
            harness.store.set("player.captureSize", "original");
            PlayerSession::Options options = harness.options();
            if (direct) options.platformPlayer = std::make_shared<RefusingPlayer>();
            PlayerSession session(std::move(options));
            auto link = std::make_shared<PlayerSessionSurface>(session);
            SurfaceRig rig;
            MetalSurface binder(link, *rig.surface, {.capture = {harness.store, nullptr, nullptr, nullptr}});

            session.loadVideo(path);
            const auto runUntil = [&](const std::function<bool()>& done) {
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (!done() && std::chrono::steady_clock::now() < deadline) {
                    harness.loop.runUntilIdle();
                    rig.surface->displayLinkFired(hostTimeSeconds());
                    rig.loop.runUntilIdle();
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                return done();
            };
            ASSERT_TRUE(runUntil([&] { return session.latest().has_value(); }))
                << session.message().value_or("");
            EXPECT_EQ(session.directEngine() != nullptr, direct);

            // The picture the session shows.
            const auto shown =
                image::Context::make()->createCPUImage(*session.latest(), session.latest()->extent());
            ASSERT_TRUE(shown.has_value());
            EXPECT_EQ(layoutOf(*shown), expected);

            // Captured through the session's hook into a PNG file, with the surface told the picture's
            // shape as the view tells it.
            binder.update(PostProcessConfiguration::neutral(), VideoAspectMode::automatic, nullptr);
            ASSERT_TRUE(session.captureFrame);
            session.captureFrame();
            const auto saved = [&]() -> std::optional<std::filesystem::path> {
                for (const auto& entry : std::filesystem::directory_iterator(captures.path()))
                    if (entry.path().extension() == ".png") return entry.path();
                return std::nullopt;
            };
            ASSERT_TRUE(runUntil([&] { return saved().has_value(); }));
            const Layout captured = asFfmpegShows(saved()->string());
            EXPECT_EQ(captured, expected);
            session.stopPlayback();
            harness.loop.runUntilIdle();
        }
    }
}

} // namespace
