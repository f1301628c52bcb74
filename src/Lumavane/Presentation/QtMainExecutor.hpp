#pragma once

#include "Platform/Foundation/MainExecutor.hpp"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <set>

class QObject;
class QSocketNotifier;

namespace lumavane {

// The main executor of the application: Qt's GUI thread. Created there. Work from any thread waits
// in the executor's own queue, under its own lock, and an eventfd wakes the GUI thread to run it:
// other threads never call into Qt, whose queued calls hand work over under locks that
// ThreadSanitizer cannot see. Work still queued when the executor goes is dropped.
class QtMainExecutor final : public MainExecutor {
public:
    // `context` (a GUI-thread object) times the delayed work.
    explicit QtMainExecutor(QObject* context);
    ~QtMainExecutor() override;
    QtMainExecutor(const QtMainExecutor&) = delete;
    QtMainExecutor& operator=(const QtMainExecutor&) = delete;

    void post(std::function<void()> work) override;
    TaskId postAfter(double delaySeconds, std::function<void()> work) override;
    void cancel(TaskId id) override;
    bool isMainThread() const override;
    double now() const override;

private:
    void runPosted();

    QObject* context_;
    std::atomic<TaskId> nextId_{1};
    std::mutex mutex_;
    std::set<TaskId> cancelled_;
    std::deque<std::function<void()>> posted_; // under mutex_
    int wakeup_ = -1;                          // eventfd
    std::unique_ptr<QSocketNotifier> notifier_;
    int running_ = 0; // GUI thread: runPosted() calls in progress
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};

} // namespace lumavane
