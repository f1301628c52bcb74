#pragma once

#include <QMargins>
#include <QScrollArea>
#include <QSize>

class QDialog;
class QScreen;

namespace lumavane {

// Sheets are designed at a fixed size. Where the screen has room they keep it; on a smaller
// screen they take what the screen's available geometry leaves (less the window frame) and their
// body scrolls, so that the header and the button row stay whole on the screen.

// The size a sheet designed at `designed` takes on `screen` with a window frame of `frame`.
QSize fittedSheetSize(QSize designed, const QScreen* screen, QMargins frame = {});

// Gives `sheet` its fitted size now, and again whenever it is shown, its frame becomes known
// or it moves to another screen. The sheet stays fixed-size: the user does not resize it.
void fitSheetToScreen(QDialog& sheet, QSize designed);

// A frameless vertical scroll area around a sheet's body. With room it lays the body out exactly
// as without it (the body stretches to the area); without room the body keeps its minimum height
// and scrolls.
QScrollArea* scrollingSheetBody(QWidget* body, const char* objectName = "sheetBody");

} // namespace lumavane
