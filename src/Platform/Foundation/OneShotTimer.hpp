#pragma once

#include "Platform/Foundation/SerialQueue.hpp"

#include <functional>
#include <memory>

namespace lumavane {

// A one-shot timer whose handler runs on a serial queue. Created parked (deadline in the
// distant future). Re-arming replaces the pending deadline; cancel() is final.
// Every call is thread-safe and never waits for the handler, so it may be made while holding a
// lock that the handler takes, and from inside the handler. The queue may be destroyed first:
// the timer then never fires again.
class OneShotTimer {
public:
    OneShotTimer(SerialQueue& queue, std::function<void()> handler);
    ~OneShotTimer(); // cancels
    OneShotTimer(const OneShotTimer&) = delete;
    OneShotTimer& operator=(const OneShotTimer&) = delete;

    // Fires once at host time `deadline` (hostTimeSeconds()), give or take `leewaySeconds`.
    // A deadline of +infinity or NaN parks the timer.
    void scheduleAt(double deadline, double leewaySeconds = 0);
    void scheduleAfter(double delaySeconds, double leewaySeconds = 0);
    void fireNow();
    void park();   // no deadline; may be re-armed
    void cancel(); // no further firings; a handler already running finishes
    bool isCancelled() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace lumavane
