#pragma once

#include "tools/EchoPeer.h"

#include <optional>
#include <ostream>

namespace vorn::tools {

// The outcome of reading vorn-osc-echo's command line: either options to run
// with, or an exit code (0 after --help, 2 for anything that could not be
// understood).
struct EchoParseResult {
    std::optional<EchoOptions> options;
    int exitCode = 0;
};

// Reads the command line. --help goes to `out`; every error is one line on
// `err` that starts with the program's name and names the option at fault.
EchoParseResult parseEchoOptions(int argc, const char* const argv[], std::ostream& out, std::ostream& err);

}  // namespace vorn::tools
