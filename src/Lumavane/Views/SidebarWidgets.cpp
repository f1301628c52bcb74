#include "Lumavane/Views/SidebarWidgets.hpp"

#include "Lumavane/Style/AppStyle.hpp"
#include "Lumavane/Views/ContentView.hpp"

#include <QLayout>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>

#include <algorithm>

namespace lumavane {

MiddleElidedLabel::MiddleElidedLabel(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setProperty(elidesByDesignProperty, true);
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

void MiddleElidedLabel::setMaximumLines(int lines) {
    maximumLines_ = std::max(lines, 1);
    elide();
}

void MiddleElidedLabel::elide() {
    const int width = contentsRect().width();
    if (width <= 0) return setText(fullText_);
    if (maximumLines_ == 1) return setText(fontMetrics().elidedText(fullText_, Qt::ElideMiddle, width));
    QTextLayout layout(fullText_, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    int rest = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (lines.size() == maximumLines_ - 1) break;
        lines << fullText_.mid(line.textStart(), line.textLength()).trimmed();
        rest = line.textStart() + line.textLength();
    }
    layout.endLayout();
    if (rest < fullText_.size())
        lines << fontMetrics().elidedText(fullText_.mid(rest).trimmed(), Qt::ElideMiddle, width);
    setText(lines.join('\n'));
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

ActivitySpinner::ActivitySpinner(QWidget* parent) : QWidget(parent) {
    setFixedSize(sizeHint());
    frames_.setInterval(1000 / 30);
    connect(&frames_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 360 - 12) % 360; // one turn a second, clockwise
        update();
    });
}

void ActivitySpinner::setSpinning(bool spinning) {
    spinning_ = spinning;
    follow();
    update();
}

// The timer runs only while there is something to see.
void ActivitySpinner::follow() {
    if (spinning_ && isVisible()) {
        if (!frames_.isActive()) frames_.start();
    } else {
        frames_.stop();
    }
}

void ActivitySpinner::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    follow();
}

void ActivitySpinner::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    follow();
}

void ActivitySpinner::paintEvent(QPaintEvent*) {
    if (!spinning_) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF ring = QRectF(rect()).adjusted(2, 2, -2, -2);
    const QColor ink = palette().color(QPalette::WindowText);
    QColor faint = ink;
    faint.setAlphaF(0.18f);
    painter.setPen(QPen(faint, 2));
    painter.drawEllipse(ring);
    painter.setPen(QPen(ink, 2, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(ring, angle_ * 16, 100 * 16);
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
