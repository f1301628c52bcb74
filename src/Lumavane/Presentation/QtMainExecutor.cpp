#include "Lumavane/Presentation/QtMainExecutor.hpp"

#include "Platform/Foundation/HostClock.hpp"

#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <cmath>

namespace lumavane {

QtMainExecutor::QtMainExecutor(QObject* context) : context_(context) {}

void QtMainExecutor::post(std::function<void()> work) {
    QMetaObject::invokeMethod(context_, std::move(work), Qt::QueuedConnection);
}

MainExecutor::TaskId QtMainExecutor::postAfter(double delaySeconds, std::function<void()> work) {
    const TaskId id = nextId_++;
    const int ms = int(std::ceil(std::max(delaySeconds, 0.0) * 1000));
    post([this, id, ms, work = std::move(work)]() mutable {
        QTimer::singleShot(ms, Qt::PreciseTimer, context_, [this, id, work = std::move(work)] {
            {
                std::lock_guard lock(mutex_);
                if (cancelled_.erase(id)) return;
            }
            work();
        });
    });
    return id;
}

void QtMainExecutor::cancel(TaskId id) {
    std::lock_guard lock(mutex_);
    cancelled_.insert(id);
}

bool QtMainExecutor::isMainThread() const { return QThread::currentThread() == context_->thread(); }

double QtMainExecutor::now() const { return hostTimeSeconds(); }

} // namespace lumavane
