#include "Platform/Foundation/SerialQueue.hpp"

#include "Platform/Foundation/HostClock.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace lumavane {

namespace {

thread_local const void* currentQueue = nullptr;

class CurrentQueueScope {
public:
    explicit CurrentQueueScope(const void* queue) : previous_(currentQueue) { currentQueue = queue; }
    ~CurrentQueueScope() { currentQueue = previous_; }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

private:
    const void* previous_;
};

// Linux keeps 15 bytes of a thread name; never cut a UTF-8 sequence in half.
std::string threadName(const std::string& label) {
    if (label.size() <= 15) return label;
    std::size_t end = 15;
    while (end > 0 && (static_cast<unsigned char>(label[end]) & 0xC0) == 0x80) --end;
    return label.substr(0, end);
}

void applyQualityOfService(QualityOfService qos) {
    // An unprivileged thread can lower its priority but not raise it, so only the
    // lower classes change anything.
    int niceness = 0;
    if (qos == QualityOfService::background) niceness = 10;
    if (qos == QualityOfService::utility) niceness = 5;
    if (niceness != 0) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), niceness);
}

std::chrono::steady_clock::time_point steadyTimePoint(double hostSeconds) {
    // steady_clock is CLOCK_MONOTONIC on Linux, the clock hostTimeSeconds() reads. Far deadlines are
    // capped: the worker simply looks again.
    const double capped = std::min(hostSeconds, hostTimeSeconds() + 3600.0);
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(capped)));
}

} // namespace

struct SerialQueue::State {
    State(std::string label, QualityOfService qos) : label(std::move(label)), qos(qos) {}

    const std::string label;
    const QualityOfService qos;

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable exitedCondition;
    std::deque<std::function<void()>> work;
    std::map<TimedKey, std::function<void()>> timed;
    std::uint64_t nextTimedSequence = 0;
    bool accepting = true;
    bool exited = false;

    // Serialises sync() work that runs on callers' threads once the worker is gone.
    std::mutex inlineMutex;

    std::mutex threadMutex;
    std::thread thread;

    static void run(const std::shared_ptr<State>& self);
};

void SerialQueue::State::run(const std::shared_ptr<State>& s) {
    pthread_setname_np(pthread_self(), threadName(s->label).c_str());
    applyQualityOfService(s->qos);
    CurrentQueueScope scope(s.get());

    std::unique_lock lock(s->mutex);
    for (;;) {
        if (s->accepting && !s->timed.empty()) {
            // Due timers join the ordinary work, in deadline order.
            const double now = hostTimeSeconds();
            while (!s->timed.empty() && s->timed.begin()->first.first <= now) {
                s->work.push_back(std::move(s->timed.begin()->second));
                s->timed.erase(s->timed.begin());
            }
        }
        if (!s->work.empty()) {
            std::function<void()> item = std::move(s->work.front());
            s->work.pop_front();
            lock.unlock();
            item();
            item = nullptr; // captured objects die outside the lock: their destructors may queue work
            lock.lock();
            continue;
        }
        if (!s->accepting) break;
        if (s->timed.empty())
            s->wake.wait(lock);
        else
            s->wake.wait_until(lock, steadyTimePoint(s->timed.begin()->first.first));
    }
    std::map<TimedKey, std::function<void()>> dropped;
    dropped.swap(s->timed);
    s->exited = true;
    lock.unlock();
    s->exitedCondition.notify_all();
}

SerialQueue::SerialQueue(std::string label, QualityOfService qos)
    : state_(std::make_shared<State>(std::move(label), qos)) {
    // The thread shares the state, so it can outlive this object when it is destroyed from the queue.
    state_->thread = std::thread([state = state_] { State::run(state); });
}

SerialQueue::~SerialQueue() {
    if (!isCurrent()) {
        shutdown();
        return;
    }
    {
        std::lock_guard lock(state_->mutex);
        state_->accepting = false;
    }
    state_->wake.notify_all();
    std::lock_guard threadLock(state_->threadMutex);
    if (state_->thread.joinable()) state_->thread.detach();
}

const std::string& SerialQueue::label() const noexcept { return state_->label; }

QualityOfService SerialQueue::qualityOfService() const noexcept { return state_->qos; }

bool SerialQueue::isCurrent() const noexcept { return currentQueue == state_.get(); }

void SerialQueue::async(std::function<void()> work) {
    if (!work) return;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->accepting) return; // dropped; `work` dies after the lock is released
        state_->work.push_back(std::move(work));
    }
    state_->wake.notify_one();
}

void SerialQueue::sync(const std::function<void()>& work) {
    if (!work) return;
    if (isCurrent()) {
        work();
        return;
    }

    bool done = false;
    std::exception_ptr error;
    std::condition_variable finished;
    {
        std::unique_lock lock(state_->mutex);
        if (!state_->exited) {
            // Accepted even while draining after shutdown(): the worker runs everything queued before it
            // exits.
            state_->work.push_back([&] {
                try {
                    work();
                } catch (...) {
                    error = std::current_exception();
                }
                std::lock_guard doneLock(state_->mutex);
                done = true;
                finished.notify_one();
            });
            state_->wake.notify_one();
            finished.wait(lock, [&] { return done; });
        }
    }
    if (!done) {
        std::lock_guard inlineLock(state_->inlineMutex);
        CurrentQueueScope scope(state_.get());
        work();
        return;
    }
    if (error) std::rethrow_exception(error);
}

void SerialQueue::shutdown() {
    {
        std::lock_guard lock(state_->mutex);
        state_->accepting = false;
    }
    state_->wake.notify_all();
    if (isCurrent()) return;
    std::lock_guard threadLock(state_->threadMutex);
    if (state_->thread.joinable()) state_->thread.join();
}

std::optional<SerialQueue::TimedKey> SerialQueue::scheduleAt(const std::shared_ptr<State>& state,
                                                             double deadline, std::function<void()> work) {
    TimedKey key;
    bool earliest = false;
    {
        std::lock_guard lock(state->mutex);
        if (!state->accepting) return std::nullopt;
        key = TimedKey(deadline, state->nextTimedSequence++);
        auto position = state->timed.emplace(key, std::move(work)).first;
        earliest = position == state->timed.begin();
    }
    if (earliest) state->wake.notify_one();
    return key;
}

void SerialQueue::cancelScheduled(const std::shared_ptr<State>& state, const TimedKey& key) {
    std::function<void()> dropped;
    std::lock_guard lock(state->mutex);
    auto position = state->timed.find(key);
    if (position == state->timed.end()) return;
    dropped = std::move(position->second);
    state->timed.erase(position);
}

} // namespace lumavane
