#include "Lumavane/Session/PresentationFrames.hpp"

#include <cmath>

namespace lumavane {

double presentationTolerance(double sourceFPS) {
    if (std::isfinite(sourceFPS) && sourceFPS > 0) return std::min(0.25 / sourceFPS, 0.01);
    return 0.002;
}

image::Image compareComposite(const image::Image& enhanced, const image::Image& original, double split) {
    const image::Rect target = enhanced.extent();
    const image::Rect source = original.extent();
    // A zero or infinite extent would scale by infinity or NaN.
    if (target.isEmpty() || source.isEmpty() || target.isInfinite() || source.isInfinite()) return enhanced;
    const image::Image scaled = original.transformed(
        image::AffineTransform::scale(target.width / source.width, target.height / source.height));
    return scaled.cropped(image::Rect{0, 0, target.width * split, target.height}).composited(enhanced);
}

} // namespace lumavane
