#include "Lumavane/Presentation/VideoAspectMode.hpp"

#include <algorithm>
#include <cmath>

namespace lumavane {

namespace {

constexpr std::array<std::string_view, 7> rawValues{"automatic", "fit",     "fill",     "ratio16x9",
                                                     "ratio4x3",  "ratio1x1", "ratio21x9"};

std::optional<double> fixedRatio(VideoAspectMode mode) {
    switch (mode) {
    case VideoAspectMode::ratio16x9: return 16.0 / 9.0;
    case VideoAspectMode::ratio4x3: return 4.0 / 3.0;
    case VideoAspectMode::ratio1x1: return 1.0;
    case VideoAspectMode::ratio21x9: return 21.0 / 9.0;
    default: return std::nullopt;
    }
}

} // namespace

std::string_view rawValue(VideoAspectMode mode) { return rawValues[std::size_t(mode)]; }

std::optional<VideoAspectMode> videoAspectModeFromRawValue(std::string_view raw) {
    for (std::size_t i = 0; i < rawValues.size(); ++i)
        if (rawValues[i] == raw) return allVideoAspectModes[i];
    return std::nullopt;
}

AspectFit aspectFit(double ew, double eh, double W, double H, VideoAspectMode mode,
                    std::optional<double> sourceAspectRatio) {
    const image::Rect target{0, 0, W, H};
    std::optional<double> ratio = fixedRatio(mode);
    if (mode == VideoAspectMode::automatic) ratio = sourceAspectRatio;
    if (ratio) {
        // Stretched to the ratio, as large as fits.
        const double r = *ratio;
        const double w = r * H < W ? r * H : W, h = w / r;
        const double x = (W - w) / 2, y = (H - h) / 2;
        return {image::AffineTransform::scale(w / ew, h / eh).concatenating(
                    image::AffineTransform::translation(x, y)),
                {x, y, w, h}, false};
    }
    if (mode == VideoAspectMode::fit)
        return {image::AffineTransform::scale(W / ew, H / eh), target, false};
    const double s = mode == VideoAspectMode::fill ? std::max(W / ew, H / eh) : std::min(W / ew, H / eh);
    const double x = (W - s * ew) / 2, y = (H - s * eh) / 2;
    return {image::AffineTransform::scale(s, s).concatenating(image::AffineTransform::translation(x, y)),
            image::Rect{x, y, s * ew, s * eh}.intersection(target), true};
}

FittedImage fittedImage(const image::Image& picture, const image::Rect& target, VideoAspectMode mode,
                        std::optional<double> sourceAspectRatio) {
    const image::Rect extent = picture.extent();
    const image::Image origin =
        picture.transformed(image::AffineTransform::translation(-extent.x, -extent.y));
    const AspectFit fit = aspectFit(extent.width, extent.height, target.width, target.height, mode,
                                    sourceAspectRatio);
    // Resampled, the outermost pixels would be blended with the transparent surroundings, a dark
    // rim that covers most of a tiny picture: the border pixels go on instead, up to the content
    // rectangle's edge. A picture moved by whole pixels only is copied as it is.
    const image::AffineTransform& t = fit.transform;
    const auto whole = [](double v) { return v == std::floor(v); };
    const bool resampled = !(t.a == 1 && t.b == 0 && t.c == 0 && t.d == 1 && whole(t.tx) && whole(t.ty));
    image::Image placed = (resampled ? origin.clampedToExtent() : origin).transformed(t);
    if (resampled || fit.croppedToTarget) placed = placed.cropped(fit.contentRect);
    return {placed, fit.contentRect};
}

} // namespace lumavane
