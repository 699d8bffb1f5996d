// The log view under a long show: a monitor window over five million log
// lines while 10 000 more arrive every second for 10 seconds, through the
// real log and its session file (in a scratch folder). Prints the memory the
// log holds, the event loop's longest stall, measured by a 1 ms timer, and
// how long an export of the whole log takes.
//
//   bench-log-view [--lines N] [--rate PER_SECOND] [--seconds S]

#include "app/LogExport.h"
#include "app/LogModel.h"
#include "app/MonitorView.h"
#include "app/QtMainLoop.h"
#include "monitor/OSCManager.h"
#include "monitor/OSCSettings.h"
#include "monitor/SessionLog.h"
#include "monitor/SettingsStore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kilobytes = 0;
            status >> kilobytes;
            return kilobytes;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

// Lines shaped like the monitor's own, so their lengths are realistic.
std::string logLine(long n) {
    switch (n % 4) {
    case 0:
        return "→ Sent ping “/eos/ping” to 192.168.1.20:8000";
    case 1:
        return "← Received “/eos/out/ping”";
    case 2:
        return "← Received “/eos/out/event/cue/1/" + std::to_string(n) + "/fire”";
    default:
        return "← Received “/eos/out/active/chan”";
    }
}

long option(int argc, char** argv, const std::string& name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (argv[i] == name) {
            return std::max(1L, std::atol(argv[i + 1]));
        }
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    const long initialLines = option(argc, argv, "--lines", 5'000'000);
    const long rate = option(argc, argv, "--rate", 10'000);
    const long seconds = option(argc, argv, "--seconds", 10);

    QApplication application(argc, argv);
    vorn::app::QtMainLoop mainLoop;
    auto settings = std::make_shared<vorn::monitor::OSCSettings>(
        "127.0.0.1", 9, 0, "/eos/ping", "/eos/out/ping", 30.0, false, 1.0, false, "Bench",
        std::make_shared<vorn::monitor::MemorySettingsStore>());
    auto manager = vorn::monitor::OSCManager::create(settings, mainLoop, nullptr);

    std::string scratch = (std::filesystem::temp_directory_path() / "vorn-bench-XXXXXX").string();
    if (::mkdtemp(scratch.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const auto session = vorn::monitor::SessionLog::start(scratch, [](std::string line) {
        std::fprintf(stderr, "%s\n", line.c_str());
    });
    manager->log.recordTo(session);

    const long before = residentKilobytes();
    for (long n = 0; n < initialLines; ++n) {
        manager->log.append(logLine(n));
        // Far faster than any show: let the disk keep pace, as it does at a
        // show's rate, rather than measure the writer's queue.
        if (n % 100'000 == 0) {
            session->waitUntilWritten(manager->log.count() - 50'000, std::chrono::seconds(30));
        }
    }
    session->waitUntilWritten(manager->log.count(), std::chrono::seconds(30));
    // A show writes these lines over many hours; written in seconds they
    // leave the disk hundreds of megabytes behind, and its catching up would
    // be measured below instead of the view.
    ::sync();
    const long filled = residentKilobytes();

    vorn::app::MonitorView view(settings, manager, mainLoop);
    view.resize(300, 400);
    view.show();
    QApplication::processEvents();

    QElapsedTimer clock;
    clock.start();
    long appended = 0;
    const long total = rate * seconds;
    QTimer feeder;
    feeder.setTimerType(Qt::PreciseTimer);
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        // Catch up to the rate, so a late tick appends more rather than
        // lowering the load.
        const long due = std::min<long>(total, static_cast<long>(clock.elapsed() * rate / 1000));
        for (; appended < due; ++appended) {
            manager->log.append(logLine(initialLines + appended));
        }
        if (appended >= total) {
            feeder.stop();
            QTimer::singleShot(200, &application, &QApplication::quit);
        }
    });

    qint64 last = 0;
    qint64 longestGap = 0;
    qint64 longestAt = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (last != 0) {
            if (now - last > longestGap) {
                longestGap = now - last;
                longestAt = now;
            }
        }
        last = now;
    });

    feeder.start(10);
    probe.start(1);
    QApplication::exec();
    const long after = residentKilobytes();

    const auto total_lines = static_cast<double>(initialLines + appended);
    std::printf("initial lines:            %ld\n", initialLines);
    std::printf("appended:                 %ld lines in %.1f s (%ld per second asked)\n", appended,
                static_cast<double>(clock.elapsed()) / 1000.0, rate);
    std::printf("lines in memory:          %zu (rows in the view: %d)\n", manager->log.size(),
                view.logModel()->rowCount());
    std::printf("longest event-loop stall: %.1f ms (1 ms probe timer; %.1f s into the run)\n",
                static_cast<double>(longestGap) / 1e6, static_cast<double>(longestAt) / 1e9);
    // The log's own memory: the view and its model keep nothing per line.
    std::printf("log memory:               %.1f MiB after the first %ld lines, %.1f MiB after all %.0f with the "
                "view shown (resident %.1f MiB)\n",
                static_cast<double>(filled - before) / 1024.0, initialLines,
                static_cast<double>(after - before) / 1024.0, total_lines, static_cast<double>(after) / 1024.0);

    // What the save button does once a file is picked, timed.
    QElapsedTimer exportClock;
    exportClock.start();
    const auto saved = std::filesystem::path(scratch) / "export.txt";
    const auto error = vorn::app::LogExport::writeAtomically(QString::fromStdString(saved.string()),
                                                             manager->log.snapshot());
    const qint64 exportMs = exportClock.elapsed();
    std::error_code ignored;
    std::printf("export of the whole log:  %.1f s, %.0f MiB (%s)\n", static_cast<double>(exportMs) / 1000.0,
                static_cast<double>(std::filesystem::file_size(saved, ignored)) / (1024.0 * 1024.0),
                error ? error->toStdString().c_str() : "ok");
    std::printf("session file:             %.0f MiB\n",
                static_cast<double>(std::filesystem::file_size(session->path(), ignored)) / (1024.0 * 1024.0));

    // Let the monitor go before the loop it posts to.
    std::weak_ptr<vorn::monitor::OSCManager> weak = manager;
    manager.reset();
    for (int i = 0; i < 100 && !weak.expired(); ++i) {
        QApplication::processEvents();
        QThread::msleep(10);
    }
    session->close();
    std::filesystem::remove_all(scratch, ignored);
    return 0;
}
