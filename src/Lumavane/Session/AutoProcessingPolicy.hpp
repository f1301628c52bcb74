#pragma once

#include "Lumavane/Models/BundledModelPreset.hpp"

#include <optional>
#include <vector>

namespace lumavane {

// Chooses between the shipped fast and quality models while a video plays, from the time each
// enhancement took. Demotes after two seconds of struggling, promotes only after eight seconds
// of comfortable headroom, and waits after every switch and after a failed load. A plain value
// held by the session; all times are host seconds.
struct AutoProcessingPolicy {
    std::optional<double> windowStart;
    std::vector<double> samples; // milliseconds, this window
    std::optional<double> lastSample;
    std::optional<double> goodSince;
    std::optional<double> badSince;
    double promoteAfter = 0;
    double retryAfter = 0;

    // One completed enhancement: the model to switch to, or nothing to keep the current one.
    std::optional<BundledModelPreset> record(double milliseconds, double fps, double now,
                                             BundledModelPreset active);
    // Holds every decision for a minute and starts measuring afresh.
    void modelLoadFailed(double now);
    // Forgets the measurements; the two waiting times stay.
    void resetMeasurements();
};

} // namespace lumavane
