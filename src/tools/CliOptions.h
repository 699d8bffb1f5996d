#pragma once

#include "monitor/DevicePresets.h"
#include "monitor/OSCSettings.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

namespace vorn::tools {

// What the command line of vorn-osc-cli asked for. Every value that is
// present is an assignment to a setting, made as if the user had typed it
// into the settings form: it is written to the settings file and stays in
// force for later runs. Absent values leave the setting as it is.
struct CliOptions {
    std::optional<std::filesystem::path> configDir;
    // Applied first, so that the options given beside it change its fields.
    const monitor::DevicePreset* preset = nullptr;
    std::optional<std::string> targetIP;
    std::optional<std::int64_t> targetPort;
    std::optional<std::int64_t> receivePort;
    std::optional<std::string> pingMessage;
    std::optional<std::string> desiredReply;
    std::optional<double> pingInterval;
    std::optional<bool> alarmEnabled;
    std::optional<bool> listenOnPingPort;
    std::optional<bool> passive;
    std::optional<std::string> transport;
    std::optional<std::int64_t> missesBeforeDead;
    std::optional<std::int64_t> repliesBeforeAlive;
    std::optional<std::int64_t> slowRoundTripMs;
    std::optional<std::int64_t> deadReminderMinutes;
    std::optional<bool> alarmSound;
    std::optional<std::string> onDeadCommand;
    std::optional<std::string> onAliveCommand;
    std::optional<std::string> stateMessage;
    // Not settings, for this run: print each received message's sender
    // beside its line; print JSON objects instead of lines; put the local
    // time before each line.
    bool showSender = false;
    bool json = false;
    bool timestamps = false;

    // <configDir>/settings.json, or the user's settings file when no folder
    // was given.
    std::filesystem::path settingsFile() const;

    // Assigns the preset, then the present values, in the order of the
    // settings table.
    void applyTo(monitor::OSCSettings& settings) const;
};

// The outcome of reading a command line: either options to run with, or an
// exit code (0 after --help, 2 for anything that could not be understood).
struct CliParseResult {
    std::optional<CliOptions> options;
    int exitCode = 0;
};

// The presets as `--preset list` prints them, one per line.
std::string presetList();

// Reads the command line. --help and --preset list go to `out`, showing the values now held
// in the settings file that the command line points at; every error is one
// line on `err` naming the option at fault. Nothing is assigned or written
// here.
CliParseResult parseCliOptions(int argc, const char* const argv[], std::ostream& out, std::ostream& err);

}  // namespace vorn::tools
