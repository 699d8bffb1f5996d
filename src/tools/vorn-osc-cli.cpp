// vorn-osc-cli: the link monitor without a window. It prints the monitor's
// log as it grows and rings the terminal bell when the link dies.

#include "dispatch/AsioMainLoop.h"
#include "monitor/JsonSettingsStore.h"
#include "monitor/OSCManager.h"
#include "monitor/OSCSettings.h"
#include "tools/CliOptions.h"
#include "tools/TerminalAlert.h"

#include <asio/signal_set.hpp>

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

namespace {

using namespace vorn;

void printLine(const std::string& line) {
    // Flushed line by line: whoever reads this through a pipe or `tee` must
    // see a state change when it happens, not when a buffer fills.
    std::cout << line << '\n' << std::flush;
}

int monitorLink(const tools::CliOptions& options) {
    dispatch::AsioMainLoop mainLoop;

    // Watched before anything else starts, so that an early Ctrl-C still
    // ends the program through the same orderly path.
    asio::signal_set signals(mainLoop.context(), SIGINT, SIGTERM);
    signals.async_wait([&mainLoop](const asio::error_code& error, int) {
        if (!error) {
            mainLoop.stop();
        }
    });

    auto settings = std::make_shared<monitor::OSCSettings>(
        std::make_shared<monitor::JsonSettingsStore>(options.settingsFile(), "vorn-osc-cli"));
    options.applyTo(*settings);
    // The desktop app, or another run of this program, may change the file
    // while we watch: the monitor follows.
    settings->followStore(mainLoop);

    auto manager = monitor::OSCManager::create(settings, mainLoop, std::make_shared<tools::TerminalAlert>(std::cerr));

    // Nothing runs between these two statements: every line is appended on
    // this thread, and the loop has not started yet.
    for (const auto& line : manager->log.lines()) {
        printLine(line);
    }
    auto printing = manager->log.subscribe([](std::size_t, const std::string& line) { printLine(line); });

    mainLoop.run();

    printing.cancel();
    manager.reset();
    // Work the monitor queued before it went may still hold it; let that run
    // here, on the main thread, rather than inside the loop's destructor.
    mainLoop.context().poll();
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char* argv[]) {
    const auto parsed = vorn::tools::parseCliOptions(argc, argv, std::cout, std::cerr);
    if (!parsed.options) {
        return parsed.exitCode;
    }
    try {
        return monitorLink(*parsed.options);
    } catch (const std::exception& error) {
        std::cerr << "vorn-osc-cli: " << error.what() << '\n';
        return EXIT_FAILURE;
    }
}
