#pragma once

#include <QToolButton>

namespace lumavane {

// A borderless toolbar button that fills a rounded square under the pointer, only while its
// window is active: white at 0.1, or 0.2 while pressed.
class HoverToolbarButton final : public QToolButton {
    Q_OBJECT
public:
    explicit HoverToolbarButton(QWidget* parent = nullptr);

    bool hovered() const { return hovered_; }
    // The filled square: side min(28, width, height), centred, corner radius 5.
    static QRectF highlightRect(const QRectF& bounds);

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool hovered_ = false;
};

} // namespace lumavane
