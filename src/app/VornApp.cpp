#include "app/VornApp.h"

#include "app/DesktopAlert.h"
#include "app/HeartIcon.h"
#include "app/LinkReportWindow.h"
#include "app/MainWindow.h"
#include "app/SettingsWindowManager.h"
#include "app/TrayStatus.h"
#include "monitor/JsonSettingsStore.h"
#include "monitor/SessionLog.h"

#include <QApplication>
#include <QKeySequence>
#include <QPointer>
#include <QShortcut>

#include <chrono>
#include <thread>

namespace vorn::app {

VornApp::VornApp()
    : settings_(std::make_shared<monitor::OSCSettings>(
          std::make_shared<monitor::JsonSettingsStore>(monitor::JsonSettingsStore::defaultPath()))) {
    // The alert asks for the window that exists by the time the link can
    // first die; until then (and after it) there is nothing to flag.
    alert_ = std::make_shared<DesktopAlert>([this]() -> QWidget* { return window_.get(); });
    manager_ = monitor::OSCManager::create(settings_, mainLoop_, alert_);
    // The show's log goes to disk as it grows; memory keeps only the newest
    // lines, for the window. A file that cannot be written is said once in
    // the log itself, where the operator looks.
    session_ = monitor::SessionLog::start(
        monitor::SessionLog::defaultDirectory(),
        [&loop = mainLoop_, weak = std::weak_ptr<monitor::OSCManager>(manager_)](std::string line) {
            loop.post([weak, line = std::move(line)]() mutable {
                if (auto manager = weak.lock()) {
                    manager->log.append(std::move(line));
                }
            });
        });
    manager_->log.recordTo(session_);
    // What vorn-osc-cli saves while the window is open shows in it, and the
    // monitor follows.
    settings_->followStore(mainLoop_);

    window_ = std::make_unique<MainWindow>(settings_, manager_, mainLoop_);
    iconSubscription_ = manager_->isAlive.subscribe([this](const bool& alive) {
        window_->setWindowIcon(heartIcon(alive));
    });

    tray_ = std::make_unique<TrayStatus>(settings_, manager_, mainLoop_);

    // Ctrl+, anywhere in the program, as desktop programs open their
    // preferences.
    settingsShortcut_ = new QShortcut(QKeySequence(QStringLiteral("Ctrl+,")), window_.get());
    settingsShortcut_->setContext(Qt::ApplicationShortcut);
    connect(settingsShortcut_, &QShortcut::activated, this, &VornApp::openSettings);

    // Quitting from the tray closes no window; keep the frame all the same.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
        if (window_ != nullptr && window_->hasAppeared()) {
            window_->saveFrame();
        }
    });
}

VornApp::~VornApp() {
    iconSubscription_.cancel();
    tray_.reset();
    SettingsWindowManager::reset();
    LinkReportWindow::reset();
    window_.reset();
    // A server start still running in the background holds the monitor for
    // a moment; it must let go before the loop it posts to is destroyed. The
    // lines it has posted hold the monitor too, until they run.
    std::weak_ptr<monitor::OSCManager> weak = manager_;
    manager_.reset();
    for (int i = 0; i < 500; ++i) {
        mainLoop_.runPending();
        if (weak.expired()) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    alert_.reset();
    session_->close();
}

void VornApp::show() {
    window_->show();
}

void VornApp::openSettings() {
    SettingsWindowManager::open(settings_, manager_, mainLoop_);
}

}  // namespace vorn::app
