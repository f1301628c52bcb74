#pragma once

#include <atomic>
#include <memory>

namespace lumavane {

// Thrown by work that stops because its token was cancelled.
struct CancellationError {};

// A shared flag that work checks between steps. Copies share the flag.
class CancellationToken {
public:
    CancellationToken() : flag_(std::make_shared<std::atomic<bool>>(false)) {}
    void cancel() const noexcept { flag_->store(true, std::memory_order_release); }
    bool isCancelled() const noexcept { return flag_->load(std::memory_order_acquire); }
    // Between steps of work that stops by throwing.
    void throwIfCancelled() const {
        if (isCancelled()) throw CancellationError{};
    }

private:
    std::shared_ptr<std::atomic<bool>> flag_;
};

// A token cancelled when its holder goes, so that work handed the token stops with its owner.
class ScopedCancellation {
public:
    ScopedCancellation() = default;
    ~ScopedCancellation() { token_.cancel(); }
    ScopedCancellation(const ScopedCancellation&) = delete;
    ScopedCancellation& operator=(const ScopedCancellation&) = delete;

    const CancellationToken& token() const noexcept { return token_; }
    void cancel() const noexcept { token_.cancel(); }
    // A fresh token for the next piece of work; the previous one is left as it is.
    void renew() { token_ = CancellationToken(); }

private:
    CancellationToken token_;
};

} // namespace lumavane
