#pragma once

#include <cstdint>
#include <functional>

namespace lumavane {

// Where results return to: the main thread. In the application it is the GUI thread;
// headless and in tests it is a ManualRunLoop.
class MainExecutor {
public:
    using TaskId = std::uint64_t;
    virtual ~MainExecutor() = default;

    // Thread-safe. Work runs on the main thread in posting order.
    virtual void post(std::function<void()> work) = 0;
    // Thread-safe. Runs no earlier than `delaySeconds` on the executor's clock.
    virtual TaskId postAfter(double delaySeconds, std::function<void()> work) = 0;
    // Thread-safe. A task already started is not interrupted; unknown ids are ignored.
    virtual void cancel(TaskId id) = 0;
    virtual bool isMainThread() const = 0;
    // The executor's clock in seconds (virtual for the manual run loop).
    virtual double now() const = 0;
};

} // namespace lumavane
