#include "tools/CliOptions.h"

#include "monitor/JsonSettingsStore.h"
#include "tools/detail/AlarmOptions.h"
#include "tools/detail/OptionValues.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cmath>
#include <memory>
#include <sstream>
#include <string_view>
#include <system_error>

namespace vorn::tools {

namespace {

constexpr std::string_view programName = "vorn-osc-cli";

using Settings = monitor::OSCSettings;

using detail::BadValue;
using detail::portValue;

// Any positive number of seconds: the settings bring it into 1 to 30
// themselves, as they do for the form's stepper.
double intervalValue(std::string_view option, const std::string& text) {
    double value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end || !std::isfinite(value) || value <= 0) {
        std::ostringstream message;
        message << option << " must be a number of seconds above 0 (kept within " << Settings::minPingInterval
                << " to " << Settings::maxPingInterval << "), not \"" << text << "\"";
        throw BadValue{message.str()};
    }
    return value;
}

bool isBlank(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c) != 0; });
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string secondsText(double seconds) {
    std::ostringstream out;
    out << seconds << " s";
    return out.str();
}

// A switch and its opposite: on, off, or left as it is.
std::optional<bool> onOff(const std::string& on, bool isOn, const std::string& off, bool isOff) {
    if (isOn && isOff) {
        throw BadValue{on + " and " + off + " cannot be given together"};
    }
    if (isOn || isOff) {
        return isOn;
    }
    return std::nullopt;
}

// The command line as CLI11 reads it. Values are kept as typed, so that a
// bad one is reported in our words rather than as a conversion failure.
struct CommandLine {
    CLI::App app;
    std::string configDir;
    std::string target;
    std::string targetPort;
    std::string receivePort;
    std::string ping;
    std::string reply;
    std::string interval;
    std::string preset;
    std::string transport;
    bool alarm = false;
    bool noAlarm = false;
    bool pingPortReplies = false;
    bool noPingPortReplies = false;
    bool passive = false;
    bool noPassive = false;
    bool showSender = false;
    detail::AlarmOptions alarms;

    CLI::Option* configDirOption = nullptr;
    CLI::Option* targetOption = nullptr;
    CLI::Option* targetPortOption = nullptr;
    CLI::Option* receivePortOption = nullptr;
    CLI::Option* pingOption = nullptr;
    CLI::Option* replyOption = nullptr;
    CLI::Option* intervalOption = nullptr;
    CLI::Option* presetOption = nullptr;
    CLI::Option* transportOption = nullptr;
    CLI::Option* alarmOption = nullptr;
    CLI::Option* noAlarmOption = nullptr;
    CLI::Option* pingPortRepliesOption = nullptr;
    CLI::Option* noPingPortRepliesOption = nullptr;
    CLI::Option* passiveOption = nullptr;
    CLI::Option* noPassiveOption = nullptr;
    CLI::Option* showSenderOption = nullptr;

    CommandLine() : app(description(), std::string(programName)) {
        app.get_formatter()->column_width(28);
        presetOption = app.add_option("--preset", preset)->type_name("NAME");
        targetOption = app.add_option("--target", target)->type_name("HOST");
        targetPortOption = app.add_option("--target-port", targetPort)->type_name("N");
        receivePortOption = app.add_option("--receive-port", receivePort)->type_name("N");
        pingOption = app.add_option("--ping", ping)->type_name("ADDRESS");
        replyOption = app.add_option("--reply", reply)->type_name("TEXT");
        intervalOption = app.add_option("--interval", interval)->type_name("SECONDS");
        transportOption = app.add_option("--transport", transport)->type_name("udp|tcp|tcp-slip");
        alarmOption = app.add_flag("--alarm", alarm);
        noAlarmOption = app.add_flag("--no-alarm", noAlarm);
        pingPortRepliesOption = app.add_flag("--ping-port-replies", pingPortReplies);
        noPingPortRepliesOption = app.add_flag("--no-ping-port-replies", noPingPortReplies);
        passiveOption = app.add_flag("--passive", passive);
        noPassiveOption = app.add_flag("--no-passive", noPassive);
        showSenderOption = app.add_flag("--show-sender", showSender);
        alarms.add(app);
        configDirOption = app.add_option("--config-dir", configDir)->type_name("DIR");
        app.footer(footer());
    }

    static std::string description() {
        return "Watches one OSC link from a terminal.\n"
               "\n"
               "Every ping interval it sends a ping to your console or show controller and\n"
               "listens on the receive port for the answer, and on the port the ping left\n"
               "from, for devices that answer whoever sent to them. It prints one line for every\n"
               "ping, every message received and every change of state. The link is ALIVE\n"
               "while answers come back and DEAD after two pings in a row go unanswered;\n"
               "then the terminal bell rings (unless the alarm is off). SIGUSR1 mutes the\n"
               "alarm until the link is ALIVE again, or unmutes it. Ctrl-C stops it.\n"
               "\n"
               "The options change the saved settings, as an edit in the settings form of\n"
               "the desktop app would: what you give once stays in force for later runs.\n";
    }

    static std::string footer() {
        std::ostringstream out;
        out << "Intervals below " << Settings::minPingInterval << " s count as " << Settings::minPingInterval
            << " s and those above " << Settings::maxPingInterval << " s as " << Settings::maxPingInterval << " s.\n"
            << "Settings file: " << monitor::JsonSettingsStore::defaultPath().string()
            << " unless --config-dir is given.";
        return out.str();
    }

    // The option texts, with the values that the settings hold now: what the
    // monitor would use if the option were left out.
    void describe(const Settings& now) {
        presetOption->description("fill ping, reply, ports and mode for a kind of device;\n"
                                  "\"--preset list\" shows them; other options given beside\nit change its fields");
        targetOption->description("where to send pings: the console's name or address\n(now: " +
                                  quoted(now.targetIP) + ")");
        targetPortOption->description("UDP port the console listens on, 1 to 65535\n(now: " +
                                      std::to_string(now.targetPort.get()) + ")");
        receivePortOption->description("UDP port on this machine for the console's answers,\n1 to 65535 (now: " +
                                       std::to_string(now.receivePort.get()) + ")");
        pingOption->description("OSC address of the ping (now: " + quoted(now.pingMessage) + ")");
        replyOption->description("an answer is any message whose address contains this\ntext (now: " +
                                 quoted(now.desiredReply) + ")");
        intervalOption->description("seconds between pings, 1 to 30 (now: " + secondsText(now.pingInterval) + ")");
        transportOption->description("how pings and answers travel: UDP, or one TCP\nconnection with OSC 1.0 or SLIP "
                                     "framing; over TCP\nthe receive port is not used (now: " +
                                     std::string(now.transport.get()) + ")");
        alarmOption->description(std::string("ring the bell when the link goes DEAD (now: ") +
                                 (now.alarmEnabled ? "on" : "off") + ")");
        noAlarmOption->description("stay quiet when the link goes DEAD");
        pingPortRepliesOption->description(
            std::string("also hear answers sent back to the port each ping left\nfrom (now: ") +
            (now.listenOnPingPort ? "on" : "off") + ")");
        noPingPortRepliesOption->description("hear answers on the receive port only");
        passiveOption->description(std::string("send no pings: judge each interval by the messages\nthe device sends "
                                               "on its own, such as a heartbeat\n(now: ") +
                                   (now.passive ? "on" : "off") + ")");
        noPassiveOption->description("ping again, every interval");
        showSenderOption->description("print where each received message came from beside\nits line (this run only)");
        alarms.describe(now);
        configDirOption->description("keep the settings in DIR/settings.json instead:\none folder per link when you "
                                     "watch several");
    }

    CliOptions options() const {
        CliOptions result;
        if (configDirOption->count() > 0) {
            if (configDir.empty()) {
                throw BadValue{"--config-dir must name a folder, not be empty"};
            }
            result.configDir = std::filesystem::path(configDir);
        }
        if (presetOption->count() > 0) {
            result.preset = monitor::findDevicePreset(preset);
            if (result.preset == nullptr) {
                std::string names;
                for (const auto& known : monitor::devicePresets()) {
                    names += std::string(known.name) + ", ";
                }
                throw BadValue{"--preset must be one of " + names + "or list, not " + quoted(preset)};
            }
        }
        if (targetOption->count() > 0) {
            if (isBlank(target)) {
                throw BadValue{"--target must be a host name or address, not empty"};
            }
            result.targetIP = target;
        }
        if (targetPortOption->count() > 0) {
            result.targetPort = portValue("--target-port", targetPort);
        }
        if (receivePortOption->count() > 0) {
            result.receivePort = portValue("--receive-port", receivePort);
        }
        // Values that would leave nothing to watch: a ping no console can
        // take for an OSC address, or a reply text that every message holds.
        if (pingOption->count() > 0) {
            if (!ping.starts_with('/')) {
                throw BadValue{"--ping must be an OSC address, which starts with \"/\", not " + quoted(ping)};
            }
            result.pingMessage = ping;
        }
        if (replyOption->count() > 0) {
            if (reply.empty()) {
                throw BadValue{"--reply must not be empty: every message would count as an answer"};
            }
            result.desiredReply = reply;
        }
        if (intervalOption->count() > 0) {
            result.pingInterval = intervalValue("--interval", interval);
        }
        if (transportOption->count() > 0) {
            if (!Settings::isTransport(transport)) {
                throw BadValue{"--transport must be udp, tcp or tcp-slip, not " + quoted(transport)};
            }
            result.transport = transport;
        }
        result.alarmEnabled = onOff("--alarm", alarm, "--no-alarm", noAlarm);
        result.listenOnPingPort =
            onOff("--ping-port-replies", pingPortReplies, "--no-ping-port-replies", noPingPortReplies);
        result.passive = onOff("--passive", passive, "--no-passive", noPassive);
        result.showSender = showSender;
        alarms.read(result);
        if (result.json && showSender) {
            throw BadValue{"--show-sender and --json cannot be given together: each JSON object has its sender"};
        }
        return result;
    }
};

}  // namespace

std::filesystem::path CliOptions::settingsFile() const {
    if (configDir) {
        return *configDir / "settings.json";
    }
    return monitor::JsonSettingsStore::defaultPath();
}

void CliOptions::applyTo(Settings& settings) const {
    // Only what was given is assigned, so that nothing else is written back.
    const auto assign = [](auto& setting, const auto& given) {
        if (given) setting = *given;
    };
    if (preset != nullptr) {
        monitor::applyDevicePreset(*preset, settings);
    }
    assign(settings.targetIP, targetIP);
    assign(settings.targetPort, targetPort);
    assign(settings.receivePort, receivePort);
    assign(settings.pingMessage, pingMessage);
    assign(settings.desiredReply, desiredReply);
    assign(settings.pingInterval, pingInterval);
    assign(settings.alarmEnabled, alarmEnabled);
    assign(settings.listenOnPingPort, listenOnPingPort);
    assign(settings.passive, passive);
    assign(settings.transport, transport);
    assign(settings.missesBeforeDead, missesBeforeDead);
    assign(settings.repliesBeforeAlive, repliesBeforeAlive);
    assign(settings.slowRoundTripMs, slowRoundTripMs);
    assign(settings.deadReminderMinutes, deadReminderMinutes);
    assign(settings.alarmSound, alarmSound);
    assign(settings.onDeadCommand, onDeadCommand);
    assign(settings.onAliveCommand, onAliveCommand);
    assign(settings.stateMessage, stateMessage);
}

std::string presetList() {
    std::ostringstream out;
    for (const auto& preset : monitor::devicePresets()) {
        out << preset.name << std::string(18 - std::min<std::size_t>(preset.name.size(), 17), ' ') << preset.title
            << '\n'
            << std::string(18, ' ') << "ping " << preset.pingMessage << ", reply "
            << quoted(std::string(preset.desiredReply))
            << ", target port " << preset.targetPort << ", receive port " << preset.receivePort
            << (preset.passive            ? ", passive"
                : preset.listenOnPingPort ? ", answers to the ping's port"
                                          : "")
            << (preset.transport == Settings::Transports::tcp       ? ", over TCP"
                : preset.transport == Settings::Transports::tcpSlip ? ", over TCP with SLIP framing"
                                                                     : "")
            << '\n';
    }
    return out.str();
}

CliParseResult parseCliOptions(int argc, const char* const argv[], std::ostream& out, std::ostream& err) {
    CommandLine commandLine;
    const auto beforeHelp = [&commandLine] {
        // The folder is read even when help is asked for, so that the values
        // shown are those of the file the same command line would use; only
        // read: asking for help changes nothing, not even a broken file.
        CliOptions where;
        if (!commandLine.configDir.empty()) {
            where.configDir = std::filesystem::path(commandLine.configDir);
        }
        const Settings now(std::make_shared<monitor::JsonSettingsStore>(
            where.settingsFile(), std::string(programName), monitor::JsonSettingsStore::Access::readOnly));
        commandLine.describe(now);
    };
    const auto read = [&commandLine, &out]() -> CliParseResult {
        if (commandLine.presetOption->count() > 0 && commandLine.preset == "list") {
            out << presetList() << std::flush;
            return {std::nullopt, 0};
        }
        return {commandLine.options(), 0};
    };
    return detail::parseCommandLine<CliParseResult>(commandLine.app, programName, argc, argv, out, err, beforeHelp,
                                                    read);
}

}  // namespace vorn::tools
