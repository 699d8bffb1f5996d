#include "tools/TerminalAlert.h"

namespace vorn::tools {

void TerminalAlert::raiseDeadLinkAlert() {
    alertDeadLink({false, true});
}

void TerminalAlert::alertDeadLink(const monitor::DeadLinkAlertRequest& request) {
    // The bell comes after the line so that the line itself reads the same in
    // a terminal and in a captured log. Flushed at once: nothing may sit in a
    // buffer while the link is down.
    stream_ << (request.reminder ? reminder : message) << '\n';
    if (request.sound && bell_) {
        stream_ << '\a';
    }
    stream_ << std::flush;
}

}  // namespace vorn::tools
