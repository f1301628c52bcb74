#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumavane {

// Which picture the player shows.
enum class ViewMode { original, enhanced, compare };
// Whether the picture effects run on the source (before the model) or on the enhanced picture.
enum class FXPipelineOrder { afterUpscale, beforeUpscale };
// The requested output size: the on-screen size, or a fixed factor.
enum class OutputScale { optimal, two, four };

// The stored texts: "Original"/"Enhanced"/"Compare", "afterUpscale"/"beforeUpscale", "最適"/"2×"/"4×".
std::string rawValue(ViewMode mode);
std::string rawValue(FXPipelineOrder order);
std::string rawValue(OutputScale scale);
std::optional<ViewMode> viewModeFromRawValue(std::string_view raw);
std::optional<FXPipelineOrder> fxPipelineOrderFromRawValue(std::string_view raw);
std::optional<OutputScale> outputScaleFromRawValue(std::string_view raw);

// The enhancement numbers the statistics readout shows.
struct PlaybackStatistics {
    double processingMS = 0;
    double enhancedFPS = 0;
    int tiles = 0;
    double frameAgeMS = 0;
    double displayGPUms = 0;
    bool operator==(const PlaybackStatistics&) const = default;
};

// A size in pixels (the display surface's drawable).
struct PixelSize {
    double width = 0;
    double height = 0;
    bool operator==(const PixelSize&) const = default;
};

// The speeds the player offers.
inline const std::vector<double>& playbackRates() {
    static const std::vector<double> rates = {0.75, 1.0, 1.2, 1.5, 2.0};
    return rates;
}

// The offered rate within 0.001 of `rate`, or nothing (non-finite rates included).
std::optional<double> snappedPlaybackRate(double rate);

} // namespace lumavane
