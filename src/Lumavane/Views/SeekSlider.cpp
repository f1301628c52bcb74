#include "Lumavane/Views/SeekSlider.hpp"

#include <QCursor>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace lumavane {

std::string transportTimeText(double seconds) {
    // Far beyond any video: keep the cast defined.
    constexpr double limit = 9.0e15;
    const long long whole = std::isfinite(seconds) && seconds > 0
                                ? static_cast<long long>(std::min(std::trunc(seconds), limit))
                                : 0;
    char text[40];
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    return text;
}

double SeekSlider::fraction(double x, double width) {
    if (!(width > 0)) return 0;
    const double inset = std::min(width / 2, knobInset);
    const double f = (x - inset) / std::max(width - 2 * inset, 1.0);
    return std::isnan(f) ? 0 : std::clamp(f, 0.0, 1.0);
}

double SeekSlider::progress(double value, double maximum) {
    if (!(maximum > 0)) return 0;
    const double p = value / maximum;
    if (std::isnan(p) || p <= 0) return 0;
    return std::min(p, 1.0);
}

SeekSlider::SeekSlider(QWidget* parent) : QWidget(parent), tint_(QColor::fromRgbF(0.48f, 0.90f, 0.73f)) {
    setMouseTracking(true);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_Hover);
}

void SeekSlider::setMaximum(double maximum) {
    const double m = std::isnan(maximum) ? 1 : std::max(maximum, 1.0);
    if (m == maximum_) return;
    maximum_ = m;
    update();
}

void SeekSlider::setValue(double value) {
    if (dragging_ || value == value_) return;
    value_ = value;
    update();
}

void SeekSlider::setHoverEnabled(bool enabled) {
    if (enabled == hoverEnabled_) return;
    hoverEnabled_ = enabled;
    clearHover();
    if (enabled) QTimer::singleShot(0, this, [this] { samplePointer(); });
}

void SeekSlider::setTintColor(const QColor& colour) {
    if (colour == tint_) return;
    tint_ = colour;
    update();
}

void SeekSlider::report(double f) {
    if (lastHoverFraction_ == f) return;
    lastHoverFraction_ = f;
    if (hovered) hovered(f);
}

void SeekSlider::clearHover() {
    if (!lastHoverFraction_) return;
    lastHoverFraction_.reset();
    if (hovered) hovered(std::nullopt);
}

void SeekSlider::sample(QPointF point) {
    if (dragging_)
        report(fraction(point.x(), width()));
    else if (hoverEnabled_ && rect().contains(point.toPoint()))
        report(fraction(point.x(), width()));
    else
        clearHover();
}

void SeekSlider::samplePointer() {
    if (hoverEnabled_ && isVisible() && window()->isActiveWindow())
        sample(mapFromGlobal(QCursor::pos()));
    else
        clearHover();
}

void SeekSlider::updatePosition(QPointF point) {
    const double f = fraction(point.x(), width());
    report(f);
    value_ = f * maximum_;
    update();
    if (changed) changed(value_);
}

void SeekSlider::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !isEnabled()) return event->ignore();
    dragging_ = true;
    if (editing) editing(true);
    updatePosition(event->position());
}

void SeekSlider::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_)
        updatePosition(event->position());
    else
        sample(event->position());
}

void SeekSlider::mouseReleaseEvent(QMouseEvent* event) {
    if (!dragging_ || event->button() != Qt::LeftButton) return;
    updatePosition(event->position());
    dragging_ = false;
    if (editing) editing(false);
    // The hover resumes where the pointer is now, or ends.
    sample(event->position());
}

void SeekSlider::enterEvent(QEnterEvent* event) { sample(event->position()); }

void SeekSlider::leaveEvent(QEvent*) {
    if (!dragging_) clearHover();
}

void SeekSlider::hideEvent(QHideEvent*) {
    if (!dragging_) clearHover();
}

void SeekSlider::keyPressEvent(QKeyEvent* event) {
    const double step = maximum_ / 100;
    double next = value_;
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Down:
        next = std::max(0.0, value_ - step);
        break;
    case Qt::Key_Right:
    case Qt::Key_Up:
        next = std::min(maximum_, value_ + step);
        break;
    case Qt::Key_Home:
        next = 0;
        break;
    case Qt::Key_End:
        next = maximum_;
        break;
    default:
        return QWidget::keyPressEvent(event);
    }
    value_ = next;
    update();
    if (changed) changed(value_);
}

void SeekSlider::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const double inset = std::min(width() / 2.0, knobInset);
    const QRectF track(inset, height() / 2.0 - 1.5, std::max(width() - 2 * inset, 0.0), 3);
    painter.setBrush(QColor::fromRgbF(1, 1, 1, 0.12f));
    painter.drawRoundedRect(track, 1.5, 1.5);
    const double p = progress(value_, maximum_);
    if (p > 0) {
        QColor fill = tint_;
        if (!isEnabled()) fill.setAlphaF(0.45f);
        painter.setBrush(fill);
        painter.drawRoundedRect(QRectF(track.topLeft(), QSizeF(track.width() * p, 3)), 1.5, 1.5);
    }
    // The knob, a light disc with a soft edge, larger while the pointer is on the bar.
    const double radius = (lastHoverFraction_ || dragging_) ? 6.5 : 5.5;
    const QPointF centre(track.left() + track.width() * p, height() / 2.0);
    painter.setBrush(QColor::fromRgbF(0, 0, 0, 0.35f));
    painter.drawEllipse(centre + QPointF(0, 0.5), radius + 0.5, radius + 0.5);
    painter.setBrush(isEnabled() ? QColor(236, 236, 236) : QColor(110, 110, 110));
    painter.drawEllipse(centre, radius, radius);
}

} // namespace lumavane
