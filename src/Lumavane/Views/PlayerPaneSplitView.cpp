#include "Lumavane/Views/PlayerPaneSplitView.hpp"

#include <QPainter>

namespace lumavane {
namespace {

class ThinHandle final : public QSplitterHandle {
public:
    using QSplitterHandle::QSplitterHandle;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(QRect(width() / 2, 0, 1, height()), QColor(255, 255, 255, 26));
    }
};

} // namespace

PlayerPaneSplitView::PlayerPaneSplitView(QWidget* parent) : QSplitter(Qt::Horizontal, parent) {
    setHandleWidth(grabWidth);
    setChildrenCollapsible(false);
    setOpaqueResize(true);
}

QSplitterHandle* PlayerPaneSplitView::createHandle() { return new ThinHandle(orientation(), this); }

} // namespace lumavane
