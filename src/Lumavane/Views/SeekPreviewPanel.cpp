#include "Lumavane/Views/SeekPreviewPanel.hpp"

#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

#include <algorithm>
#include <cmath>

namespace lumavane {
namespace {

// The rounded body with the arrow at the bottom centre.
QPainterPath bubblePath() {
    QPainterPath bubble;
    bubble.addRoundedRect(
        QRectF(0.5, 0.5, SeekPreviewPanel::panelWidth - 1, SeekPreviewPanel::panelHeight - 17), 10, 10);
    const double mid = SeekPreviewPanel::panelWidth / 2.0, base = SeekPreviewPanel::panelHeight - 17;
    QPolygonF arrow;
    arrow << QPointF(mid - 8, base) << QPointF(mid, base + 9) << QPointF(mid + 8, base);
    bubble.addPolygon(arrow);
    return bubble.simplified();
}

} // namespace

QPoint SeekPreviewPanel::origin(const QRect& anchor, const QRect& visible, double fraction) {
    const double f = std::isnan(fraction) ? 0 : std::clamp(fraction, 0.0, 1.0);
    const double cx = anchor.x() + 8 + std::max(anchor.width() - 16, 0) * f;
    const int x = std::min(std::max(int(std::lround(cx)) - panelWidth / 2, visible.left()),
                           visible.x() + visible.width() - panelWidth);
    int y = anchor.y() - gap - panelHeight;
    if (y < visible.top())
        y = std::min(anchor.y() + anchor.height() + gap, visible.y() + visible.height() - panelHeight);
    return {x, y};
}

SeekPreviewPanel::SeekPreviewPanel(QWidget* owner, bool floating)
    : QWidget(owner, floating ? Qt::Tool | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus |
                                    Qt::WindowTransparentForInput | Qt::NoDropShadowWindowHint
                              : Qt::Widget),
      floating_(floating) {
    setObjectName(floating ? "seekPreview" : "fullscreenSeekPreview");
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(panelWidth, panelHeight);
    setFocusPolicy(Qt::NoFocus);
    // Without a compositor the translucent corners would come out black.
    if (floating) setMask(QRegion(bubblePath().toFillPolygon().toPolygon()));
    hide();
}

void SeekPreviewPanel::present(const SeekPreviewBubble& preview, QWidget* bar) {
    presented_ = preview;
    setContent(preview.image, preview.label);
    place(bar, preview.fraction);
}

void SeekPreviewPanel::present(const FullscreenSeekPreview& preview, QWidget* bar) {
    presented_ = preview;
    setContent(preview.image, preview.label);
    place(bar, preview.fraction);
}

void SeekPreviewPanel::setContent(const std::optional<QImage>& image, const QString& label) {
    const QImage next = image.value_or(QImage());
    bool dirty = false;
    if (next.cacheKey() != image_.cacheKey() || next.isNull() != image_.isNull()) {
        image_ = next;
        dirty = true;
    }
    if (label != label_) {
        label_ = label;
        dirty = true;
    }
    if (dirty) update();
}

void SeekPreviewPanel::place(QWidget* anchor, std::optional<double> fraction) {
    if (!fraction || !anchor || !anchor->isVisible() || anchor->width() <= 0) {
        hide();
        return;
    }
    QPoint at;
    if (floating_) {
        const QRect bar(anchor->mapToGlobal(QPoint(0, 0)), anchor->size());
        const QScreen* screen = anchor->screen();
        at = origin(bar, screen ? screen->availableGeometry() : bar, *fraction);
    } else {
        QWidget* owner = parentWidget();
        const QRect bar(anchor->mapTo(owner, QPoint(0, 0)), anchor->size());
        at = origin(bar, owner->rect(), *fraction);
    }
    if (pos() != at) move(at);
    if (!isVisible()) show();
    raise();
}

void SeekPreviewPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QPainterPath bubble = bubblePath();
    painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.12f), 1));
    painter.setBrush(QColor(38, 38, 40, 242));
    painter.drawPath(bubble);

    const QRectF picture(8, 8, 256, 144);
    QPainterPath rounded;
    rounded.addRoundedRect(picture, 5, 5);
    painter.fillPath(rounded, Qt::black);
    if (!image_.isNull()) {
        const QSizeF fitted = QSizeF(image_.size()).scaled(picture.size(), Qt::KeepAspectRatio);
        QRectF target(QPointF(), fitted);
        target.moveCenter(picture.center());
        painter.save();
        painter.setClipPath(rounded);
        painter.drawImage(target, image_);
        painter.restore();
    }
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(12);
    painter.setFont(font);
    painter.setPen(QColor(235, 235, 235));
    painter.drawText(QRectF(8, 156, 256, 18), Qt::AlignCenter, label_);
}

} // namespace lumavane
