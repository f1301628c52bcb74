#pragma once

#include "Platform/Image/Geometry.hpp"

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lumavane::media {

// One choice of an audible selection group: an audio stream the player can switch to.
struct MediaSelectionOption {
    std::string displayName;
    std::optional<std::string> extendedLanguageTag; // BCP 47 tag when the file names a language
    std::optional<std::string> localeIdentifier;    // the file's own language code

    bool operator==(const MediaSelectionOption&) const = default;
};

// The audio streams a player item can choose between, in stream order.
struct MediaSelectionGroup {
    std::vector<MediaSelectionOption> options;
    std::optional<std::size_t> defaultOption; // index into options

    bool operator==(const MediaSelectionGroup&) const = default;
};

// What an asset's inspection found. Only `isPlayable` is meaningful when it is false.
struct AssetProperties {
    bool isPlayable = false;
    std::size_t videoTrackCount = 0;
    float nominalFrameRate = 0;              // of the first video track; 0 when unknown
    image::AffineTransform preferredTransform; // of the first video track, from its rotation tag
    double durationSeconds = 0;              // from the media's start (MediaTimeline); NaN when the file does not tell
    std::size_t audioTrackCount = 0;
    std::optional<MediaSelectionGroup> audibleGroup; // only with two or more audio streams
    int width = 0;                                   // coded size of the first video track
    int height = 0;
};

// Marks an inspection stale, from any thread. GStreamer's discoverer cannot be stopped while it
// works (its stop deadlocks against its own streaming threads), so a stale inspection runs on to
// its own end, bounded by its timeout, and then reports its file not playable without reading more.
class InspectionCancellation {
public:
    void cancel() { cancelled_ = true; }
    bool isCancelled() const { return cancelled_; }

private:
    std::atomic<bool> cancelled_{false};
};

// Inspects a local file with GStreamer's discoverer; blocks up to `timeoutSeconds` once the file is
// open (opening it blocks for as long as the file system likes), any thread. A file GStreamer cannot
// read, or cannot decode with the installed plug-ins, is not playable, and neither is a video stream
// in no container (raw H.264, HEVC or MPEG video), whose length GStreamer can only guess.
// Throws PlatformError("Lumavane.Media", 1, ...) only when the file does not exist.
AssetProperties inspectAsset(const std::filesystem::path& path, double timeoutSeconds = 10,
                             InspectionCancellation* cancellation = nullptr);

// The transform that turns a stored picture of `width` x `height` pixels upright in image space
// (origin at the lower left, y up) for a clockwise display rotation in degrees, as GStreamer's
// orientation tags give it (image::uprightTransform, which applies only quarter turns).
image::AffineTransform transformForRotation(double degrees, double width, double height);

inline constexpr const char* errorDomain = "Lumavane.Media";

} // namespace lumavane::media
