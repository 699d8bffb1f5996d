// The monitor window beside a chatty console: 5 000 messages a second into
// the monitor's receive port over loopback for a minute, on the offscreen
// platform. Prints the event loop's longest stall, measured as the lateness
// of a 10 ms timer, and the CPU the monitor used over the run, user and
// system, as a share of one core.
//
// The console is a child process, so that its sending counts neither in our
// CPU nor against our threads.
//
//   bench-chatty-console [--rate PER_SECOND] [--seconds S]
//   (or VORN_BENCH_SECONDS=S for a quick run)

#include "app/MonitorView.h"
#include "app/QtMainLoop.h"
#include "monitor/OSCManager.h"
#include "monitor/OSCSettings.h"
#include "monitor/SettingsStore.h"
#include "osc/OSCMessage.h"
#include "udp/FreePort.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

long option(int argc, char** argv, const std::string& name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (argv[i] == name) {
            return std::max(1L, std::atol(argv[i + 1]));
        }
    }
    return fallback;
}

// What a lighting console says when it says a lot: parameter and channel
// updates, and now and then the reply the monitor waits for.
std::vector<std::vector<std::uint8_t>> consoleChatter() {
    using vorn::osc::OSCMessage;
    std::vector<std::vector<std::uint8_t>> chatter;
    for (int i = 0; i < 9; ++i) {
        chatter.push_back(OSCMessage("/eos/out/param/intensity", {static_cast<std::int32_t>(i), 0.5f})
                              .rawData()
                              .toVector());
        std::string channel = std::to_string(10 + i);
        channel += " [100]";
        chatter.push_back(OSCMessage("/eos/out/active/chan", {channel}).rawData().toVector());
    }
    chatter.push_back(OSCMessage("/eos/out/ping", {}).rawData().toVector());
    return chatter;
}

// Sends `rate` messages a second to 127.0.0.1:`port` for `seconds`, in steps
// of a millisecond, catching up after a late step so the rate holds.
[[noreturn]] void beTheConsole(std::uint16_t port, long rate, long seconds) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto chatter = consoleChatter();
    const auto start = Clock::now();
    long sent = 0;
    const long total = rate * seconds;
    while (sent < total) {
        const auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const long due = std::min(total, static_cast<long>(elapsed * static_cast<double>(rate)));
        for (; sent < due; ++sent) {
            const auto& message = chatter[static_cast<std::size_t>(sent) % chatter.size()];
            (void)::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::close(fd);
    std::_Exit(0);
}

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    const long rate = option(argc, argv, "--rate", 5'000);
    const char* quick = std::getenv("VORN_BENCH_SECONDS");
    const long seconds = option(argc, argv, "--seconds", quick != nullptr ? std::max(1L, std::atol(quick)) : 60);
    const std::uint16_t port = vorn::udp::freePort();
    if (port == 0) {
        std::fprintf(stderr, "no free port\n");
        return 1;
    }

    QApplication application(argc, argv);
    vorn::app::QtMainLoop mainLoop;
    // The target is the discard port on loopback: the pings go nowhere, and
    // the console's "/eos/out/ping" counts as their replies.
    auto settings = std::make_shared<vorn::monitor::OSCSettings>(
        "127.0.0.1", 9, port, "/eos/ping", "/eos/out/ping", 1.0, false, 1.0, false, "Bench",
        std::make_shared<vorn::monitor::MemorySettingsStore>());
    auto manager = vorn::monitor::OSCManager::create(settings, mainLoop, nullptr);
    vorn::app::MonitorView view(settings, manager, mainLoop);
    view.resize(300, 400);
    view.show();
    // Let the server start listening before the console starts talking.
    for (int i = 0; i < 50; ++i) {
        QApplication::processEvents();
        QThread::msleep(10);
    }
    const std::uint64_t linesBefore = manager->log.count();

    // Forked here, before the run and after the threads the monitor started:
    // the child touches nothing of ours but its own socket.
    const pid_t console = ::fork();
    if (console == 0) {
        beTheConsole(port, rate, seconds);
    }
    if (console < 0) {
        std::perror("fork");
        return 1;
    }

    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    constexpr qint64 period = 10'000'000;
    qint64 last = 0;
    qint64 longestLate = 0;
    qint64 longestAt = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (last != 0 && now - last - period > longestLate) {
            longestLate = now - last - period;
            longestAt = now;
        }
        last = now;
    });
    probe.start(10);
    QTimer::singleShot(static_cast<int>(seconds * 1000), &application, &QApplication::quit);
    QApplication::exec();
    const double wall = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    int status = 0;
    ::waitpid(console, &status, 0);
    const auto lines = static_cast<unsigned long long>(manager->log.count() - linesBefore);

    std::printf("console:                  %ld messages a second to 127.0.0.1:%u for %ld s\n", rate, port, seconds);
    std::printf("log lines written:        %llu (%.0f a second)\n", lines, static_cast<double>(lines) / wall);
    std::printf("longest event-loop stall: %.1f ms late on a 10 ms timer (%.1f s into the run)\n",
                static_cast<double>(longestLate) / 1e6, static_cast<double>(longestAt) / 1e9);
    std::printf("monitor CPU:              %.2f s over %.1f s, %.2f of one core\n", cpu, wall, cpu / wall);

    // Let the monitor go before the loop it posts to.
    std::weak_ptr<vorn::monitor::OSCManager> weak = manager;
    manager.reset();
    for (int i = 0; i < 100 && !weak.expired(); ++i) {
        QApplication::processEvents();
        QThread::msleep(10);
    }
    return 0;
}
