#pragma once

#include "Platform/Image/Image.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace lumavane {

// How the picture is fitted into the surface; the views store the raw value under
// "player.aspectMode".
enum class VideoAspectMode { automatic, fit, fill, ratio16x9, ratio4x3, ratio1x1, ratio21x9 };

inline constexpr std::array<VideoAspectMode, 7> allVideoAspectModes{
    VideoAspectMode::automatic, VideoAspectMode::fit,      VideoAspectMode::fill,
    VideoAspectMode::ratio16x9, VideoAspectMode::ratio4x3, VideoAspectMode::ratio1x1,
    VideoAspectMode::ratio21x9};

std::string_view rawValue(VideoAspectMode mode);
std::optional<VideoAspectMode> videoAspectModeFromRawValue(std::string_view raw);

// The picture translated to start at (0, 0), scaled and placed inside a target
// rectangle whose origin is (0, 0), and the rectangle its content covers.
struct FittedImage {
    image::Image image;
    image::Rect contentRect;
};

// Only the geometry: the transform that places an ew × eh extent (starting at 0, 0) in
// W × H, the content rectangle, and whether the result is cropped to the target.
struct AspectFit {
    image::AffineTransform transform;
    image::Rect contentRect;
    bool croppedToTarget = false;
};
AspectFit aspectFit(double ew, double eh, double W, double H, VideoAspectMode mode,
                    std::optional<double> sourceAspectRatio);

FittedImage fittedImage(const image::Image& picture, const image::Rect& target, VideoAspectMode mode,
                        std::optional<double> sourceAspectRatio);

} // namespace lumavane
