#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QIcon>
#include <QLabel>
#include <QVariantAnimation>

class QPainter;

namespace lumavane {

// One family of hover and press fills for the player's buttons, rows and cards.
enum class ButtonStyle {
    playerIcon,       // transport and panel icon buttons, a 28-point square
    accentIcon,       // the sidebar's benchmark and details buttons
    popoverPickerRow, // rows of the popover pickers
    displayMode,      // segments of the display-mode control and HoverSegments
    playlistHover,    // the playlist's trash buttons (destructive) and others
    modelCard,        // the sidebar's model cards
    playlistRow,      // playlist and history rows
    controlHover,     // any control's soft highlight
};

struct ButtonState {
    bool enabled = true;
    bool hovered = false;
    bool pressed = false;
    bool selected = false;
    bool destructive = false;
};

// What a style draws for one state: the fill behind the label, its corner radius, the border
// (alpha 0: none), the label colour (invalid: unchanged) and the whole control's opacity.
struct ButtonLook {
    QColor fill;
    double radius = 5;
    QColor border;
    QColor foreground;
    double opacity = 1.0;
};
ButtonLook buttonLook(ButtonStyle style, const ButtonState& state, const QColor& accent);

// Hover highlights fade with ease-out: 0.1 s for picker rows, 0.12 s for the rest.
int hoverAnimationMilliseconds(ButtonStyle style);

// The secondary ink of texts and symbols: white at 0.55.
QColor secondaryForeground();

// A symbol shown as a label, drawn in one ink (the shared tinted icons; an invalid ink leaves the
// theme's colours). On a StyledButton it takes the style's foreground.
class SymbolLabel : public QLabel {
    Q_OBJECT
public:
    SymbolLabel(const QString& symbol, const QIcon& source, int side, QWidget* parent = nullptr);
    void setInk(const QColor& ink);
    QColor ink() const { return ink_; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void draw();

    QString symbol_;
    QIcon source_;
    int side_;
    QColor ink_;
};

// A borderless button drawn with one of the styles; its hover starts off whenever it is made.
class StyledButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit StyledButton(ButtonStyle style, QWidget* parent = nullptr);

    ButtonStyle style() const { return style_; }
    void setAccent(const QColor& accent);
    void setSelected(bool selected);
    bool selected() const { return selected_; }
    void setDestructive(bool destructive);
    // A fill drawn under the style's own (the empty state's prominent accent button).
    void setBaseFill(const QColor& fill, const QColor& text);
    bool hovered() const { return hovered_; }
    ButtonState state() const;
    // The look being drawn now, with the hover fade's progress.
    ButtonLook currentLook() const;

    // A button that lays out labels of its own (a row with an icon, a text and a chevron) is as
    // large as that layout asks, its text wrapping when the row is narrow.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override;
    int heightForWidth(int width) const override;

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

    bool event(QEvent* event) override;

private:
    void setHovered(bool hovered);
    // The foreground of the state being faded to, for the symbols and texts on the button's face.
    void inkFace();
    void paintIcon(QPainter& painter, const QRect& area, const ButtonLook& look);
    bool hoverFollowsEnabled() const;

    ButtonStyle style_;
    QColor accent_;
    QColor baseFill_, baseText_;
    bool selected_ = false;
    bool destructive_ = false;
    bool hovered_ = false;
    double hoverProgress_ = 0;
    QVariantAnimation hoverFade_;
};

} // namespace lumavane
