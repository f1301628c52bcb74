#pragma once

#include <functional>
#include <memory>
#include <string>

namespace lumavane {

enum class QualityOfService { background, utility, userInitiated, userInteractive };

// A named worker thread that runs submitted work one item at a time, in order.
class SerialQueue {
public:
    explicit SerialQueue(std::string label, QualityOfService qos = QualityOfService::userInitiated);
    // Finishes the work already queued, then joins the thread (see shutdown()).
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const noexcept;

    // Queues work; after shutdown() the work is dropped.
    void async(std::function<void()> work);
    // Runs work on the queue and waits for it. Called from the queue itself, runs inline.
    void sync(const std::function<void()>& work);
    // True when called from this queue's thread (including inside sync()).
    bool isCurrent() const noexcept;
    // Stops accepting work, runs what is queued, joins. Idempotent; from the queue's own
    // thread it only stops accepting (the thread is joined by the destructor's caller).
    void shutdown();

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace lumavane
