#include "EnhancementCore/PresentationGate.hpp"

#include <utility>

namespace lumavane {

namespace {
bool sameObject(const PresentationGate::Object& a, const PresentationGate::Object& b) {
    return a.get() == b.get();
}

// A NaN split never matches, not even itself.
bool sameSplit(const std::optional<double>& a, const std::optional<double>& b) {
    if (!a || !b) return !a && !b;
    return *a == *b;
}
} // namespace

bool PresentationGate::accept(Object primary, Object secondary, std::optional<double> split) {
    if (initialized_ && sameObject(primary_, primary) && sameObject(secondary_, secondary) &&
        sameSplit(split_, split)) {
        return false;
    }
    primary_ = std::move(primary);
    secondary_ = std::move(secondary);
    split_ = split;
    initialized_ = true;
    return true;
}

void PresentationGate::reset() {
    primary_.reset();
    secondary_.reset();
    split_.reset();
    initialized_ = false;
}

} // namespace lumavane
