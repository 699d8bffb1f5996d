// vorn-osc-cli: the link monitor without a window. It prints the monitor's
// log as it grows, keeps it in a session file, and rings the terminal bell
// when the link dies.

#include "dispatch/AsioMainLoop.h"
#include "monitor/JsonSettingsStore.h"
#include "monitor/OSCManager.h"
#include "monitor/OSCSettings.h"
#include "monitor/SessionLog.h"
#include "tools/CliOptions.h"
#include "tools/JsonEvents.h"
#include "tools/LinePrinter.h"
#include "tools/TerminalAlert.h"

#include <asio/signal_set.hpp>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

using namespace vorn;

// The exit code when standard output has gone for good (its reader has
// ended): the monitor stops, since nobody sees it any more.
constexpr int outputClosedExitCode = 3;

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

    // The bell only where someone can hear it: a bell byte in a captured
    // log is litter.
    auto manager = monitor::OSCManager::create(
        settings, mainLoop, std::make_shared<tools::TerminalAlert>(std::cerr, ::isatty(STDOUT_FILENO) == 1));

    // SIGUSR1 mutes the alarm until the link is ALIVE again, or unmutes it;
    // taken by the loop, so the monitor is only ever touched on its thread.
    asio::signal_set muteSignal(mainLoop.context(), SIGUSR1);
    std::function<void(const asio::error_code&, int)> onMuteSignal = [&](const asio::error_code& error, int) {
        if (error) {
            return;
        }
        manager->toggleMute();
        muteSignal.async_wait(onMuteSignal);
    };
    muteSignal.async_wait(onMuteSignal);

    // The whole log goes to the session file; nothing but the printer's
    // buffer keeps lines in memory. The loop has not started yet, so no line
    // can slip in between the steps below.
    const std::weak_ptr<monitor::OSCManager> weak = manager;
    const auto session = monitor::SessionLog::start(monitor::SessionLog::defaultDirectory(),
                                                    [&mainLoop, weak](std::string line) {
                                                        mainLoop.post([weak, line = std::move(line)]() mutable {
                                                            if (auto self = weak.lock()) {
                                                                self->log.append(std::move(line));
                                                            }
                                                        });
                                                    });
    manager->log.recordTo(session);

    int outputError = 0;
    tools::LinePrinter printer(STDOUT_FILENO, session, [&mainLoop, &outputError](int error) {
        mainLoop.post([&mainLoop, &outputError, error] {
            outputError = error;
            mainLoop.stop();
        });
    });
    // The sender and the time go beside the line, never into it: the
    // session file and anything that reads the lines keep their exact text.
    const auto show = [&printer, &options](std::size_t index, const std::string& line,
                                           const monitor::LineEvent& event, const std::string& sender) {
        const auto now = std::chrono::system_clock::now();
        if (options.json) {
            printer.print(index, tools::jsonEvent(now, event, line));
            return;
        }
        std::string text = options.timestamps ? tools::timestamped(now, line) : line;
        if (options.showSender && !sender.empty()) {
            text += "  (from " + sender + ")";
        }
        printer.print(index, text);
    };
    for (std::size_t i = 0; i < manager->log.size(); ++i) {
        // Only the restart line comes before the loop runs.
        show(manager->log.firstIndex() + i, manager->log[i], monitor::LineEvent("restart"), {});
    }
    manager->log.setMemoryLimit(0);
    auto printing = manager->log.subscribe(
        [&show, monitor = manager.get()](std::size_t index, const std::string& line) {
            show(index, line, monitor->eventOfLineBeingAppended(), monitor->senderOfLineBeingAppended());
        });

    mainLoop.run();

    muteSignal.cancel();
    if (options.json && outputError == 0) {
        printer.print(manager->log.count() - 1,
                      tools::jsonSummary(std::chrono::system_clock::now(), manager->currentStatistics()));
    }

    printing.cancel();
    manager.reset();
    // Work the monitor queued before it went may still hold it; let that run
    // here, on the main thread, rather than inside the loop's destructor.
    mainLoop.context().poll();
    printer.finish(std::chrono::seconds(1));
    session->close();
    if (outputError != 0) {
        std::cerr << "vorn-osc-cli: standard output closed (" << std::strerror(outputError) << "), stopping";
        if (!session->path().empty()) {
            std::cerr << "; the log is in " << session->path().string();
        }
        std::cerr << '\n';
        return outputClosedExitCode;
    }
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::signal(SIGPIPE, SIG_IGN);
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
