#include "Platform/Foundation/HostClock.hpp"
#include "Platform/Foundation/OneShotTimer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace lumavane {
namespace {

using namespace std::chrono_literals;

// Records firings; the test thread waits for them with a generous real-time limit.
class Firings {
public:
    void record(double hostTime) {
        // Notified under the lock: a waiter that wakes may destroy this object at once.
        std::lock_guard lock(mutex_);
        times_.push_back(hostTime);
        condition_.notify_all();
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock lock(mutex_);
        return condition_.wait_for(lock, limit, [&] { return times_.size() >= count; });
    }
    std::vector<double> times() {
        std::lock_guard lock(mutex_);
        return times_;
    }

private:
    std::mutex mutex_;
    std::condition_variable condition_;
    std::vector<double> times_;
};

TEST(OneShotTimer, FiresOnceOnItsQueueNoEarlierThanTheDeadline) {
    SerialQueue queue("Lumavane.timer");
    Firings firings;
    bool onQueue = false;
    OneShotTimer timer(queue, [&] {
        onQueue = queue.isCurrent();
        firings.record(hostTimeSeconds());
    });
    const double deadline = hostTimeSeconds() + 0.02;
    timer.scheduleAt(deadline, 0.0005);
    ASSERT_TRUE(firings.waitFor(1));
    EXPECT_GE(firings.times()[0], deadline);
    EXPECT_TRUE(onQueue);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(firings.times().size(), 1u); // one-shot
}

TEST(OneShotTimer, RearmingReplacesThePendingDeadline) {
    SerialQueue queue("Lumavane.timer");
    Firings firings;
    OneShotTimer timer(queue, [&] { firings.record(hostTimeSeconds()); });
    timer.scheduleAfter(0.01);
    const double later = hostTimeSeconds() + 0.15;
    timer.scheduleAt(later); // the 10 ms arming is gone
    ASSERT_TRUE(firings.waitFor(1));
    EXPECT_GE(firings.times()[0], later);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(firings.times().size(), 1u);

    // Moving a far deadline closer works too.
    timer.scheduleAfter(3600);
    timer.fireNow();
    ASSERT_TRUE(firings.waitFor(2));
}

TEST(OneShotTimer, IsCreatedParkedAndAParkedTimerStaysSilentUntilRearmedButACancelledOneForever) {
    SerialQueue queue("Lumavane.timer");
    Firings firings;
    OneShotTimer timer(queue, [&] { firings.record(hostTimeSeconds()); });
    EXPECT_FALSE(firings.waitFor(1, 40ms));
    timer.scheduleAfter(0.01);
    timer.park();
    EXPECT_FALSE(firings.waitFor(1, 80ms));
    timer.scheduleAt(std::numeric_limits<double>::infinity()); // also parks
    EXPECT_FALSE(firings.waitFor(1, 20ms));
    timer.fireNow();
    EXPECT_TRUE(firings.waitFor(1));

    timer.scheduleAfter(0.02);
    timer.cancel();
    EXPECT_TRUE(timer.isCancelled());
    timer.fireNow(); // ignored after cancel
    EXPECT_FALSE(firings.waitFor(2, 80ms));
}

TEST(OneShotTimer, CancelDoesNotWaitForARunningHandler) {
    // The playback engine cancels its timer under the lock that the handler takes.
    SerialQueue queue("Lumavane.timer");
    std::mutex engineLock;
    std::atomic<bool> entered{false};
    std::atomic<int> finished{0};
    OneShotTimer timer(queue, [&] {
        entered = true;
        std::lock_guard lock(engineLock);
        finished.fetch_add(1);
    });
    {
        std::lock_guard lock(engineLock);
        timer.fireNow();
        while (!entered) std::this_thread::sleep_for(1ms);
        timer.cancel(); // returns although the handler is blocked on our lock
        EXPECT_TRUE(timer.isCancelled());
    }
    queue.sync([] {});
    EXPECT_EQ(finished.load(), 1); // the running handler finished; nothing more ran
}

TEST(OneShotTimer, HandlerCanRearmItself) {
    SerialQueue queue("Lumavane.timer");
    Firings firings;
    std::unique_ptr<OneShotTimer> timer;
    int remaining = 5;
    timer = std::make_unique<OneShotTimer>(queue, [&] {
        firings.record(hostTimeSeconds());
        if (--remaining > 0)
            timer->scheduleAfter(0.002);
        else
            timer->park();
    });
    timer->fireNow();
    ASSERT_TRUE(firings.waitFor(5));
    queue.sync([] {});
    EXPECT_EQ(firings.times().size(), 5u);
}

TEST(OneShotTimer, DestroyedTimerNeverFiresAndMayOutliveItsQueue) {
    Firings firings;
    {
        SerialQueue queue("Lumavane.timer");
        auto timer = std::make_unique<OneShotTimer>(queue, [&] { firings.record(hostTimeSeconds()); });
        timer->scheduleAfter(0.02);
        timer.reset();
        EXPECT_FALSE(firings.waitFor(1, 60ms));
    }
    auto queue = std::make_unique<SerialQueue>("Lumavane.timer");
    OneShotTimer orphan(*queue, [&] { firings.record(hostTimeSeconds()); });
    orphan.scheduleAfter(0.01);
    queue.reset(); // the pending arming goes with the queue
    orphan.fireNow();
    EXPECT_FALSE(firings.waitFor(1, 40ms));
    orphan.cancel();
}

} // namespace
} // namespace lumavane
