// vorn-osc-screenshots: the pictures in the README, taken from the real
// widgets over a monitor whose clock the tool moves itself, so every run shows
// the same log without waiting through real ping intervals.
//
//   vorn-osc-screenshots [OUTPUT_DIR]     (scripts/screenshots runs it under Xvfb)
//
// Pings go to 127.0.0.1, where nothing answers; the console's replies are
// handed to the monitor directly, as its server would hand them over.

#include "app/MainWindow.h"
#include "app/SettingsWindowManager.h"
#include "app/TrayStatus.h"
#include "dispatch/ManualMainLoop.h"
#include "monitor/OSCManager.h"
#include "monitor/OSCSettings.h"
#include "monitor/SettingsStore.h"
#include "osc/OSCMessage.h"
#include "udp/FreePort.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace {

using namespace std::chrono_literals;
using vorn::dispatch::ManualMainLoop;
using vorn::monitor::OSCManager;
using vorn::monitor::OSCSettings;

constexpr std::int64_t consolePort = 8000;
constexpr double pingInterval = 2.0;

// The usual receive port, unless a monitor or console on this machine holds
// it: the pictures should show a server that listens.
std::int64_t receivePort() {
    const auto port = vorn::udp::freePort(8001, consolePort);
    return port != 0 ? port : 8001;
}

// Lets Qt run for `duration` of real time: animations advance, layouts settle.
void settle(std::chrono::milliseconds duration) {
    QEventLoop wait;
    QTimer::singleShot(duration, &wait, &QEventLoop::quit);
    wait.exec();
}

bool save(QWidget& widget, const QDir& directory, const QString& name) {
    const QString path = directory.filePath(name);
    if (!widget.grab().save(path)) {
        std::fprintf(stderr, "vorn-osc-screenshots: could not write %s\n", qPrintable(path));
        return false;
    }
    std::printf("vorn-osc-screenshots: wrote %s\n", qPrintable(path));
    return true;
}

class Show {
public:
    explicit Show(ManualMainLoop& loop, std::shared_ptr<OSCManager> manager)
        : loop_(loop), manager_(std::move(manager)) {}

    // One ping interval passes on the monitor's clock.
    void tick() {
        loop_.advance(std::chrono::duration_cast<vorn::dispatch::Duration>(std::chrono::duration<double>(pingInterval)));
        loop_.runPending();
    }

    void receive(std::string_view address) {
        manager_->handleIncomingMessage(vorn::osc::OSCMessage(vorn::osc::OSCAddressPattern(address)));
        loop_.runPending();
    }

    // Both server starts (the monitor's own and the window's) have reported.
    bool serverReported() {
        return loop_.runUntil(
            [this] {
                int outcomes = 0;
                for (const std::string& line : manager_->log.lines()) {
                    if (line.find("OSC server listening") != std::string::npos ||
                        line.find("Failed to start OSC server") != std::string::npos) {
                        ++outcomes;
                    }
                }
                return outcomes >= 2;
            },
            5000ms);
    }

private:
    ManualMainLoop& loop_;
    std::shared_ptr<OSCManager> manager_;
};

}  // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vorn-osc"));
    const QDir output(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs"));
    if (!QDir().mkpath(output.path())) {
        std::fprintf(stderr, "vorn-osc-screenshots: cannot create %s\n", qPrintable(output.path()));
        return 1;
    }

    // Declared first: it outlives everything that posts to it.
    ManualMainLoop loop;
    auto settings = std::make_shared<OSCSettings>(
        "127.0.0.1", consolePort, receivePort(), std::string(OSCSettings::Defaults::pingMessage),
        std::string(OSCSettings::Defaults::desiredReply), pingInterval, false, 1.0, true, "Main Stage",
        std::make_shared<vorn::monitor::MemorySettingsStore>());
    // No alert: taking pictures must not flag windows or post notifications.
    auto manager = OSCManager::create(settings, loop, nullptr);
    Show show(loop, manager);

    auto window = std::make_unique<vorn::app::MainWindow>(settings, manager, loop);
    window->resize(440, 400);
    window->show();
    if (!show.serverReported()) {
        std::fputs("vorn-osc-screenshots: the OSC server did not report its start\n", stderr);
        return 1;
    }

    // The console answers from the second interval on: the link turns ALIVE.
    show.tick();
    for (int beat = 0; beat < 4; ++beat) {
        show.receive("/eos/out/ping");
        show.tick();
    }
    show.receive("/eos/out/ping");
    // The spike is drawn in 0.2 s and fades over one interval: catch it early.
    settle(300ms);
    bool ok = save(*window, output, QStringLiteral("main-alive.png"));

    // The console stops answering. The next tick still credits the reply
    // above; the two silent intervals after it make the link DEAD.
    settle(std::chrono::milliseconds(static_cast<int>(pingInterval * 1000) + 200));
    for (int tick = 0; tick < 3; ++tick) {
        show.tick();
    }
    settle(300ms);
    ok = save(*window, output, QStringLiteral("main-dead.png")) && ok;

    QWidget* settingsWindow = vorn::app::SettingsWindowManager::open(settings, manager, loop);
    // The window opens smaller than the form and scrolls; the picture shows
    // the whole form, as in a window the user has made large enough.
    if (settingsWindow != nullptr) {
        settingsWindow->resize(settingsWindow->sizeHint().expandedTo(QSize(420, 650)));
    }
    settle(300ms);
    ok = settingsWindow != nullptr && save(*settingsWindow, output, QStringLiteral("settings.png")) && ok;

    {
        vorn::app::TrayStatus tray(settings, manager, loop);
        QWidget* panel = tray.panel();
        panel->adjustSize();
        ok = save(*panel, output, QStringLiteral("tray-panel.png")) && ok;
    }

    vorn::app::SettingsWindowManager::reset();
    window.reset();
    manager.reset();
    loop.runPending();
    return ok ? 0 : 1;
}
