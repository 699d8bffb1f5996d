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

    // `stream` must outlive the alert.
    explicit TerminalAlert(std::ostream& stream = std::cerr) : stream_(stream) {}

    void raiseDeadLinkAlert() override;

private:
    std::ostream& stream_;
};

}  // namespace vorn::tools
