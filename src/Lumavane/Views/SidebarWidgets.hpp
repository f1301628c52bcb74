#pragma once

#include "Lumavane/Views/ButtonStyles.hpp"

#include <QAbstractButton>
#include <QColor>
#include <QLabel>
#include <QTimer>
#include <QWidget>

namespace lumavane {

// Set on labels that cut their text on purpose (file names elided in the middle), so that the
// window checks do not count them as texts that do not fit.
inline constexpr const char* elidesByDesignProperty = "lumavaneElidesByDesign";

// A label that keeps its whole text and shows it on one line, elided in the middle when narrow
// (the end of a file name is usually what tells two apart).
class MiddleElidedLabel final : public QLabel {
    Q_OBJECT
public:
    explicit MiddleElidedLabel(QWidget* parent = nullptr);
    void setFullText(const QString& text);
    const QString& fullText() const { return fullText_; }
    // Up to this many lines, broken between words where it can; the last one keeps the text's
    // end and loses its middle. One by default.
    void setMaximumLines(int lines);
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();
    QString fullText_;
    int maximumLines_ = 1;
};

// A plain button whose face is its child widgets (made transparent to the mouse by the caller).
class PlainButton final : public QAbstractButton {
    Q_OBJECT
public:
    explicit PlainButton(QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override {}
};

// A card or row drawn with one of the button styles (model cards, playlist rows): its hover
// fill follows the pointer anywhere over it, children included; `baseFill` lies under it.
class HoverFrame final : public QWidget {
    Q_OBJECT
public:
    HoverFrame(ButtonStyle style, bool selected, QWidget* parent = nullptr);
    void setBaseFill(const QColor& fill) { baseFill_ = fill, update(); }
    bool hovered() const { return hovered_; }

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    ButtonStyle style_;
    bool selected_;
    bool hovered_ = false;
    QColor baseFill_;
};

// The small indeterminate progress indicator: an arc that turns while the widget is shown and
// spinning (a busy QProgressBar at this size is a still square).
class ActivitySpinner final : public QWidget {
    Q_OBJECT
public:
    explicit ActivitySpinner(QWidget* parent = nullptr);
    void setSpinning(bool spinning);
    bool spinning() const { return spinning_; }
    // The arc's start, in degrees; it moves on every frame while spinning and shown.
    int angle() const { return angle_; }
    QSize sizeHint() const override { return {16, 16}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void follow();
    QTimer frames_;
    bool spinning_ = false;
    int angle_ = 90;
};

// The application's font at a design size (points of the design drawn as pixels) and weight.
QFont designFont(double points, QFont::Weight weight = QFont::Normal);

// A label that passes clicks to the button it sits on.
QLabel* faceLabel(const QString& text, double points, QFont::Weight weight, bool secondary, QWidget* parent);

} // namespace lumavane
