#include "Lumavane/Session/PlaybackTimingTrace.hpp"

#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Foundation/OneShotTimer.hpp"
#include "Platform/Foundation/SerialQueue.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <vector>

namespace lumavane {

namespace {

nlohmann::json numberOrMinusOne(double value) {
    return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(-1);
}

void writeReplacing(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::path temporary = path;
    temporary += ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            throw std::filesystem::filesystem_error("cannot create the file", temporary,
                                                    std::make_error_code(std::errc::io_error));
        }
        out.write(bytes.data(), std::streamsize(bytes.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            throw std::filesystem::filesystem_error("cannot write the file", temporary,
                                                    std::make_error_code(std::errc::io_error));
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw std::filesystem::filesystem_error("cannot replace the file", path, error);
    }
}

} // namespace

struct PlaybackTimingTrace::State {
    std::optional<std::filesystem::path> path;
    std::function<double()> clock;
    std::function<void(double, std::function<void()>)> schedule;
    std::mutex lock;
    nlohmann::json rows = nlohmann::json::array();
    bool started = false;
    bool finished = false;
    // The default scheduler's queue and timer, made on the first submit.
    std::unique_ptr<SerialQueue> queue;
    std::unique_ptr<OneShotTimer> timer;

    void flush() {
        nlohmann::json taken;
        {
            std::lock_guard guard(lock);
            if (finished) return;
            finished = true;
            taken = std::move(rows);
        }
        if (!path) return;
        try {
            writeReplacing(*path, taken.dump());
        } catch (const std::exception& error) {
            std::fprintf(stderr, "Playback timing trace: %s\n", error.what());
        }
    }
};

PlaybackTimingTrace::PlaybackTimingTrace(Options options)
    : state_(std::make_shared<State>()), enabled_(options.path.has_value()), quietHUD_(options.quietHUD) {
    state_->path = std::move(options.path);
    state_->clock = options.clock ? std::move(options.clock) : [] { return hostTimeSeconds(); };
    state_->schedule = std::move(options.schedule);
}

PlaybackTimingTrace::~PlaybackTimingTrace() {
    // Stop the timer's queue first, so the final write cannot race a timed one.
    state_->timer.reset();
    state_->queue.reset();
    finish();
}

PlaybackTimingTrace& PlaybackTimingTrace::shared() {
    static PlaybackTimingTrace trace([] {
        Options options;
        if (const char* path = std::getenv("LUMAVANE_TIMING_TRACE"); path && *path) options.path = path;
        options.quietHUD = quietHUDFromEnvironment();
        return options;
    }());
    return trace;
}

bool PlaybackTimingTrace::quietHUDFromEnvironment() {
    const char* value = std::getenv("LUMAVANE_TIMING_QUIET_HUD");
    return value && std::string(value) == "1";
}

void PlaybackTimingTrace::record(const std::string& event, double pts, double value) {
    if (!enabled_) return;
    State& state = *state_;
    const double now = state.clock();
    std::lock_guard guard(state.lock);
    if (state.finished) return;
    if (!state.started) {
        if (event != "submit") return;
        state.started = true;
        std::weak_ptr<State> weak = state_;
        auto flush = [weak] {
            if (const auto alive = weak.lock()) alive->flush();
        };
        if (state.schedule) {
            state.schedule(recordingSeconds, std::move(flush));
        } else {
            state.queue = std::make_unique<SerialQueue>("Lumavane.timingTrace", QualityOfService::utility);
            state.timer = std::make_unique<OneShotTimer>(*state.queue, std::move(flush));
            state.timer->scheduleAt(now + recordingSeconds);
        }
    }
    if (state.rows.size() >= maximumRows) return;
    state.rows.push_back({{"event", event},
                          {"time", now},
                          {"pts", numberOrMinusOne(pts)},
                          {"value", numberOrMinusOne(value)}});
}

void PlaybackTimingTrace::finish() {
    if (!enabled_) return;
    {
        std::lock_guard guard(state_->lock);
        if (!state_->started) return;
    }
    state_->flush();
}

} // namespace lumavane
