#include "EnhancementCore/EnhancementLatencyCompensator.hpp"

#include <algorithm>
#include <cmath>

namespace lumavane {

namespace {
constexpr double jitterGain = 0.2;
constexpr double risingGain = 0.65;  // follow a rising latency quickly
constexpr double fallingGain = 0.12; // and a falling one slowly
} // namespace

// Written so that NaN falls to 0 as well.
EnhancementLatencyCompensator::EnhancementLatencyCompensator(double maximumLeadSeconds)
    : maximumLeadSeconds_(maximumLeadSeconds >= 0 ? maximumLeadSeconds + 0.0 : 0.0) {}

void EnhancementLatencyCompensator::record(double seconds) {
    if (!std::isfinite(seconds) || !(seconds >= 0)) return;
    // + 0.0 turns -0 into 0.
    const double s = std::min(seconds + 0.0, maximumLeadSeconds_);
    if (!estimatedSeconds_) {
        estimatedSeconds_ = s;
        return;
    }
    const double e = *estimatedSeconds_;
    jitterSeconds_ += (std::fabs(s - e) - jitterSeconds_) * jitterGain;
    estimatedSeconds_ = e + (s - e) * (s > e ? risingGain : fallingGain);
}

double EnhancementLatencyCompensator::leadSeconds(double frameRate) const {
    if (!estimatedSeconds_) return 0;
    const double margin = std::isfinite(frameRate) && frameRate > 0
                              ? std::max(0.5 / frameRate, 2 * jitterSeconds_)
                              : std::max(2 * jitterSeconds_, 1.0 / 120);
    return std::min(*estimatedSeconds_ + margin, maximumLeadSeconds_);
}

void EnhancementLatencyCompensator::reset() {
    estimatedSeconds_.reset();
    jitterSeconds_ = 0;
}

} // namespace lumavane
