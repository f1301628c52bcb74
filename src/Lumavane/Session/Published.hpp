#pragma once

#include "Platform/Foundation/Signal.hpp"

#include <functional>
#include <utility>

namespace lumavane {

class PlayerSession;

// A session property that views observe: readable by anyone, assigned only by the session,
// which announces every assignment (equal values included) after storing it.
template <typename T> class Published {
public:
    explicit Published(T initial) : value_(std::move(initial)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& get() const noexcept { return value_; }
    const T& operator()() const noexcept { return value_; }

    [[nodiscard]] Connection observe(std::function<void(const T&)> onChange) {
        return changed_.connect(std::move(onChange));
    }

private:
    friend class PlayerSession;
    void set(T value) {
        value_ = std::move(value);
        changed_.emit(value_);
    }

    T value_;
    Signal<const T&> changed_;
};

// A value that changes often (position, statistics, history). It announces only real changes,
// so a view that shows it is redrawn only when what it shows differs.
template <typename T> class PlaybackReadout {
public:
    explicit PlaybackReadout(T initial) : value_(std::move(initial)) {}
    PlaybackReadout(const PlaybackReadout&) = delete;
    PlaybackReadout& operator=(const PlaybackReadout&) = delete;

    const T& value() const noexcept { return value_; }

    void update(T value) {
        if (value == value_) return;
        value_ = std::move(value);
        changed_.emit(value_);
    }

    [[nodiscard]] Connection observe(std::function<void(const T&)> onChange) {
        return changed_.connect(std::move(onChange));
    }

private:
    T value_;
    Signal<const T&> changed_;
};

} // namespace lumavane
