#pragma once

#include <optional>

namespace lumavane {

// Target timestamps of a display link driven by a timer: the next refresh boundary of a grid
// of `interval` seconds, each strictly later than the one before, however late the timer
// fires. A restart keeps the grid going forward, so timestamps never run backwards.
class DisplayLinkTimeline {
public:
    explicit DisplayLinkTimeline(double interval) : interval_(interval > 0 ? interval : 1.0 / 60) {}
    double interval() const { return interval_; }
    void setInterval(double interval);
    // The refresh the frame being prepared at `now` is shown at.
    double nextTarget(double now);
    // Seconds from `now` until the timer should fire for the next refresh.
    double delayUntilNext(double now) const;

private:
    double nextBoundary(double now) const;

    double interval_;
    std::optional<double> origin_;
    std::optional<double> last_;
};

// A click toggles playback; a drag of 4 points or more moves the window instead (and does
// nothing in full screen).
class PointerGesture {
public:
    static constexpr double dragDistance = 4;
    enum class Drag { none, moveWindow, ignore };
    void press(double x, double y);
    // What a drag event to (x, y) asks for; only the first that crosses the distance asks.
    Drag drag(double x, double y, bool fullScreen);
    // True when the click toggles playback.
    bool release(bool insideView);
    bool pressed() const { return pressed_.has_value(); }

private:
    struct Point {
        double x, y;
    };
    std::optional<Point> pressed_;
    bool dragged_ = false;
};

} // namespace lumavane
