#pragma once

namespace lumavane {

// Stage times of one enhancement call, in milliseconds.
struct EnhancementTimings {
    double setupMS = 0;
    double prepareMS = 0;
    double predictionMS = 0;
    double compositeMS = 0;
    double compositeGPUMS = 0;
    int outputBackingHits = 0;
};

} // namespace lumavane
