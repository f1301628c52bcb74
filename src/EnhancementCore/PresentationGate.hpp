#pragma once

#include <memory>
#include <optional>

namespace lumavane {

// Remembers what was last handed to the display and tells whether a new
// hand-over would change anything. Frames are compared by object identity
// (the address of the shared object), never by content. The gate holds strong
// references to the last accepted frames, so an address cannot be reused by a
// new frame while it is being compared against. Not thread-safe.
class PresentationGate {
public:
    using Object = std::shared_ptr<const void>;

    PresentationGate() = default;

    // True when the hand-over should happen (and is now remembered); false when
    // it would present exactly what was accepted last.
    bool accept(Object primary, Object secondary, std::optional<double> split);
    void reset();

    const Object& primary() const noexcept { return primary_; }
    const Object& secondary() const noexcept { return secondary_; }
    const std::optional<double>& split() const noexcept { return split_; }
    bool initialized() const noexcept { return initialized_; }

private:
    Object primary_;
    Object secondary_;
    std::optional<double> split_;
    bool initialized_ = false;
};

} // namespace lumavane
