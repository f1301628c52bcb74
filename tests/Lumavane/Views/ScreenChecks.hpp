// The screen tests' common steps: a shown widget grabbed into a PNG to look at, and every finding
// of the window checks (cut texts, overlaps, cut-off buttons, symbols without icons) in one list.
#pragma once

#include "Lumavane/Style/AppStyle.hpp"
#include "support/LayoutChecks.hpp"

#include <QAbstractScrollArea>
#include <QLabel>
#include <QPixmap>
#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace lumavane::test {

// $LUMAVANE_SCREENSHOT_DIR, else /tmp/<fallback>.
inline std::filesystem::path screenshotFolder(const std::string& fallback) {
    const char* configured = std::getenv("LUMAVANE_SCREENSHOT_DIR");
    const std::filesystem::path folder =
        configured ? std::filesystem::path(configured) : std::filesystem::temp_directory_path() / fallback;
    std::filesystem::create_directories(folder);
    return folder;
}

// Labels that stand for a symbol (a row's icon drawn on a button's face) but show nothing.
inline std::vector<std::string> blankSymbolLabels(const QWidget& root) {
    std::vector<std::string> found;
    for (const QLabel* label : root.findChildren<QLabel*>()) {
        const QString symbol = label->property(symbolProperty).toString();
        if (!isOnScreen(*label) || symbol.isEmpty()) continue;
        if (label->pixmap().isNull()) found.push_back("no icon for symbol \"" + symbol.toStdString() + "\": " +
                                                      describeWidget(*label));
    }
    return found;
}

// Buttons cut off by the window or a parent, where one inside a scrolling view counts as reachable
// when the view itself is (a person scrolls to it): a tall sidebar in a short window.
inline std::vector<std::string> unreachableButtonsBesidesScrolling(const QWidget& window) {
    std::vector<std::string> found;
    for (const QAbstractButton* button : window.findChildren<QAbstractButton*>()) {
        if (!isOnScreen(*button) || button->isWindow()) continue;
        QRect rect(button->mapTo(&window, QPoint(0, 0)), button->size());
        for (const QWidget* ancestor = button->parentWidget(); ancestor && ancestor != &window;
             ancestor = ancestor->parentWidget()) {
            const auto* view = qobject_cast<const QAbstractScrollArea*>(ancestor->parentWidget());
            if (view && view->viewport() == ancestor) {
                rect = QRect(view->mapTo(&window, QPoint(0, 0)), view->size());
                ancestor = view;
                continue;
            }
            if (!QRect(ancestor->mapTo(&window, QPoint(0, 0)), ancestor->size()).contains(rect)) {
                found.push_back("cut off by " + std::string(ancestor->metaObject()->className()) + ": " +
                                describeWidget(*button));
                break;
            }
        }
        if (!window.rect().contains(rect)) found.push_back("outside the window: " + describeWidget(*button));
    }
    return found;
}

enum class Scrolling { none, allowed };

// What a person would see wrong in the widget and everything in it, as one readable list.
inline std::string screenFindings(const QWidget& widget, Scrolling scrolling = Scrolling::none) {
    std::vector<std::string> all = clippedTexts(widget);
    const std::vector<std::string> labels = blankSymbolLabels(widget);
    all.insert(all.end(), labels.begin(), labels.end());
    for (auto more : {overlappingSiblings(widget),
                      scrolling == Scrolling::none ? unreachableButtons(widget)
                                                   : unreachableButtonsBesidesScrolling(widget),
                      blankSymbolIcons(widget, symbolProperty)})
        all.insert(all.end(), more.begin(), more.end());
    std::string text;
    for (const std::string& finding : all) text += finding + "\n";
    return text;
}

// Lets the layouts settle, saves the picture and returns the findings ("" when none).
inline std::string lookAt(QWidget& widget, const std::filesystem::path& file, Scrolling scrolling = Scrolling::none) {
    QTest::qWait(60);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    if (!widget.grab().save(QString::fromStdString(file.string()))) return "not saved: " + file.string();
    return screenFindings(widget, scrolling);
}

} // namespace lumavane::test
