// Whether a shown sheet can be used whole on a small screen: read from its geometry.
#pragma once

#include "Lumavane/Views/ScreenChecks.hpp"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QTest>

#include <string>
#include <vector>

namespace lumavane::test {

inline std::string describe(const QRect& r) {
    return std::to_string(r.x()) + "," + std::to_string(r.y()) + " " + std::to_string(r.width()) + "x" +
           std::to_string(r.height());
}

// What keeps `sheet` from being used whole on its screen, one finding a line ("" when nothing):
// the window (frame included) outside the screen's available area, a layout that needs more
// height than the sheet has, a button cut off (one in a scrolling body counts when the body is
// reachable), or a button of the sheet's button row (`rowButtons`, by name; each must be shown)
// that is not wholly on the screen or lies inside a scrolling body.
inline std::string screenFitFindings(QWidget& sheet, const std::vector<const char*>& rowButtons) {
    QTest::qWait(30);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    std::string found;
    const QScreen* screen = sheet.screen();
    if (!screen) return "no screen\n";
    const QRect available = screen->availableGeometry();
    if (!available.contains(sheet.frameGeometry()))
        found += "window " + describe(sheet.frameGeometry()) + " outside the available " + describe(available) + "\n";
    if (sheet.layout() && sheet.layout()->minimumSize().height() > sheet.height())
        found += "the layout needs " + std::to_string(sheet.layout()->minimumSize().height()) + " of " +
                 std::to_string(sheet.height()) + "\n";
    for (const std::string& cut : unreachableButtonsBesidesScrolling(sheet)) found += cut + "\n";
    for (const char* name : rowButtons) {
        const auto* button = sheet.findChild<QAbstractButton*>(name);
        if (!button || !button->isVisibleTo(&sheet)) {
            found += std::string("not shown: ") + name + "\n";
            continue;
        }
        const QRect global(button->mapToGlobal(QPoint(0, 0)), button->size());
        if (!available.contains(global)) found += std::string("off the screen: ") + name + " " + describe(global) + "\n";
        if (button->visibleRegion() != QRegion(button->rect())) found += std::string("drawn cut: ") + name + "\n";
        for (const QWidget* w = button->parentWidget(); w && w != &sheet; w = w->parentWidget())
            if (qobject_cast<const QAbstractScrollArea*>(w)) {
                found += std::string("scrolls away: ") + name + "\n";
                break;
            }
    }
    return found;
}

} // namespace lumavane::test
