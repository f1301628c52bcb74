#pragma once

#include <QMainWindow>

#include <functional>

namespace lumavane {

// The player's one window. There is no dock to bring a hidden window back on Linux, so closing
// it quits: `aboutToClose` saves first, then `quit` ends the application.
class PlayerWindow final : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int minimumWidth = 1000, minimumHeight = 640;
    static constexpr int defaultWidth = 1240, defaultHeight = 780;

    explicit PlayerWindow(QWidget* parent = nullptr);

    std::function<void()> aboutToClose;
    std::function<void()> quit;
    // The window entered or left full screen.
    std::function<void(bool)> fullScreenChanged;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    bool closing_ = false;
};

} // namespace lumavane
