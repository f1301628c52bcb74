#include "Platform/Foundation/OneShotTimer.hpp"

#include "Platform/Foundation/HostClock.hpp"

#include <cmath>
#include <limits>
#include <mutex>

namespace lumavane {

struct OneShotTimer::State {
    State(std::weak_ptr<SerialQueue::State> queue, std::function<void()> handler)
        : queue(std::move(queue)), handler(std::move(handler)) {}

    mutable std::mutex mutex;
    const std::weak_ptr<SerialQueue::State> queue;
    const std::function<void()> handler;
    // Each arming gets a new generation; a firing whose generation is stale does nothing. This
    // covers an arming that had already left the queue's timer list when it was replaced.
    std::uint64_t generation = 0;
    std::optional<SerialQueue::TimedKey> pending;
    bool cancelled = false;

    // Takes the pending arming off the queue's timer list (mutex held).
    void disarmLocked() {
        ++generation;
        if (!pending) return;
        if (auto q = queue.lock()) SerialQueue::cancelScheduled(q, *pending);
        pending.reset();
    }

    static void fire(const std::weak_ptr<State>& weakSelf, std::uint64_t generation) {
        const std::shared_ptr<State> self = weakSelf.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->mutex);
            if (self->cancelled || self->generation != generation) return;
            self->pending.reset();
        }
        // Outside the lock, so the handler can re-arm, park or cancel this timer.
        if (self->handler) self->handler();
    }
};

OneShotTimer::OneShotTimer(SerialQueue& queue, std::function<void()> handler)
    : state_(std::make_shared<State>(queue.state_, std::move(handler))) {}

OneShotTimer::~OneShotTimer() { cancel(); }

void OneShotTimer::scheduleAt(double deadline, double /*leewaySeconds*/) {
    // The leeway is a permission to be late, which a single queue thread never needs to use.
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled) return;
    state_->disarmLocked();
    if (std::isnan(deadline) || deadline == std::numeric_limits<double>::infinity()) return;
    auto q = state_->queue.lock();
    if (!q) return;
    state_->pending = SerialQueue::scheduleAt(
        q, deadline, [weakSelf = std::weak_ptr<State>(state_), generation = state_->generation] {
            State::fire(weakSelf, generation);
        });
}

void OneShotTimer::scheduleAfter(double delaySeconds, double leewaySeconds) {
    scheduleAt(hostTimeSeconds() + delaySeconds, leewaySeconds);
}

void OneShotTimer::fireNow() { scheduleAt(hostTimeSeconds()); }

void OneShotTimer::park() {
    std::lock_guard lock(state_->mutex);
    state_->disarmLocked();
}

void OneShotTimer::cancel() {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled) return;
    state_->cancelled = true;
    state_->disarmLocked();
}

bool OneShotTimer::isCancelled() const {
    std::lock_guard lock(state_->mutex);
    return state_->cancelled;
}

} // namespace lumavane
