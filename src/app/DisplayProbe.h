#pragma once

#include <optional>
#include <string>

namespace vorn::app {

// Whether the desktop app can open a window here, asked before Qt is: Qt
// ends the process with a message about platform plugins when its display
// cannot be opened. Returns what is wrong, in a few words ("no display",
// "cannot open display \":99\""), or nothing when a display answers or the
// platform chosen is not one this can check (offscreen, a framebuffer).
//
// An X display is tried with a real connection through the X client library
// that Qt itself loads; a Wayland display by connecting to its socket.
std::optional<std::string> displayProblem();

}  // namespace vorn::app
