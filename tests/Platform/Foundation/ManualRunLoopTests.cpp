#include "Platform/Foundation/ManualRunLoop.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace lumavane {
namespace {

TEST(ManualRunLoop, RunsPostedWorkInOrderIncludingWorkPostedWhileRunning) {
    ManualRunLoop loop;
    std::vector<std::string> order;
    loop.post([&] {
        order.push_back("a");
        loop.post([&] { order.push_back("c"); });
    });
    loop.post([&] { order.push_back("b"); });
    EXPECT_TRUE(order.empty()); // nothing runs until the loop is run
    EXPECT_EQ(loop.runUntilIdle(), 3u);
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(loop.runUntilIdle(), 0u);
}

TEST(ManualRunLoop, AdvanceRunsDelayedWorkInDeadlineOrderAtItsDeadline) {
    ManualRunLoop loop;
    std::vector<std::pair<std::string, double>> ran;
    auto record = [&](const std::string& name) { return [&, name] { ran.emplace_back(name, loop.now()); }; };
    loop.postAfter(3.5, record("three and a half"));
    loop.postAfter(1.0, [&] {
        ran.emplace_back("one", loop.now());
        // Immediate work posted by delayed work runs before the next deadline.
        loop.post(record("one's follow-up"));
        // Delayed work falling inside the advanced span runs within the same advance.
        loop.postAfter(0.5, record("one and a half"));
    });
    loop.postAfter(2.0, record("two"));
    loop.postAfter(1.0, record("one, posted later"));

    EXPECT_EQ(loop.runUntilIdle(), 0u); // nothing is due at time 0
    EXPECT_EQ(loop.advance(0.5), 0u);
    EXPECT_DOUBLE_EQ(loop.now(), 0.5);

    EXPECT_EQ(loop.advance(2.5), 5u);
    EXPECT_DOUBLE_EQ(loop.now(), 3.0);
    const std::vector<std::pair<std::string, double>> expected{
        {"one", 1.0}, {"one's follow-up", 1.0}, {"one, posted later", 1.0}, {"one and a half", 1.5},
        {"two", 2.0},
    };
    EXPECT_EQ(ran, expected);

    // Reaching a deadline exactly counts as due.
    EXPECT_EQ(loop.advance(0.5), 1u);
    EXPECT_EQ(ran.back(), std::make_pair(std::string("three and a half"), 3.5));
}

TEST(ManualRunLoop, NegativeOrNaNDelaysMeanNow) {
    ManualRunLoop loop;
    int ran = 0;
    loop.postAfter(-5, [&] { ++ran; });
    loop.postAfter(std::numeric_limits<double>::quiet_NaN(), [&] { ++ran; });
    EXPECT_EQ(loop.runUntilIdle(), 2u);
    EXPECT_EQ(ran, 2);
    loop.advance(-1);
    EXPECT_DOUBLE_EQ(loop.now(), 0.0);
}

TEST(ManualRunLoop, CancelledWorkNeverRuns) {
    ManualRunLoop loop;
    std::vector<int> ran;
    const auto first = loop.postAfter(1.0, [&] { ran.push_back(1); });
    const auto second = loop.postAfter(1.0, [&] { ran.push_back(2); });
    loop.postAfter(0.5, [&] { loop.cancel(second); }); // cancelled by earlier work
    loop.cancel(first);
    loop.cancel(987654); // unknown ids are ignored
    loop.postAfter(2.0, [&] { ran.push_back(3); });
    loop.advance(5.0);
    EXPECT_EQ(ran, std::vector<int>{3});
    loop.cancel(first); // already gone: ignored
}

TEST(ManualRunLoop, RunUntilRunsWorkPostedFromOtherThreadsOrGivesUpAfterTheTimeout) {
    ManualRunLoop loop;
    EXPECT_TRUE(loop.isMainThread());
    std::atomic<int> posted{0};
    int ran = 0;
    bool onMainThread = true;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            EXPECT_FALSE(loop.isMainThread());
            for (int i = 0; i < 100; ++i) {
                loop.post([&] {
                    onMainThread = onMainThread && loop.isMainThread();
                    ++ran;
                });
                posted.fetch_add(1);
            }
        });
    }
    EXPECT_TRUE(loop.runUntil([&] { return ran == 400; }, 10.0));
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(ran, 400);
    EXPECT_TRUE(onMainThread);

    bool late = false;
    loop.postAfter(1.0, [&] { late = true; }); // virtual time: never due while waiting
    EXPECT_FALSE(loop.runUntil([&] { return late; }, 0.05));
    EXPECT_FALSE(late);
    EXPECT_DOUBLE_EQ(loop.now(), 0.0); // real waiting does not move virtual time
}

} // namespace
} // namespace lumavane
