#pragma once

#include <atomic>
#include <memory>

namespace lumavane {

// A shared flag that work checks between steps. Copies share the flag.
class CancellationToken {
public:
    CancellationToken() : flag_(std::make_shared<std::atomic<bool>>(false)) {}
    void cancel() const noexcept { flag_->store(true, std::memory_order_release); }
    bool isCancelled() const noexcept { return flag_->load(std::memory_order_acquire); }

private:
    std::shared_ptr<std::atomic<bool>> flag_;
};

// Thrown by work that stops because its token was cancelled.
struct CancellationError {};

} // namespace lumavane
