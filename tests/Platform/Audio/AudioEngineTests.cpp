#include "Platform/Audio/AudioEngine.hpp"

#include "Platform/Audio/AudioTestSignals.hpp"
#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Foundation/PlatformError.hpp"
#include "support/ScopedEnv.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

// These run on SDL's dummy output (SDL_AUDIODRIVER=dummy, set by the test harness), which
// consumes audio in real time. Times are compared with the host clock loosely: they are
// measurements of a clock, not of speed.

namespace lumavane::audio {
namespace {

using test::kRate;

void sleepSeconds(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// The media clock as the playback engine computes it: player seconds minus the output latency
// at the current rate.
std::optional<double> heardSeconds(AudioEngine& engine) {
    AudioPlayerNode& node = engine.playerNode();
    const auto render = node.lastRenderTime();
    if (!render) return std::nullopt;
    const auto player = node.playerTime(*render);
    if (!player) return std::nullopt;
    return static_cast<double>(player->sampleTime) / player->sampleRate -
           node.outputPresentationLatency() * engine.timePitch().rate();
}

// Clock progress over host time while playing.
double clockSpeed(AudioEngine& engine, double seconds) {
    const double c0 = *heardSeconds(engine);
    const double h0 = hostTimeSeconds();
    sleepSeconds(seconds);
    const double c1 = *heardSeconds(engine);
    const double h1 = hostTimeSeconds();
    return (c1 - c0) / (h1 - h0);
}

using lumavane::test::ScopedEnv;

TEST(AudioEngineLifecycle, RenderTimeExistsOnlyWhileRunningAndLatencyIsTheDeviceBuffer) {
    AudioEngine engine;
    EXPECT_FALSE(engine.isRunning());
    EXPECT_FALSE(engine.playerNode().lastRenderTime().has_value());
    EXPECT_EQ(engine.playerNode().outputPresentationLatency(), 0.0);

    engine.start();
    engine.start(); // harmless
    ASSERT_TRUE(engine.isRunning());
    EXPECT_EQ(engine.outputDriver(), "dummy");
    const double latency = engine.playerNode().outputPresentationLatency();
    EXPECT_TRUE(latency > 0.0 && latency < 0.5) << latency;
    const auto render = engine.playerNode().lastRenderTime();
    ASSERT_TRUE(render.has_value());
    EXPECT_EQ(render->sampleRate, kRate);
    EXPECT_FALSE(engine.playerNode().playerTime(*render).has_value()) << "never played";

    engine.stop();
    engine.stop();
    EXPECT_FALSE(engine.isRunning());
    EXPECT_FALSE(engine.playerNode().lastRenderTime().has_value());
    EXPECT_EQ(engine.outputDriver(), "");

    engine.start(); // restartable
    EXPECT_TRUE(engine.isRunning());
}

TEST(AudioEngineClock, RunsInRealTimeThroughGapsFreezesOnPauseAndReturnsToZeroOnStop) {
    AudioEngine engine;
    engine.start();
    AudioPlayerNode& node = engine.playerNode();
    // 50 ms of tone, then a gap, then 50 ms more at 0.3 s: the clock runs through and past both.
    ASSERT_TRUE(node.scheduleBuffer(test::makeBuffer(2400, test::sine(440, 0.5), test::sine(440, 0.5)), 0));
    ASSERT_TRUE(
        node.scheduleBuffer(test::makeBuffer(2400, test::sine(440, 0.5), test::sine(440, 0.5)), 14400));
    node.play();
    EXPECT_TRUE(node.isPlaying());
    EXPECT_NEAR(*heardSeconds(engine), 0.0, 0.03) << "the clock starts where play() was called";

    const double speed = clockSpeed(engine, 0.5);
    EXPECT_GT(speed, 0.75);
    EXPECT_LT(speed, 1.3);
    const double beyondEnd = *heardSeconds(engine);
    EXPECT_GT(beyondEnd, 0.35) << "past the last buffer at 0.35 s";

    node.pause();
    EXPECT_FALSE(node.isPlaying());
    sleepSeconds(0.08); // the device buffer in flight plays out
    const auto frozen = node.playerTime(*node.lastRenderTime());
    sleepSeconds(0.2);
    EXPECT_EQ(node.playerTime(*node.lastRenderTime())->sampleTime, frozen->sampleTime);

    node.play();
    node.stop();
    EXPECT_FALSE(node.isPlaying());
    sleepSeconds(0.05);
    EXPECT_EQ(node.playerTime(*node.lastRenderTime())->sampleTime, 0);
}

TEST(AudioEngineOutput, FallsBackToTheSilentOutputWhenNoDriverWorksAndItsClockFollowsTheRate) {
    ScopedEnv bogus("SDL_AUDIODRIVER", "nonexistent");
    AudioEngine engine;
    ASSERT_NO_THROW(engine.start());
    EXPECT_EQ(engine.outputDriver(), "dummy");
    engine.timePitch().setRate(2.0f);
    engine.playerNode().play();
    sleepSeconds(0.05);
    const double speed = clockSpeed(engine, 0.4);
    EXPECT_GT(speed, 1.5);
    EXPECT_LT(speed, 2.6);
}

TEST(AudioEngineOutput, TwoEnginesShareTheOutputAndEachKeepsItsOwnClock) {
    AudioEngine first, second;
    first.start();
    second.start();
    first.playerNode().play();
    sleepSeconds(0.1);
    second.playerNode().play();
    sleepSeconds(0.2);
    EXPECT_GT(*heardSeconds(first) - *heardSeconds(second), 0.05);
    first.stop();
    EXPECT_TRUE(second.isRunning());
    const double before = *heardSeconds(second);
    sleepSeconds(0.1);
    EXPECT_GT(*heardSeconds(second), before) << "closing one output leaves the other running";
}

// Scheduling, transport, rate, volume and clock reads from different threads at once, as the
// playback engine's decode, presentation and client threads do. Meant for the sanitizer builds.
TEST(AudioEngineThreads, ConcurrentSchedulingTransportAndClockReadsStayConsistent) {
    AudioEngine engine;
    engine.start();
    AudioPlayerNode& node = engine.playerNode();
    std::atomic<bool> done{false};
    auto buffer = test::makeBuffer(480, test::sine(440, 0.5), test::sine(440, 0.5));

    std::thread scheduler([&] {
        for (std::int64_t at = 0; !done.load(); at += 480) {
            node.scheduleBuffer(buffer, at % (48000 * 2));
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    std::thread reader([&] {
        while (!done.load()) {
            if (const auto render = node.lastRenderTime()) {
                if (const auto player = node.playerTime(*render)) {
                    EXPECT_GE(player->sampleTime, 0);
                }
            }
            node.setVolume(0.5f);
        }
    });
    const float rates[] = {1.0f, 2.0f, 0.5f};
    for (int i = 0; i < 60; ++i) {
        switch (i % 4) {
        case 0:
            node.play();
            break;
        case 1:
            engine.timePitch().setRate(rates[i % 3]);
            break;
        case 2:
            node.pause();
            break;
        default:
            node.stop();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    done.store(true);
    scheduler.join();
    reader.join();

    node.stop();
    EXPECT_EQ(node.playerTime(*node.lastRenderTime())->sampleTime, 0);
    engine.stop();
}

} // namespace
} // namespace lumavane::audio
