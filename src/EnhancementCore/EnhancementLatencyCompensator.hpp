#pragma once

#include <optional>

namespace lumavane {

// Running estimate of how long enhancing one frame takes, turned into the lead
// time by which frames are requested ahead of the audio clock. A plain value:
// copy it freely; it does no locking.
class EnhancementLatencyCompensator {
public:
    explicit EnhancementLatencyCompensator(double maximumLeadSeconds);

    // Takes one measured enhancement duration; negative and non-finite samples are ignored.
    void record(double seconds);
    double leadSeconds(double frameRate) const;
    // Forgets the estimate; the maximum stays.
    void reset();

    const std::optional<double>& estimatedSeconds() const noexcept { return estimatedSeconds_; }
    double jitterSeconds() const noexcept { return jitterSeconds_; }
    double maximumLeadSeconds() const noexcept { return maximumLeadSeconds_; }

private:
    std::optional<double> estimatedSeconds_;
    double jitterSeconds_ = 0;
    double maximumLeadSeconds_;
};

} // namespace lumavane
