#pragma once

#include <QColor>
#include <QIcon>
#include <QPalette>
#include <QString>

class QApplication;

namespace vorn::app::look {

// One dark, high-contrast look for every window of the program, so that the
// settings and the tray panel sit beside the dark main window without a light
// desktop theme glaring from a dark room. Standard widgets keep their own
// shapes; only colours and the scroll bars change.
QPalette darkPalette();

// Thin light scroll bars on a clear track, for the log's dark plate and the
// settings alike.
QString styleSheet();

// Fusion (the one style that honours a palette everywhere), the palette and
// the style sheet, for the whole application.
void apply(QApplication& application);

// The contrast ratio of two colours as accessibility guidelines measure it:
// 1 for the same colour, 21 for black on white.
double contrastRatio(const QColor& a, const QColor& b);

// One of our line symbols (":/icons/<name>.svg", drawn in black) in `colour`
// at `opacity`, rendered for high-density screens as well.
QIcon symbolIcon(const QString& name, int size, const QColor& colour, double opacity = 1.0);

// The colour of symbols on the dark windows.
QColor symbolColour();

}  // namespace vorn::app::look
