#include "tools/TerminalAlert.h"

namespace vorn::tools {

void TerminalAlert::raiseDeadLinkAlert() {
    // The bell comes after the line so that the line itself reads the same in
    // a terminal and in a captured log. Flushed at once: nothing may sit in a
    // buffer while the link is down.
    stream_ << message << '\n' << '\a' << std::flush;
}

}  // namespace vorn::tools
