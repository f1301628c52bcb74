#include "Lumavane/Session/AutoProcessingPolicy.hpp"

#include <algorithm>
#include <cmath>

namespace lumavane {

namespace {

constexpr double windowSeconds = 1.0;
constexpr double percentile = 0.9;
constexpr double strugglingBudgetShare = 0.9;
constexpr double strugglingRateShare = 0.85;
constexpr double demoteAfterSeconds = 2.0;
constexpr double headroomFactor = 2.5;
constexpr double headroomBudgetShare = 0.65;
constexpr double promotionRateShare = 0.9;
constexpr double promoteAfterSeconds = 8.0;
constexpr double holdSeconds = 60.0;

bool positiveFinite(double value) { return std::isfinite(value) && value > 0; }

} // namespace

void AutoProcessingPolicy::resetMeasurements() {
    windowStart.reset();
    lastSample.reset();
    goodSince.reset();
    badSince.reset();
    samples.clear(); // keeps its storage
}

void AutoProcessingPolicy::modelLoadFailed(double now) {
    promoteAfter = now + holdSeconds;
    retryAfter = now + holdSeconds;
    resetMeasurements();
}

std::optional<BundledModelPreset> AutoProcessingPolicy::record(double milliseconds, double fps, double now,
                                                               BundledModelPreset active) {
    if (!positiveFinite(milliseconds) || !positiveFinite(fps) || !std::isfinite(now) || retryAfter > now ||
        active == BundledModelPreset::automatic) {
        return std::nullopt;
    }
    // A pause, seek or stall is no evidence of slow processing.
    if (lastSample && now - *lastSample > std::max(1.0, 2 * milliseconds / 1000)) resetMeasurements();
    lastSample = now;
    if (!windowStart) {
        windowStart = now;
        return std::nullopt;
    }

    samples.push_back(milliseconds);
    const double elapsed = now - *windowStart;
    if (elapsed < windowSeconds || samples.size() < 3) return std::nullopt;

    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    const double p90 = samples[std::min(n - 1, static_cast<std::size_t>(double(n) * percentile))];
    const double rate = double(n) / elapsed;
    const double budget = 1000 / fps;
    windowStart = now;
    samples.clear();

    if (active == BundledModelPreset::quality) {
        goodSince.reset();
        const bool struggling = p90 > strugglingBudgetShare * budget || rate < strugglingRateShare * fps;
        if (!struggling) {
            badSince.reset();
            return std::nullopt;
        }
        if (!badSince) badSince = now;
        if (now - *badSince < demoteAfterSeconds) return std::nullopt;
        promoteAfter = now + holdSeconds;
        resetMeasurements();
        return BundledModelPreset::fast;
    }

    badSince.reset();
    const bool headroom = p90 * headroomFactor < headroomBudgetShare * budget && rate >= promotionRateShare * fps;
    if (!headroom) {
        goodSince.reset();
        return std::nullopt;
    }
    if (!goodSince) goodSince = now;
    if (promoteAfter > now || now - *goodSince < promoteAfterSeconds) return std::nullopt;
    resetMeasurements();
    return BundledModelPreset::quality;
}

} // namespace lumavane
