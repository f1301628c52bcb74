#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace lumavane {

// What connect() returns: the slot stays connected while this object lives (or until
// disconnect()). It may outlive its signal.
class Connection {
public:
    Connection() = default;
    explicit Connection(std::function<void()> disconnect) : disconnect_(std::move(disconnect)) {}
    ~Connection() { disconnect(); }
    Connection(Connection&& other) noexcept : disconnect_(std::exchange(other.disconnect_, nullptr)) {}
    Connection& operator=(Connection&& other) noexcept {
        if (this != &other) {
            disconnect();
            disconnect_ = std::exchange(other.disconnect_, nullptr);
        }
        return *this;
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void disconnect() {
        if (auto disconnect = std::exchange(disconnect_, nullptr)) disconnect();
    }
    bool connected() const noexcept { return static_cast<bool>(disconnect_); }

private:
    std::function<void()> disconnect_;
};

// A list of observers of plain C++ state. Single-threaded: connect, disconnect and emit on
// one thread (the main thread for the session and the stores). A slot may connect or
// disconnect slots, or drop the last Connection, while it is being called: slots disconnected
// during an emission are not called afterwards, slots connected during one are called from the
// next emission on.
template <typename... Args> class Signal {
public:
    Signal() = default;
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    [[nodiscard]] Connection connect(std::function<void(Args...)> slot) {
        auto entry = std::make_shared<Slot>(Slot{std::move(slot), true});
        slots_->push_back(entry);
        std::weak_ptr<std::vector<std::shared_ptr<Slot>>> list = slots_;
        return Connection([list, weak = std::weak_ptr<Slot>(entry)] {
            const auto slot = weak.lock();
            if (!slot) return;
            slot->connected = false;
            if (const auto slots = list.lock()) std::erase(*slots, slot);
        });
    }

    void emit(Args... args) const {
        // A copy, so slots may change the list while it is walked.
        const std::vector<std::shared_ptr<Slot>> current = *slots_;
        for (const auto& slot : current) {
            if (slot->connected) slot->function(args...);
        }
    }

    std::size_t connectionCount() const noexcept { return slots_->size(); }

private:
    struct Slot {
        std::function<void(Args...)> function;
        bool connected;
    };
    std::shared_ptr<std::vector<std::shared_ptr<Slot>>> slots_ =
        std::make_shared<std::vector<std::shared_ptr<Slot>>>();
};

} // namespace lumavane
