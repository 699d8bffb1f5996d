#pragma once

#include "monitor/DeadLinkAlert.h"

#include <iostream>
#include <ostream>

namespace vorn::tools {

// The dead-link alert of the command-line monitor: a line on standard error
// and the terminal bell, so that someone across the room hears it even when
// the window with the log is buried.
class TerminalAlert final : public monitor::DeadLinkAlert {
public:
    static constexpr const char* message = "Vorn OSC 2: OSC link is DEAD";
    static constexpr const char* reminder = "Vorn OSC 2: OSC link is still DEAD";

    // `stream` must outlive the alert. Without `bell` no bell is rung
    // whatever an alert asks: the program's output is not a terminal, and a
    // bell byte would only litter a captured log.
    explicit TerminalAlert(std::ostream& stream = std::cerr, bool bell = true) : stream_(stream), bell_(bell) {}

    void raiseDeadLinkAlert() override;
    void alertDeadLink(const monitor::DeadLinkAlertRequest& request) override;

private:
    std::ostream& stream_;
    bool bell_;
};

}  // namespace vorn::tools
