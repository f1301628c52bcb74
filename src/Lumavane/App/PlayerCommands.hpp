#pragma once

#include <QObject>

#include <functional>

class QAction;
class QMainWindow;
class QMenu;

namespace lumavane {

// The player's three menu commands, in the window's File menu with Ctrl shortcuts:
// open a video (Ctrl+O), settings (Ctrl+,) and quit (Ctrl+Q). The shortcuts work while the menu
// bar is hidden (full screen), and over the window's dialogs, which would otherwise block them:
// all three over a message, quitting over any other dialog.
class PlayerCommands final : public QObject {
    Q_OBJECT
public:
    struct Actions {
        std::function<void()> openVideo;
        std::function<void()> openSettings;
        std::function<void()> quit;
    };

    PlayerCommands(QMainWindow& window, Actions actions);

    // Titles looked up again in the stored language.
    void relabel();
    QAction* openVideoAction() const { return openVideo_; }
    QAction* settingsAction() const { return settings_; }
    QAction* quitAction() const { return quit_; }
    QMenu* fileMenu() const { return fileMenu_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QMainWindow& window_;
    QMenu* fileMenu_ = nullptr;
    QAction* openVideo_ = nullptr;
    QAction* settings_ = nullptr;
    QAction* quit_ = nullptr;
};

} // namespace lumavane
