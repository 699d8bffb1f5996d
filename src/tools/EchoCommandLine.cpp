#include "tools/EchoCommandLine.h"

#include "tools/detail/OptionValues.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <system_error>
#include <string_view>

namespace vorn::tools {

namespace {

constexpr std::string_view programName = "vorn-osc-echo";

using detail::BadValue;
using detail::portValue;

// Anything the codec can carry as an address of ours: a leading slash and
// printable ASCII, so that what we compare and send is what was typed.
std::string addressValue(std::string_view option, const std::string& text) {
    bool printable = true;
    for (const unsigned char c : text) {
        printable = printable && c > ' ' && c <= '~';
    }
    if (!text.starts_with('/') || !printable) {
        throw BadValue{std::string(option) +
                       " must be an OSC address: \"/\" first, then printable ASCII without spaces, not \"" + text +
                       "\""};
    }
    return text;
}

// Seconds between heartbeats: a positive number up to an hour, typed as a
// plain decimal.
double periodValue(std::string_view option, const std::string& text) {
    double value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end || !std::isfinite(value) || value < 0.01 ||
        value > 3600) {
        throw BadValue{std::string(option) + " must be a number of seconds from 0.01 to 3600, not \"" + text + "\""};
    }
    return value;
}

// A whole number from `low` to `high`, digits only.
std::uint32_t countValue(std::string_view option, const std::string& text, std::uint32_t low, std::uint32_t high,
                         std::string_view unit) {
    std::uint32_t value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end || value < low || value > high) {
        throw BadValue{std::string(option) + " must be a whole number" + std::string(unit) + " from " +
                       std::to_string(low) + " to " + std::to_string(high) + ", not \"" + text + "\""};
    }
    return value;
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// The command line as CLI11 reads it, values kept as typed.
struct CommandLine {
    CLI::App app;
    std::string listenPort;
    std::string ping;
    std::string reply;
    std::string replyPort;
    bool replyToSender = false;
    bool tcp = false;
    bool tcpSlip = false;
    std::string heartbeat;
    std::string heartbeatTo;
    std::string delay;
    std::string dropEvery;

    CLI::Option* listenPortOption = nullptr;
    CLI::Option* replyToSenderOption = nullptr;
    CLI::Option* heartbeatOption = nullptr;
    CLI::Option* heartbeatToOption = nullptr;
    CLI::Option* pingOption = nullptr;
    CLI::Option* replyOption = nullptr;
    CLI::Option* replyPortOption = nullptr;
    CLI::Option* delayOption = nullptr;
    CLI::Option* dropEveryOption = nullptr;

    CommandLine() : app(description(), std::string(programName)) {
        const EchoOptions defaults;
        app.get_formatter()->column_width(24);
        listenPortOption = app.add_option("--listen-port", listenPort)
                               ->type_name("N")
                               ->description("port to receive pings on, 0 to 65535; 0 picks any\nfree port "
                                             "(default: " +
                                             std::to_string(defaults.listenPort) + ")");
        pingOption = app.add_option("--ping", ping)
                         ->type_name("ADDRESS")
                         ->description("address of the pings to answer (default: " + quoted(defaults.ping) + ")");
        replyOption = app.add_option("--reply", reply)
                          ->type_name("ADDRESS")
                          ->description("address of the replies (default: " + quoted(defaults.reply) + ")");
        replyPortOption = app.add_option("--reply-port", replyPort)
                              ->type_name("N")
                              ->description("UDP port on the pinging host that replies go to,\n1 to 65535 (default: " +
                                            std::to_string(defaults.replyPort) + ")");
        replyToSenderOption =
            app.add_flag("--reply-to-sender", replyToSender)
                ->description("answer to the address and port each ping came from,\nnot at the reply port");
        app.add_flag("--tcp", tcp)->description(
            "listen for OSC over TCP (OSC 1.0 framing) instead of UDP,\nand answer over the connection each ping "
            "came on");
        app.add_flag("--tcp-slip", tcpSlip)->description("as --tcp, with SLIP framing");
        heartbeatOption = app.add_option("--heartbeat", heartbeat)
                              ->type_name("SECONDS")
                              ->description("answer nothing; send the reply address on its own\nevery SECONDS to "
                                            "the heartbeat host at the reply port");
        heartbeatToOption = app.add_option("--heartbeat-to", heartbeatTo)
                                ->type_name("HOST")
                                ->description("where heartbeats go (default: " + quoted(defaults.heartbeatHost) +
                                              ")");
        delayOption = app.add_option("--delay", delay)
                          ->type_name("MS")
                          ->description("answer each ping MS milliseconds late, 1 to 60000,\nwithout holding up "
                                        "the answers to later pings");
        dropEveryOption = app.add_option("--drop-every", dropEvery)
                              ->type_name("N")
                              ->description("leave every Nth ping unanswered, 1 to 1000000\n(1 answers none)");
        app.footer("An OSC address starts with \"/\" and holds printable ASCII without spaces.");
    }

    static std::string description() {
        return "Answers OSC pings as a lighting console does, to try a link monitor out\n"
               "without one.\n"
               "\n"
               "It listens for OSC messages over UDP and answers every message whose address\n"
               "matches the ping address (such as /eos/ping, or a pattern like /eos/p*) with\n"
               "the reply address and the same arguments, sent to the host the ping came\n"
               "from at the reply port (or, with --reply-to-sender, to the port it came\n"
               "from). With --heartbeat it answers nothing and sends the reply address on\n"
               "its own instead. With --tcp or --tcp-slip it takes TCP connections and\n"
               "answers over the connection each ping came on. It prints one line for every\n"
               "message received.\n"
               "Ctrl-C stops it.\n";
    }

    EchoOptions options() const {
        EchoOptions result;
        if (listenPortOption->count() > 0) {
            result.listenPort = static_cast<std::uint16_t>(portValue("--listen-port", listenPort, 0));
        }
        if (pingOption->count() > 0) {
            result.ping = addressValue("--ping", ping);
        }
        if (replyOption->count() > 0) {
            result.reply = addressValue("--reply", reply);
        }
        if (replyPortOption->count() > 0) {
            result.replyPort = static_cast<std::uint16_t>(portValue("--reply-port", replyPort));
        }
        if (replyToSender && heartbeatOption->count() > 0) {
            throw BadValue{"--reply-to-sender and --heartbeat cannot be given together: a heartbeat answers nothing"};
        }
        result.replyToSender = replyToSender;
        if (tcp && tcpSlip) {
            throw BadValue{"--tcp and --tcp-slip cannot be given together"};
        }
        if ((tcp || tcpSlip) && (replyToSender || heartbeatOption->count() > 0)) {
            throw BadValue{"--tcp and --tcp-slip answer over the connection: --reply-to-sender and --heartbeat do "
                           "not apply"};
        }
        if (tcp || tcpSlip) {
            result.tcp = tcpSlip ? net::OSCFraming::slip : net::OSCFraming::lengthPrefixed;
        }
        if (heartbeatOption->count() > 0) {
            result.heartbeat = periodValue("--heartbeat", heartbeat);
        }
        if (heartbeatToOption->count() > 0) {
            if (heartbeatTo.empty()) {
                throw BadValue{"--heartbeat-to must be a host name or address, not empty"};
            }
            result.heartbeatHost = heartbeatTo;
        }
        if (delayOption->count() > 0) {
            if (heartbeatOption->count() > 0) {
                throw BadValue{"--delay and --heartbeat cannot be given together: a heartbeat answers nothing"};
            }
            result.delayMs = countValue("--delay", delay, 1, 60000, " of milliseconds");
        }
        if (dropEveryOption->count() > 0) {
            result.dropEvery = countValue("--drop-every", dropEvery, 1, 1000000, "");
        }
        return result;
    }
};

}  // namespace

EchoParseResult parseEchoOptions(int argc, const char* const argv[], std::ostream& out, std::ostream& err) {
    CommandLine commandLine;
    return detail::parseCommandLine<EchoParseResult>(
        commandLine.app, programName, argc, argv, out, err, [] {},
        [&commandLine]() -> EchoParseResult { return {commandLine.options(), 0}; });
}

}  // namespace vorn::tools
