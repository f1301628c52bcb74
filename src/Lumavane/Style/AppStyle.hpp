#pragma once

#include <QColor>
#include <QIcon>
#include <QString>
#include <QStringList>

#include <cstddef>

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

// The symbol drawn in one ink over the shape of `source` (theme icons come in the theme's own
// colours), with a disabled form at 0.45 opacity. One icon per symbol and ink is kept for the
// process, made from the first source given, so a hover fade or a state that comes and goes
// reuses it instead of filling Qt's pixmap cache with new ones. An invalid ink or a null source
// gives `source` unchanged.
QIcon tintedSymbolIcon(const QString& symbol, const QIcon& source, const QColor& ink);
// How many tinted icons are kept.
std::size_t tintedSymbolIconCount();

} // namespace lumavane
