// Times exact thumbnail requests at random positions of a clip through one provider, as hovering over
// the seek bar makes them: each request either reads on from where the decoder stands (forward hops of
// up to 4 s) or seeks. The first request (decoder, image context and kernel set-up) is not counted.
//
// Usage: thumbnail_request_bench CLIP [REQUESTS=100] [SEED=1] [ordinary]
//   "ordinary" uses ordinary decoders instead of thumbnail decoders.
#include "DirectPlayback/SeekThumbnailProvider.hpp"
#include "MediaDecoder/MediaDecoder.h"
#include "Platform/Foundation/HostClock.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double position = p * static_cast<double>(values.size() - 1);
    const auto low = static_cast<std::size_t>(position);
    const std::size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (position - static_cast<double>(low));
}

void report(const char* name, const std::vector<double>& values) {
    std::printf("%-26s n=%-4zu median %8.2f ms   p10 %8.2f   p90 %8.2f   max %8.2f\n", name, values.size(),
                percentile(values, 0.5), percentile(values, 0.1), percentile(values, 0.9),
                values.empty() ? 0.0 : *std::max_element(values.begin(), values.end()));
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CLIP [REQUESTS] [SEED] [ordinary]\n", argv[0]);
        return 2;
    }
    const std::string clip = argv[1];
    const int requests = argc > 2 ? std::atoi(argv[2]) : 100;
    const unsigned seed = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 1u;
    const bool batched = !(argc > 4 && std::string(argv[4]) == "ordinary");

    char error[256] = {};
    lv_decoder* probe = lv_decoder_create_thumbnail(clip.c_str(), nullptr, nullptr, error, sizeof error);
    if (!probe) {
        std::fprintf(stderr, "%s: %s\n", clip.c_str(), error);
        return 1;
    }
    const double duration = lv_decoder_duration(probe);
    std::printf("%s: %dx%d, %.2f s, %s decoders\n", clip.c_str(), lv_decoder_width(probe),
                lv_decoder_height(probe), duration, batched ? "thumbnail" : "ordinary");
    lv_decoder_destroy(probe);

    lumavane::SeekThumbnailProvider provider(clip, batched, false);
    provider.prepare(false).get();
    if (!provider.image(0, false, false, 0.5).get()) {
        std::fprintf(stderr, "no thumbnail at 0 s\n");
        return 1;
    }

    std::mt19937 random(seed);
    std::uniform_real_distribution<double> position(0, duration);
    std::vector<double> wall, total, seeking, continuing, seek, read, render;
    int cached = 0, missing = 0;
    for (int i = 0; i < requests; ++i) {
        const double t = position(random);
        const double start = lumavane::hostTimeSeconds();
        const auto image = provider.image(t, false, false, 0.5).get();
        const double elapsed = (lumavane::hostTimeSeconds() - start) * 1000.0;
        const auto metrics = provider.lastRequestMetrics().get();
        if (!image) ++missing;
        wall.push_back(elapsed);
        total.push_back(metrics.totalMS);
        if (metrics.packets == 0) {
            ++cached; // answered by a neighbour captured earlier
            continue;
        }
        (metrics.seekMS > 0 ? seeking : continuing).push_back(metrics.totalMS);
        seek.push_back(metrics.seekMS);
        read.push_back(metrics.readMS);
        render.push_back(metrics.renderMS);
    }
    report("request, wall clock", wall);
    report("request, totalMS", total);
    report("  seeking", seeking);
    report("  reading on", continuing);
    report("  seekMS (decoded)", seek);
    report("  readMS (decoded)", read);
    report("  renderMS (decoded)", render);
    std::printf("%d from memory, %d without an image\n", cached, missing);
    return 0;
}
