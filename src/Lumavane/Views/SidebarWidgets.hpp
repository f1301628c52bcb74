#pragma once

#include "Lumavane/Views/ButtonStyles.hpp"

#include <QAbstractButton>
#include <QColor>
#include <QLabel>
#include <QWidget>

namespace lumavane {

// A label that keeps its whole text and shows it on one line, elided in the middle when narrow
// (the end of a file name is usually what tells two apart).
class MiddleElidedLabel final : public QLabel {
    Q_OBJECT
public:
    explicit MiddleElidedLabel(QWidget* parent = nullptr);
    void setFullText(const QString& text);
    const QString& fullText() const { return fullText_; }
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();
    QString fullText_;
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

// The application's font at a design size (points of the design drawn as pixels) and weight.
QFont designFont(double points, QFont::Weight weight = QFont::Normal);

// A label that passes clicks to the button it sits on.
QLabel* faceLabel(const QString& text, double points, QFont::Weight weight, bool secondary, QWidget* parent);

} // namespace lumavane
