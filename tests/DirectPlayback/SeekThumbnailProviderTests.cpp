// Seek thumbnails on real clips: which frame answers a request, continuing versus seeking, neighbour
// capture, warming, cancellation, upright and bounded pictures, and the request metrics.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "DirectPlayback/PlaybackTestSupport.hpp"
#include "DirectPlayback/SeekThumbnailFileAccess.hpp"
#include "DirectPlayback/SeekThumbnailProvider.hpp"
#include "Platform/Foundation/ManualRunLoop.hpp"
#include "support/QuarterLayout.hpp"

namespace {

using lumavane::CancellationError;
using lumavane::CancellationToken;
using lumavane::SeekThumbnailFileAccess;
using lumavane::SeekThumbnailProvider;
using lumavane::image::CPUImage;
using Metrics = SeekThumbnailProvider::RequestMetrics;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

using lumavane::test::asFfmpegShows;
using lumavane::test::layoutOf;
using lumavane::test::mediaPath;
using lumavane::test::playbackMediaPath;

template <typename T> T await(std::future<T> future) {
    EXPECT_EQ(future.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    return future.get();
}

struct Answer {
    std::optional<CPUImage> image;
    Metrics metrics;
};

Answer request(SeekThumbnailProvider& provider, double seconds, bool approximate = false,
               double neighborhoodStep = 0.5, bool retainForRevisit = false) {
    Answer answer;
    answer.image = await(provider.image(seconds, approximate, retainForRevisit, neighborhoodStep));
    answer.metrics = await(provider.lastRequestMetrics());
    EXPECT_EQ(SeekThumbnailFileAccess::openCount(), 0);
    return answer;
}

std::array<int, 4> pixel(const CPUImage& image, int x, int y) { // B G R A
    const std::uint8_t* p = image.row(y) + 4 * x;
    return {p[0], p[1], p[2], p[3]};
}

// Frame number of a count10.mp4 picture at any scale.
int countedFrame(const CPUImage& image) {
    const int y = image.height() / 2;
    const int left = pixel(image, image.width() / 4, y)[1];
    const int right = pixel(image, image.width() * 3 / 4, y)[1];
    return static_cast<int>(std::lround((left - 16) / 20.0)) * 25 +
           static_cast<int>(std::lround((right - 16) / 8.0));
}

// Frame number within its second of a shared clip picture (the right half's grey).
int frameInSecond(const CPUImage& image) {
    return static_cast<int>(
        std::lround((pixel(image, image.width() * 3 / 4, image.height() / 2)[1] - 16) / 8.0));
}

int frameAt(double pts) { return static_cast<int>(std::lround(pts * 25)); }

// Checks the answer is frame `frame` of a 25 fps clip: by its reported time and by its pixels.
void expectFrame(const Answer& answer, int frame, bool counting) {
    ASSERT_TRUE(answer.image.has_value());
    EXPECT_EQ(frameAt(answer.metrics.selectedPTS), frame) << answer.metrics.selectedPTS;
    if (counting)
        EXPECT_EQ(countedFrame(*answer.image), frame);
    else
        EXPECT_EQ(frameInSecond(*answer.image), frame % 25);
}

// Exact requests with either kind of decoder: the frame that answers a time.
class SeekThumbnailFrames : public testing::TestWithParam<bool> {};

TEST_P(SeekThumbnailFrames, FirstFrameAtOrAfterOrFrameOnScreen) {
    struct Case {
        double t;
        int atOrAfter, onScreen;
    };
    const Case cases[] = {
        {1.50, 38, 37},   // between 1.48 and 1.52
        {1.52, 38, 38},   // on a frame
        {1.40, 35, 35},   // on a frame whose time reads one rounding step above 1.4
        {2.9999, 74, 74}, // after the last frame (2.96)
        {100, 74, 74},    // past the end: served at the duration
        {-3, 0, 0},       // before the start: at 0
    };
    for (const char* clip : {"h264_aac.mp4", "hevc.mkv", "hevc_10bit.mkv"}) {
        for (bool containingTime : {false, true}) {
            SCOPED_TRACE(std::string(clip) + (containingTime ? " containing" : ""));
            SeekThumbnailProvider provider(mediaPath(clip), GetParam(), containingTime);
            for (const Case& c : cases) {
                SCOPED_TRACE(c.t);
                expectFrame(request(provider, c.t), containingTime ? c.onScreen : c.atOrAfter, false);
            }
        }
    }
}

TEST_P(SeekThumbnailFrames, NonFiniteTimesCountAsZero) {
    SeekThumbnailProvider provider(playbackMediaPath("count10.mp4"), GetParam(), true);
    expectFrame(request(provider, 4.0), 100, true);
    for (double t : {kNaN, kInfinity, -kInfinity}) {
        SCOPED_TRACE(t);
        expectFrame(request(provider, t), 0, true);
        ASSERT_TRUE(provider.cachedImage(t).has_value());
        EXPECT_EQ(countedFrame(*provider.cachedImage(t)), 0);
    }
    await(provider.warmBackwardNeighborhood(kNaN, 1.0, false)); // both steps behind 0 are 0
    EXPECT_EQ(frameAt(await(provider.lastRequestMetrics()).selectedPTS), 0);
}

TEST_P(SeekThumbnailFrames, FilesWithoutAnIndexTimestampsOrDurationAnswerTheirFrame) {
    struct Case {
        std::string path;
        double t;
        int frame;
    };
    for (const Case& c : {Case{playbackMediaPath("unknown_duration.mkv"), 3.0, 75},
                          Case{mediaPath("long_gop.ts"), 3.0, 75}, Case{mediaPath("offset.mkv"), 1.5, 37},
                          Case{mediaPath("raw.h264"), 1.5, 38}, Case{mediaPath("raw.hevc"), 2.9, 73}}) {
        SCOPED_TRACE(c.path);
        SeekThumbnailProvider provider(c.path, GetParam(), false);
        // (The Matroska clip's video starts 21 ms after its audio: frame times are checked loosely.)
        const Answer answer = request(provider, c.t);
        ASSERT_TRUE(answer.image.has_value());
        EXPECT_EQ(frameInSecond(*answer.image), c.frame % 25);
        EXPECT_GE(answer.metrics.selectedPTS, c.t);
        EXPECT_LT(answer.metrics.selectedPTS, c.t + 0.04);
    }
}

INSTANTIATE_TEST_SUITE_P(Decoders, SeekThumbnailFrames, testing::Bool(),
                         [](const auto& info) { return info.param ? "Batched" : "Ordinary"; });

// ffmpeg's own pictures of frames of a clip (counted from 0), scaled to width x height with a bilinear
// filter and read with the BT.709 matrix, as B G R A rows.
std::map<int, std::vector<std::uint8_t>> ffmpegFrames(const std::string& path, const std::set<int>& frames,
                                                      int width, int height) {
    std::string select;
    for (int n : frames)
        select += (select.empty() ? "" : "+") + std::string("eq(n\\,") + std::to_string(n) + ")";
    const std::string command =
        "ffmpeg -nostdin -v error -i '" + path + "' -vf 'select=" + select +
        ",scale=" + std::to_string(width) + ":" + std::to_string(height) +
        ":flags=bilinear:in_color_matrix=bt709,format=bgra' -vsync passthrough -f rawvideo -";
    std::map<int, std::vector<std::uint8_t>> pictures;
    FILE* pipe = popen(command.c_str(), "r");
    for (int n : frames) {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(width) * height * 4);
        if (!pipe || std::fread(bytes.data(), 1, bytes.size(), pipe) != bytes.size()) break;
        pictures[n] = std::move(bytes);
    }
    if (pipe) pclose(pipe);
    EXPECT_EQ(pictures.size(), frames.size()) << command;
    return pictures;
}

// Mean absolute difference of the colour channels over 8 x 8 blocks, in 8-bit levels: the blocks even
// out how two scalers filter edges, not what the picture shows.
double meanDifference(const CPUImage& image, const std::vector<std::uint8_t>& bgra) {
    if (bgra.size() != std::size_t(image.width()) * image.height() * 4) return 255;
    constexpr int block = 8;
    double sum = 0;
    int count = 0;
    for (int by = 0; by + block <= image.height(); by += block)
        for (int bx = 0; bx + block <= image.width(); bx += block)
            for (int c = 0; c < 3; ++c) {
                int ours = 0, theirs = 0;
                for (int y = by; y < by + block; ++y)
                    for (int x = bx; x < bx + block; ++x) {
                        ours += image.row(y)[4 * x + c];
                        theirs += bgra[(std::size_t(y) * image.width() + x) * 4 + c];
                    }
                sum += std::abs(ours - theirs) / double(block * block);
                ++count;
            }
    return sum / count;
}

// The picture itself, through thumbnail decoders: each answer is ffmpeg's own picture of the frame that
// answers the time, not a neighbour and not one decoded from missing references, whether the request
// seeks or reads on. One clip's frames all differ (moving pattern, B-frames, key frames every second);
// the other is small and tagged BT.709, which must win over the BT.601 that small pictures are read with
// (read with BT.601 it lies 3.8 levels off).
TEST(SeekThumbnailProvider, PicturesAreFfmpegsOwnFrames) {
    struct Case {
        double t;
        int atOrAfter, onScreen;
    };
    struct Clip {
        std::string path;
        int width, height, lastFrame;
        std::vector<Case> cases;
    };
    const Clip clips[] = {
        {playbackMediaPath("testsrc720_5s.mp4"),
         512,
         288,
         124,
         {{2.5, 63, 62}, {2.9, 73, 72}, {0.5, 13, 12}, {3.99, 100, 99}, {1.0, 25, 25}, {4.99, 124, 124}}},
        {mediaPath("bt709.mp4"), 320, 180, 24, {{0.5, 13, 12}}},
    };
    for (const Clip& clip : clips) {
        SCOPED_TRACE(clip.path);
        std::set<int> frames;
        for (const Case& c : clip.cases)
            for (int n : {c.atOrAfter, c.onScreen})
                for (int near : {n - 1, n, n + 1})
                    if (near >= 0 && near <= clip.lastFrame) frames.insert(near);
        const auto pictures = ffmpegFrames(clip.path, frames, clip.width, clip.height);
        for (bool containingTime : {false, true}) {
            SCOPED_TRACE(containingTime ? "containing" : "at or after");
            SeekThumbnailProvider provider(clip.path, true, containingTime);
            for (const Case& c : clip.cases) {
                SCOPED_TRACE(c.t);
                const Answer answer = request(provider, c.t);
                ASSERT_TRUE(answer.image.has_value());
                const int frame = containingTime ? c.onScreen : c.atOrAfter;
                EXPECT_EQ(frameAt(answer.metrics.selectedPTS), frame);
                ASSERT_EQ(answer.image->width(), clip.width);
                ASSERT_EQ(answer.image->height(), clip.height);
                // About a level apart (two scalers, rounding); the neighbours three to five.
                const double own = meanDifference(*answer.image, pictures.at(frame));
                EXPECT_LT(own, 2.0);
                for (int other : {frame - 1, frame + 1}) {
                    if (!pictures.count(other)) continue;
                    EXPECT_GT(meanDifference(*answer.image, pictures.at(other)), 2 * own)
                        << "frame " << other;
                }
            }
        }
    }
}

TEST(SeekThumbnailProvider, ApproximateRequestsTakeTheKeyFrameThroughTheirOwnDecoder) {
    SeekThumbnailProvider provider(playbackMediaPath("count10.mp4"), true, false);
    expectFrame(request(provider, 3.7, true), 75, true); // key frames every second
    // Its key says "true-": exact lookups never find it, approximate ones do.
    EXPECT_FALSE(provider.cachedImage(3.7).has_value());
    EXPECT_FALSE(provider.cachedImage(3.0).has_value());
    const Answer again = request(provider, 3.7, true);
    EXPECT_EQ(again.metrics.packets, 0);
    EXPECT_TRUE(std::isnan(again.metrics.selectedPTS)); // frame times are kept for exact images only
    // An exact request after an approximate one seeks and finds its exact frame.
    const Answer exact = request(provider, 3.7);
    expectFrame(exact, 93, true);
    EXPECT_GT(exact.metrics.seekMS, 0);
}

TEST(SeekThumbnailProvider, ContinuesForwardHopsOfUpToFourSecondsWithoutAKeyFrameBetweenAndSeeksOtherwise) {
    SeekThumbnailProvider provider(playbackMediaPath("count10.mp4"), false, false);
    struct Step {
        double t;
        int frame;
        bool seeks;
    };
    const Step steps[] = {
        {1.0, 25, true},     // first request
        {1.8, 45, false},    // ahead within the group of pictures: reads on
        {3.5, 88, true},     // ahead past the key frames at 2 and 3 s: starts at the later one
        {3.9, 98, false},    // within its group again
        {8.04, 201, true},   // more than 4 s ahead
        {7.5, 188, true},    // behind
        {9.1, 228, true},    // past the key frames at 8 and 9 s
        {9.999, 249, false}, // past the last frame: it answers at the end of the file
        {9.8, 245, true},    // the decoder reached the end
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.t);
        const Answer answer = request(provider, step.t);
        expectFrame(answer, step.frame, true);
        EXPECT_EQ(answer.metrics.seekMS > 0, step.seeks);
        if (step.t == 1.8) {
            EXPECT_GE(answer.metrics.packets, 20); // every frame from 1 s on
        }
    }
}

TEST(SeekThumbnailProvider, AfterARequestCancelledMidReadAnEarlierTimeSeeks) {
    // The request is cancelled from this thread as soon as a neighbour it captured on the way shows up
    // in the immediate cache; if the decoder got to the target first, try again.
    const std::string path = playbackMediaPath("testsrc720_5s.mp4");
    for (int attempt = 0; attempt < 5; ++attempt) {
        SeekThumbnailProvider provider(path, false, false);
        request(provider, 3.05);
        CancellationToken token;
        std::atomic<bool> stop{false};
        std::thread watcher([&] {
            while (!stop.load() && !provider.cachedImage(3.5)) std::this_thread::yield();
            token.cancel();
        });
        // Continues within the group of pictures from 3.05 s with the wide pre-roll: neighbours on the way.
        auto future = provider.image(3.9, false, false, 0.1, token);
        bool interrupted = false;
        try {
            future.get();
        } catch (const CancellationError&) {
            interrupted = true;
        }
        stop.store(true);
        watcher.join();
        EXPECT_EQ(SeekThumbnailFileAccess::openCount(), 0);
        if (!interrupted) continue;
        const Metrics cancelled = await(provider.lastRequestMetrics());
        EXPECT_GT(cancelled.packets, 0);
        EXPECT_GT(cancelled.totalMS, 0);

        // The decoder stands before 3.86 s, within 4 s, but the last request never got to its target.
        const Answer earlier = request(provider, 3.86);
        EXPECT_GT(earlier.metrics.seekMS, 0);
        EXPECT_EQ(frameAt(earlier.metrics.selectedPTS), frameAt(3.88));
        return;
    }
    GTEST_SKIP() << "every request reached its target before it could be cancelled";
}

TEST(SeekThumbnailProvider, CachesNeighboursAndTheTimesEachImageAnswers) {
    SeekThumbnailProvider provider(playbackMediaPath("count10.mp4"), true, false);
    const Answer answer = request(provider, 2.55, false, 0.1);
    expectFrame(answer, 64, true);
    EXPECT_GE(answer.metrics.frames, 1);
    // 2.5 s passed by on the way from the key frame at 2 s; its first frame at or after is 2.52, which
    // answers every time from 2.5 to 2.52. 2.4 lies before the pre-roll (0.12 s before the target).
    for (double t : {2.5, 2.51, 2.52}) {
        ASSERT_TRUE(provider.cachedImage(t).has_value()) << t;
        EXPECT_EQ(countedFrame(*provider.cachedImage(t)), 63) << t;
    }
    EXPECT_FALSE(provider.cachedImage(2.4).has_value());
    const Answer revisit = request(provider, 2.51, false, 0.1);
    EXPECT_EQ(revisit.metrics.packets, 0);
    EXPECT_EQ(frameAt(revisit.metrics.selectedPTS), 63);

    // By containment, no neighbours; the frame on screen answers until the next one's time.
    SeekThumbnailProvider containing(playbackMediaPath("count10.mp4"), true, true);
    expectFrame(request(containing, 1.50, false, 0.1), 37, true);
    EXPECT_FALSE(containing.cachedImage(1.4).has_value());
    for (double t : {1.48, 1.49, 1.5166}) {
        ASSERT_TRUE(containing.cachedImage(t).has_value()) << t;
        EXPECT_EQ(countedFrame(*containing.cachedImage(t)), 37) << t;
    }
    EXPECT_FALSE(containing.cachedImage(1.52).has_value());
    EXPECT_EQ(request(containing, 1.49).metrics.packets, 0);
}

TEST(SeekThumbnailProvider, WarmsOneOrTwoGridPositionsBehind) {
    SeekThumbnailProvider provider(playbackMediaPath("count10.mp4"), true, false);
    for (double step : {0.05, 5.0, kNaN}) await(provider.warmBackwardNeighborhood(8.0, step, false));
    EXPECT_EQ(await(provider.cacheStatistics()).images, 0);

    await(provider.warmBackwardNeighborhood(8.0, 3.0, false)); // only 5.0
    EXPECT_EQ(countedFrame(provider.cachedImage(5.0).value()), 125);
    EXPECT_FALSE(provider.cachedImage(2.0).has_value());
    await(provider.warmBackwardNeighborhood(4.0, 1.0, false)); // 2.0, then 3.0
    EXPECT_EQ(countedFrame(provider.cachedImage(2.0).value()), 50);
    EXPECT_EQ(countedFrame(provider.cachedImage(3.0).value()), 75);
    EXPECT_EQ(frameAt(await(provider.lastRequestMetrics()).selectedPTS), 75);

    await(provider.warmBackwardNeighborhood(3.0, 0.5, true)); // 3.0 is cached: nothing to do
    EXPECT_FALSE(provider.cachedImage(2.5).has_value());
    await(provider.warmBackwardNeighborhood(3.0, 0.5, false));
    EXPECT_TRUE(provider.cachedImage(2.5).has_value());
}

TEST(SeekThumbnailProvider, CancelledRequestsEndWithTheCancellationErrorAndNoImage) {
    lumavane::ManualRunLoop loop;
    SeekThumbnailProvider provider(playbackMediaPath("count10.mp4"), true, false);
    CancellationToken cancelled;
    cancelled.cancel();
    EXPECT_THROW(await(provider.image(2.0, false, false, 0.5, cancelled)), CancellationError);
    EXPECT_GE(await(provider.lastRequestMetrics()).totalMS, 0);
    EXPECT_THROW(await(provider.warmBackwardNeighborhood(4.0, 1.0, false, cancelled)), CancellationError);
    EXPECT_EQ(await(provider.cacheStatistics()).images, 0);

    // Cancelled while waiting behind another request; completions on the main executor.
    CancellationToken later;
    int calls = 0;
    std::optional<CPUImage> image;
    std::exception_ptr error;
    provider.image(6.0, false, false, 0.5, {}, loop, [&](auto result, std::exception_ptr) {
        ++calls;
        EXPECT_TRUE(loop.isMainThread());
        image = result;
    });
    provider.image(7.0, false, false, 0.5, later, loop, [&](auto result, std::exception_ptr e) {
        ++calls;
        EXPECT_FALSE(result.has_value());
        error = e;
    });
    later.cancel();
    ASSERT_TRUE(loop.runUntil([&] { return calls == 2; }, 60));
    EXPECT_EQ(countedFrame(image.value()), 150);
    ASSERT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), CancellationError);
    EXPECT_FALSE(provider.cachedImage(7.0).has_value());
    EXPECT_EQ(SeekThumbnailFileAccess::openCount(), 0);
}

TEST(SeekThumbnailProvider, FilesThatDoNotOpenAndDestructionEndRequestsCleanly) {
    SeekThumbnailProvider broken(mediaPath("not_media.mp4"), true, false);
    const Answer answer = request(broken, 1.0);
    EXPECT_FALSE(answer.image.has_value());
    EXPECT_EQ(answer.metrics.packets, 0);
    EXPECT_EQ(await(broken.cacheStatistics()).images, 0);

    std::vector<std::future<SeekThumbnailProvider::ImageResult>> futures;
    {
        SeekThumbnailProvider provider(playbackMediaPath("count10.mp4"), true, false);
        for (double t : {1.0, 5.0, 9.0, 2.0, 6.0}) futures.push_back(provider.image(t, false, false, 0.5));
    }
    for (auto& future : futures) {
        ASSERT_EQ(future.wait_for(std::chrono::seconds(0)), std::future_status::ready);
        try {
            future.get();
        } catch (const CancellationError&) {}
    }
    EXPECT_EQ(SeekThumbnailFileAccess::openCount(), 0);
}

TEST(SeekThumbnailProvider, RendersUprightAsPlayersShowAndWithin512By288) {
    // Clip and the thumbnail's size.
    for (const auto& [path, width, height] : {std::tuple{mediaPath("rotated.mp4"), 162, 288},
                                              std::tuple{playbackMediaPath("rotated270.mp4"), 162, 288},
                                              std::tuple{playbackMediaPath("rotated180.mp4"), 320, 180},
                                              std::tuple{mediaPath("video_only.mp4"), 320, 180},
                                              std::tuple{playbackMediaPath("testsrc720_5s.mp4"), 512, 288},
                                              std::tuple{playbackMediaPath("portrait.mp4"), 162, 288}}) {
        SCOPED_TRACE(path);
        SeekThumbnailProvider provider(path, true, false);
        const Answer answer = request(provider, 0.1);
        ASSERT_TRUE(answer.image.has_value());
        EXPECT_EQ(answer.image->width(), width);
        EXPECT_EQ(answer.image->height(), height);
        EXPECT_EQ(pixel(*answer.image, width - 1, height - 1)[3], 255); // opaque to the edge
    }
    // Every turn and mirror tells apart on the quartered clips, ffmpeg's own render the oracle. An odd
    // rotation, which ffmpeg renders skewed and cropped, is not applied, as on every other road.
    for (const auto& [clip, turned] :
         {std::pair{"quarters_90.mp4", true}, std::pair{"quarters_180.mp4", true},
          std::pair{"quarters_270.mp4", true}, std::pair{"quarters_45.mp4", false}}) {
        SCOPED_TRACE(clip);
        SeekThumbnailProvider provider(mediaPath(clip), true, false);
        const Answer answer = request(provider, 0.1);
        ASSERT_TRUE(answer.image.has_value());
        EXPECT_EQ(layoutOf(*answer.image), asFfmpegShows(mediaPath(clip), turned));
        EXPECT_EQ(answer.image->width(), layoutOf(*answer.image).portrait ? 96 : 160);
    }
}

TEST(SeekThumbnailProvider, AnswersAWrappedTransportStreamAtFfprobesTimes) {
    // Its timestamps wrap 2.3 s in; ffprobe starts it at -2.3 s, and so does every time here.
    const lumavane::test::ProbedVideo probed = lumavane::test::ffprobeVideo(mediaPath("wrapped.ts"));
    ASSERT_EQ(probed.frameTimes.size(), 200u);
    for (bool batched : {true, false}) {
        SeekThumbnailProvider provider(mediaPath("wrapped.ts"), batched, false);
        for (double t : {6.0, 7.5, 1.0, 0.0}) {
            SCOPED_TRACE(std::to_string(t) + (batched ? " batched" : ""));
            const Answer answer = request(provider, t);
            const auto frame = std::find_if(probed.frameTimes.begin(), probed.frameTimes.end(),
                                            [&](double time) { return time >= t; });
            ASSERT_TRUE(answer.image.has_value());
            EXPECT_NEAR(answer.metrics.selectedPTS, *frame, 0.001);
            EXPECT_EQ(frameInSecond(*answer.image), (frame - probed.frameTimes.begin()) % 25);
        }
    }
}

TEST(SeekThumbnailProvider, FillsTheRequestMetrics) {
    for (bool batched : {true, false}) {
        SCOPED_TRACE(batched);
        SeekThumbnailProvider provider(playbackMediaPath("count10.mp4"), batched, false);
        await(provider.prepare(false));
        const Answer answer = request(provider, 4.6, false, 0.1);
        const Metrics& m = answer.metrics;
        expectFrame(answer, 115, true);
        EXPECT_LE(m.setupMS + m.seekMS + m.readMS, m.totalMS); // neighbours render inside reads
        EXPECT_GE(m.packets, 15);                              // from the key frame at 4 s
        EXPECT_GE(m.frames, 1);
        EXPECT_GT(batched ? m.submitMS : m.receiveMS, 0);
        EXPECT_EQ(m.softwareFrames > 0, !batched); // frames of the asynchronous path are not counted there
        EXPECT_EQ(m.pixelFormat, batched ? LV_PIXEL_FORMAT_420V : LV_PIXEL_FORMAT_32BGRA);
        // From memory only the time and the frame are measured.
        const Metrics cached = request(provider, 4.6).metrics;
        EXPECT_EQ(cached.packets + cached.seekMS + cached.renderMS + cached.setupMS, 0);
        EXPECT_EQ(frameAt(cached.selectedPTS), 115);
    }
}

} // namespace
