#include "Platform/Foundation/Signal.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace lumavane {
namespace {

TEST(Signal, SlotsMayDisconnectThemselvesAndOthersWhileCalled) {
    Signal<int> signal;
    std::vector<std::string> calls;
    std::optional<Connection> second;
    Connection first = signal.connect([&](int value) {
        calls.push_back("first " + std::to_string(value));
        second.reset(); // the later slot must not run in this same emission
        first.disconnect();
    });
    second.emplace(signal.connect([&](int) { calls.push_back("second"); }));
    Connection third = signal.connect([&](int) { calls.push_back("third"); });
    signal.emit(1);
    signal.emit(2);
    EXPECT_EQ(calls, (std::vector<std::string>{"first 1", "third", "third"}));
    EXPECT_EQ(signal.connectionCount(), 1u);
}

TEST(Signal, ConnectionsOutliveTheirSignalAndMovesKeepOneOwner) {
    int calls = 0;
    Connection kept;
    {
        auto signal = std::make_unique<Signal<>>();
        Connection moved = signal->connect([&] { ++calls; });
        kept = std::move(moved);
        EXPECT_FALSE(moved.connected());
        moved.disconnect(); // disconnecting the moved-from one changes nothing
        signal->emit();
    }
    kept.disconnect(); // signal gone: a no-op, not a crash
    EXPECT_EQ(calls, 1);
}

} // namespace
} // namespace lumavane
