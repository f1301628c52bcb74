#pragma once

#include "Platform/Foundation/MainExecutor.hpp"

#include <functional>
#include <memory>

namespace lumavane {

// Calls `deliver` on the main executor every 0.1 s while it lives and is not stopped. A tick
// is scheduled only after the previous one has run, so a stalled main thread gets one delivery
// when it frees up, never a backlog.
class PlaybackReadoutTicker {
public:
    static constexpr double interval = 0.1;

    PlaybackReadoutTicker(MainExecutor& executor, std::function<void()> deliver);
    ~PlaybackReadoutTicker(); // stops
    PlaybackReadoutTicker(const PlaybackReadoutTicker&) = delete;
    PlaybackReadoutTicker& operator=(const PlaybackReadoutTicker&) = delete;

    // No delivery runs after this returns, not even one already due.
    void stop();

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace lumavane
