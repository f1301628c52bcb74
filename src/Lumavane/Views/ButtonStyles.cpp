#include "Lumavane/Views/ButtonStyles.hpp"

#include "Lumavane/Style/AppStyle.hpp"

#include <QEvent>
#include <QLayout>
#include <QPainter>
#include <QPainterPath>

namespace lumavane {
namespace {

QColor white(double opacity) { return QColor::fromRgbF(1, 1, 1, float(opacity)); }
QColor tinted(const QColor& colour, double opacity) {
    QColor result = colour;
    result.setAlphaF(float(opacity));
    return result;
}
const QColor primary = white(1.0);
const QColor secondary = white(0.55);

QColor mix(const QColor& a, const QColor& b, double t) {
    if (!a.isValid() || !b.isValid()) return t < 0.5 ? a : b;
    const auto lerp = [t](float x, float y) { return float(x + (y - x) * t); };
    return QColor::fromRgbF(lerp(a.redF(), b.redF()), lerp(a.greenF(), b.greenF()), lerp(a.blueF(), b.blueF()),
                            lerp(a.alphaF(), b.alphaF()));
}

} // namespace

ButtonLook buttonLook(ButtonStyle style, const ButtonState& s, const QColor& accent) {
    ButtonLook look;
    switch (style) {
    case ButtonStyle::playerIcon:
        look.fill = white(!s.enabled ? 0 : s.pressed ? 0.2 : s.hovered ? 0.1 : 0);
        break;
    case ButtonStyle::accentIcon:
        look.fill = tinted(accent, !s.enabled ? 0 : s.pressed ? 0.24 : s.hovered ? 0.14 : 0);
        look.foreground = s.enabled && s.hovered ? accent : secondary;
        look.opacity = s.enabled ? 1.0 : 0.45;
        break;
    case ButtonStyle::popoverPickerRow:
        look.fill = s.pressed ? white(0.18) : s.hovered ? white(0.12) : s.selected ? tinted(accent, 0.12) : white(0);
        break;
    case ButtonStyle::displayMode:
        look.fill = white(s.pressed ? 0.24 : s.selected ? (s.hovered ? 0.2 : 0.14) : (s.hovered ? 0.09 : 0));
        look.foreground = s.selected || s.hovered ? primary : secondary;
        look.radius = 4;
        look.opacity = s.enabled ? 1.0 : 0.45;
        break;
    case ButtonStyle::playlistHover:
        look.fill = white(s.pressed ? 0.16 : s.hovered ? 0.08 : 0);
        look.foreground = s.destructive && s.hovered ? QColor(Qt::red) : secondary;
        look.radius = s.destructive ? 5 : 8;
        break;
    case ButtonStyle::modelCard:
        look.fill = white(s.hovered ? 0.075 : 0.035);
        look.border = s.selected ? tinted(accent, s.hovered ? 0.65 : 0.4) : white(s.hovered ? 0.2 : 0.08);
        look.radius = 10;
        break;
    case ButtonStyle::playlistRow:
        look.fill = white(s.hovered ? 0.08 : 0);
        look.radius = 8;
        break;
    case ButtonStyle::controlHover:
        look.fill = white(s.enabled && s.hovered ? 0.1 : 0);
        break;
    }
    return look;
}

int hoverAnimationMilliseconds(ButtonStyle style) { return style == ButtonStyle::popoverPickerRow ? 100 : 120; }

QColor secondaryForeground() { return secondary; }

SymbolLabel::SymbolLabel(const QString& symbol, const QIcon& source, int side, QWidget* parent)
    : QLabel(parent), symbol_(symbol), source_(source), side_(side) {
    setProperty(symbolProperty, symbol);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    draw();
}

void SymbolLabel::setInk(const QColor& ink) {
    if (ink == ink_) return;
    ink_ = ink;
    draw();
}

void SymbolLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) draw();
}

void SymbolLabel::draw() {
    const QIcon icon = tintedSymbolIcon(symbol_, source_, ink_);
    setPixmap(icon.isNull() ? QPixmap() : icon.pixmap(side_, side_, isEnabled() ? QIcon::Normal : QIcon::Disabled));
}

StyledButton::StyledButton(ButtonStyle style, QWidget* parent)
    : QAbstractButton(parent), style_(style), accent_(QColor::fromRgbF(0.48f, 0.90f, 0.73f)) {
    setCursor(Qt::ArrowCursor);
    setAttribute(Qt::WA_Hover);
    hoverFade_.setDuration(hoverAnimationMilliseconds(style));
    hoverFade_.setEasingCurve(QEasingCurve::OutCubic);
    connect(&hoverFade_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        hoverProgress_ = value.toDouble();
        update();
    });
    if (style == ButtonStyle::playerIcon) setFixedSize(28, 28);
}

void StyledButton::setAccent(const QColor& accent) {
    accent_ = accent;
    inkFace();
    update();
}
void StyledButton::setSelected(bool selected) {
    if (selected_ == selected) return;
    selected_ = selected;
    inkFace();
    update();
}
void StyledButton::setDestructive(bool destructive) {
    destructive_ = destructive;
    inkFace();
    update();
}
void StyledButton::setBaseFill(const QColor& fill, const QColor& text) {
    baseFill_ = fill;
    baseText_ = text;
    update();
}

bool StyledButton::hoverFollowsEnabled() const {
    return style_ == ButtonStyle::accentIcon || style_ == ButtonStyle::displayMode;
}

ButtonState StyledButton::state() const {
    return ButtonState{isEnabled(), hovered_, isDown(), selected_, destructive_};
}

ButtonLook StyledButton::currentLook() const {
    ButtonState state = this->state();
    if (state.pressed) return buttonLook(style_, state, accent_);
    state.hovered = false;
    ButtonLook rest = buttonLook(style_, state, accent_);
    state.hovered = true;
    const ButtonLook hover = buttonLook(style_, state, accent_);
    rest.fill = mix(rest.fill, hover.fill, hoverProgress_);
    rest.border = mix(rest.border, hover.border, hoverProgress_);
    rest.foreground = mix(rest.foreground, hover.foreground, hoverProgress_);
    return rest;
}

void StyledButton::setHovered(bool hovered) {
    if (hovered && hoverFollowsEnabled() && !isEnabled()) hovered = false;
    if (hovered_ == hovered) return;
    hovered_ = hovered;
    hoverFade_.stop();
    hoverFade_.setStartValue(hoverProgress_);
    hoverFade_.setEndValue(hovered ? 1.0 : 0.0);
    hoverFade_.start();
    inkFace();
}

// Labels on the face take the end state's ink at once: a fade through every shade in between
// would make a tinted icon for each.
void StyledButton::inkFace() {
    const QColor ink = baseText_.isValid() ? baseText_ : buttonLook(style_, state(), accent_).foreground;
    if (!ink.isValid()) return;
    for (QLabel* label : findChildren<QLabel*>()) {
        if (auto* symbol = qobject_cast<SymbolLabel*>(label)) {
            symbol->setInk(ink);
        } else if (label->palette().color(QPalette::WindowText) != ink) {
            QPalette palette = label->palette();
            palette.setColor(QPalette::Active, QPalette::WindowText, ink);
            palette.setColor(QPalette::Inactive, QPalette::WindowText, ink);
            label->setPalette(palette);
        }
    }
}

bool StyledButton::event(QEvent* event) {
    const bool handled = QAbstractButton::event(event);
    // Labels put on the face after the button was made take its ink when they are first shown.
    if (event->type() == QEvent::ChildPolished) inkFace();
    return handled;
}

void StyledButton::enterEvent(QEnterEvent* event) {
    QAbstractButton::enterEvent(event);
    setHovered(true);
}
void StyledButton::leaveEvent(QEvent* event) {
    QAbstractButton::leaveEvent(event);
    setHovered(false);
}
void StyledButton::changeEvent(QEvent* event) {
    QAbstractButton::changeEvent(event);
    // A control disabled under the pointer must not keep its highlight once enabled again.
    if (event->type() == QEvent::EnabledChange && !isEnabled() && hoverFollowsEnabled()) {
        hovered_ = false;
        hoverFade_.stop();
        hoverProgress_ = 0;
    }
    if (event->type() == QEvent::EnabledChange) inkFace();
}

QSize StyledButton::sizeHint() const {
    if (style_ == ButtonStyle::playerIcon) return {28, 28};
    if (layout()) return layout()->totalSizeHint();
    const QSize text = fontMetrics().size(Qt::TextSingleLine, this->text());
    const int iconWidth = icon().isNull() ? 0 : iconSize().width() + (text.isEmpty() ? 0 : 6);
    return {text.width() + iconWidth + 20, std::max({text.height(), iconSize().height(), 16}) + 10};
}

QSize StyledButton::minimumSizeHint() const {
    return layout() ? layout()->totalMinimumSize() : QAbstractButton::minimumSizeHint();
}

bool StyledButton::hasHeightForWidth() const {
    return layout() ? layout()->hasHeightForWidth() : QAbstractButton::hasHeightForWidth();
}

int StyledButton::heightForWidth(int width) const {
    return layout() ? layout()->totalHeightForWidth(width) : QAbstractButton::heightForWidth(width);
}

void StyledButton::paintEvent(QPaintEvent*) {
    const ButtonLook look = currentLook();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(look.opacity);
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath shape;
    shape.addRoundedRect(frame, look.radius, look.radius);
    if (baseFill_.isValid()) painter.fillPath(shape, baseFill_);
    painter.fillPath(shape, look.fill);
    if (look.border.isValid() && look.border.alpha() > 0) {
        painter.setPen(QPen(look.border, 1));
        painter.drawPath(shape);
    }
    const QColor text = baseText_.isValid()      ? baseText_
                        : look.foreground.isValid() ? look.foreground
                                                    : palette().color(QPalette::ButtonText);
    QRect area = rect();
    if (!icon().isNull()) {
        const QSize side = iconSize();
        const int textWidth = this->text().isEmpty() ? 0 : fontMetrics().horizontalAdvance(this->text()) + 6;
        const int left = (width() - side.width() - textWidth) / 2;
        paintIcon(painter, QRect(QPoint(left, (height() - side.height()) / 2), side), look);
        area.setLeft(left + side.width() + 6);
        if (textWidth == 0) return;
        painter.setPen(text);
        painter.drawText(area, Qt::AlignVCenter | Qt::AlignLeft, this->text());
        return;
    }
    painter.setPen(text);
    painter.drawText(area, Qt::AlignCenter, this->text());
}

// A symbol takes the style's foreground like a text. While the hover fades, the icons of the two
// end inks are blended, so only those two are ever made.
void StyledButton::paintIcon(QPainter& painter, const QRect& area, const ButtonLook& look) {
    const QString symbol = property(symbolProperty).toString();
    if (symbol.isEmpty() || (!baseText_.isValid() && !look.foreground.isValid())) {
        icon().paint(&painter, area);
        return;
    }
    if (baseText_.isValid()) {
        tintedSymbolIcon(symbol, icon(), baseText_).paint(&painter, area);
        return;
    }
    ButtonState state = this->state();
    const double progress = state.pressed ? (hovered_ ? 1.0 : 0.0) : hoverProgress_;
    state.hovered = false;
    const QColor rest = buttonLook(style_, state, accent_).foreground;
    state.hovered = true;
    const QColor hover = buttonLook(style_, state, accent_).foreground;
    const double opacity = painter.opacity();
    if (rest == hover || progress <= 0.0 || progress >= 1.0) {
        tintedSymbolIcon(symbol, icon(), progress >= 1.0 ? hover : rest).paint(&painter, area);
        return;
    }
    painter.setOpacity(opacity * (1.0 - progress));
    tintedSymbolIcon(symbol, icon(), rest).paint(&painter, area);
    painter.setOpacity(opacity * progress);
    tintedSymbolIcon(symbol, icon(), hover).paint(&painter, area);
    painter.setOpacity(opacity);
}

} // namespace lumavane
