#include "EnhancementCore/PresentationGate.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <vector>

namespace lumavane {
namespace {

struct Frame {
    std::vector<unsigned char> pixels;
};

std::shared_ptr<Frame> frame(unsigned char value) {
    return std::make_shared<Frame>(Frame{std::vector<unsigned char>(16, value)});
}

TEST(PresentationGate, FirstAcceptPresentsAndRepeatDoesNot) {
    PresentationGate gate;
    EXPECT_FALSE(gate.initialized());
    EXPECT_TRUE(gate.accept(nullptr, nullptr, std::nullopt));
    EXPECT_TRUE(gate.initialized());
    EXPECT_FALSE(gate.accept(nullptr, nullptr, std::nullopt));

    auto a = frame(1);
    auto b = frame(2);
    EXPECT_TRUE(gate.accept(a, b, 0.5));
    EXPECT_FALSE(gate.accept(a, b, 0.5));
    EXPECT_EQ(gate.primary().get(), a.get());
    EXPECT_EQ(gate.secondary().get(), b.get());
}

TEST(PresentationGate, ComparesFramesByIdentityNotContent) {
    PresentationGate gate;
    auto a = frame(7);
    auto twin = frame(7); // same pixels, another object
    ASSERT_EQ(a->pixels, twin->pixels);
    EXPECT_TRUE(gate.accept(a, nullptr, std::nullopt));
    EXPECT_TRUE(gate.accept(twin, nullptr, std::nullopt));
    EXPECT_FALSE(gate.accept(twin, nullptr, std::nullopt));

    // Each slot is compared on its own: swapping them is a change.
    auto b = frame(8);
    EXPECT_TRUE(gate.accept(twin, b, std::nullopt));
    EXPECT_TRUE(gate.accept(b, twin, std::nullopt));
    EXPECT_TRUE(gate.accept(b, nullptr, std::nullopt));
    // Any shared pointer to the same object is the same object.
    std::shared_ptr<const void> alias = b;
    EXPECT_FALSE(gate.accept(alias, nullptr, std::nullopt));
}

TEST(PresentationGate, KeepsAcceptedFramesAlive) {
    PresentationGate gate;
    auto a = frame(1);
    std::weak_ptr<Frame> watch = a;
    EXPECT_TRUE(gate.accept(a, nullptr, std::nullopt));
    a.reset();
    // Held by the gate, so no new frame can take its address while compared against.
    EXPECT_FALSE(watch.expired());
    EXPECT_TRUE(gate.accept(frame(2), nullptr, std::nullopt));
    EXPECT_TRUE(watch.expired());

    auto c = frame(3);
    watch = c;
    gate.accept(c, nullptr, std::nullopt);
    c.reset();
    gate.reset();
    EXPECT_TRUE(watch.expired());
}

TEST(PresentationGate, SplitChangesAndNaNNeverMatches) {
    PresentationGate gate;
    auto a = frame(1);
    auto b = frame(2);
    EXPECT_TRUE(gate.accept(a, b, 0.5));
    EXPECT_TRUE(gate.accept(a, b, std::nullopt));
    EXPECT_FALSE(gate.accept(a, b, std::nullopt));
    EXPECT_TRUE(gate.accept(a, b, 0.25));
    EXPECT_FALSE(gate.accept(a, b, 0.25));
    // -0 and 0 are equal as numbers.
    EXPECT_TRUE(gate.accept(a, b, 0.0));
    EXPECT_FALSE(gate.accept(a, b, -0.0));

    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(gate.accept(a, b, nan));
    EXPECT_TRUE(gate.accept(a, b, nan));
    EXPECT_TRUE(gate.accept(a, b, std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(gate.accept(a, b, std::numeric_limits<double>::infinity()));
}

TEST(PresentationGate, ResetForgetsEverything) {
    PresentationGate gate;
    auto a = frame(1);
    EXPECT_TRUE(gate.accept(a, nullptr, 0.5));
    gate.reset();
    EXPECT_FALSE(gate.initialized());
    EXPECT_EQ(gate.primary(), nullptr);
    EXPECT_EQ(gate.secondary(), nullptr);
    EXPECT_FALSE(gate.split().has_value());
    EXPECT_TRUE(gate.accept(a, nullptr, 0.5));
    EXPECT_FALSE(gate.accept(a, nullptr, 0.5));

    // Even the all-nil presentation is presented again after a reset.
    gate.reset();
    EXPECT_TRUE(gate.accept(nullptr, nullptr, std::nullopt));
}

} // namespace
} // namespace lumavane
