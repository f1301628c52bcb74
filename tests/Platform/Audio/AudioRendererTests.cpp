#include "Platform/Audio/AudioRenderer.hpp"

#include "Platform/Audio/AudioTestSignals.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <tuple>
#include <vector>

namespace lumavane::audio {
namespace {

using test::kRate;
using test::makeBuffer;
using test::rms;
using test::sine;

// Drives the renderer as the device callback would, on a virtual host clock, and records each
// output frame (left and right) with the source frame the player time says is heard there. An
// output with a latency plays each frame that many frames after it was rendered; the clock is
// read as time goes on, each reading made with what had been rendered by then.
class OfflineOutput {
public:
    explicit OfflineOutput(int chunkFrames = 1024, int latencyFrames = 0)
        : chunk_(chunkFrames), latency_(latencyFrames) {
        renderer.setOutputLatency(latencyFrames / kRate);
    }

    AudioRenderer renderer;
    std::vector<float> left, right;
    std::vector<double> heard; // source frame at each output frame, as the clock says when it is heard
    double hostTime = 1000.0;

    void render(double seconds) {
        const int chunks = static_cast<int>(std::ceil(seconds * kRate / chunk_));
        std::vector<float> buffer(static_cast<std::size_t>(chunk_) * 2);
        for (int c = 0; c < chunks; ++c) {
            renderer.render(buffer.data(), chunk_, hostTime);
            for (int i = 0; i < chunk_; ++i) {
                left.push_back(buffer[2 * i]);
                right.push_back(buffer[2 * i + 1]);
                // The output frame heard now was rendered latency frames ago.
                if (left.size() > static_cast<std::size_t>(latency_)) heard.push_back(heardFrames(hostTime + i / kRate));
            }
            hostTime += chunk_ / kRate;
        }
    }

    // The render position, as the player time gives it.
    double playerFrames(double at) const {
        return renderer.playerSampleTime(at).value_or(std::numeric_limits<double>::quiet_NaN());
    }
    double playerFramesNow() const { return playerFrames(hostTime); }
    // The source frame heard, as the playback engine computes it: less the latency at the rate.
    double heardFrames(double at) const {
        return playerFrames(at) - renderer.outputLatency() * kRate * static_cast<double>(renderer.rate());
    }

private:
    int chunk_;
    int latency_;
};

std::size_t firstAbove(const std::vector<float>& samples, std::size_t from, float threshold) {
    for (std::size_t i = from; i < samples.size(); ++i) {
        if (std::fabs(samples[i]) > threshold) return i;
    }
    return samples.size();
}

std::size_t lastAbove(const std::vector<float>& samples, std::size_t to, float threshold) {
    for (std::size_t i = std::min(to, samples.size()); i-- > 0;) {
        if (std::fabs(samples[i]) > threshold) return i;
    }
    return 0;
}

TEST(AudioRendererClock, AbsentBeforePlayZeroAfterStopAndRunsThroughGapsAndPastTheEnd) {
    OfflineOutput out;
    EXPECT_FALSE(out.renderer.playerSampleTime(out.hostTime).has_value());
    out.renderer.stopLocked(); // a stop before any play does not make a clock appear
    EXPECT_FALSE(out.renderer.playerSampleTime(out.hostTime).has_value());
    out.render(0.1);
    EXPECT_FALSE(out.renderer.playerSampleTime(out.hostTime).has_value());

    // 0.05 s of tone at 0, then nothing until a second one at 0.5 s.
    ASSERT_TRUE(out.renderer.scheduleBuffer(makeBuffer(2400, sine(1000, 0.5), sine(1000, 0.5)), 0));
    ASSERT_TRUE(out.renderer.scheduleBuffer(makeBuffer(2400, sine(1000, 0.5), sine(1000, 0.5)), 24000));
    out.renderer.playLocked(out.hostTime);
    EXPECT_EQ(out.playerFramesNow(), 0.0);
    EXPECT_TRUE(out.renderer.isPlaying());

    const double start = out.hostTime;
    const std::size_t firstPlayed = out.heard.size();
    out.render(1.0); // past both buffers
    const double played = out.playerFramesNow();
    const double elapsed = (out.hostTime - start) * kRate;
    EXPECT_NEAR(played, elapsed, 0.01 * elapsed);

    // Monotonic throughout, and one frame per output frame at rate 1.
    for (std::size_t i = firstPlayed + 1; i < out.heard.size(); ++i)
        ASSERT_GE(out.heard[i], out.heard[i - 1]) << i;

    out.renderer.pauseLocked();
    EXPECT_FALSE(out.renderer.isPlaying());
    const double paused = out.playerFramesNow();
    out.render(0.3);
    EXPECT_EQ(out.playerFramesNow(), paused);
    EXPECT_LT(rms(out.left, out.left.size() - 14400, out.left.size()), 1e-9) << "a paused node plays silence";

    out.renderer.playLocked(out.hostTime);
    out.render(0.2);
    EXPECT_NEAR(out.playerFramesNow(), paused + 0.2 * kRate, 0.02 * kRate);

    out.renderer.stopLocked();
    EXPECT_EQ(out.playerFramesNow(), 0.0);
    out.render(0.1);
    EXPECT_EQ(out.playerFramesNow(), 0.0);
}

// A device buffer ahead of the one rendered: the clock holds until the first frame rendered is
// heard, never runs back, and after a pause goes on from what the output still held.
TEST(AudioRendererClock, WithAnOutputLatencyItStartsWhenTheFirstFrameIsHeardAndNeverRunsBack) {
    OfflineOutput out(1024, 1024);
    ASSERT_TRUE(out.renderer.scheduleBuffer(makeBuffer(96000, sine(1000, 0.5), sine(1000, 0.5)), 0));
    out.renderer.playLocked(out.hostTime);
    out.render(0.3);
    out.renderer.pauseLocked();
    const double paused = out.heardFrames(out.hostTime + 0.5 / kRate);
    out.render(0.2);
    out.renderer.playLocked(out.hostTime);
    EXPECT_NEAR(out.heardFrames(out.hostTime), paused + 1024, 1) << "the buffer held at the pause is heard";
    const std::size_t resumed = out.heard.size();
    out.render(0.3);

    ASSERT_GT(out.heard.size(), resumed + 4800);
    EXPECT_EQ(out.heard[0], 0.0) << "nothing heard before the first buffer";
    for (std::size_t i = 1; i < out.heard.size(); ++i) ASSERT_GE(out.heard[i], out.heard[i - 1]) << i;
    // Playing again, the clock goes on from there once what the output held has been heard.
    EXPECT_NEAR(out.heard[resumed + 1024 + 2048] - out.heard[resumed + 1024], 2048, 96);
}

TEST(AudioRendererSchedule, BuffersPlayAtTheirSamplePositionsWithSilenceBetween) {
    OfflineOutput out;
    // Left and right differ so that a channel mix-up shows.
    ASSERT_TRUE(out.renderer.scheduleBuffer(makeBuffer(4800, sine(1000, 0.5), sine(1000, 0.25)), 9600));
    ASSERT_TRUE(out.renderer.scheduleBuffer(makeBuffer(4800, sine(500, 0.5), sine(500, 0.25)), 28800));
    out.renderer.playLocked(out.hostTime);
    out.render(0.9);

    const std::size_t firstOn = firstAbove(out.left, 0, 0.05f);
    const std::size_t firstOff = lastAbove(out.left, 19200, 0.05f);
    const std::size_t secondOn = firstAbove(out.left, 19200, 0.05f);
    const std::size_t secondOff = lastAbove(out.left, out.left.size(), 0.05f);
    ASSERT_LT(secondOff, out.left.size());

    // Where each buffer is heard, by the player clock: within 2 ms of where it was scheduled.
    EXPECT_NEAR(out.heard[firstOn], 9600, 96);
    EXPECT_NEAR(out.heard[firstOff], 9600 + 4800, 96);
    EXPECT_NEAR(out.heard[secondOn], 28800, 96);
    EXPECT_NEAR(out.heard[secondOff], 28800 + 4800, 96);
    // And in output frames: at rate 1 one source frame per output frame.
    EXPECT_NEAR(static_cast<double>(secondOn) - static_cast<double>(firstOn), 19200, 96);

    // Silence before, between and after.
    EXPECT_LT(rms(out.left, 0, firstOn - 48), 1e-6);
    EXPECT_LT(rms(out.left, firstOff + 48, secondOn - 48), 1e-6);
    EXPECT_LT(rms(out.left, secondOff + 48, out.left.size()), 1e-6);

    // Levels and channels survive: a 0.5 sine has an RMS of 0.354, the right channel half that.
    EXPECT_NEAR(rms(out.left, firstOn + 480, firstOff - 480), 0.5 / std::sqrt(2.0), 0.01);
    EXPECT_NEAR(rms(out.right, firstOn + 480, firstOff - 480), 0.25 / std::sqrt(2.0), 0.01);
    EXPECT_NEAR(test::zeroCrossingFrequency(out.left, firstOn + 480, firstOff - 480), 1000, 5);
    EXPECT_NEAR(test::zeroCrossingFrequency(out.left, secondOn + 480, secondOff - 480), 500, 5);
}

TEST(AudioRendererSchedule, StopDiscardsScheduledBuffersAndRestartsTheTimelineAtZero) {
    OfflineOutput out;
    ASSERT_TRUE(out.renderer.scheduleBuffer(makeBuffer(48000, sine(1000, 0.5), sine(1000, 0.5)), 0));
    out.renderer.playLocked(out.hostTime);
    out.render(0.1);
    ASSERT_GT(rms(out.left, 0, out.left.size()), 0.1);

    out.renderer.stopLocked();
    out.renderer.playLocked(out.hostTime);
    const std::size_t from = out.left.size();
    out.render(0.3);
    EXPECT_LT(rms(out.left, from, out.left.size()), 1e-9);

    // A buffer scheduled after the stop plays at its position on the new timeline.
    out.renderer.stopLocked();
    ASSERT_TRUE(out.renderer.scheduleBuffer(makeBuffer(4800, sine(1000, 0.5), sine(1000, 0.5)), 4800));
    out.renderer.playLocked(out.hostTime);
    const std::size_t again = out.left.size();
    out.render(0.3);
    EXPECT_NEAR(static_cast<double>(firstAbove(out.left, again, 0.05f) - again), 4800, 96);
}

TEST(AudioRendererSchedule, RefusesBuffersItCannotPlay) {
    AudioRenderer renderer;
    EXPECT_FALSE(renderer.scheduleBuffer(nullptr, 0));
    auto mono = AudioPCMBuffer::make(AudioFormat{kRate, 1}, 100);
    mono->setFrameLength(100);
    EXPECT_FALSE(renderer.scheduleBuffer(mono, 0));
    auto other = AudioPCMBuffer::make(AudioFormat{44100.0, 2}, 100);
    other->setFrameLength(100);
    EXPECT_FALSE(renderer.scheduleBuffer(other, 0));
    auto empty = AudioPCMBuffer::make(AudioFormat{kRate, 2}, 100);
    EXPECT_FALSE(renderer.scheduleBuffer(empty, 0));

    EXPECT_EQ(AudioPCMBuffer::make(AudioFormat{kRate, 2}, 0), nullptr);
    EXPECT_EQ(AudioPCMBuffer::make(AudioFormat{kRate, 0}, 10), nullptr);
    EXPECT_EQ(AudioPCMBuffer::make(AudioFormat{std::nan(""), 2}, 10), nullptr);
    auto buffer = AudioPCMBuffer::make(AudioFormat{kRate, 2}, 10);
    buffer->setFrameLength(50);
    EXPECT_EQ(buffer->frameLength(), 10u);
    EXPECT_EQ(buffer->floatChannelData(2), nullptr);
}

TEST(AudioRendererSchedule, AFullQueueRefusesAndRecoversOnceBuffersArePlayed) {
    OfflineOutput out;
    auto buffer = makeBuffer(64, sine(1000, 0.5), sine(1000, 0.5));
    int accepted = 0;
    while (accepted < 10000 && out.renderer.scheduleBuffer(buffer, accepted * 64)) ++accepted;
    EXPECT_GE(accepted, 1000);
    EXPECT_LT(accepted, 10000);
    out.renderer.playLocked(out.hostTime);
    out.render(0.5); // plays and returns the first buffers, making room
    EXPECT_TRUE(out.renderer.scheduleBuffer(buffer, accepted * 64));
}

TEST(AudioRendererVolume, ScalesTheOutput) {
    OfflineOutput out;
    ASSERT_TRUE(out.renderer.scheduleBuffer(makeBuffer(96000, sine(440, 0.5), sine(440, 0.5)), 0));
    out.renderer.playLocked(out.hostTime);
    out.render(0.5);
    const double full = rms(out.left, 4800, 24000);
    out.renderer.setVolume(0.25f);
    const std::size_t from = out.left.size() + 1024; // after the ramp
    out.render(0.5);
    EXPECT_NEAR(rms(out.left, from, out.left.size()) / full, 0.25, 0.01);
}

// Renders a 1 kHz tone at a rate; the output keeps its pitch while the source clock runs at that
// rate.
class AudioRendererRate : public ::testing::TestWithParam<float> {};

TEST_P(AudioRendererRate, KeepsPitchAndRunsTheSourceClockAtTheRate) {
    const float rate = GetParam();
    OfflineOutput out;
    for (int second = 0; second < 3; ++second) {
        ASSERT_TRUE(out.renderer.scheduleBuffer(
            makeBuffer(48000, sine(1000, 0.5, second * 48000), sine(1000, 0.5, second * 48000)),
            second * 48000));
    }
    out.renderer.setRate(rate);
    out.renderer.playLocked(out.hostTime);
    out.render(1.0);

    const std::size_t from = 9600, to = 43200;
    EXPECT_NEAR(test::zeroCrossingFrequency(out.left, from, to), 1000, 10) << "rate " << rate;
    EXPECT_NEAR(rms(out.left, from, to), 0.5 / std::sqrt(2.0), 0.05);
    const double slope = (out.heard[to] - out.heard[from]) / static_cast<double>(to - from);
    EXPECT_NEAR(slope, rate, 0.03 * rate);
}

INSTANTIATE_TEST_SUITE_P(Rates, AudioRendererRate, ::testing::Values(0.5f, 1.0f, 2.0f));

TEST(AudioRendererSettings, RateAndVolumeAreClampedAndLatencyIsAddedAtTheCurrentRate) {
    const float inf = std::numeric_limits<float>::infinity();
    // {set, rate read back, volume read back}: a non-finite rate means 1, a NaN volume silence.
    const float cases[][3] = {{4.0f, 2.0f, 1.0f}, {0.25f, 0.5f, 0.25f}, {-0.2f, 0.5f, 0.0f},
                              {std::nanf(""), 1.0f, 0.0f}, {inf, 1.0f, 1.0f}};
    AudioRenderer renderer;
    for (const auto& c : cases) {
        renderer.setRate(c[0]);
        renderer.setVolume(c[0]);
        EXPECT_EQ(renderer.rate(), c[1]) << c[0];
        EXPECT_EQ(renderer.volume(), c[2]) << c[0];
    }
    OfflineOutput out(1024, 960);
    out.renderer.playLocked(out.hostTime);
    out.renderer.setRate(2.0f);
    EXPECT_DOUBLE_EQ(*out.renderer.playerSampleTime(out.hostTime), 0.02 * kRate * 2.0);
    out.renderer.setOutputLatency(-1);
    EXPECT_EQ(out.renderer.outputLatency(), 0.0);
    out.renderer.setOutputLatency(std::nan(""));
    EXPECT_EQ(out.renderer.outputLatency(), 0.0);
}

// The player clock against what is actually heard: each output window is matched to the source
// by correlation. Noise makes the match unique.
// With an output latency (a device buffer ahead of the one rendered, or two) the clock names the
// frame heard then, not the one just handed to the output.
class AudioRendererAccuracy : public ::testing::TestWithParam<std::tuple<float, int>> {};

TEST_P(AudioRendererAccuracy, PlayerTimeNamesTheSourceFrameBeingHeard) {
    const auto [rate, latencyFrames] = GetParam();
    const std::uint32_t sourceFrames = 48000 * 4;
    std::vector<float> source(sourceFrames);
    std::uint32_t seed = 12345;
    float lowpassed = 0;
    for (float& s : source) {
        seed = seed * 1664525u + 1013904223u;
        lowpassed = 0.8f * lowpassed + 0.2f * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
        s = lowpassed;
    }
    OfflineOutput out(1024, latencyFrames);
    auto fromSource = [&](std::uint32_t i) { return source[i]; };
    ASSERT_TRUE(out.renderer.scheduleBuffer(makeBuffer(sourceFrames, fromSource, fromSource), 0));
    out.renderer.setRate(rate);
    out.renderer.playLocked(out.hostTime);
    out.render(1.5);

    constexpr int kWindow = 256, kSearch = 3000;
    double errorSum = 0;
    int matched = 0;
    for (std::size_t j = 24000; j + kWindow < 67000; j += 1400) {
        const auto expected = static_cast<long>(std::lround(out.heard[j]));
        double best = -1;
        long bestAt = 0;
        double windowEnergy = 0;
        for (int k = 0; k < kWindow; ++k) windowEnergy += out.left[j + k] * out.left[j + k];
        for (long p = std::max(0L, expected - kSearch); p < expected + kSearch; ++p) {
            double dot = 0, energy = 0;
            for (int k = 0; k < kWindow; ++k) {
                dot += out.left[j + k] * source[p + k];
                energy += source[p + k] * source[p + k];
            }
            const double c = dot / std::sqrt(windowEnergy * energy + 1e-20);
            if (c > best) best = c, bestAt = p;
        }
        if (best < 0.9) continue; // a splice inside the window
        errorSum += static_cast<double>(bestAt) - out.heard[j];
        ++matched;
    }
    ASSERT_GE(matched, 15);
    // Within 5 ms on average: below what a viewer notices between sound and picture.
    EXPECT_NEAR(errorSum / matched, 0.0, 240.0) << "rate " << rate << ", latency " << latencyFrames;
}

INSTANTIATE_TEST_SUITE_P(Rates, AudioRendererAccuracy,
                         ::testing::Combine(::testing::Values(0.5f, 0.75f, 1.0f, 1.5f, 2.0f), ::testing::Values(0, 1024)));
INSTANTIATE_TEST_SUITE_P(TwoBuffers, AudioRendererAccuracy, ::testing::Values(std::tuple{1.0f, 2048}));

} // namespace
} // namespace lumavane::audio
