#pragma once

// The options of vorn-osc-cli that shape its alarms and what it does on a
// change of state, and its output formats: read like the others, as typed,
// and checked here so that a bad value is told in our words.

#include "monitor/HookCommand.h"
#include "monitor/OSCSettings.h"
#include "tools/CliOptions.h"
#include "tools/detail/OptionValues.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

namespace vorn::tools::detail {

inline std::int64_t wholeValue(std::string_view option, const std::string& text, std::int64_t low,
                               std::int64_t high) {
    std::int64_t value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end || value < low || value > high) {
        throw BadValue{std::string(option) + " must be a whole number from " + std::to_string(low) + " to " +
                       std::to_string(high) + ", not \"" + text + "\""};
    }
    return value;
}

struct AlarmOptions {
    using Settings = monitor::OSCSettings;

    std::string missesBeforeDead;
    std::string repliesBeforeAlive;
    std::string slowMs;
    std::string remindMinutes;
    bool sound = false;
    bool noSound = false;
    std::string onDead;
    std::string onAlive;
    std::string onChangeOSC;
    bool json = false;
    bool timestamps = false;

    CLI::Option* missesOption = nullptr;
    CLI::Option* repliesOption = nullptr;
    CLI::Option* slowOption = nullptr;
    CLI::Option* remindOption = nullptr;
    CLI::Option* soundOption = nullptr;
    CLI::Option* noSoundOption = nullptr;
    CLI::Option* onDeadOption = nullptr;
    CLI::Option* onAliveOption = nullptr;
    CLI::Option* onChangeOSCOption = nullptr;
    CLI::Option* jsonOption = nullptr;
    CLI::Option* timestampsOption = nullptr;

    void add(CLI::App& app) {
        missesOption = app.add_option("--misses-before-dead", missesBeforeDead)->type_name("N");
        repliesOption = app.add_option("--replies-before-alive", repliesBeforeAlive)->type_name("N");
        slowOption = app.add_option("--slow-ms", slowMs)->type_name("MS");
        remindOption = app.add_option("--remind-every", remindMinutes)->type_name("MINUTES");
        soundOption = app.add_flag("--sound", sound);
        noSoundOption = app.add_flag("--no-sound", noSound);
        onDeadOption = app.add_option("--on-dead", onDead)->type_name("CMD");
        onAliveOption = app.add_option("--on-alive", onAlive)->type_name("CMD");
        onChangeOSCOption = app.add_option("--on-change-osc", onChangeOSC)->type_name("HOST:PORT/ADDRESS");
        jsonOption = app.add_flag("--json", json);
        timestampsOption = app.add_flag("--timestamps", timestamps);
    }

    static std::string quotedOrOff(const std::string& text) {
        return text.empty() ? std::string("off") : "\"" + text + "\"";
    }

    void describe(const Settings& now) {
        missesOption->description("silent intervals in a row before DEAD, 1 to 100\n(now: " +
                                  std::to_string(now.missesBeforeDead.get()) + ")");
        repliesOption->description("intervals with an answer in a row before ALIVE,\n1 to 100 (now: " +
                                   std::to_string(now.repliesBeforeAlive.get()) + ")");
        slowOption->description("warn of a slow link above this round trip, 1 to\n60000 ms; 0 is off (now: " +
                                (now.slowRoundTripMs.get() > 0 ? std::to_string(now.slowRoundTripMs.get()) + " ms"
                                                               : std::string("off")) +
                                ")");
        remindOption->description("while DEAD, alert again every MINUTES, 1 to 1440;\n0 is off (now: " +
                                  (now.deadReminderMinutes.get() > 0
                                       ? std::to_string(now.deadReminderMinutes.get()) + " min"
                                       : std::string("off")) +
                                  ")");
        soundOption->description(std::string("ring the bell with each alert, when standard output\nis a terminal "
                                             "(now: ") +
                                 (now.alarmSound ? "on" : "off") + ")");
        noSoundOption->description("alert without the bell");
        onDeadOption->description("run CMD when the link goes DEAD, split into words\nwithout a shell; \"\" is "
                                  "none (now: " +
                                  quotedOrOff(now.onDeadCommand) + ")");
        onAliveOption->description("run CMD when the link goes ALIVE (now: " + quotedOrOff(now.onAliveCommand) +
                                   ")");
        onChangeOSCOption->description("send the new state as a string to ADDRESS at\nHOST:PORT at each change; "
                                       "\"\" is none (now: " +
                                       quotedOrOff(now.stateMessage) + ")");
        jsonOption->description("print one JSON object per event instead of the\nlines, and a summary at the end "
                                "(this run only)");
        timestampsOption->description("put the local time before each line (this run only)");
    }

    void read(CliOptions& result) const {
        if (missesOption->count() > 0) {
            result.missesBeforeDead = wholeValue("--misses-before-dead", missesBeforeDead, 1, Settings::maxStateCount);
        }
        if (repliesOption->count() > 0) {
            result.repliesBeforeAlive =
                wholeValue("--replies-before-alive", repliesBeforeAlive, 1, Settings::maxStateCount);
        }
        if (slowOption->count() > 0) {
            result.slowRoundTripMs = wholeValue("--slow-ms", slowMs, 0, Settings::maxSlowRoundTripMs);
        }
        if (remindOption->count() > 0) {
            result.deadReminderMinutes =
                wholeValue("--remind-every", remindMinutes, 0, Settings::maxDeadReminderMinutes);
        }
        if (sound && noSound) {
            throw BadValue{"--sound and --no-sound cannot be given together"};
        }
        if (sound || noSound) {
            result.alarmSound = sound;
        }
        const auto command = [](std::string_view option, const std::string& text, std::optional<std::string>& to) {
            std::string why;
            if (!monitor::splitCommand(text, &why)) {
                throw BadValue{std::string(option) + " cannot be split into words: " + why};
            }
            to = text;
        };
        if (onDeadOption->count() > 0) {
            command("--on-dead", onDead, result.onDeadCommand);
        }
        if (onAliveOption->count() > 0) {
            command("--on-alive", onAlive, result.onAliveCommand);
        }
        if (onChangeOSCOption->count() > 0) {
            std::string why;
            if (!onChangeOSC.empty() && !monitor::parseStateMessage(onChangeOSC, &why)) {
                throw BadValue{"--on-change-osc must be HOST:PORT/ADDRESS: " + why + ", not \"" + onChangeOSC + "\""};
            }
            result.stateMessage = onChangeOSC;
        }
        result.json = json;
        result.timestamps = timestamps;
    }
};

}  // namespace vorn::tools::detail
