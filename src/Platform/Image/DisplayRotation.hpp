#pragma once

#include "Platform/Image/Geometry.hpp"

#include <cmath>
#include <numbers>

namespace lumavane::image {

// A video's display rotation turns its stored pictures counter-clockwise by that many degrees, as
// FFmpeg's display matrix states it (GStreamer's "rotate-N" orientation tags turn clockwise: -N).
// Every road that shows a picture (the players' frames, seek thumbnails, captures) stands it upright
// with uprightTransform, so they all agree with ffmpeg's own autorotated render.

// The quarter turn, 0, 90, 180 or 270, that a rotation stands for when it lies within a degree of
// it, as ffmpeg judges it. Any other rotation, or one that is not finite, gives 0: the picture is not
// skewed (ffmpeg shows such a one turned and cropped to the stored size; GStreamer not at all).
inline int quarterTurnDegrees(double counterClockwiseDegrees) {
    if (!std::isfinite(counterClockwiseDegrees)) return 0;
    const double turned = counterClockwiseDegrees - 360.0 * std::floor(counterClockwiseDegrees / 360.0);
    const double quarter = std::round(turned / 90.0);
    if (std::fabs(turned - quarter * 90.0) >= 1.0) return 0;
    return static_cast<int>(quarter) % 4 * 90;
}

// Turns a stored picture of `width` x `height` upright in image space (origin at the lower left, y up,
// where a positive rotation is counter-clockwise), with its lower-left corner at the origin.
inline AffineTransform uprightTransform(double counterClockwiseDegrees, double width, double height) {
    const int degrees = quarterTurnDegrees(counterClockwiseDegrees);
    const AffineTransform turn = AffineTransform::rotation(degrees * std::numbers::pi / 180.0);
    const Rect turned = Rect{0, 0, width, height}.applying(turn);
    return turn.concatenating(AffineTransform::translation(-turned.x, -turned.y));
}

} // namespace lumavane::image
