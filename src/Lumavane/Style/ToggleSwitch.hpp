#pragma once

#include <QAbstractButton>
#include <QColor>

namespace lumavane {

// A switch: a rounded track with a round knob that sits on the right and takes the tint while
// on, with the button's icon and text (if any) before it. Checkable; a click anywhere on it or
// the space key flips it. Use it wherever the design draws a switch rather than a check box.
class ToggleSwitch : public QAbstractButton {
    Q_OBJECT
public:
    enum class ControlSize { regular, small };

    explicit ToggleSwitch(QWidget* parent = nullptr);
    explicit ToggleSwitch(const QString& text, QWidget* parent = nullptr);

    void setControlSize(ControlSize size);
    ControlSize controlSize() const { return controlSize_; }
    // The track's colour while on; the accent unless set.
    void setTint(const QColor& tint);
    QColor tint() const { return tint_; }

    // The track alone, in the widget's coordinates (at its trailing edge, centred vertically).
    QRect trackRect() const;
    static QSize trackSize(ControlSize size);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& position) const override;

private:
    int labelWidth() const;

    ControlSize controlSize_ = ControlSize::regular;
    QColor tint_;
};

} // namespace lumavane
