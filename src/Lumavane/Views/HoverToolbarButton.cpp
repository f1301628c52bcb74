#include "Lumavane/Views/HoverToolbarButton.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionToolButton>

#include <algorithm>

namespace lumavane {

HoverToolbarButton::HoverToolbarButton(QWidget* parent) : QToolButton(parent) {
    setAutoRaise(true);
    setFocusPolicy(Qt::NoFocus);
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setIconSize(QSize(18, 18));
}

QRectF HoverToolbarButton::highlightRect(const QRectF& bounds) {
    const double side = std::min({28.0, bounds.width(), bounds.height()});
    return QRectF(bounds.center().x() - side / 2, bounds.center().y() - side / 2, side, side);
}

void HoverToolbarButton::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QToolButton::enterEvent(event);
}

void HoverToolbarButton::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QToolButton::leaveEvent(event);
}

void HoverToolbarButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const bool pressed = isDown();
    if (isEnabled() && (pressed || hovered_) && isActiveWindow()) {
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(highlightRect(rect()), 5, 5);
        painter.fillPath(path, QColor(255, 255, 255, pressed ? 51 : 26));
    }
    // The icon alone: the style's own hover panel would double the highlight.
    const QIcon::Mode mode = isEnabled() ? QIcon::Normal : QIcon::Disabled;
    const QSize size = iconSize();
    const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
    icon().paint(&painter, target, Qt::AlignCenter, mode);
}

} // namespace lumavane
