#include "Lumavane/Panels/SubtitleAppearance.hpp"

#include "Lumavane/Session/PlayableVideos.hpp"

#include <QApplication>
#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace lumavane {
namespace {

constexpr int boxPaddingX = 14, boxPaddingY = 7;
constexpr int textFlags = Qt::AlignCenter | Qt::TextWordWrap;

} // namespace

QSize SubtitleAppearance::sizeFor(const QFont& font, const QString& text, int maxWidth) const {
    const int pad = drawsBox() ? boxPaddingX : 2;
    const QRect bounds = QFontMetrics(font).boundingRect(QRect(0, 0, std::max(1, maxWidth - 2 * pad), 10000),
                                                         textFlags, text);
    return {bounds.width() + 2 * pad, bounds.height() + 2 * (drawsBox() ? boxPaddingY : 2)};
}

void SubtitleAppearance::paint(QPainter& painter, const QRect& area, const QString& text) const {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const QPen pen = painter.pen();
    const QSize size = sizeFor(painter.font(), text, area.width());
    const QRect box(area.center().x() - size.width() / 2, area.center().y() - size.height() / 2, size.width(),
                    size.height());
    if (style == "outline") {
        painter.setPen(Qt::black);
        for (QPoint offset : {QPoint(-1, -1), QPoint(1, -1), QPoint(-1, 1), QPoint(1, 1)})
            painter.drawText(box.translated(offset), textFlags, text);
    } else if (style == "shadow") {
        // A radius-3 shadow two points down, approximated by a few faint copies.
        for (int dx = -1; dx <= 1; ++dx) {
            for (int dy = 1; dy <= 3; ++dy) {
                painter.setPen(QColor(0, 0, 0, 110));
                painter.drawText(box.translated(dx, dy), textFlags, text);
            }
        }
    } else {
        QPainterPath path;
        path.addRoundedRect(QRectF(box), 7, 7);
        painter.fillPath(path, QColor::fromRgbF(0, 0, 0, float(std::clamp(1.0 - transparency, 0.0, 1.0))));
    }
    painter.setPen(pen);
    painter.drawText(box, textFlags, text);
    painter.restore();
}

QStringList availableSubtitleFonts(const QStringList& families) {
    QStringList shown;
    for (const QString& family : families)
        if (!family.startsWith('.')) shown.push_back(family);
    std::stable_sort(shown.begin(), shown.end(), [](const QString& a, const QString& b) {
        return localizedStandardLess(a.toStdString(), b.toStdString());
    });
    return shown;
}

QStringList availableSubtitleFonts() { return availableSubtitleFonts(QFontDatabase::families()); }

QFont subtitlePreviewFont(const std::string& name, double size) {
    const QString family = QString::fromStdString(name);
    QFont font = name != "system" && QFontDatabase::hasFamily(family) ? QFont(family) : QApplication::font();
    font.setPixelSize(std::max(1, int(size)));
    font.setWeight(QFont::DemiBold);
    return font;
}

SubtitlePreview::SubtitlePreview(QWidget* parent) : QWidget(parent) { setMinimumHeight(76); }

void SubtitlePreview::show(const QString& text, const QFont& font, SubtitleAppearance appearance) {
    text_ = text;
    appearance_ = std::move(appearance);
    setFont(font);
    updateGeometry();
    update();
}

QSize SubtitlePreview::sizeHint() const {
    const QSize text = appearance_.sizeFor(font(), text_, std::max(200, width()));
    return {text.width() + 24, std::max(76, text.height() + 24)};
}

void SubtitlePreview::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath backdrop;
    backdrop.addRoundedRect(QRectF(rect()), 10, 10);
    painter.fillPath(backdrop, QColor::fromRgbF(0.08f, 0.08f, 0.08f));
    painter.setFont(font());
    painter.setPen(Qt::white);
    appearance_.paint(painter, rect().adjusted(12, 12, -12, -12), text_);
}

} // namespace lumavane
