#pragma once

#include <QColor>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>

namespace lumavane {

// "%d:%02d" of whole seconds, cut toward zero (0 for negative or not finite); minutes are not
// wrapped into hours, so 90 minutes read 90:00.
std::string transportTimeText(double seconds);

// The seek bar: a thin track with a tinted progress fill and a knob. It follows the pointer while
// it hovers (reporting the hovered fraction), runs its own drag (reporting its start and end and a
// value for every move), and never lets the bound value move the knob during a drag.
class SeekSlider final : public QWidget {
    Q_OBJECT
public:
    // The knob's half width: hover and drag map x onto the track between two such insets.
    static constexpr double knobInset = 8;
    // The fraction of the bar at x: 0 for a bar without width, clamped to 0...1, never NaN.
    static double fraction(double x, double width);
    // The part of the track filled for a value: 0 ... 1, 0 for NaN or an empty range.
    static double progress(double value, double maximum);

    explicit SeekSlider(QWidget* parent = nullptr);

    // The range is 0 ... max(maximum, 1) (1 for NaN).
    void setMaximum(double maximum);
    double maximum() const { return maximum_; }
    // The bound value; ignored while dragging.
    void setValue(double value);
    double value() const { return value_; }
    void setHoverEnabled(bool enabled);
    bool hoverEnabled() const { return hoverEnabled_; }
    void setTintColor(const QColor& colour);
    bool dragging() const { return dragging_; }
    std::optional<double> lastHoverFraction() const { return lastHoverFraction_; }

    // The owner's reports: a new value (drag or keyboard), the hovered fraction or none at the end
    // of a hover, and true / false around a drag.
    std::function<void(double)> changed;
    std::function<void(std::optional<double>)> hovered;
    std::function<void(bool)> editing;

    QSize sizeHint() const override { return {200, 22}; }
    QSize minimumSizeHint() const override { return {40, 22}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void sample(QPointF point);
    void samplePointer();
    void report(double fraction);
    void clearHover();
    void updatePosition(QPointF point);

    double maximum_ = 1;
    double value_ = 0;
    bool hoverEnabled_ = true;
    bool dragging_ = false;
    std::optional<double> lastHoverFraction_;
    QColor tint_;
};

} // namespace lumavane
