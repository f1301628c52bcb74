#include "Lumavane/Presentation/QtMainExecutor.hpp"

#include "Platform/Foundation/HostClock.hpp"

#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <system_error>

#include <sys/eventfd.h>
#include <unistd.h>

namespace lumavane {

QtMainExecutor::QtMainExecutor(QObject* context)
    : context_(context), wakeup_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wakeup_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    notifier_ = std::make_unique<QSocketNotifier>(wakeup_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { runPosted(); });
}

QtMainExecutor::~QtMainExecutor() {
    notifier_->setEnabled(false);
    // Destroyed by work it runs: the notifier is still delivering its signal.
    if (running_ > 0) notifier_.release()->deleteLater();
    notifier_.reset();
    close(wakeup_);
}

void QtMainExecutor::post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(work));
    }
    const std::uint64_t one = 1;
    // Fails only when the count is full, and then the GUI thread has been woken already.
    [[maybe_unused]] const ssize_t written = write(wakeup_, &one, sizeof one);
}

void QtMainExecutor::runPosted() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(wakeup_, &count, sizeof count);
    std::size_t due = 0;
    {
        std::lock_guard lock(mutex_);
        due = posted_.size();
    }
    // One item at a time and in order, also when one runs a nested event loop; what is posted
    // meanwhile waits for the next turn of the event loop, as Qt's queued calls do.
    const std::weak_ptr<const bool> alive = alive_;
    ++running_;
    for (; due > 0; --due) {
        std::function<void()> work;
        {
            std::lock_guard lock(mutex_);
            if (posted_.empty()) break;
            work = std::move(posted_.front());
            posted_.pop_front();
        }
        work();
        if (alive.expired()) return; // the work destroyed this executor; the rest goes with it
    }
    --running_;
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
