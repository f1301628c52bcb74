#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

class QAbstractButton;
class QApplication;

namespace lumavane {

// The player's accent: sRGB (0.48, 0.90, 0.73).
QColor accentColor();

// Fusion with a dark palette, a light-on-dark icon theme and a Japanese-capable font.
void applyAppStyle(QApplication& application);

// The widget property that carries a button's design symbol name ("sidebar.left").
inline constexpr const char* symbolProperty = "lumavaneSymbol";

// The theme icon that stands for a design symbol (one table maps each symbol to theme names,
// best first); an empty name for an unknown symbol.
QString themeIconName(const QString& symbol);
QIcon symbolIcon(const QString& symbol);
// Sets the button's icon and keeps the symbol name on it.
void setSymbol(QAbstractButton& button, const QString& symbol);

} // namespace lumavane
