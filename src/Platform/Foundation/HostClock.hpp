#pragma once

namespace lumavane {

// Monotonic host time in seconds (CLOCK_MONOTONIC), the time base of display
// timestamps, timers and the audio clock.
double hostTimeSeconds() noexcept;

} // namespace lumavane
