#include "Lumavane/Session/PlaybackReadoutTicker.hpp"

#include <algorithm>
#include <optional>
#include <utility>

namespace lumavane {

struct PlaybackReadoutTicker::State : std::enable_shared_from_this<State> {
    MainExecutor& executor;
    std::function<void()> deliver;
    bool stopped = false;
    std::optional<MainExecutor::TaskId> pending;
    double deadline = 0;

    State(MainExecutor& executor, std::function<void()> deliver)
        : executor(executor), deliver(std::move(deliver)) {}

    void schedule() {
        // Keep the 0.1 s rhythm; after a stall, start again from now instead of catching up.
        const double now = executor.now();
        deadline = std::max(deadline + interval, now);
        pending = executor.postAfter(deadline - now, [weak = weak_from_this()] {
            const auto state = weak.lock();
            if (!state || state->stopped) return;
            state->pending.reset();
            state->deliver();
            if (!state->stopped) state->schedule();
        });
    }
};

PlaybackReadoutTicker::PlaybackReadoutTicker(MainExecutor& executor, std::function<void()> deliver)
    : state_(std::make_shared<State>(executor, std::move(deliver))) {
    state_->deadline = executor.now();
    state_->schedule();
}

PlaybackReadoutTicker::~PlaybackReadoutTicker() { stop(); }

void PlaybackReadoutTicker::stop() {
    state_->stopped = true;
    if (state_->pending) state_->executor.cancel(*std::exchange(state_->pending, std::nullopt));
}

} // namespace lumavane
