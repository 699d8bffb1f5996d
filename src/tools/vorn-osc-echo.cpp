// vorn-osc-echo: answers OSC pings as a lighting console does, so that a link
// monitor can be tried out without one.

#include "tools/EchoPeer.h"

#include <CLI/CLI.hpp>

#include <pthread.h>
#include <signal.h>

#include <cstdint>
#include <exception>
#include <iostream>
#include <string>

namespace {

// Anything the codec can carry as an address of ours: a leading slash and
// printable ASCII, so that what we compare and send is what was typed.
const CLI::Validator oscAddress(
    [](std::string& text) -> std::string {
        if (text.empty() || text.front() != '/') {
            return "an OSC address starts with '/': " + text;
        }
        for (const unsigned char c : text) {
            if (c <= ' ' || c > '~') {
                return "an OSC address holds printable ASCII without spaces: " + text;
            }
        }
        return {};
    },
    "ADDRESS");

}  // namespace

int main(int argc, char** argv) {
    // A reader of our output that has gone must not end the peer that a
    // monitor is watching; the lines are lost, the answers go on.
    signal(SIGPIPE, SIG_IGN);

    // Blocked before any thread starts, so every thread inherits the mask and
    // only sigwait below takes these signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    CLI::App app("Answers OSC pings over UDP as a lighting console does.", "vorn-osc-echo");
    vorn::tools::EchoOptions options;
    int listenPort = options.listenPort;
    int replyPort = options.replyPort;
    app.add_option("--listen-port", listenPort, "UDP port to receive pings on (0: any free port)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("--ping", options.ping, "Address of the pings to answer")
        ->check(oscAddress)
        ->capture_default_str();
    app.add_option("--reply", options.reply, "Address of the replies")->check(oscAddress)->capture_default_str();
    app.add_option("--reply-port", replyPort, "UDP port on the pinging host that replies go to")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // Help and version requests are successes; every bad value is a usage error.
        return app.exit(error) == 0 ? 0 : 2;
    }
    options.listenPort = static_cast<std::uint16_t>(listenPort);
    options.replyPort = static_cast<std::uint16_t>(replyPort);

    const auto peer = vorn::tools::EchoPeer::create(options, [](const std::string& line) {
        // Flushed line by line: whoever reads this is usually a pipe.
        std::cout << line << std::endl;
    });
    try {
        peer->start();
    } catch (const std::exception& error) {
        std::cerr << "vorn-osc-echo: cannot listen on port " << listenPort << ": " << error.what() << std::endl;
        return 1;
    }

    int received = 0;
    sigwait(&stopSignals, &received);
    peer->stop();
    return 0;
}
