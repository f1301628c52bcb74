#pragma once

#include "Platform/Foundation/MainExecutor.hpp"

#include <atomic>
#include <mutex>
#include <set>

class QObject;

namespace lumavane {

// The main executor of the application: Qt's GUI thread, through queued calls on `context`.
class QtMainExecutor final : public MainExecutor {
public:
    explicit QtMainExecutor(QObject* context);
    void post(std::function<void()> work) override;
    TaskId postAfter(double delaySeconds, std::function<void()> work) override;
    void cancel(TaskId id) override;
    bool isMainThread() const override;
    double now() const override;

private:
    QObject* context_;
    std::atomic<TaskId> nextId_{1};
    std::mutex mutex_;
    std::set<TaskId> cancelled_;
};

} // namespace lumavane
