// Playing through the engine: the audio clock, frame presentation, the end, under-runs, and files whose
// audio ends early or comes late, whose duration is unknown, or machines without audio output.
#include "DirectPlayback/PlaybackTestSupport.hpp"
#include "Platform/Foundation/HostClock.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>

#include <fcntl.h>
#include <sys/stat.h>

using namespace lumavane;
using namespace lumavane::test;

namespace {

// Largest pts step between consecutive delivered frames.
double largestGap(const std::vector<DeliveredFrame>& frames) {
    double gap = 0;
    for (std::size_t i = 1; i < frames.size(); ++i) gap = std::max(gap, frames[i].pts - frames[i - 1].pts);
    return gap;
}

bool increasing(const std::vector<DeliveredFrame>& frames) {
    for (std::size_t i = 1; i < frames.size(); ++i)
        if (!(frames[i].pts > frames[i - 1].pts)) return false;
    return true;
}

// A named pipe fed from a file: the head at once, the rest when told. Closing it early ends the stream.
class StalledSource {
public:
    StalledSource(const std::string& file, double headFraction)
        : path_(std::filesystem::temp_directory_path() / ("lumavane-fifo-" + std::to_string(::getpid()))) {
        std::ifstream in(file, std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        head_ = static_cast<std::size_t>(static_cast<double>(bytes_.size()) * headFraction);
        std::filesystem::remove(path_);
        if (mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
        writer_ = std::thread([this] { write(); });
    }
    ~StalledSource() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        changed_.notify_all();
        writer_.join();
        std::filesystem::remove(path_);
    }

    std::string path() const { return path_.string(); }
    void feedRest() {
        {
            std::lock_guard lock(mutex_);
            feedRest_ = true;
        }
        changed_.notify_all();
    }

private:
    bool writeAll(int fd, std::size_t from, std::size_t to) {
        while (from < to) {
            const ssize_t n = ::write(fd, bytes_.data() + from, to - from);
            if (n <= 0) return false;
            from += static_cast<std::size_t>(n);
        }
        return true;
    }

    void write() {
        int fd = -1;
        // Non-blocking open fails until a reader is there; it never blocks the teardown.
        while (fd < 0) {
            fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) break;
            std::unique_lock lock(mutex_);
            if (changed_.wait_for(lock, std::chrono::milliseconds(5), [&] { return closing_; })) return;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        if (writeAll(fd, 0, head_)) {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return feedRest_ || closing_; });
            const bool rest = feedRest_;
            lock.unlock();
            if (rest) writeAll(fd, head_, bytes_.size());
        }
        ::close(fd);
    }

    std::filesystem::path path_;
    std::vector<char> bytes_;
    std::size_t head_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool feedRest_ = false;
    bool closing_ = false;
    std::thread writer_;
};

// Runs the loop until the clock stands still for 0.3 s; returns where it stopped.
std::optional<double> waitForStall(EngineHarness& h, double seconds = 30) {
    for (double waited = 0; waited < seconds; waited += 0.3) {
        const double before = h.engine->currentTime();
        h.runFor(0.3);
        if (h.engine->currentTime() == before) return before;
    }
    return std::nullopt;
}

} // namespace

TEST(DirectPlaybackClock, PlaysWithSoundAndShowsEachFrameWhenTheAudioPlayedReachesIt) {
    DiskOutput output;
    EngineHarness h(mediaPath("h264_aac.mp4"));
    std::vector<std::pair<double, std::size_t>> readings; // (clock, output frames written)
    h.frameHook = [&](const PixelBuffer&, double) {
        readings.emplace_back(h.engine->currentTime(), output.frames());
    };
    h.engine->play();
    ASSERT_TRUE(h.runUntil([&] { return h.ended > 0; }));
    h.runFor(0.3);
    EXPECT_EQ(h.ended, 1);
    EXPECT_TRUE(h.errors.empty());
    EXPECT_TRUE(h.onMainThread);

    const std::vector<float> left = output.left();
    const auto toneStart = onset(left);
    ASSERT_TRUE(toneStart);
    EXPECT_NEAR(toneFrequency(left, *toneStart + 4800, 48000), 440.0, 10.0);

    // The clock stands where the written output stands, within a device buffer or so.
    int compared = 0;
    for (const auto& [clock, written] : readings) {
        if (clock < 0.2 || clock > 2.7 || written < *toneStart) continue;
        EXPECT_NEAR(clock, static_cast<double>(written - *toneStart) / 48000.0, 0.08);
        ++compared;
    }
    EXPECT_GT(compared, 20);

    // Frames come in order, on the main thread, with their own picture, just before they are due (the
    // timer fires a millisecond early); the last one comes with the end.
    ASSERT_GT(h.frames.size(), 20u);
    EXPECT_TRUE(increasing(h.frames));
    std::vector<double> early;
    for (const DeliveredFrame& f : h.frames) {
        EXPECT_TRUE(f.onMainThread);
        EXPECT_NEAR(f.grey, expectedGrey(frameNumber(f.pts)), 3) << f.pts;
        if (f.pts > 0.2 && f.pts < 2.8) early.push_back(f.pts - f.clock);
    }
    EXPECT_NEAR(median(early), 0.0, 0.03);
    EXPECT_EQ(frameNumber(h.frames.back().pts), 74);
    EXPECT_EQ(h.endedAfterFrames, h.frames.size());
    EXPECT_DOUBLE_EQ(h.engine->currentTime(), h.engine->duration());
}

TEST(DirectPlaybackClock, PlaysToTheEndWhateverTheAudio) {
    struct Case {
        std::string clip;
        const char* driver; // SDL_AUDIODRIVER; a driver that does not exist leaves the silent output
        bool audio;
        int last;
        const char* why;
        bool piped = false; // read through a pipe, where the length cannot be looked up either
    };
    const Case cases[] = {
        // 1 s of audio and 7 s of video: after the audio the clock keeps running on the host clock, and
        // frames not yet due are never dropped for want of queue room.
        {playbackMediaPath("audio_ends_early.mp4"), "dummy", true, 174, "audio ends early"},
        {playbackMediaPath("late_audio.mkv"), "dummy", true, 174, "no audio before 5.5 s"},
        {mediaPath("h264_aac.mp4"), "nonexistent", true, 74, "no audio output device"},
        {mediaPath("video_only.mp4"), "dummy", false, 49, "no audio"},
        {mediaPath("offset.ts"), "dummy", true, 74, "timestamps from 11.4 s"},
        {playbackMediaPath("unknown_duration.mkv"), "dummy", true, 149, "no duration stated"},
        {playbackMediaPath("unknown_duration.mkv"), "dummy", true, 149, "no duration", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        ScopedEnv driver("SDL_AUDIODRIVER", c.driver);
        std::optional<StalledSource> pipe;
        if (c.piped) {
            pipe.emplace(c.clip, 1.0);
            pipe->feedRest();
        }
        EngineHarness h(pipe ? pipe->path() : c.clip);
        EXPECT_EQ(h.engine->duration() > 0, !c.piped);
        EXPECT_EQ(h.engine->hasAudio(), c.audio);
        h.engine->setPlaybackRate(2);
        h.engine->play();
        std::vector<double> clocks;
        ASSERT_TRUE(h.runUntil([&] {
            clocks.push_back(h.engine->currentTime());
            return h.ended > 0;
        }));
        h.runFor(0.2);
        EXPECT_EQ(h.ended, 1);
        ASSERT_FALSE(h.frames.empty());
        EXPECT_EQ(frameNumber(h.frames.front().pts), 0);
        EXPECT_EQ(frameNumber(h.frames.back().pts), c.last);
        // The end comes with the last frame, in the same main-thread task.
        EXPECT_EQ(h.endedAfterFrames, h.frames.size());
        // A busy machine may present late, passing over frames already due, but every other frame is
        // shown: none is lost for want of queue room.
        EXPECT_TRUE(increasing(h.frames));
        EXPECT_EQ(h.frames.size() + h.engine->framesPassedOver(), static_cast<std::size_t>(c.last + 1));
        EXPECT_TRUE(std::is_sorted(clocks.begin(), clocks.end()));
        // The end leaves the position at the duration, or where playback stopped when it is unknown.
        if (h.engine->duration() > 0)
            EXPECT_DOUBLE_EQ(h.engine->currentTime(), h.engine->duration());
        else
            EXPECT_GE(h.engine->currentTime(), h.frames.back().pts);
    }
}

// The first frame of a run (opening, a seek, playing again from the start) is handed over however
// late the presenter comes to it; only frames after it may be passed over. Here the lead puts the
// first 0.3 s within reach of the pass that starts the clock, as a pass that late would find them:
// the sound comes only at 5.5 s, so the clock starts once 2 s of video are queued.
TEST(DirectPlaybackClock, TheFirstFrameOfARunIsHandedOverHoweverLate) {
    ScopedEnv driver("SDL_AUDIODRIVER", "dummy");
    EngineHarness h(playbackMediaPath("late_audio.mkv"));
    h.engine->setVideoPresentationLeadTime(0.3);
    h.engine->play();
    ASSERT_TRUE(h.runUntil([&] { return !h.frames.empty(); }));
    EXPECT_EQ(frameNumber(h.frames.front().pts), 0) << "opened";
    for (const double target : {1.0, 0.0}) {
        SCOPED_TRACE(target);
        h.engine->seek(target, false);
        const std::size_t before = h.frames.size();
        ASSERT_TRUE(h.runUntil([&] { return h.frames.size() > before + 1; }));
        EXPECT_EQ(frameNumber(h.frames[before].pts), frameNumber(target));
        EXPECT_GT(h.frames[before + 1].pts, h.frames[before].pts);
    }
}

TEST(DirectPlaybackClock, FramesHandedOutBeforeTheEndAreShownWhenTheMainThreadRunsOnlyAfterIt) {
    // A busy main thread (a loaded machine, a model being built) may run the engine's hand-overs
    // only after the clip has played to its end. Every frame handed out still comes, in order, and
    // then the end: a clip played through unwatched must not look as if it had no picture.
    for (const char* clip : {"vp9_opus.webm", "video_only.mp4"}) {
        SCOPED_TRACE(clip);
        ScopedEnv driver("SDL_AUDIODRIVER", "dummy");
        EngineHarness h(mediaPath(clip));
        const double from = std::floor(h.engine->duration()) - 1.0; // on a frame of either clip
        h.engine->setPlaybackRate(2);
        h.engine->seek(from, false);
        h.engine->play();
        // The main thread stays away until the engine has reached the end.
        const double start = hostTimeSeconds();
        while (h.engine->playing() && hostTimeSeconds() - start < 60)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_FALSE(h.engine->playing());
        h.loop.runUntilIdle();
        EXPECT_EQ(h.ended, 1);
        ASSERT_FALSE(h.frames.empty());
        EXPECT_EQ(h.endedAfterFrames, h.frames.size());
        EXPECT_TRUE(increasing(h.frames));
        EXPECT_EQ(frameNumber(h.frames.back().pts), frameNumber(h.engine->duration()) - 1);
        // None lost: each frame from the target on was shown or, presented late, passed over.
        EXPECT_EQ(h.frames.size() + h.engine->framesPassedOver(),
                  static_cast<std::size_t>(frameNumber(h.frames.back().pts) - frameNumber(from) + 1));
    }
}

TEST(DirectPlaybackClock, WithALeadTimeTheEndWaitsUntilTheClockReachesTheLastFrame) {
    // Frames are handed out 0.3 s ahead; a client shows each when the clock reaches it. Without audio
    // at the end the clock is the host clock, so the end may come no sooner than the clock allows.
    for (const auto& [clip, from] :
         {std::pair{mediaPath("video_only.mp4"), 1.2}, std::pair{mediaPath("short_audio.mp4"), 3.2}}) {
        SCOPED_TRACE(clip);
        ScopedEnv driver("SDL_AUDIODRIVER", "dummy");
        EngineHarness h(clip);
        double lastFrameHost = 0, endHost = 0;
        h.frameHook = [&](const PixelBuffer&, double) { lastFrameHost = hostTimeSeconds(); };
        h.engine->onEnded = [&] {
            endHost = hostTimeSeconds();
            ++h.ended;
        };
        h.engine->setVideoPresentationLeadTime(0.3);
        h.engine->seek(from, false);
        h.engine->play();
        ASSERT_TRUE(h.runUntil([&] { return h.ended > 0; }));
        ASSERT_FALSE(h.frames.empty());
        const DeliveredFrame& last = h.frames.back();
        EXPECT_EQ(frameNumber(last.pts), frameNumber(h.engine->duration()) - 1);
        EXPECT_GT(last.pts - last.clock, 0.1) << "handed out ahead";
        EXPECT_GE(endHost - lastFrameHost, last.pts - last.clock - 0.01) << "the clock reached it first";
    }
}

TEST(DirectPlaybackClock, UnderRunHoldsTheClockUntilTheAudioRefills) {
    const std::string file = playbackMediaPath("unknown_duration.mkv");
    std::unique_ptr<StalledSource> source = std::make_unique<StalledSource>(file, 0.4);
    auto h = std::make_unique<EngineHarness>(source->path());
    // A pipe has no duration: the position is clamped from below only.
    EXPECT_EQ(h->engine->duration(), 0.0);
    h->engine->play();
    ASSERT_TRUE(h->playUntil(0.5));

    // The source stalls: the clock stops where the audio ran out and stays there.
    const std::optional<double> stall = waitForStall(*h);
    ASSERT_TRUE(stall);
    const double held = *stall;
    EXPECT_GT(held, 0.5);
    EXPECT_LT(held, 6.0);
    const std::size_t framesBefore = h->frames.size();
    h->runFor(0.3);
    EXPECT_EQ(h->engine->currentTime(), held);

    // The rest arrives: playback picks up from there and runs to the end, reported once.
    source->feedRest();
    ASSERT_TRUE(h->runUntil([&] { return h->ended > 0; }, 30));
    h->runFor(0.2);
    EXPECT_EQ(h->ended, 1);
    EXPECT_GT(h->frames.size(), framesBefore + 20);
    EXPECT_GE(h->frames[framesBefore].pts, held - 0.1);
    EXPECT_LT(largestGap(h->frames), 0.5);
    EXPECT_GT(h->engine->currentTime(), 5.5);
    h.reset();
}

TEST(DirectPlaybackClock, StopDoesNotWaitForAStalledSource) {
    auto source = std::make_unique<StalledSource>(playbackMediaPath("unknown_duration.mkv"), 0.4);
    std::weak_ptr<DirectPlaybackEngine> weak;
    {
        EngineHarness h(source->path());
        weak = h.engine;
        h.engine->play();
        ASSERT_TRUE(h.playUntil(0.5));
        // Wait until the decoder is blocked on the empty pipe: the clock has stopped.
        ASSERT_TRUE(waitForStall(h));
        const auto start = std::chrono::steady_clock::now();
        h.engine->stop();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
    // The pipe closes; the blocked read returns and the engine goes away.
    source.reset();
    for (int i = 0; i < 500 && !weak.expired(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(weak.expired());
}

TEST(DirectPlaybackClock, DecodingStaysAFewFramesAheadAndStopsAtAFullQueue) {
    // 0.6 s of video is decoded ahead: at 25 frames per second that is 15, at 400 it would be 240 but the
    // queue holds 120. Frames on their way to the main thread and idle buffers in the decoder's pool
    // come on top.
    struct Case {
        const char* clip;
        double seekTo; // with preview, while playing, after 1 s; none when negative
        std::size_t low, high;
    };
    for (const Case& c : {Case{"long.mp4", 5.0, 0, 80}, Case{"fast.mp4", -1, 100, 160}}) {
        SCOPED_TRACE(c.clip);
        const std::size_t before = lv_pixel_buffer_live_count();
        std::size_t most = 0;
        EngineHarness h(playbackMediaPath(c.clip));
        h.engine->play();
        const auto watch = [&](double until) {
            return h.runUntil([&] {
                most = std::max(most, lv_pixel_buffer_live_count() - before);
                return h.engine->currentTime() >= until;
            });
        };
        ASSERT_TRUE(watch(1.0));
        // Once the preview's frame is shown, decoding goes back to the usual lead.
        if (c.seekTo > 0) {
            h.engine->seek(c.seekTo, true);
            ASSERT_TRUE(watch(c.seekTo + 1.0));
        }
        EXPECT_GT(most, c.low);
        EXPECT_LT(most, c.high);
    }
}

TEST(AudioPlacement, SnapsWithinTwoMillisecondsAndTrimsWhatComesBeforeTheFloor) {
    struct Case {
        std::optional<std::int64_t> next; // the timeline; none right after a seek
        std::int64_t played;
        double pts; // the seek floor is 5 s
        std::optional<AudioPlacement> expected;
        const char* why;
        bool piped = false; // read through a pipe, where the length cannot be looked up either
    };
    const Case cases[] = {
        {std::nullopt, 0, 5.0, AudioPlacement{0, 0, 1024}, "at the seek point"},
        {std::nullopt, 0, 4.99, AudioPlacement{0, 480, 544}, "10 ms before the seek point are trimmed"},
        {std::nullopt, 0, 4.9, std::nullopt, "wholly before the seek point"},
        {48000, 0, 6.0019, AudioPlacement{48000, 0, 1024}, "1.9 ms late continues the timeline"},
        {48000, 0, 5.9981, AudioPlacement{48000, 0, 1024}, "1.9 ms early continues the timeline"},
        {48000, 0, 6.0025, AudioPlacement{48120, 0, 1024}, "2.5 ms late leaves a gap"},
        {48000, 0, 5.9975, AudioPlacement{48000, 120, 904}, "2.5 ms early: the overlap is trimmed"},
        {48000, 48500, 6.0, AudioPlacement{48500, 500, 524}, "what has been played is trimmed"},
    };
    for (const Case& c : cases) {
        const auto timeline = c.next ? std::optional(AudioSampleTimeline{*c.next}) : std::nullopt;
        const auto placed = placeAudio(timeline, c.played, 48000, c.pts, 5.0, 1024);
        ASSERT_EQ(placed.has_value(), c.expected.has_value()) << c.why;
        if (!placed) continue;
        EXPECT_EQ(placed->position, c.expected->position) << c.why;
        EXPECT_EQ(placed->skip, c.expected->skip) << c.why;
        EXPECT_EQ(placed->count, c.expected->count) << c.why;
    }
}
