// Plays a clip through PlayerSession headless: direct engine, the shipped fast model, the display
// hook rendering each shown picture into a BGRA buffer as the surface would, the session ticked at
// 60 Hz. Usage: session_pipeline_bench CLIP [SCALE (2|4)] [SECONDS]
#include "Lumavane/Session/HeadlessPlayback.hpp"

#include "Lumavane/Session/PlaybackSleepAssertion.hpp"
#include "Platform/Foundation/Resources.hpp"
#include "Platform/Image/Context.hpp"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

using namespace lumavane;

namespace {

class NoSleepPrevention final : public PlaybackSleepPreventing {
public:
    void setPlaybackActive(bool) override {}
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CLIP [SCALE] [SECONDS]\n", argv[0]);
        return 2;
    }
    const int factor = argc > 2 ? std::atoi(argv[2]) : 2;
    const double seconds = argc > 3 ? std::atof(argv[3]) : 10;
    const std::filesystem::path defaults =
        std::filesystem::temp_directory_path() / ("lumavane-session-bench-" + std::to_string(getpid()) + ".json");

    ManualRunLoop loop;
    PlayerSession::Options options;
    options.preferences = DefaultsStore(defaults);
    options.executor = &loop;
    options.playbackSleepPrevention = std::make_shared<NoSleepPrevention>();
    options.hostClock = [] { return hostTimeSeconds(); };
    PlayerSession session(std::move(options));
    session.setMode(ViewMode::enhanced);

    const double loadStart = hostTimeSeconds();
    auto enhancer = std::make_shared<test::CountingEnhancer>(ModelPlaybackEnhancerFactory().make(
        resourcesDirectory() / "Models" / "Lumavane-Fast-4x", factor == 4 ? OutputScale::four : OutputScale::two));
    const double loadSeconds = hostTimeSeconds() - loadStart;
    session.setEnhancer(enhancer);

    const auto context = image::Context::make();
    std::optional<PixelBuffer> target;
    double renderSeconds = 0;
    int renders = 0;
    int completedAtStart = 0;
    {
        test::HeadlessPlayback playback(session, loop, argv[1]);
        playback.onShown = [&](const test::HeadlessPlayback::Shown& shown) {
            const image::Rect extent = shown.picture.extent();
            if (!target || target->width() != std::size_t(extent.width) || target->height() != std::size_t(extent.height))
                target = PixelBuffer::create(std::size_t(extent.width), std::size_t(extent.height), LV_PIXEL_FORMAT_32BGRA);
            const double start = hostTimeSeconds();
            context->render(shown.picture, *target, extent);
            renderSeconds += hostTimeSeconds() - start;
            ++renders;
        };
        completedAtStart = enhancer->completed;
        const double enhancerSecondsAtStart = enhancer->seconds;
        const double wall = playback.play(seconds, seconds * 3 + 30);
        const double media = playback.engine->currentTime();
        const int completed = enhancer->completed - completedAtStart;
        const int expected = int(std::floor(media * playback.engine->frameRate() + 0.5));
        const std::size_t dropped = expected > int(playback.shownFrames.size()) ? expected - playback.shownFrames.size() : 0;
        std::printf("%s %dx%d at %.2f fps, %dx output, model built in %.2f s\n", argv[1], playback.engine->width(),
                    playback.engine->height(), playback.engine->frameRate(), factor, loadSeconds);
        std::printf("played %.2f s of media in %.2f s wall\n", media, wall);
        std::printf("enhanced frames: %d, %.1f per second; %.1f ms in the enhancer per frame\n", completed,
                    completed / wall, completed ? (enhancer->seconds - enhancerSecondsAtStart) * 1000 / completed : 0.0);
        std::printf("ticks: %d, showing the enhanced picture: %d (%.1f %%)\n", playback.ticks, playback.enhancedTicks,
                    playback.ticks ? 100.0 * playback.enhancedTicks / playback.ticks : 0.0);
        std::printf("frames: ~%d due, %zu delivered by the engine, %zu shown (%zu enhanced), %zu never shown\n",
                    expected, playback.delivered.size(), playback.shownFrames.size(), playback.shownEnhanced.size(),
                    dropped);
        std::printf("display renders: %d, %.2f ms each\n", renders, renders ? renderSeconds * 1000 / renders : 0.0);
        if (session.message()) std::printf("message: %s\n", session.message()->c_str());
    }
    std::filesystem::remove(defaults);
    return 0;
}
