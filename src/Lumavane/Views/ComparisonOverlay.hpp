#pragma once

#include <QColor>
#include <QRectF>
#include <QWidget>

#include <string>

class QPainter;

namespace lumavane {

class PlayerSession;

// Which comparison the overlay shows and where its boundary is.
struct ComparisonState {
    bool visible = false;
    bool effects = false; // FX OFF / FX ON instead of original / enhanced
    double fraction = 0.5;
};
ComparisonState comparisonState(const PlayerSession& session);

// Where everything sits in a W × H overlay for a picture of aspect ratio `aspect`.
struct ComparisonGeometry {
    QRectF content;     // the fitted picture
    QRectF boundary;    // the 44-point-wide grab frame, as tall as the picture
    QPointF handle;     // the handle's centre
    bool leftBadge = false, rightBadge = false;
};
// A non-finite or non-positive aspect or size gives an empty picture, never NaN.
ComparisonGeometry comparisonGeometry(double width, double height, double aspect, double fraction);

// Before/after boundary over the picture: a line with a round handle and the two side badges.
// Clicks off the boundary pass through to the surface underneath (its parent).
class ComparisonOverlay final : public QWidget {
    Q_OBJECT
public:
    static constexpr double badgeMinimumWidth = 155;
    static constexpr double adjustStep = 0.05;

    ComparisonOverlay(PlayerSession& session, QColor accent, QWidget* parent = nullptr);

    // Draws into any painter (the capture overlay uses it too).
    static void paint(QPainter& painter, QSizeF size, const PlayerSession& session, const QColor& accent);
    // Writes split or fxSplit for a pointer x as a drag does, then saves.
    void dragTo(double x);
    // The accessibility adjust action.
    void adjust(bool increment);
    std::string helpText() const;
    std::string label() const;
    std::string valueText() const;
    ComparisonGeometry geometry() const;
    void refresh();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;

private:
    void write(double fraction);

    PlayerSession& session_;
    QColor accent_;
    bool dragging_ = false;
};

} // namespace lumavane
