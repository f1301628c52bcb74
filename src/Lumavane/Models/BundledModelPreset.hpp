#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumavane {

// The shipped-model choice the player offers; the raw values are what the defaults store keeps.
enum class BundledModelPreset { automatic, fast, quality };

inline std::string rawValue(BundledModelPreset preset) {
    switch (preset) {
    case BundledModelPreset::automatic:
        return "AUTO";
    case BundledModelPreset::fast:
        return "高速";
    case BundledModelPreset::quality:
        return "高画質";
    }
    return "AUTO";
}

inline std::optional<BundledModelPreset> bundledModelPresetFromRawValue(std::string_view raw) {
    if (raw == "AUTO") return BundledModelPreset::automatic;
    if (raw == "高速") return BundledModelPreset::fast;
    if (raw == "高画質") return BundledModelPreset::quality;
    return std::nullopt;
}

} // namespace lumavane
