#include "Lumavane/Presentation/SurfaceClock.hpp"

#include <algorithm>
#include <cmath>

namespace lumavane {

void DisplayLinkTimeline::setInterval(double interval) {
    if (!(interval > 0) || interval == interval_) return;
    interval_ = interval;
    origin_ = last_; // the new grid starts at the last target
}

double DisplayLinkTimeline::nextTarget(double now) {
    if (!origin_) origin_ = now;
    double target = *origin_ + (std::floor((now - *origin_) / interval_) + 1) * interval_;
    if (last_ && target <= *last_) target = *last_ + interval_;
    last_ = target;
    return target;
}

double DisplayLinkTimeline::delayUntilNext(double now) const {
    if (!origin_) return 0;
    const double next = *origin_ + (std::floor((now - *origin_) / interval_) + 1) * interval_;
    return std::max(next - now, 0.0);
}

void PointerGesture::press(double x, double y) {
    pressed_ = Point{x, y};
    dragged_ = false;
}

PointerGesture::Drag PointerGesture::drag(double x, double y, bool fullScreen) {
    if (!pressed_ || dragged_) return Drag::none;
    if (std::hypot(x - pressed_->x, y - pressed_->y) < dragDistance) return Drag::none;
    dragged_ = true;
    return fullScreen ? Drag::ignore : Drag::moveWindow;
}

bool PointerGesture::release(bool insideView) {
    const bool toggle = pressed_ && !dragged_ && insideView;
    pressed_.reset();
    dragged_ = false;
    return toggle;
}

} // namespace lumavane
