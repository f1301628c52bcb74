#include "EnhancementCore/PresentationGate.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <memory>

namespace lumavane {
namespace {

// Frames are compared by identity, slot by slot, with the split; NaN never matches.
TEST(PresentationGate, PresentsOnlyWhatChanged) {
    PresentationGate gate;
    auto a = std::make_shared<int>(7), twin = std::make_shared<int>(7), b = std::make_shared<int>(8);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(gate.initialized());
    const std::vector<
        std::tuple<PresentationGate::Object, PresentationGate::Object, std::optional<double>, bool>>
        steps = {
            {nullptr, nullptr, std::nullopt, true}, // the first hand-over, even of nothing
            {nullptr, nullptr, std::nullopt, false},
            {a, nullptr, std::nullopt, true},
            {twin, nullptr, std::nullopt, true}, // same content, another object
            {std::shared_ptr<const void>(twin), nullptr, std::nullopt, false},
            {twin, b, std::nullopt, true},
            {b, twin, std::nullopt, true}, // swapped slots
            {b, twin, 0.5, true},
            {b, twin, 0.5, false},
            {b, twin, 0.0, true},
            {b, twin, -0.0, false},
            {b, twin, nan, true},
            {b, twin, nan, true},
        };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto& [primary, secondary, split, presents] = steps[i];
        EXPECT_EQ(gate.accept(primary, secondary, split), presents) << "step " << i;
    }
    EXPECT_EQ(gate.primary().get(), b.get());
    EXPECT_EQ(gate.secondary().get(), twin.get());
}

TEST(PresentationGate, HoldsAcceptedFramesUntilReplacedOrReset) {
    PresentationGate gate;
    auto a = std::make_shared<int>(1);
    std::weak_ptr<int> watch = a;
    EXPECT_TRUE(gate.accept(a, nullptr, 0.5));
    a.reset();
    // Held by the gate, so no new frame can take its address while compared against.
    EXPECT_FALSE(watch.expired());
    EXPECT_TRUE(gate.accept(std::make_shared<int>(2), nullptr, 0.5));
    EXPECT_TRUE(watch.expired());

    gate.reset();
    EXPECT_FALSE(gate.initialized() || gate.primary() || gate.split());
    EXPECT_TRUE(gate.accept(nullptr, nullptr, std::nullopt));
}

} // namespace
} // namespace lumavane
