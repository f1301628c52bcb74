#include "Lumavane/Views/VideoDropArea.hpp"

#include <QDropEvent>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QUrl>
#include <QWidget>

namespace lumavane {
namespace {

// The frame and badge shown while a drag is over the area; it takes no pointer input.
class DropHighlight final : public QWidget {
public:
    DropHighlight(QWidget* parent, const QString* title) : QWidget(parent), title_(title) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_TranslucentBackground);
        hide();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor accent = palette().color(QPalette::Highlight);
        QColor fill = accent, border = accent;
        fill.setAlphaF(0.12f);
        border.setAlphaF(0.7f);
        const QRectF frame = QRectF(rect()).adjusted(7, 7, -7, -7); // 6 inset, stroke inside
        QPainterPath shape;
        shape.addRoundedRect(frame, 9, 9);
        painter.fillPath(shape, fill);
        painter.setPen(QPen(border, 2));
        painter.drawPath(shape);

        QFont font = painter.font();
        font.setBold(true);
        font.setPixelSize(14);
        painter.setFont(font);
        const QString text = QStringLiteral("⤓  ") + *title_;
        const QSizeF size = QFontMetricsF(font).size(Qt::TextSingleLine, text) + QSizeF(32, 32);
        QRectF badge(QPointF(0, 0), size);
        badge.moveCenter(QRectF(rect()).center());
        QPainterPath badgeShape;
        badgeShape.addRoundedRect(badge, 10, 10);
        painter.fillPath(badgeShape, QColor::fromRgbF(0.2f, 0.2f, 0.22f, 0.92f));
        painter.setPen(Qt::white);
        painter.drawText(badge, Qt::AlignCenter, text);
    }

private:
    const QString* title_;
};

} // namespace

VideoDropArea::VideoDropArea(QWidget& target, QString title, Action action)
    : QObject(&target), target_(target), title_(std::move(title)), action_(std::move(action)) {
    highlight_ = new DropHighlight(&target, &title_);
    target.setAcceptDrops(true);
    target.installEventFilter(this);
}

void VideoDropArea::setTitle(QString title) {
    title_ = std::move(title);
    highlight_->update();
}

std::vector<std::filesystem::path> VideoDropArea::fileURLs(const QMimeData& data) {
    std::vector<std::filesystem::path> files;
    for (const QUrl& url : data.urls())
        if (url.isLocalFile()) files.emplace_back(url.toLocalFile().toStdString());
    return files;
}

bool VideoDropArea::drop(const QMimeData& data) {
    const auto files = fileURLs(data);
    if (files.empty() || !action_) return false;
    return action_(files);
}

void VideoDropArea::setTargeted(bool targeted) {
    targeted_ = targeted;
    if (targeted) {
        highlight_->setGeometry(target_.rect());
        highlight_->raise();
        highlight_->show();
    } else {
        highlight_->hide();
    }
}

bool VideoDropArea::eventFilter(QObject* watched, QEvent* event) {
    if (watched != &target_) return false;
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* drag = static_cast<QDropEvent*>(event);
        const bool files = drag->mimeData() && !fileURLs(*drag->mimeData()).empty();
        if (files) drag->acceptProposedAction();
        else drag->ignore();
        setTargeted(files);
        return true;
    }
    case QEvent::DragLeave:
        setTargeted(false);
        return true;
    case QEvent::Drop: {
        auto* dropEvent = static_cast<QDropEvent*>(event);
        setTargeted(false);
        if (dropEvent->mimeData() && drop(*dropEvent->mimeData())) dropEvent->acceptProposedAction();
        else dropEvent->ignore();
        return true;
    }
    case QEvent::Resize:
        highlight_->setGeometry(target_.rect());
        return false;
    default: return false;
    }
}

} // namespace lumavane
