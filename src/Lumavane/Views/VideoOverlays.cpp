#include "Lumavane/Views/VideoOverlays.hpp"

#include "Lumavane/Views/ContentView.hpp"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace lumavane::overlays {

double pausedBadgeSide(bool fullscreen) { return fullscreen ? 92 : 80; }

void paintPausedBadge(QPainter& painter, QSizeF size, bool fullscreen, double osdTransparency, double shown) {
    shown = std::clamp(shown, 0.0, 1.0);
    if (shown <= 0) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const double side = pausedBadgeSide(fullscreen) * (0.88 + 0.12 * shown);
    const QPointF centre(size.width() / 2, size.height() / 2);
    painter.setOpacity(shown);
    // Shadow: black 0.18, radius 14, 6 points down.
    for (int ring = 0; ring < 4; ++ring) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor::fromRgbF(0, 0, 0, 0.045f));
        painter.drawEllipse(centre + QPointF(0, 6), side / 2 + ring * 3.5, side / 2 + ring * 3.5);
    }
    const double material = (1 - std::clamp(osdTransparency, 0.0, 1.0)) * 0.55;
    painter.setBrush(QColor::fromRgbF(0.16f, 0.16f, 0.17f, float(material)));
    painter.drawEllipse(centre, side / 2, side / 2);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.07f), 1));
    painter.drawEllipse(centre, side / 2 - 0.5, side / 2 - 0.5);
    // "pause.fill": two bars, white at 0.5, one point right of centre.
    const double glyph = (fullscreen ? 36 : 30) * (0.88 + 0.12 * shown);
    const double barWidth = glyph * 0.22, barHeight = glyph * 0.78, gap = glyph * 0.2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor::fromRgbF(1, 1, 1, 0.5f));
    const double left = centre.x() + 1 - gap / 2 - barWidth, top = centre.y() - barHeight / 2;
    painter.drawRoundedRect(QRectF(left, top, barWidth, barHeight), 1.5, 1.5);
    painter.drawRoundedRect(QRectF(left + barWidth + gap, top, barWidth, barHeight), 1.5, 1.5);
    painter.restore();
}

double subtitleBottomPadding(bool fullscreen, double controlsHeight) {
    // The floating controls are taller than 112 points: the last line would sit under them. A
    // small gap keeps the box off their edge.
    return fullscreen ? std::max(112.0, controlsHeight + 8) : 34;
}

void paintSubtitles(QPainter& painter, QSizeF size, const QString& text, const AppearanceSettings& appearance,
                    const SubtitleRenderer& renderer, bool fullscreen, double controlsHeight) {
    if (text.isEmpty() || !renderer.font || !renderer.size || !renderer.paint) return;
    const double side = fullscreen ? 80 : 32, bottom = subtitleBottomPadding(fullscreen, controlsHeight);
    const int maxWidth = int(std::max(0.0, size.width() - 2 * side));
    if (maxWidth <= 0) return;
    const double stored = std::isfinite(appearance.subtitleFontSize) && appearance.subtitleFontSize > 0
                              ? appearance.subtitleFontSize
                              : 40;
    QFont font = renderer.font(appearance.subtitleFontName, stored);
    QSize box;
    // Shrink down to 0.7 of the size while more than four lines are needed.
    for (double factor = 1.0; factor >= 0.7 - 1e-9; factor -= 0.05) {
        font.setPixelSize(std::max(1, int(std::lround(stored * factor))));
        box = renderer.size(font, text, maxWidth, appearance.subtitleStyle,
                            appearance.subtitleBackgroundTransparency);
        const int lines = QFontMetrics(font).lineSpacing() * 4;
        if (box.height() <= lines + QFontMetrics(font).lineSpacing() / 2 + 24) break;
    }
    const int fourLines = QFontMetrics(font).lineSpacing() * 4 + 24;
    box.setHeight(std::min(box.height(), fourLines));
    const QRect area(int((size.width() - box.width()) / 2), int(size.height() - bottom - box.height()), box.width(),
                     box.height());
    painter.save();
    painter.setClipRect(area.adjusted(-8, -8, 8, 8));
    painter.setFont(font);
    painter.setPen(Qt::white);
    renderer.paint(painter, area, text, appearance.subtitleStyle, appearance.subtitleBackgroundTransparency);
    painter.restore();
}

void paintOSDBackground(QPainter& painter, const QRectF& rect, double osdTransparency) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(rect.adjusted(0.5, 0.5, -0.5, -0.5), 18, 18);
    painter.fillPath(shape, QColor::fromRgbF(0.13f, 0.13f, 0.14f, float(1 - std::clamp(osdTransparency, 0.0, 1.0))));
    painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.15f), 1));
    painter.drawPath(shape);
    painter.restore();
}

} // namespace lumavane::overlays
