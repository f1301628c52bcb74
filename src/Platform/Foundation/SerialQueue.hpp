#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace lumavane {

enum class QualityOfService { background, utility, userInitiated, userInteractive };

// A named worker thread that runs submitted work one item at a time, in order.
// The thread carries the label as its name (cut to the 15 bytes Linux keeps). Background and
// utility queues run at a lower scheduling priority; the other classes at the normal one.
// Work must not throw out of async(): like an uncaught exception on any thread, that terminates.
class SerialQueue {
public:
    explicit SerialQueue(std::string label, QualityOfService qos = QualityOfService::userInitiated);
    // Finishes the work already queued, then joins the thread (see shutdown()). Called from
    // the queue itself (the last owner released inside a work item), the thread is left to
    // finish on its own instead.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const noexcept;
    QualityOfService qualityOfService() const noexcept;

    // Queues work; after shutdown() the work is dropped.
    void async(std::function<void()> work);
    // Runs work on the queue and waits for it; an exception thrown by the work reaches the caller.
    // Called from the queue itself, runs inline. After shutdown() the work still runs, one item at a
    // time: on the queue while it drains, then on the calling thread once the queue has finished.
    void sync(const std::function<void()>& work);
    // True when called from this queue's thread (including inside sync()).
    bool isCurrent() const noexcept;
    // Stops accepting work, runs what is queued, joins. Idempotent; from the queue's own
    // thread it only stops accepting (the thread is joined by the destructor's caller).
    void shutdown();

private:
    friend class OneShotTimer;
    struct State;
    // Timed work, for OneShotTimer: runs on the queue once hostTimeSeconds() reaches the deadline.
    using TimedKey = std::pair<double, std::uint64_t>;
    static std::optional<TimedKey> scheduleAt(const std::shared_ptr<State>& state, double deadline,
                                              std::function<void()> work);
    static void cancelScheduled(const std::shared_ptr<State>& state, const TimedKey& key);

    std::shared_ptr<State> state_;
};

} // namespace lumavane
