#include "Lumavane/Presentation/SurfaceClock.hpp"

#include <algorithm>
#include <cmath>

namespace lumavane {

void DisplayLinkTimeline::setInterval(double interval) {
    if (!(interval > 0) || interval == interval_) return;
    interval_ = interval;
    origin_ = last_; // the new grid starts at the last target
}

// A timer armed in whole milliseconds fires up to about one early: a firing that close to a
// refresh is taken as at it. Otherwise it prepares that refresh, hands out the one after it, and
// fires again at once for the one after it: the targets would run ahead of the clock.
double DisplayLinkTimeline::nextBoundary(double now) const {
    const double early = std::min(0.002, interval_ / 2);
    return *origin_ + (std::floor((now + early - *origin_) / interval_) + 1) * interval_;
}

double DisplayLinkTimeline::nextTarget(double now) {
    if (!origin_) origin_ = now;
    double target = nextBoundary(now);
    if (last_ && target <= *last_) target = *last_ + interval_;
    last_ = target;
    return target;
}

double DisplayLinkTimeline::delayUntilNext(double now) const {
    if (!origin_) return 0;
    return std::max(nextBoundary(now) - now, 0.0);
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
