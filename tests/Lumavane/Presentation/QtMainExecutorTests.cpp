// The application's main executor: work from other threads reaches the GUI thread in order, with
// what those threads wrote before posting (under ThreadSanitizer this is also the check that the
// hand-over is one it can see), and work that destroys the executor drops what was still queued.
#include "Lumavane/Presentation/QtMainExecutor.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QObject>
#include <QThread>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace lumavane {
namespace {

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "QtMainExecutorTests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    return *app;
}

bool processUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < deadline) QCoreApplication::processEvents();
    return done();
}

TEST(QtMainExecutor, WorkFromOtherThreadsRunsOnTheGuiThreadInOrderWithWhatItCarries) {
    application();
    QObject context;
    QtMainExecutor executor(&context);
    constexpr int threads = 4;
    constexpr int posts = 200;
    std::vector<std::vector<int>> received(threads);
    int ran = 0;
    bool offThread = false;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < posts; ++i) {
                // Written here and read there: the hand-over must order it.
                auto carried = std::make_unique<std::string>(std::to_string(i));
                executor.post([&, t, carried = std::shared_ptr<std::string>(std::move(carried))] {
                    offThread = offThread || QThread::currentThread() != context.thread();
                    received[t].push_back(std::stoi(*carried));
                    ++ran;
                });
            }
        });
    }
    // The GUI thread keeps turning meanwhile, as the application's does.
    EXPECT_TRUE(processUntil([&] { return ran == threads * posts; }));
    for (std::thread& worker : workers) worker.join();
    EXPECT_FALSE(offThread);
    for (int t = 0; t < threads; ++t) {
        ASSERT_EQ(received[t].size(), std::size_t(posts));
        for (int i = 0; i < posts; ++i) EXPECT_EQ(received[t][i], i);
    }
}

TEST(QtMainExecutor, WorkThatDestroysTheExecutorDropsWhatWasStillQueued) {
    application();
    QObject context;
    auto executor = std::make_unique<QtMainExecutor>(&context);
    std::vector<std::string> ran;
    executor->post([&] { ran.push_back("first"); });
    executor->post([&] {
        ran.push_back("destroys");
        executor.reset();
    });
    executor->post([&] { ran.push_back("dropped"); });
    EXPECT_TRUE(processUntil([&] { return !executor; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "destroys"}));
}

} // namespace
} // namespace lumavane
