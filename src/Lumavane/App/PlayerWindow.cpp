#include "Lumavane/App/PlayerWindow.hpp"

#include <QCloseEvent>

namespace lumavane {

PlayerWindow::PlayerWindow(QWidget* parent) : QMainWindow(parent) {
    setObjectName("Lumavane.player");
    setWindowTitle("Lumavane");
    setMinimumSize(minimumWidth, minimumHeight);
    resize(defaultWidth, defaultHeight);
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
    if (event->type() == QEvent::WindowStateChange && fullScreenChanged) fullScreenChanged(isFullScreen());
}

} // namespace lumavane
