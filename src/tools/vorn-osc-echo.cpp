// vorn-osc-echo: answers OSC pings as a lighting console does, so that a link
// monitor can be tried out without one.

#include "tools/EchoCommandLine.h"
#include "tools/EchoPeer.h"

#include <pthread.h>
#include <signal.h>

#include <exception>
#include <iostream>
#include <string>

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

    const auto parsed = vorn::tools::parseEchoOptions(argc, argv, std::cout, std::cerr);
    if (!parsed.options) {
        return parsed.exitCode;
    }
    const vorn::tools::EchoOptions& options = *parsed.options;

    const auto peer = vorn::tools::EchoPeer::create(options, [](const std::string& line) {
        // Flushed line by line: whoever reads this is usually a pipe.
        std::cout << line << std::endl;
    });
    try {
        peer->start();
    } catch (const std::exception& error) {
        std::cerr << "vorn-osc-echo: cannot listen on port " << options.listenPort << ": " << error.what() << std::endl;
        return 1;
    }

    int received = 0;
    sigwait(&stopSignals, &received);
    peer->stop();
    return 0;
}
