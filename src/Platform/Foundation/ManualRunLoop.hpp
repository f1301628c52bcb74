#pragma once

#include "Platform/Foundation/MainExecutor.hpp"

#include <cstddef>
#include <functional>
#include <memory>

namespace lumavane {

// A main executor driven by hand, with virtual time for delayed work. The thread that
// constructs it is its main thread. Work posted from other threads waits until the
// owner runs the loop. Virtual time starts at 0 and moves only in advance().
class ManualRunLoop final : public MainExecutor {
public:
    ManualRunLoop();
    ~ManualRunLoop() override;

    void post(std::function<void()> work) override;
    TaskId postAfter(double delaySeconds, std::function<void()> work) override;
    void cancel(TaskId id) override;
    bool isMainThread() const override;
    double now() const override;

    // Runs everything that is due, including work posted while running. Returns how many ran.
    std::size_t runUntilIdle();
    // Moves virtual time forward by `seconds`, running delayed work in deadline order at its
    // deadline (and the immediate work each one posts).
    std::size_t advance(double seconds);
    // Runs due work as it arrives (from any thread) until `done()` is true or `timeoutSeconds`
    // of real time pass. Returns done(). Virtual time stands still meanwhile.
    bool runUntil(const std::function<bool()>& done, double timeoutSeconds);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace lumavane
