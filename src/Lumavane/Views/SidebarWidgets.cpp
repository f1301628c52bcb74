#include "Lumavane/Views/SidebarWidgets.hpp"

#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Views/ContentView.hpp"

#include <QLayout>
#include <QPainter>
#include <QPainterPath>

namespace lumavane {

MiddleElidedLabel::MiddleElidedLabel(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void MiddleElidedLabel::setFullText(const QString& text) {
    fullText_ = text;
    setToolTip(text);
    elide();
}

QSize MiddleElidedLabel::minimumSizeHint() const { return {0, QLabel::minimumSizeHint().height()}; }

void MiddleElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void MiddleElidedLabel::elide() {
    const int width = contentsRect().width();
    setText(width > 0 ? fontMetrics().elidedText(fullText_, Qt::ElideMiddle, width) : fullText_);
}

PlainButton::PlainButton(QWidget* parent) : QAbstractButton(parent) { setCursor(Qt::PointingHandCursor); }
QSize PlainButton::sizeHint() const { return layout() ? layout()->sizeHint() : QSize(); }
QSize PlainButton::minimumSizeHint() const { return layout() ? layout()->minimumSize() : QSize(); }

HoverFrame::HoverFrame(ButtonStyle style, bool selected, QWidget* parent)
    : QWidget(parent), style_(style), selected_(selected) {
    setProperty("selected", selected);
}

void HoverFrame::enterEvent(QEnterEvent*) { hovered_ = true, update(); }
void HoverFrame::leaveEvent(QEvent*) { hovered_ = false, update(); }

void HoverFrame::paintEvent(QPaintEvent*) {
    const ButtonLook look = buttonLook(style_, {isEnabled(), hovered_, false, selected_}, ContentView::accent());
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), look.radius, look.radius);
    if (baseFill_.isValid()) painter.fillPath(path, baseFill_);
    painter.fillPath(path, look.fill);
    if (look.border.isValid() && look.border.alpha() > 0) painter.strokePath(path, QPen(look.border, 1));
}

QFont designFont(double points, QFont::Weight weight) {
    QFont font;
    font.setPixelSize(int(points + 0.5));
    font.setWeight(weight);
    return font;
}

QLabel* faceLabel(const QString& text, double points, QFont::Weight weight, bool secondary, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(designFont(points, weight));
    if (secondary) label->setForegroundRole(QPalette::PlaceholderText);
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    return label;
}

} // namespace lumavane
