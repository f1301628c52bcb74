// Plays a clip at 1x through DirectPlaybackEngine (on a manual run loop standing in for the main thread)
// and reports how many of its frames were never handed to the client, against a plain decode of the
// same file. Usage: playback_dropped_frames CLIP [RATE]
#include "DirectPlayback/DirectPlaybackEngine.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Foundation/ManualRunLoop.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

using namespace lumavane;

namespace {

// Every video pts of the file, in milliseconds.
std::set<long> decodedFrames(const char* path) {
    std::set<long> frames;
    char err[256] = "";
    lv_decoder* decoder = lv_decoder_create(
        path, &frames,
        [](void* opaque, lv_pixel_buffer*, double pts) {
            static_cast<std::set<long>*>(opaque)->insert(std::lround(pts * 1000));
        },
        nullptr, nullptr, err, sizeof err);
    if (!decoder) {
        std::fprintf(stderr, "cannot open %s: %s\n", path, err);
        std::exit(1);
    }
    while (lv_decoder_read(decoder, err, sizeof err) == 1) {}
    lv_decoder_destroy(decoder);
    return frames;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CLIP [RATE]\n", argv[0]);
        return 2;
    }
    const double rate = argc > 2 ? std::atof(argv[2]) : 1.0;
    const std::set<long> expected = decodedFrames(argv[1]);

    ManualRunLoop loop;
    auto engine = DirectPlaybackEngine::create(argv[1], loop);
    std::set<long> shown;
    std::vector<double> lateness; // clock - pts when the frame reached the client
    bool ended = false;
    engine->onVideoFrame = [&](const PixelBuffer&, double pts) {
        shown.insert(std::lround(pts * 1000));
        lateness.push_back(engine->currentTime() - pts);
    };
    engine->onEnded = [&] { ended = true; };
    engine->onError = [&](const std::string& message) {
        std::fprintf(stderr, "error: %s\n", message.c_str());
    };
    engine->setPlaybackRate(rate);

    const double start = hostTimeSeconds();
    engine->play();
    loop.runUntil([&] { return ended; }, 600);
    const double wall = hostTimeSeconds() - start;
    engine->stop();

    std::size_t dropped = 0;
    for (long pts : expected) dropped += shown.count(pts) == 0;
    std::sort(lateness.begin(), lateness.end());
    const auto at = [&](double q) {
        return lateness.empty() ? 0.0 : lateness[static_cast<std::size_t>(q * (lateness.size() - 1))];
    };
    std::printf("clip %s: %dx%d at %.3f fps, %.3f s, rate %.2f\n", argv[1], engine->width(), engine->height(),
                engine->frameRate(), engine->duration(), rate);
    std::printf("frames %zu, shown %zu, dropped %zu%s\n", expected.size(), shown.size(), dropped,
                ended ? "" : " (did not end)");
    std::printf("delivery lateness ms: median %.1f, p95 %.1f, max %.1f; wall %.2f s\n", at(0.5) * 1000,
                at(0.95) * 1000, at(1.0) * 1000, wall);
    return ended ? 0 : 1;
}
