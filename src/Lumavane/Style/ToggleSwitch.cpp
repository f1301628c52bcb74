#include "Lumavane/Style/ToggleSwitch.hpp"

#include "Lumavane/Style/AppStyle.hpp"

#include <QPainter>

#include <algorithm>

namespace lumavane {
namespace {

// Room around the track for the focus ring.
constexpr int ringMargin = 2;
constexpr int iconTextSpacing = 6, labelTrackSpacing = 8;

} // namespace

ToggleSwitch::ToggleSwitch(QWidget* parent) : ToggleSwitch(QString(), parent) {}

ToggleSwitch::ToggleSwitch(const QString& text, QWidget* parent) : QAbstractButton(parent), tint_(accentColor()) {
    setText(text);
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_Hover);
    setIconSize(QSize(16, 16));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void ToggleSwitch::setControlSize(ControlSize size) {
    if (size == controlSize_) return;
    controlSize_ = size;
    updateGeometry();
    update();
}

void ToggleSwitch::setTint(const QColor& tint) {
    tint_ = tint;
    update();
}

QSize ToggleSwitch::trackSize(ControlSize size) { return size == ControlSize::small ? QSize(28, 16) : QSize(36, 20); }

int ToggleSwitch::labelWidth() const {
    int width = 0;
    if (!icon().isNull()) width += iconSize().width();
    if (!text().isEmpty()) width += (width > 0 ? iconTextSpacing : 0) + fontMetrics().horizontalAdvance(text());
    return width;
}

QRect ToggleSwitch::trackRect() const {
    const QSize track = trackSize(controlSize_);
    return QRect(QPoint(width() - ringMargin - track.width(), (height() - track.height()) / 2), track);
}

QSize ToggleSwitch::sizeHint() const {
    const QSize track = trackSize(controlSize_);
    const int label = labelWidth();
    int height = track.height() + 2 * ringMargin;
    if (!text().isEmpty()) height = std::max(height, fontMetrics().height());
    if (!icon().isNull()) height = std::max(height, iconSize().height());
    return {(label > 0 ? label + labelTrackSpacing : 0) + track.width() + 2 * ringMargin, height};
}

QSize ToggleSwitch::minimumSizeHint() const { return sizeHint(); }

bool ToggleSwitch::hitButton(const QPoint& position) const { return rect().contains(position); }

void ToggleSwitch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool enabled = isEnabled();

    int x = 0;
    if (!icon().isNull()) {
        const QRect area(QPoint(0, (height() - iconSize().height()) / 2), iconSize());
        icon().paint(&painter, area, Qt::AlignCenter, enabled ? QIcon::Normal : QIcon::Disabled);
        x = area.right() + 1 + iconTextSpacing;
    }
    if (!text().isEmpty()) {
        painter.setPen(palette().color(enabled ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
        const QRect area(x, 0, std::max(0, trackRect().left() - labelTrackSpacing - x), height());
        painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text());
    }

    const QRectF track = trackRect();
    const double radius = track.height() / 2;
    painter.setOpacity(enabled ? 1.0 : 0.4);
    if (hasFocus()) {
        QColor ring = tint_;
        ring.setAlphaF(0.6f);
        painter.setPen(QPen(ring, 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(track.adjusted(-1, -1, 1, 1), radius + 1, radius + 1);
    }
    // Off: a light track with a visible rim on the dark window; on: the tint.
    QColor fill = isChecked() ? tint_ : QColor(255, 255, 255, 46);
    if (underMouse() && enabled) fill = isChecked() ? fill.lighter(110) : QColor(255, 255, 255, 64);
    painter.setPen(isChecked() ? Qt::NoPen : QPen(QColor(255, 255, 255, 70), 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(track.adjusted(0.5, 0.5, -0.5, -0.5), radius - 0.5, radius - 0.5);

    const double inset = 2;
    const double knob = track.height() - 2 * inset;
    const double knobX = isChecked() ? track.right() - inset - knob : track.left() + inset;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 60));
    painter.drawEllipse(QRectF(knobX, track.top() + inset + 0.5, knob, knob));
    painter.setBrush(QColor(250, 250, 250));
    painter.drawEllipse(QRectF(knobX, track.top() + inset, knob, knob));
}

} // namespace lumavane
