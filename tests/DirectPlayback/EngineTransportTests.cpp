// Pause and play, seeking with preview, rate, volume, lead time, audio tracks and subtitle cues.
#include "DirectPlayback/PlaybackTestSupport.hpp"

#include <chrono>

using namespace lumavane;
using namespace lumavane::test;

namespace {

// How fast the clock runs against real time over about `seconds`.
double clockSpeed(EngineHarness& h, double seconds) {
    const auto start = std::chrono::steady_clock::now();
    const double from = h.engine->currentTime();
    h.runFor(seconds);
    const double to = h.engine->currentTime();
    const double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return (to - from) / real;
}

} // namespace

TEST(DirectPlaybackTransport, PauseAndPlayKeepThePosition) {
    EngineHarness h(playbackMediaPath("long.mp4"));
    h.engine->play();
    ASSERT_TRUE(h.playUntil(1.0));
    h.engine->pause();
    const double paused = h.engine->currentTime();
    const std::size_t shown = h.frames.size();
    h.runFor(0.4);
    EXPECT_EQ(h.engine->currentTime(), paused);
    // Frames posted before the pause are not shown after it.
    EXPECT_EQ(h.frames.size(), shown);

    h.engine->play();
    const double resumed = h.engine->currentTime();
    EXPECT_GE(resumed, paused - 0.03);
    EXPECT_LE(resumed, paused + 0.1);
    ASSERT_TRUE(h.runUntil([&] { return h.frames.size() >= shown + 5; }));
    EXPECT_GE(h.frames[shown].pts, paused - 0.05);
    EXPECT_LE(h.frames[shown].pts, paused + 0.3);
    ASSERT_TRUE(h.playUntil(paused + 0.5));
}

TEST(DirectPlaybackTransport, SeekWhilePausedPreviewsExactlyTheFrameAtTheClampedTarget) {
    struct Step {
        double target;
        bool preview;
        int frame;       // the one frame shown, -1 for none
        double position; // -1 for the duration
    };
    struct Case {
        std::string clip;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        // The first frame at or after the target: 4.32 s.
        {playbackMediaPath("long.mp4"), {{2.0, false, -1, 2.0}, {4.3, true, 108, 4.3}}},
        {mediaPath("h264_aac.mp4"),
         {{-5, true, 0, 0},
          {100, true, 74, -1},
          {1.0, true, 25, 1.0},
          {NAN, true, -1, 1.0},
          {INFINITY, true, -1, 1.0},
          {-INFINITY, false, -1, 1.0}}},
        // Timestamps from 11.4 s: time 0 is the start.
        {mediaPath("offset.ts"), {{2.0, true, 50, 2.0}}},
        // Timestamps that wrap 2.3 s in: time 0 is the start, which ffprobe gives as -2.3 s.
        {mediaPath("wrapped.ts"), {{6.0, true, 150, 6.0}, {7.5, true, 187, 7.5}, {0, true, 0, 0}}},
        // No duration stated: the length comes from the streams.
        {playbackMediaPath("unknown_duration.mkv"), {{3.0, true, 75, 3.0}}},
    };
    for (const Case& c : cases) {
        EngineHarness h(c.clip);
        int resets = 0;
        for (const Step& step : c.steps) {
            SCOPED_TRACE(c.clip + " " + std::to_string(step.target));
            const std::size_t before = h.frames.size();
            h.engine->seek(step.target, step.preview);
            if (std::isfinite(step.target)) ++resets;
            if (step.frame >= 0) {
                ASSERT_TRUE(h.runUntil([&] { return h.frames.size() > before; }));
            }
            h.runFor(0.3);
            ASSERT_EQ(h.frames.size(), before + (step.frame >= 0 ? 1 : 0));
            if (step.frame >= 0) {
                EXPECT_EQ(frameNumber(h.frames.back().pts), step.frame);
                EXPECT_NEAR(h.frames.back().grey, expectedGrey(step.frame), 3);
            }
            EXPECT_EQ(h.engine->currentTime(), step.position < 0 ? h.engine->duration() : step.position);
            EXPECT_EQ(h.resets, resets) << "non-finite targets are ignored";
        }
        // Playing on starts from there.
        const std::size_t shown = h.frames.size();
        const double position = h.engine->currentTime();
        h.engine->play();
        ASSERT_TRUE(h.runUntil([&] { return h.frames.size() >= shown + 3; }));
        EXPECT_GE(h.frames[shown].pts, position);
        EXPECT_LE(h.frames[shown].pts, position + 0.3);
    }
}

TEST(DirectPlaybackTransport, PausingAfterASeekShowsTheFrameAtTheTarget) {
    EngineHarness h(playbackMediaPath("long.mp4"));
    h.engine->play();
    ASSERT_TRUE(h.playUntil(0.5));
    // Paused at once the frame is still to be decoded; paused later (decoding goes on without the main
    // thread) it is at hand, and nothing has been shown yet.
    for (const auto& [target, wait] : {std::pair{6.0, 0}, std::pair{3.0, 800}}) {
        h.engine->seek(target, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
        const std::size_t before = h.frames.size();
        h.engine->pause();
        h.runFor(0.5);
        std::vector<int> after;
        for (std::size_t i = before; i < h.frames.size(); ++i) after.push_back(frameNumber(h.frames[i].pts));
        EXPECT_EQ(after, std::vector<int>{frameNumber(target)}) << target;
        if (wait == 0) {
            EXPECT_EQ(h.engine->currentTime(), target);
        }
        h.engine->play();
    }
}

TEST(DirectPlaybackTransport, OfTwoQuickSeeksOnlyTheSecondDeliversFramesAndCues) {
    EngineHarness h(mediaPath("tracks.mkv"));
    h.engine->play();
    ASSERT_TRUE(h.playUntil(0.2));
    h.engine->seek(1.0, false);
    // The first seek gets under way and posts frames and cues, which the main thread has not run yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    h.engine->seek(2.0, true);
    const std::size_t frames = h.frames.size();
    const std::size_t cues = h.cues.size();
    ASSERT_TRUE(h.runUntil([&] { return h.ended > 0; }));
    ASSERT_GT(h.frames.size(), frames);
    for (std::size_t i = frames; i < h.frames.size(); ++i) EXPECT_GE(h.frames[i].pts, 2.0);
    EXPECT_EQ(frameNumber(h.frames[frames].pts), 50);
    std::vector<std::string> texts;
    for (std::size_t i = cues; i < h.cues.size(); ++i) texts.push_back(h.cues[i].text);
    // The demuxer re-reads the cues still showing at the target, so the 1.2 s and 1.5 s cues come once
    // more, but only from the second seek: each exactly once.
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, (std::vector<std::string>{"Last line", "Zero length",
                                               "こんにちは\u3000世界 and a\u00A0no-break space",
                                               "二行目\n第二\u3000行"}));
    EXPECT_EQ(h.resets, 2);
}

TEST(DirectPlaybackTransport, SeeksToTheStartOfAnFlvWhoseAudioComesFirstPlayItAgain) {
    // The video starts 0.2 s after the audio; FLV looks times up in its index of video key frames.
    EngineHarness h(mediaPath("early_audio.flv"));
    h.engine->setPlaybackRate(2);
    h.engine->play();
    ASSERT_TRUE(h.runUntil([&] { return h.ended > 0; }));
    const double first = h.frames.front().pts;
    // After the end, a click at the start of the bar while paused shows the first frame, and Play
    // plays the whole video again.
    for (double target : {0.0, 0.01}) {
        SCOPED_TRACE(target);
        const std::size_t before = h.frames.size();
        const int ended = h.ended;
        h.engine->seek(target, true);
        ASSERT_TRUE(h.runUntil([&] { return h.frames.size() > before; }));
        EXPECT_DOUBLE_EQ(h.frames[before].pts, first);
        h.engine->play();
        ASSERT_TRUE(h.runUntil([&] { return h.ended > ended; }));
        EXPECT_EQ(frameNumber(h.frames.back().pts - first), 49);
        EXPECT_TRUE(h.errors.empty()) << h.errors.front();
    }
}

TEST(DirectPlaybackTransport, ASeekPastTheLastFrameWhilePlayingShowsThatFrame) {
    // 2 s of video and 4 s of sound.
    EngineHarness h(mediaPath("long_audio.mkv"));
    h.engine->play();
    ASSERT_TRUE(h.playUntil(0.3));
    const std::size_t before = h.frames.size();
    h.engine->seek(3.0, false);
    ASSERT_TRUE(h.runUntil([&] { return h.ended > 0; }));
    ASSERT_EQ(h.frames.size(), before + 1);
    EXPECT_EQ(frameNumber(h.frames.back().pts), 49);
    EXPECT_NEAR(h.frames.back().grey, expectedGrey(49), 3);
}

TEST(DirectPlaybackTransport, ASeekIntoACueDeliversItAfterTheReset) {
    // One cue from 0.5 to 3.5 s; key frames every second, so a seek lands after its packet.
    EngineHarness h(mediaPath("long_cue.mkv"));
    std::size_t cuesAtReset = 0;
    h.engine->onSubtitlesReset = [&] {
        ++h.resets;
        cuesAtReset = h.cues.size();
    };
    for (const auto& [target, playing] :
         {std::pair{2.0, false}, std::pair{3.0, true}, std::pair{3.4, false}}) {
        SCOPED_TRACE(target);
        if (playing) h.engine->play();
        h.engine->seek(target, !playing);
        const int resets = h.resets + 1;
        const std::size_t before = h.frames.size();
        // The cue comes with the seek, before the first frame at the target.
        ASSERT_TRUE(h.runUntil([&] { return h.resets == resets && h.frames.size() > before; }));
        if (playing) h.engine->pause();
        std::vector<DirectSubtitleCue> shown;
        for (std::size_t i = cuesAtReset; i < h.cues.size(); ++i)
            if (h.cues[i].startTime <= target && target < h.cues[i].endTime) shown.push_back(h.cues[i]);
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text, "A long line");
        EXPECT_NEAR(shown[0].startTime, 0.5, 0.03);
        EXPECT_NEAR(shown[0].endTime, 3.5, 0.03);
    }
}

TEST(DirectPlaybackTransport, PlaybackRateIsClampedReanchorsTheClockAndKeepsThePitch) {
    DiskOutput output;
    EngineHarness h(playbackMediaPath("long.mp4")); // 440 Hz
    h.engine->play();
    ASSERT_TRUE(h.playUntil(0.5));
    EXPECT_NEAR(clockSpeed(h, 0.6), 1.0, 0.25);
    for (const auto& [rate, speed] :
         {std::pair{4.0, 2.0}, std::pair{0.25, 0.5}, std::pair{double(NAN), 1.0}}) {
        SCOPED_TRACE(rate);
        const double before = h.engine->currentTime();
        h.engine->setPlaybackRate(rate);
        // The clock carries on from where it stood.
        EXPECT_NEAR(h.engine->currentTime(), before, 0.06);
        h.runFor(0.2);
        const std::size_t from = output.frames();
        EXPECT_NEAR(clockSpeed(h, 0.8), speed, 0.3 * speed);
        EXPECT_NEAR(toneFrequency(output.left(), from, 19200), 440.0, 25.0);
    }
    EXPECT_TRUE(h.errors.empty());
}

TEST(DirectPlaybackTransport, VolumeScalesTheOutputWithinSilenceAndFull) {
    DiskOutput output;
    EngineHarness h(playbackMediaPath("long.mp4"));
    h.engine->play();
    ASSERT_TRUE(h.playUntil(0.3));
    // Each setting, then the loudness of the output written a little later.
    const auto loudness = [&](float volume) {
        h.engine->setVolume(volume);
        h.runFor(0.15);
        const std::size_t from = output.frames();
        h.runFor(0.2);
        return rms(output.left(), from, 4800);
    };
    const double full = loudness(1.0f);
    EXPECT_NEAR(full, 0.0625, 0.01); // a tone of amplitude 1/8, upmixed to stereo at -3 dB
    EXPECT_NEAR(loudness(0.5f), full / 2, 0.1 * full);
    EXPECT_NEAR(loudness(1.5f), full, 0.1 * full);
    EXPECT_LT(loudness(NAN), 0.002);
}

TEST(DirectPlaybackTransport, LeadTimeHandsFramesOutEarlyAndOnlyTheNewestDueFrameIsShown) {
    EngineHarness h(playbackMediaPath("long.mp4"));
    h.engine->play();
    ASSERT_TRUE(h.playUntil(1.0));
    const auto medianLead = [&](std::size_t from) {
        std::vector<double> early;
        for (std::size_t i = from + 1; i < h.frames.size(); ++i)
            early.push_back(h.frames[i].pts - h.frames[i].clock);
        return median(early);
    };
    std::size_t mark = h.frames.size();
    const double lastBefore = h.frames.back().pts;
    // 2 is clamped to 0.5: half a second of frames falls due at once; only the newest is shown.
    h.engine->setVideoPresentationLeadTime(2);
    ASSERT_TRUE(h.runUntil([&] { return h.frames.size() >= mark + 15; }));
    // (A frame already on its way when the lead changed may come first.)
    double jump = h.frames[mark].pts - lastBefore;
    for (std::size_t i = mark + 1; i < mark + 3; ++i)
        jump = std::max(jump, h.frames[i].pts - h.frames[i - 1].pts);
    EXPECT_GE(jump, 0.35);
    EXPECT_NEAR(medianLead(mark), 0.5, 0.05);

    // NaN gives 0: frames are due with the clock again (none come until it has caught up).
    h.engine->setVideoPresentationLeadTime(NAN);
    mark = h.frames.size();
    ASSERT_TRUE(h.runUntil([&] { return h.frames.size() >= mark + 15; }));
    EXPECT_NEAR(medianLead(mark), 0.0, 0.03);
}

TEST(DirectPlaybackTransport, AudioTrackSwitchContinuesAtTheCurrentPosition) {
    DiskOutput output;
    EngineHarness h(mediaPath("tracks.mkv")); // track 0: 440 Hz, track 1: 880 Hz
    h.engine->play();
    ASSERT_TRUE(h.playUntil(1.0));
    for (int outside : {5, 2, -1}) h.engine->selectAudioTrack(outside);
    const std::size_t switchedAt = output.frames();
    const double position = h.engine->currentTime();
    const std::size_t mark = h.frames.size();
    h.engine->selectAudioTrack(1);
    EXPECT_NEAR(h.engine->currentTime(), position, 0.05);

    std::optional<std::size_t> firstAfter;
    double lowest = position;
    ASSERT_TRUE(h.runUntil([&] {
        lowest = std::min(lowest, h.engine->currentTime());
        if (!firstAfter && h.frames.size() > mark) firstAfter = output.frames();
        return h.ended > 0;
    }));
    EXPECT_GE(lowest, position - 0.05);
    ASSERT_GT(h.frames.size(), mark);
    EXPECT_GE(h.frames[mark].pts, position - 0.05);
    EXPECT_LE(h.frames[mark].pts, position + 0.3);
    EXPECT_EQ(h.resets, 1) << "ids outside the list are ignored";
    EXPECT_TRUE(h.errors.empty());

    const std::vector<float> left = output.left();
    ASSERT_GT(switchedAt, 19200u);
    EXPECT_NEAR(toneFrequency(left, switchedAt - 19200, 14400), 440.0, 15.0);
    ASSERT_TRUE(firstAfter);
    EXPECT_NEAR(toneFrequency(left, *firstAfter + 4800, 14400), 880.0, 30.0);
}

TEST(DirectPlaybackTransport, SubtitleCuesArriveCleanedAndBeforeTheyAreDue) {
    EngineHarness h(mediaPath("tracks.mkv"));
    h.engine->play();
    ASSERT_TRUE(h.runUntil([&] { return h.ended > 0; }));
    EXPECT_TRUE(h.onMainThread);

    struct Expected {
        int track;
        std::string text;
        double start;
    };
    const std::vector<Expected> expected{
        {0, "Hello, world", 0.5}, {0, "こんにちは\u3000世界 and a\u00A0no-break space", 1.5},
        {0, "Last line", 2.2},    {0, "Zero length", 2.9},
        {1, "斜体の字幕", 0.4},   {1, "二行目\n第二\u3000行", 1.2},
    };
    ASSERT_EQ(h.cues.size(), expected.size());
    for (const Expected& e : expected) {
        const auto it = std::find_if(h.cues.begin(), h.cues.end(), [&](const DirectSubtitleCue& c) {
            return c.trackID == e.track && c.text == e.text;
        });
        ASSERT_NE(it, h.cues.end()) << e.text;
        EXPECT_NEAR(it->startTime, e.start, 0.03) << e.text;
        EXPECT_GT(it->endTime, it->startTime) << e.text;
        // Delivered before the clock reached the cue.
        EXPECT_LE(h.cueClocks[static_cast<std::size_t>(it - h.cues.begin())], it->startTime + 0.05) << e.text;
    }

    // A seek makes the cues so far stale.
    h.engine->seek(0, false);
    ASSERT_TRUE(h.runUntil([&] { return h.resets == 1; }));
}
