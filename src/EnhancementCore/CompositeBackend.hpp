#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumavane {

// How finished tiles are placed into the output frame.
enum class CompositeBackend { coreImage, metal };

inline std::string rawValue(CompositeBackend backend) {
    return backend == CompositeBackend::metal ? "metal" : "coreImage";
}

// Only the exact raw texts are accepted.
template <typename T> std::optional<T> fromRawValue(std::string_view raw);

template <> inline std::optional<CompositeBackend> fromRawValue<CompositeBackend>(std::string_view raw) {
    if (raw == "coreImage") return CompositeBackend::coreImage;
    if (raw == "metal") return CompositeBackend::metal;
    return std::nullopt;
}

} // namespace lumavane
