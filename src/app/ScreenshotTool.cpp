// vorn-osc-screenshots: the pictures in the README, taken from the real
// widgets over a monitor whose clock the tool moves itself, so every run shows
// the same log without waiting through real ping intervals.
//
//   vorn-osc-screenshots [OUTPUT_DIR]          writes the pictures
//   vorn-osc-screenshots --check [DIR]         compares them with DIR's instead
//
// scripts/screenshots runs it under Xvfb with the fonts pinned. Nothing in a
// picture depends on the machine or on how fast it is: a fixed port, fixed
// addresses, and the waveform stopped at a fixed point of its beat.
//
// Pings go to 127.0.0.1, where nothing answers; the console's replies are
// handed to the monitor directly, as its server would hand them over.

#include "app/LinkFigures.h"
#include "app/LinkReportWindow.h"
#include "app/LogModel.h"
#include "app/Look.h"
#include "app/MainWindow.h"
#include "app/MonitorView.h"
#include "app/SettingsView.h"
#include "app/SettingsWindow.h"
#include "app/SettingsWindowManager.h"
#include "app/TrayStatus.h"
#include "app/WaveformView.h"
#include "dispatch/ManualMainLoop.h"
#include "monitor/OSCManager.h"
#include "monitor/OSCSettings.h"
#include "monitor/SettingsStore.h"
#include "osc/OSCMessage.h"
#include "udp/FreePort.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFont>
#include <QImage>
#include <QListView>
#include <QPixmap>
#include <QStringListModel>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdlib>
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

// The port the pictures show the server listening on.
constexpr std::uint16_t receivePort = 8001;

// How long after the last answer the ALIVE picture catches the spike: drawn
// whole, a little faded.
constexpr std::chrono::milliseconds spikeAge(400);

// Whether two pictures agree to within rounding: the same size, and no
// colour channel of any pixel more than this apart.
constexpr int channelTolerance = 2;

// Lets Qt run for `duration` of real time: animations advance, layouts settle.
void settle(std::chrono::milliseconds duration) {
    QEventLoop wait;
    QTimer::singleShot(duration, &wait, &QEventLoop::quit);
    wait.exec();
}

// Writes each picture, or in checking mode compares it with the one there.
class Camera {
public:
    Camera(QDir directory, bool checking) : directory_(std::move(directory)), checking_(checking) {}

    bool take(QWidget& widget, const QString& name) {
        // No focus frame or text cursor, which come and go with the
        // display's focus and the cursor's blinking.
        if (QWidget* focused = QApplication::focusWidget()) {
            focused->clearFocus();
        }
        const QImage picture = widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QString path = directory_.filePath(name);
        if (!checking_) {
            if (!picture.save(path)) {
                std::fprintf(stderr, "vorn-osc-screenshots: could not write %s\n", qPrintable(path));
                return false;
            }
            std::printf("vorn-osc-screenshots: wrote %s\n", qPrintable(path));
            return true;
        }
        const QImage committed = QImage(path).convertToFormat(QImage::Format_RGB32);
        const long long differing = difference(picture, committed);
        if (differing == 0) {
            std::printf("vorn-osc-screenshots: %s matches what the code draws\n", qPrintable(path));
            return true;
        }
        const QString fresh = QDir::temp().filePath(QStringLiteral("vorn-osc-screenshots-") + name);
        picture.save(fresh);
        if (differing < 0) {
            std::fprintf(stderr, "vorn-osc-screenshots: %s is %dx%d, the code draws %dx%d (see %s)\n", qPrintable(path),
                         committed.width(), committed.height(), picture.width(), picture.height(), qPrintable(fresh));
        } else {
            std::fprintf(stderr, "vorn-osc-screenshots: %s differs from what the code draws in %lld pixels (see %s)\n",
                         qPrintable(path), differing, qPrintable(fresh));
        }
        return false;
    }

private:
    // Pixels that differ beyond rounding; -1 when the sizes differ.
    static long long difference(const QImage& a, const QImage& b) {
        if (a.size() != b.size()) {
            return -1;
        }
        long long count = 0;
        for (int y = 0; y < a.height(); ++y) {
            const auto* p = reinterpret_cast<const QRgb*>(a.constScanLine(y));
            const auto* q = reinterpret_cast<const QRgb*>(b.constScanLine(y));
            for (int x = 0; x < a.width(); ++x) {
                if (std::abs(qRed(p[x]) - qRed(q[x])) > channelTolerance ||
                    std::abs(qGreen(p[x]) - qGreen(q[x])) > channelTolerance ||
                    std::abs(qBlue(p[x]) - qBlue(q[x])) > channelTolerance) {
                    ++count;
                }
            }
        }
        return count;
    }

    QDir directory_;
    bool checking_;
};

class Show {
public:
    explicit Show(ManualMainLoop& loop, std::shared_ptr<OSCManager> manager)
        : loop_(loop), manager_(std::move(manager)) {}

    // One ping interval passes on the monitor's clock.
    void tick() {
        loop_.advance(std::chrono::duration_cast<vorn::dispatch::Duration>(std::chrono::duration<double>(pingInterval)));
        loop_.runPending();
    }

    // The console answers from its own port, `roundTrip` after the ping.
    void receive(std::string_view address, std::chrono::microseconds roundTrip = 3100us) {
        manager_->handleIncomingMessage(vorn::osc::OSCMessage(vorn::osc::OSCAddressPattern(address)), "127.0.0.1",
                                        static_cast<std::uint16_t>(consolePort), loop_.now() + roundTrip);
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
    vorn::app::look::apply(application);
    // The family scripts/screenshots pins fontconfig to; the log takes the
    // monospaced one from there too.
    QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 9));

    QStringList arguments = QApplication::arguments().mid(1);
    const bool checking = arguments.removeAll(QStringLiteral("--check")) > 0;
    const QDir output(arguments.isEmpty() ? QStringLiteral("docs") : arguments.front());
    if (!checking && !QDir().mkpath(output.path())) {
        std::fprintf(stderr, "vorn-osc-screenshots: cannot create %s\n", qPrintable(output.path()));
        return 1;
    }
    if (vorn::udp::freePort(receivePort, consolePort) != receivePort) {
        std::fprintf(stderr, "vorn-osc-screenshots: UDP port %d is in use here; the pictures show a server "
                             "listening on it, so stop whatever holds it first\n", receivePort);
        return 1;
    }
    Camera camera(output, checking);

    // Declared first: it outlives everything that posts to it.
    ManualMainLoop loop;
    auto settings = std::make_shared<OSCSettings>(
        "127.0.0.1", consolePort, receivePort, std::string(OSCSettings::Defaults::pingMessage),
        std::string(OSCSettings::Defaults::desiredReply), pingInterval, false, 1.0, true, "Main Stage",
        std::make_shared<vorn::monitor::MemorySettingsStore>());
    // No alert: taking pictures must not flag windows or post notifications.
    auto manager = OSCManager::create(settings, loop, nullptr);
    Show show(loop, manager);

    auto window = std::make_unique<vorn::app::MainWindow>(settings, manager, loop);
    // The log's times follow the monitor's clock from a fixed evening hour.
    const QDateTime evening(QDate(2026, 12, 6), QTime(19, 30));
    const auto start = loop.now();
    window->monitorView()->logModel()->setClock([&loop, start, evening] {
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(loop.now() - start);
        return evening.addMSecs(elapsed.count());
    });
    vorn::app::figures::pinWallOrigin(
        evening.addMSecs(-std::chrono::duration_cast<std::chrono::milliseconds>(start).count()));
    window->resize(440, 400);
    window->show();
    if (!show.serverReported()) {
        std::fputs("vorn-osc-screenshots: the OSC server did not report its start\n", stderr);
        return 1;
    }

    // The console answers from the second interval on: the link turns ALIVE.
    show.tick();
    for (const auto roundTrip : {3100us, 2700us, 4200us, 3300us}) {
        show.receive("/eos/out/ping", roundTrip);
        show.tick();
    }
    show.receive("/eos/out/ping");
    settle(100ms);
    vorn::app::WaveformView* waveform = window->monitorView()->waveformView();
    waveform->freezeBeat(spikeAge);
    settle(100ms);
    bool ok = camera.take(*window, QStringLiteral("main-alive.png"));
    // The strip the chevron collapses the window to.
    window->resize(440, vorn::app::MonitorView::minHeight);
    settle(100ms);
    ok = camera.take(*window, QStringLiteral("main-collapsed.png")) && ok;
    window->resize(440, vorn::app::MonitorView::maxHeight);
    settle(100ms);

    // The console stops answering. The next tick still credits the reply
    // above; the two silent intervals after it make the link DEAD.
    waveform->freezeBeat(std::chrono::milliseconds(static_cast<int>(pingInterval * 1000)));
    for (int tick = 0; tick < 3; ++tick) {
        show.tick();
    }
    settle(100ms);
    ok = camera.take(*window, QStringLiteral("main-dead.png")) && ok;

    // The console comes back, a little slower for a while; the report
    // shows the session with its outage.
    for (int tick = 0; tick < 5; ++tick) {
        show.tick();
    }
    for (int beat = 0; beat < 40; ++beat) {
        const int wobble = (beat * 7) % 5;
        show.receive("/eos/out/ping", std::chrono::microseconds(beat < 12 ? 9000 + 900 * wobble : 2900 + 300 * wobble));
        show.tick();
    }
    {
        vorn::app::LinkReportWindow report(manager);
        report.resize(640, 560);
        report.show();
        settle(100ms);
        ok = camera.take(report, QStringLiteral("link-report.png")) && ok;
    }

    // The window as it opens, with documentation addresses in place of this
    // machine's.
    QWidget* settingsWindow = vorn::app::SettingsWindowManager::open(settings, manager, loop);
    if (auto* form = settingsWindow != nullptr ? settingsWindow->findChild<vorn::app::SettingsView*>() : nullptr) {
        if (auto* list = qobject_cast<QStringListModel*>(form->addressList()->model())) {
            list->setStringList({QStringLiteral("localhost"), QStringLiteral("192.0.2.10")});
        }
    }
    settle(100ms);
    ok = settingsWindow != nullptr && camera.take(*settingsWindow, QStringLiteral("settings.png")) && ok;

    {
        vorn::app::TrayStatus tray(settings, manager, loop);
        QWidget* panel = tray.panel();
        panel->adjustSize();
        ok = camera.take(*panel, QStringLiteral("tray-panel.png")) && ok;
    }

    vorn::app::SettingsWindowManager::reset();
    window.reset();
    manager.reset();
    loop.runPending();
    if (checking && !ok) {
        std::fputs("vorn-osc-screenshots: run scripts/screenshots to draw the pictures again\n", stderr);
    }
    return ok ? 0 : 1;
}
