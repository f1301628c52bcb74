#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace lumavane {

// Diagnostic record of the frame road: with LUMAVANE_TIMING_TRACE naming a file, the rows of
// the 20 s after the first "submit" are written there as one JSON array. Rows before the first
// submit are not kept; at most 20,000 rows; the trace is taken once per process.
class PlaybackTimingTrace {
public:
    static constexpr double recordingSeconds = 20;
    static constexpr std::size_t maximumRows = 20000;

    struct Options {
        std::optional<std::filesystem::path> path;
        bool quietHUD = false;
        // Host time in seconds; hostTimeSeconds() when empty.
        std::function<double()> clock;
        // Runs the work after the delay on some thread; a utility-priority queue when empty.
        std::function<void(double delaySeconds, std::function<void()> work)> schedule;
    };

    explicit PlaybackTimingTrace(Options options);
    // Writes what was recorded when it has not been written yet.
    ~PlaybackTimingTrace();
    PlaybackTimingTrace(const PlaybackTimingTrace&) = delete;
    PlaybackTimingTrace& operator=(const PlaybackTimingTrace&) = delete;

    // The process's trace, set up from the environment on first use; written at normal exit.
    static PlaybackTimingTrace& shared();
    // LUMAVANE_TIMING_QUIET_HUD is exactly "1".
    static bool quietHUDFromEnvironment();

    // Callable from any thread; one check and nothing else when tracing is off.
    void record(const std::string& event, double pts, double value);
    // Writes the rows now when recording has started and nothing was written yet; afterwards
    // nothing more is recorded. Called at the end of the 20 s, when playback stops and at exit,
    // so quitting early keeps the rows.
    void finish();

    // Periodic readouts are off and per-frame publications slowed while this is on.
    bool quietHUD() const noexcept { return quietHUD_; }
    bool isEnabled() const noexcept { return enabled_; }

private:
    struct State;
    std::shared_ptr<State> state_;
    bool enabled_;
    bool quietHUD_;
};

} // namespace lumavane
