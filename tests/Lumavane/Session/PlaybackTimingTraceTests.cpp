#include "SessionTestSupport.hpp"

#include "Platform/Foundation/FileReading.hpp"
#include "support/ScopedEnv.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace lumavane {
namespace {

using test::SessionHarness;
using test::TemporaryDirectory;

// A trace on virtual time: the clock and the 20 s flush run on the manual loop.
struct TraceHarness {
    TemporaryDirectory directory;
    ManualRunLoop loop;
    std::filesystem::path file = directory.path() / "trace.json";

    PlaybackTimingTrace::Options options(std::optional<std::filesystem::path> path) {
        PlaybackTimingTrace::Options options;
        options.path = std::move(path);
        options.clock = [this] { return loop.now(); };
        options.schedule = [this](double delay, std::function<void()> work) {
            loop.postAfter(delay, std::move(work));
        };
        return options;
    }

    nlohmann::json written() const { return nlohmann::json::parse(files::readWholeText(file)); }
};

TEST(PlaybackTimingTrace, KeepsTheRowsFromTheFirstSubmitAndWritesThemAfterTwentySeconds) {
    TraceHarness harness;
    PlaybackTimingTrace trace(harness.options(harness.file));
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    trace.record("tick", -1, 5);
    harness.loop.advance(1);
    trace.record("submit", 0.5, 0);
    harness.loop.advance(0.25);
    trace.record("complete", nan, 12.5);
    harness.loop.advance(19.7);
    EXPECT_FALSE(std::filesystem::exists(harness.file));
    harness.loop.advance(0.1);
    ASSERT_TRUE(std::filesystem::exists(harness.file));
    const std::string text = files::readWholeText(harness.file);
    EXPECT_EQ(text, R"([{"event":"submit","pts":0.5,"time":1.0,"value":0.0},)"
                    R"({"event":"complete","pts":-1,"time":1.25,"value":12.5}])");
    trace.record("submit", 1, 0); // finished: nothing more
    trace.finish();
    EXPECT_EQ(files::readWholeText(harness.file), text);
}

TEST(PlaybackTimingTrace, WithoutASubmitNothingIsWritten) {
    TraceHarness harness;
    {
        PlaybackTimingTrace trace(harness.options(harness.file));
        trace.record("tick", -1, 1);
        trace.finish();
        harness.loop.advance(30);
    }
    EXPECT_FALSE(std::filesystem::exists(harness.file));
}

TEST(PlaybackTimingTrace, StoppingOrLeavingEarlyKeepsTheRows) {
    TraceHarness harness;
    {
        PlaybackTimingTrace trace(harness.options(harness.file));
        trace.record("submit", 1, 0);
    }
    EXPECT_EQ(harness.written().size(), 1u); // written at exit, long before 20 s

    TraceHarness stopping;
    PlaybackTimingTrace trace(stopping.options(stopping.file));
    SessionHarness session;
    const auto player = session.make(&trace);
    trace.record("submit", 1, 0);
    trace.record("main", 1, 30);
    player->setHasVideo(true);
    player->stopPlayback();
    EXPECT_EQ(stopping.written().size(), 2u);
}

TEST(PlaybackTimingTrace, KeepsAtMostTwentyThousandRows) {
    TraceHarness harness;
    PlaybackTimingTrace trace(harness.options(harness.file));
    for (std::size_t i = 0; i < PlaybackTimingTrace::maximumRows + 5; ++i)
        trace.record("submit", double(i), 0);
    trace.finish();
    EXPECT_EQ(harness.written().size(), PlaybackTimingTrace::maximumRows);
}

TEST(PlaybackTimingTrace, AnUnwritablePathEndsWithOneLine) {
    TraceHarness harness;
    PlaybackTimingTrace trace(harness.options(harness.directory.path() / "missing" / "trace.json"));
    trace.record("submit", 1, 0);
    testing::internal::CaptureStderr();
    trace.finish();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.rfind("Playback timing trace: ", 0), 0u) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
}

TEST(PlaybackTimingTrace, QuietModeNeedsExactlyOne) {
    for (const auto& [value, quiet] :
         {std::pair<const char*, bool>{"1", true}, {"true", false}, {nullptr, false}}) {
        const test::ScopedEnv env("LUMAVANE_TIMING_QUIET_HUD", value);
        EXPECT_EQ(PlaybackTimingTrace::quietHUDFromEnvironment(), quiet) << (value ? value : "unset");
    }
}

} // namespace
} // namespace lumavane
