#pragma once

#include "app/QtMainLoop.h"
#include "dispatch/Cancellable.h"
#include "monitor/OSCManager.h"
#include "monitor/OSCSettings.h"
#include "monitor/SessionLog.h"

#include <QObject>

#include <memory>

class QShortcut;

namespace vorn::app {

class DesktopAlert;
class MainWindow;
class TrayStatus;

// The program: the one settings object and the one monitor for the whole
// process, and everything that shows them (the main window, the tray item,
// the settings window on request, the dead-link alert). Construct after the
// QApplication, on its thread.
class VornApp final : public QObject {
    Q_OBJECT

public:
    // Where the logo in the bottom bar leads.
    static constexpr const char* logoUrl = "https://example.org/vorn-osc";

    // Loads the settings from the user's settings file and starts the
    // monitor; shows nothing yet.
    VornApp();
    ~VornApp() override;

    void show();

    MainWindow* mainWindow() const noexcept { return window_.get(); }
    const std::shared_ptr<monitor::OSCSettings>& settings() const noexcept { return settings_; }
    const std::shared_ptr<monitor::OSCManager>& manager() const noexcept { return manager_; }
    // The file of this run's log, under SessionLog::defaultDirectory().
    const std::shared_ptr<monitor::SessionLog>& session() const noexcept { return session_; }

private:
    void openSettings();

    // Declared first: every posted task and timer dies with it, after
    // everything that could post.
    QtMainLoop mainLoop_;
    std::shared_ptr<monitor::OSCSettings> settings_;
    std::shared_ptr<DesktopAlert> alert_;
    std::shared_ptr<monitor::OSCManager> manager_;
    std::shared_ptr<monitor::SessionLog> session_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<TrayStatus> tray_;
    QShortcut* settingsShortcut_ = nullptr;
    dispatch::Cancellable iconSubscription_;
};

}  // namespace vorn::app
