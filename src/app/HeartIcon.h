#pragma once

#include <QIcon>

namespace vorn::app {

// The link state as a heart: filled while ALIVE, slashed while DEAD. Drawn by
// us at every size asked for, so it stays crisp in a tray of any scale and
// needs no icon theme.
QIcon heartIcon(bool alive);

}  // namespace vorn::app
