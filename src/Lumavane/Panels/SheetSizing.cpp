#include "Lumavane/Panels/SheetSizing.hpp"

#include <QDialog>
#include <QEvent>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QWindow>

#include <algorithm>

namespace lumavane {

namespace {

constexpr const char* designedSizeProperty = "lumavaneDesignedSheetSize";

QMargins frameOf(const QWidget& sheet) {
    const QWindow* window = sheet.windowHandle();
    return window ? window->frameMargins() : QMargins();
}

void apply(QDialog& sheet) {
    const QSize designed = sheet.property(designedSizeProperty).toSize();
    const QScreen* screen = sheet.screen();
    const QSize size = fittedSheetSize(designed, screen, frameOf(sheet));
    if (sheet.minimumSize() != size || sheet.maximumSize() != size) sheet.setFixedSize(size);
    if (!screen || !sheet.isVisible()) return; // placed by QDialog when it is shown
    // Keep the whole window, frame included, inside the available area.
    const QRect available = screen->availableGeometry();
    const QRect frame = sheet.frameGeometry();
    QPoint at = frame.topLeft();
    at.setX(std::clamp(at.x(), available.left(), std::max(available.left(), available.right() + 1 - frame.width())));
    at.setY(std::clamp(at.y(), available.top(), std::max(available.top(), available.bottom() + 1 - frame.height())));
    if (at != frame.topLeft()) sheet.move(at);
}

// Re-fits on show, on moves (a window manager reports the frame by then) and on screen changes.
class SheetFitter final : public QObject {
public:
    explicit SheetFitter(QDialog& sheet) : QObject(&sheet), sheet_(sheet) { sheet.installEventFilter(this); }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != &sheet_) return false;
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Move:
            watchScreen();
            apply(sheet_);
            break;
        default:
            break;
        }
        return false;
    }

private:
    void watchScreen() {
        QWindow* window = sheet_.windowHandle();
        if (!window || window == watchedWindow_) return;
        watchedWindow_ = window;
        connect(window, &QWindow::screenChanged, this, [this] { apply(sheet_); });
    }

    QDialog& sheet_;
    QPointer<QWindow> watchedWindow_;
};

} // namespace

QSize fittedSheetSize(QSize designed, const QScreen* screen, QMargins frame) {
    if (!screen) return designed;
    const QRect available = screen->availableGeometry();
    return {std::min(designed.width(), available.width() - frame.left() - frame.right()),
            std::min(designed.height(), available.height() - frame.top() - frame.bottom())};
}

void fitSheetToScreen(QDialog& sheet, QSize designed) {
    const bool fitted = sheet.property(designedSizeProperty).isValid();
    sheet.setProperty(designedSizeProperty, designed);
    if (!fitted) new SheetFitter(sheet);
    apply(sheet);
}

QScrollArea* scrollingSheetBody(QWidget* body, const char* objectName) {
    auto* area = new QScrollArea;
    area->setObjectName(objectName);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setWidget(body);
    area->setMinimumHeight(0);
    return area;
}

} // namespace lumavane
