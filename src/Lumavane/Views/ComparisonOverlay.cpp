#include "Lumavane/Views/ComparisonOverlay.hpp"

#include "Lumavane/Localization/AppLocalization.hpp"
#include "Lumavane/Session/PlayerSession.hpp"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace lumavane {
namespace {

double finiteOr(double value, double fallback) { return std::isfinite(value) ? value : fallback; }

void drawBadge(QPainter& painter, QPointF origin, bool alignRight, const QString& title, const QColor& colour) {
    QFont font = painter.font();
    font.setPixelSize(12);
    font.setWeight(QFont::DemiBold);
    painter.setFont(font);
    const QSizeF text = QFontMetricsF(font).size(Qt::TextSingleLine, title);
    QRectF capsule(origin, QSizeF(text.width() + 20, text.height() + 12));
    if (alignRight) capsule.moveRight(origin.x());
    QPainterPath path;
    path.addRoundedRect(capsule, capsule.height() / 2, capsule.height() / 2);
    painter.fillPath(path, QColor::fromRgbF(0, 0, 0, 0.72f));
    painter.setPen(colour);
    painter.drawText(capsule, Qt::AlignCenter, title);
}

void drawHandle(QPainter& painter, const ComparisonGeometry& g) {
    painter.fillRect(QRectF(g.handle.x() - 1, g.content.top(), 2, g.content.height()),
                     QColor::fromRgbF(1, 1, 1, 0.55f));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor::fromRgbF(1, 1, 1, 0.7f));
    painter.drawEllipse(g.handle, 20, 20);
    // The left-and-right arrow, drawn so that it needs no symbol font.
    QPen pen(Qt::black, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const QPointF c = g.handle;
    painter.drawLine(c + QPointF(-7, 0), c + QPointF(7, 0));
    painter.drawPolyline(QPolygonF{c + QPointF(-3.5, -3.5), c + QPointF(-7, 0), c + QPointF(-3.5, 3.5)});
    painter.drawPolyline(QPolygonF{c + QPointF(3.5, -3.5), c + QPointF(7, 0), c + QPointF(3.5, 3.5)});
}

// The adjust action for assistive technology: increase and decrease move the boundary by 5 %.
class ComparisonAccessible final : public QAccessibleWidget {
public:
    explicit ComparisonAccessible(ComparisonOverlay* overlay)
        : QAccessibleWidget(overlay, QAccessible::Slider), overlay_(overlay) {
    }
    QString text(QAccessible::Text kind) const override {
        switch (kind) {
        case QAccessible::Name: return QString::fromStdString(overlay_->label());
        case QAccessible::Help:
        case QAccessible::Description: return QString::fromStdString(overlay_->helpText());
        case QAccessible::Value: return QString::fromStdString(overlay_->valueText());
        default: return QAccessibleWidget::text(kind);
        }
    }
    QStringList actionNames() const override {
        return {QAccessibleActionInterface::increaseAction(), QAccessibleActionInterface::decreaseAction()};
    }
    void doAction(const QString& name) override {
        if (name == QAccessibleActionInterface::increaseAction()) overlay_->adjust(true);
        else if (name == QAccessibleActionInterface::decreaseAction()) overlay_->adjust(false);
    }

private:
    ComparisonOverlay* overlay_;
};

QAccessibleInterface* accessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("lumavane::ComparisonOverlay") && object && object->isWidgetType())
        return new ComparisonAccessible(static_cast<ComparisonOverlay*>(object));
    return nullptr;
}

} // namespace

ComparisonState comparisonState(const PlayerSession& session) {
    const ViewMode mode = session.mode();
    if (mode == ViewMode::enhanced && session.fxComparison() &&
        session.postProcessConfiguration().settings.isEnabled())
        return {true, true, std::clamp(finiteOr(session.fxSplit(), 0.5), 0.0, 1.0)};
    return {mode == ViewMode::compare, false, std::clamp(finiteOr(session.split(), 0.5), 0.0, 1.0)};
}

ComparisonGeometry comparisonGeometry(double width, double height, double aspect, double fraction) {
    ComparisonGeometry g;
    width = std::max(0.0, finiteOr(width, 0));
    height = std::max(0.0, finiteOr(height, 0));
    fraction = std::clamp(finiteOr(fraction, 0.5), 0.0, 1.0);
    double cw = 0, ch = 0;
    if (std::isfinite(aspect) && aspect > 0) {
        cw = std::min(height * aspect, width);
        ch = cw / aspect;
    }
    g.content = QRectF((width - cw) / 2, (height - ch) / 2, cw, ch);
    g.handle = QPointF(g.content.left() + fraction * cw, g.content.center().y());
    g.boundary = QRectF(g.handle.x() - 22, g.content.top(), 44, ch);
    g.leftBadge = fraction * cw > ComparisonOverlay::badgeMinimumWidth;
    g.rightBadge = (1 - fraction) * cw > ComparisonOverlay::badgeMinimumWidth;
    return g;
}

ComparisonOverlay::ComparisonOverlay(PlayerSession& session, QColor accent, QWidget* parent)
    : QWidget(parent), session_(session), accent_(accent) {
    static const bool installed = (QAccessible::installFactory(accessibleFactory), true);
    (void)installed;
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    refresh();
}

ComparisonGeometry ComparisonOverlay::geometry() const {
    return comparisonGeometry(width(), height(), session_.videoAspectRatio(), comparisonState(session_).fraction);
}

void ComparisonOverlay::refresh() {
    const ComparisonState state = comparisonState(session_);
    setToolTip(state.visible ? QString::fromStdString(helpText()) : QString());
    setAccessibleName(QString::fromStdString(label()));
    update();
}

void ComparisonOverlay::paint(QPainter& painter, QSizeF size, const PlayerSession& session, const QColor& accent) {
    const ComparisonState state = comparisonState(session);
    if (!state.visible) return;
    const ComparisonGeometry g =
        comparisonGeometry(size.width(), size.height(), session.videoAspectRatio(), state.fraction);
    painter.save();
    painter.setClipRect(QRectF(QPointF(0, 0), size));
    painter.setRenderHint(QPainter::Antialiasing);
    if (session.showingEnhancement()) {
        const QPointF topLeft = g.content.topLeft() + QPointF(12, 12);
        if (g.leftBadge) {
            const std::string title = state.effects ? "FX OFF" : AppLocalization::string("Original · 元映像");
            drawBadge(painter, topLeft, false, QString::fromStdString(title), Qt::white);
        }
        if (g.rightBadge) {
            const std::string title = !state.effects             ? AppLocalization::string("Enhanced · 高画質")
                                      : session.fxDifferencePreview() ? "DIFF ×8"
                                                                      : "FX ON";
            drawBadge(painter, QPointF(g.content.right() - 12, topLeft.y()), true, QString::fromStdString(title),
                      accent);
        }
    }
    drawHandle(painter, g);
    painter.restore();
}

void ComparisonOverlay::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paint(painter, size(), session_, accent_);
}

void ComparisonOverlay::write(double fraction) {
    // The setters recompose (split) and save themselves; repeating either would save twice.
    if (comparisonState(session_).effects) session_.setFxSplit(fraction);
    else session_.setSplit(fraction);
    refresh();
}

void ComparisonOverlay::dragTo(double x) {
    const ComparisonGeometry g = geometry();
    if (!(g.content.width() > 0) || !std::isfinite(x)) return;
    write(std::clamp((x - g.content.left()) / g.content.width(), 0.0, 1.0));
}

void ComparisonOverlay::adjust(bool increment) {
    const double f = comparisonState(session_).fraction;
    write(increment ? std::min(1.0, f + adjustStep) : std::max(0.0, f - adjustStep));
}

std::string ComparisonOverlay::helpText() const {
    return AppLocalization::string(comparisonState(session_).effects ? "境界をドラッグ：左側がFX OFF、右側がFX ON"
                                                                     : "境界をドラッグ：左側が元映像、右側が高画質");
}
std::string ComparisonOverlay::label() const {
    return AppLocalization::string(comparisonState(session_).effects ? "FX比較境界：左がOFF、右がON"
                                                                     : "比較境界：左が元映像、右が高画質");
}
std::string ComparisonOverlay::valueText() const {
    return AppLocalization::format("左側 %lldパーセント",
                                   static_cast<long long>(std::lround(comparisonState(session_).fraction * 100)));
}

void ComparisonOverlay::mousePressEvent(QMouseEvent* event) {
    const ComparisonState state = comparisonState(session_);
    if (!state.visible || event->button() != Qt::LeftButton || !geometry().boundary.contains(event->position())) {
        event->ignore(); // the surface underneath takes it
        return;
    }
    dragging_ = true;
    dragTo(event->position().x());
}
void ComparisonOverlay::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_) return event->ignore();
    dragTo(event->position().x());
}
void ComparisonOverlay::mouseReleaseEvent(QMouseEvent* event) {
    if (!dragging_) return event->ignore();
    dragging_ = false;
}

void ComparisonOverlay::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Right || event->key() == Qt::Key_Left) adjust(event->key() == Qt::Key_Right);
    else QWidget::keyPressEvent(event);
}

bool ComparisonOverlay::event(QEvent* event) {
    // The tool tip belongs to the boundary only.
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        if (!comparisonState(session_).visible || !geometry().boundary.contains(help->pos())) {
            event->ignore();
            return true;
        }
    }
    return QWidget::event(event);
}

} // namespace lumavane
