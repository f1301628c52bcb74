#pragma once

#include <QMainWindow>
#include <QMargins>

#include <functional>

namespace lumavane {

// The player's one window. There is no dock to bring a hidden window back on Linux, so closing
// it quits: `aboutToClose` saves first, then `quit` ends the application. Its minimum size is
// the design's, or more when the panes it shows need more, and never more than its screen
// holds; the menu bar leaves the screen while the window is full screen.
class PlayerWindow final : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int minimumWidth = 1000, minimumHeight = 640;
    static constexpr int defaultWidth = 1240, defaultHeight = 780;

    explicit PlayerWindow(QWidget* parent = nullptr);

    // The window manager's frame around the window (none before it is framed, or without one).
    QMargins decoration() const;
    // The screen's area for windows.
    QRect availableArea() const;

    std::function<void()> aboutToClose;
    std::function<void()> quit;
    // The window entered or left full screen.
    std::function<void(bool)> fullScreenChanged;

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void updateMinimumSize();

    QMargins decoration_;
    bool closing_ = false;
};

} // namespace lumavane
