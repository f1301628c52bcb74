#include "Lumavane/App/PlayerWindow.hpp"

#include "Lumavane/App/PlayerWindowLifecycle.hpp"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLayout>
#include <QMenuBar>
#include <QScreen>

namespace lumavane {

PlayerWindow::PlayerWindow(QWidget* parent) : QMainWindow(parent) {
    setObjectName("Lumavane.player");
    setWindowTitle("Lumavane");
    setMinimumSize(minimumWidth, minimumHeight);
    resize(defaultWidth, defaultHeight);
}

QMargins PlayerWindow::decoration() const { return PlayerWindowLifecycle::decoration(*this); }

QRect PlayerWindow::availableArea() const {
    if (const QScreen* display = screen()) return display->availableGeometry();
    if (const QScreen* primary = QGuiApplication::primaryScreen()) return primary->availableGeometry();
    return {};
}

bool PlayerWindow::event(QEvent* event) {
    const bool handled = QMainWindow::event(event);
    // Panes shown, hidden or grown: the window follows what its layout needs. Framed by the
    // window manager: the frame takes room on the screen as well.
    if (event->type() == QEvent::LayoutRequest) {
        updateMinimumSize();
    } else if (PlayerWindowLifecycle::mayBeFramedAfter(*event)) {
        const QMargins now = decoration();
        if (!now.isNull() && now != decoration_) updateMinimumSize();
    }
    return handled;
}

void PlayerWindow::updateMinimumSize() {
    QSize least(minimumWidth, minimumHeight);
    if (const QLayout* content = layout()) least = least.expandedTo(content->totalMinimumSize());
    const QRect area = availableArea();
    // A window larger than its screen would put its controls out of reach. The frame last seen
    // counts: while a window manager frames the window again (after it grew) Qt reads no frame for
    // a moment, and a fit without it put the title bar above the screen.
    if (const QMargins now = decoration(); !now.isNull()) decoration_ = now;
    if (area.isValid()) least = least.boundedTo(area.size().shrunkBy(decoration_));
    if (least == minimumSize()) return;
    const QSize before = size();
    setMinimumSize(least);
    if (size() != before && !isFullScreen() && !isMaximized() && area.isValid())
        setGeometry(PlayerWindowLifecycle::fittedFrame(geometry(), area, decoration_));
}

void PlayerWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    if (closing_) return;
    closing_ = true;
    if (aboutToClose) aboutToClose();
    if (quit) quit();
}

void PlayerWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange) return;
    // The menu bar's commands keep their shortcuts while it is away (they are the window's too).
    if (QMenuBar* menu = menuBar()) menu->setVisible(!isFullScreen());
    if (fullScreenChanged) fullScreenChanged(isFullScreen());
}

} // namespace lumavane
