#include "Lumavane/Session/SessionTypes.hpp"

#include <cmath>

namespace lumavane {

std::string rawValue(ViewMode mode) {
    switch (mode) {
    case ViewMode::original:
        return "Original";
    case ViewMode::enhanced:
        return "Enhanced";
    case ViewMode::compare:
        return "Compare";
    }
    return "Compare";
}

std::string rawValue(FXPipelineOrder order) {
    return order == FXPipelineOrder::beforeUpscale ? "beforeUpscale" : "afterUpscale";
}

std::string rawValue(OutputScale scale) {
    switch (scale) {
    case OutputScale::optimal:
        return "最適";
    case OutputScale::two:
        return "2×";
    case OutputScale::four:
        return "4×";
    }
    return "最適";
}

std::optional<ViewMode> viewModeFromRawValue(std::string_view raw) {
    if (raw == "Original") return ViewMode::original;
    if (raw == "Enhanced") return ViewMode::enhanced;
    if (raw == "Compare") return ViewMode::compare;
    return std::nullopt;
}

std::optional<FXPipelineOrder> fxPipelineOrderFromRawValue(std::string_view raw) {
    if (raw == "afterUpscale") return FXPipelineOrder::afterUpscale;
    if (raw == "beforeUpscale") return FXPipelineOrder::beforeUpscale;
    return std::nullopt;
}

std::optional<OutputScale> outputScaleFromRawValue(std::string_view raw) {
    if (raw == "最適") return OutputScale::optimal;
    if (raw == "2×") return OutputScale::two;
    if (raw == "4×") return OutputScale::four;
    return std::nullopt;
}

std::optional<double> snappedPlaybackRate(double rate) {
    if (!std::isfinite(rate)) return std::nullopt;
    for (const double offered : playbackRates()) {
        if (std::abs(rate - offered) <= 0.001) return offered;
    }
    return std::nullopt;
}

} // namespace lumavane
