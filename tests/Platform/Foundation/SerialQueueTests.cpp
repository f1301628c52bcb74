#include "Platform/Foundation/SerialQueue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <pthread.h>

namespace lumavane {
namespace {

using namespace std::chrono_literals;

// A gate that work can wait at until the test opens it.
class Gate {
public:
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        condition_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        condition_.wait(lock, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable condition_;
    bool open_ = false;
};

std::string currentThreadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

TEST(SerialQueue, RunsWorkOneAtATimeInSubmissionOrder) {
    SerialQueue queue("Lumavane.test");
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlapped = false;
    for (int i = 0; i < 500; ++i) {
        queue.async([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    queue.sync([] {});
    ASSERT_EQ(order.size(), 500u);
    for (int i = 0; i < 500; ++i) EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, ThreadIsNamedAfterTheLabelCutTo15Bytes) {
    SerialQueue queue("Lumavane.presentation", QualityOfService::userInteractive);
    EXPECT_EQ(queue.label(), "Lumavane.presentation");
    std::string name;
    queue.sync([&] { name = currentThreadName(); });
    EXPECT_EQ(name, "Lumavane.presen");

    // The cut never splits a UTF-8 sequence: "キ" would straddle byte 15.
    SerialQueue japanese("Lumavane.modelキュー", QualityOfService::background);
    japanese.sync([&] { name = currentThreadName(); });
    EXPECT_EQ(name, "Lumavane.model");
}

TEST(SerialQueue, SyncFromItsOwnQueueRunsInline) {
    SerialQueue queue("Lumavane.test");
    std::promise<std::vector<int>> result;
    queue.async([&] {
        std::vector<int> steps{1};
        queue.sync([&] {
            EXPECT_TRUE(queue.isCurrent());
            steps.push_back(2);
        });
        steps.push_back(3);
        result.set_value(steps);
    });
    auto future = result.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready) << "sync from its own queue deadlocked";
    EXPECT_EQ(future.get(), (std::vector<int>{1, 2, 3}));
}

TEST(SerialQueue, SyncFromAnotherQueueRunsOnTheTargetAfterQueuedWork) {
    SerialQueue caller("Lumavane.caller");
    SerialQueue target("Lumavane.target");
    Gate gate;
    std::vector<int> order;
    target.async([&] {
        gate.wait();
        order.push_back(1);
    });

    std::promise<void> done;
    caller.async([&] {
        target.sync([&] {
            EXPECT_TRUE(target.isCurrent());
            EXPECT_FALSE(caller.isCurrent());
            EXPECT_EQ(currentThreadName(), "Lumavane.target");
            order.push_back(2);
        });
        order.push_back(3);
        done.set_value();
    });
    EXPECT_FALSE(target.isCurrent());
    std::this_thread::sleep_for(20ms); // the caller is now waiting behind the gated item
    gate.open();
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(SerialQueue, SyncPassesExceptionsToTheCaller) {
    SerialQueue queue("Lumavane.test");
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    int value = 0;
    queue.sync([&] { value = 1; }); // the queue still works
    EXPECT_EQ(value, 1);
}

TEST(SerialQueue, ShutdownRunsPendingWorkThenTakesNoMore) {
    SerialQueue queue("Lumavane.test");
    Gate gate;
    std::atomic<int> ran{0};
    queue.async([&] { gate.wait(); });
    for (int i = 0; i < 100; ++i) queue.async([&] { ran.fetch_add(1); });

    std::thread opener([&] {
        std::this_thread::sleep_for(20ms);
        gate.open();
    });
    queue.shutdown(); // waits for the gated item and the hundred behind it
    opener.join();
    EXPECT_EQ(ran.load(), 100);

    queue.async([&] { ran.fetch_add(1000); });
    queue.shutdown(); // idempotent
    EXPECT_EQ(ran.load(), 100);

    // A sync caller must not be told its work ran when it did not: it runs on the caller now.
    bool syncRan = false;
    queue.sync([&] {
        EXPECT_TRUE(queue.isCurrent());
        syncRan = true;
    });
    EXPECT_TRUE(syncRan);
}

TEST(SerialQueue, DestructionFromAnotherThreadFinishesQueuedWork) {
    auto queue = std::make_unique<SerialQueue>("Lumavane.test");
    std::atomic<int> ran{0};
    for (int i = 0; i < 50; ++i) {
        queue->async([&] {
            std::this_thread::sleep_for(100us);
            ran.fetch_add(1);
        });
    }
    std::thread destroyer([q = std::move(queue)]() mutable { q.reset(); });
    destroyer.join();
    EXPECT_EQ(ran.load(), 50);
}

TEST(SerialQueue, DestructionFromItsOwnWorkDoesNotDeadlock) {
    auto queue = std::make_shared<SerialQueue>("Lumavane.test");
    Gate gate;
    std::promise<void> after;
    std::weak_ptr<SerialQueue> weak = queue;
    queue->async([&, owner = queue]() mutable {
        gate.wait();
        owner.reset(); // the last reference: the queue is destroyed on its own thread
    });
    queue->async([&] { after.set_value(); }); // already queued: still runs
    queue.reset();
    gate.open();
    ASSERT_EQ(after.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(weak.expired());
}

} // namespace
} // namespace lumavane
