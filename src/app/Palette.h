#pragma once

#include <QColor>

namespace vorn::app::palette {

// The status colours of a traffic light rather than the theme's, so that the
// window reads as ALIVE or DEAD across a stage whatever the desktop's theme.
inline QColor green() { return QColor(52, 199, 89); }
inline QColor red() { return QColor(255, 59, 48); }

}  // namespace vorn::app::palette
