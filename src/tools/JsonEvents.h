#pragma once

#include "monitor/LinkStatistics.h"
#include "monitor/OSCManager.h"

#include <string>
#include <string_view>

namespace vorn::tools {

// One line of `vorn-osc-cli --json`: a JSON object with `time` (ISO 8601,
// UTC, ms), `event` (the line's kind, "log" for a line the monitor did not
// write itself), `line` (the log line as printed without --json) and the
// event's fields: `state` ("ALIVE" or "DEAD"), `rttMs`, `from` ({"address",
// "port"}). Always valid JSON and valid UTF-8, whatever the text.
std::string jsonEvent(monitor::WallTime time, const monitor::LineEvent& event, std::string_view line);

// The `summary` event at exit: the session figures and the rolling ones.
std::string jsonSummary(monitor::WallTime time, const monitor::LinkStatistics& statistics);

// "2026-12-07 00:01:02.345  " and the line: the local time of `time`.
std::string timestamped(monitor::WallTime time, std::string_view line);

}  // namespace vorn::tools
