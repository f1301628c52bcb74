#include "Platform/Foundation/ManualRunLoop.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

namespace lumavane {

struct ManualRunLoop::State {
    const std::thread::id owner = std::this_thread::get_id();

    mutable std::mutex mutex;
    std::condition_variable arrived;
    double now = 0;
    TaskId nextId = 1;
    std::deque<std::function<void()>> immediate;
    // Keyed by (deadline, id): equal deadlines run in posting order.
    std::map<std::pair<double, TaskId>, std::function<void()>> delayed;
    std::unordered_map<TaskId, double> deadlines;

    bool hasDueLocked() const {
        return !immediate.empty() || (!delayed.empty() && delayed.begin()->first.first <= now);
    }

    // Takes the next due task, immediate work first.
    std::function<void()> takeDueLocked() {
        std::function<void()> task;
        if (!immediate.empty()) {
            task = std::move(immediate.front());
            immediate.pop_front();
        } else if (!delayed.empty() && delayed.begin()->first.first <= now) {
            task = std::move(delayed.begin()->second);
            deadlines.erase(delayed.begin()->first.second);
            delayed.erase(delayed.begin());
        }
        return task;
    }
};

ManualRunLoop::ManualRunLoop() : state_(std::make_unique<State>()) {}

ManualRunLoop::~ManualRunLoop() = default;

void ManualRunLoop::post(std::function<void()> work) {
    if (!work) return;
    {
        std::lock_guard lock(state_->mutex);
        state_->immediate.push_back(std::move(work));
    }
    state_->arrived.notify_all();
}

MainExecutor::TaskId ManualRunLoop::postAfter(double delaySeconds, std::function<void()> work) {
    if (!work) return 0;
    if (!(delaySeconds > 0)) delaySeconds = 0; // negative or NaN: as soon as possible
    TaskId id = 0;
    {
        std::lock_guard lock(state_->mutex);
        id = state_->nextId++;
        const double deadline = state_->now + delaySeconds;
        state_->delayed.emplace(std::make_pair(deadline, id), std::move(work));
        state_->deadlines.emplace(id, deadline);
    }
    state_->arrived.notify_all();
    return id;
}

void ManualRunLoop::cancel(TaskId id) {
    std::function<void()> dropped; // dies after the lock is released
    std::lock_guard lock(state_->mutex);
    auto deadline = state_->deadlines.find(id);
    if (deadline == state_->deadlines.end()) return;
    auto task = state_->delayed.find(std::make_pair(deadline->second, id));
    dropped = std::move(task->second);
    state_->delayed.erase(task);
    state_->deadlines.erase(deadline);
}

bool ManualRunLoop::isMainThread() const { return std::this_thread::get_id() == state_->owner; }

double ManualRunLoop::now() const {
    std::lock_guard lock(state_->mutex);
    return state_->now;
}

std::size_t ManualRunLoop::runUntilIdle() {
    std::size_t count = 0;
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(state_->mutex);
            task = state_->takeDueLocked();
        }
        if (!task) return count;
        ++count;
        task();
    }
}

std::size_t ManualRunLoop::advance(double seconds) {
    if (!(seconds > 0)) seconds = 0;
    std::size_t count = runUntilIdle();
    double target = 0;
    {
        std::lock_guard lock(state_->mutex);
        target = state_->now + seconds;
    }
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(state_->mutex);
            auto& delayed = state_->delayed;
            if (delayed.empty() || delayed.begin()->first.first > target) {
                state_->now = std::max(state_->now, target);
                break;
            }
            state_->now = std::max(state_->now, delayed.begin()->first.first);
            task = state_->takeDueLocked();
        }
        if (task) {
            ++count;
            task();
        }
        count += runUntilIdle();
    }
    return count + runUntilIdle();
}

bool ManualRunLoop::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
    using Clock = std::chrono::steady_clock;
    if (!(timeoutSeconds > 0)) timeoutSeconds = 0;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(std::min(timeoutSeconds, 1e9)));
    for (;;) {
        runUntilIdle();
        if (done()) return true;
        std::unique_lock lock(state_->mutex);
        if (!state_->arrived.wait_until(lock, deadline, [&] { return state_->hasDueLocked(); })) {
            lock.unlock();
            return done();
        }
    }
}

} // namespace lumavane
