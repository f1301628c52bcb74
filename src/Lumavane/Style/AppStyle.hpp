#pragma once

#include <QColor>
#include <QIcon>
#include <QString>
#include <QStringList>

class QAbstractButton;
class QApplication;

namespace lumavane {

// The player's accent: sRGB (0.48, 0.90, 0.73).
QColor accentColor();

// The frame of an unchecked check box or radio button: light enough to read on the dark window.
QColor indicatorFrameColor();

// Fusion with a dark palette (check boxes and radio buttons framed to be seen on it), a
// light-on-dark icon theme found in the freedesktop icon folders whatever the platform plugin,
// and a Japanese-capable font.
void applyAppStyle(QApplication& application);

// The widget property that carries a button's design symbol name ("sidebar.left").
inline constexpr const char* symbolProperty = "lumavaneSymbol";

// The theme icon that stands for a design symbol (one table maps each symbol to theme names,
// best first); an empty name for an unknown symbol.
QString themeIconName(const QString& symbol);
// Every design symbol the table maps.
QStringList knownSymbols();
QIcon symbolIcon(const QString& symbol);
// Sets the button's icon and keeps the symbol name on it.
void setSymbol(QAbstractButton& button, const QString& symbol);

} // namespace lumavane
