#include "app/AlarmMenu.h"

#include "app/LinkReportWindow.h"
#include "app/LogExport.h"
#include "app/ReportExport.h"

#include <QMenu>
#include <QPointer>

#include <chrono>

namespace vorn::app::AlarmMenu {

void addMuteEntries(QMenu& menu, const std::shared_ptr<monitor::OSCManager>& manager) {
    using namespace std::chrono;
    // The menu may outlive nothing but its own popup; the monitor is held
    // weakly so a late click after quitting does no harm.
    std::weak_ptr<monitor::OSCManager> weak = manager;
    const auto mutedFor = [weak](auto duration) {
        return [weak, duration] {
            if (auto monitor = weak.lock()) monitor->muteAlarms(duration_cast<dispatch::Duration>(duration));
        };
    };
    QObject::connect(menu.addAction(QString::fromLatin1(muteQuarterHour)), &QAction::triggered, &menu,
                     mutedFor(minutes(15)));
    QObject::connect(menu.addAction(QString::fromLatin1(muteHour)), &QAction::triggered, &menu, mutedFor(hours(1)));
    QObject::connect(menu.addAction(QString::fromLatin1(muteUntilAlive)), &QAction::triggered, &menu, [weak] {
        if (auto monitor = weak.lock()) monitor->muteAlarmsUntilAlive();
    });
    if (manager->mute.get().muted) {
        QObject::connect(menu.addAction(QString::fromLatin1(unmute)), &QAction::triggered, &menu, [weak] {
            if (auto monitor = weak.lock()) monitor->unmuteAlarms();
        });
    }
}

void exportReport(QWidget* parent, const std::shared_ptr<monitor::OSCManager>& manager) {
    QPointer<QWidget> owner(parent);
    ReportExport::begin(parent, manager->report(), [owner](const QString&, const std::optional<QString>& error) {
        if (error && owner != nullptr) {
            LogExport::showError(owner, *error);
        }
    });
}

void addEntries(QMenu& menu, QWidget* dialogParent, const std::shared_ptr<monitor::OSCManager>& manager) {
    QObject::connect(menu.addAction(QStringLiteral("Link Report…")), &QAction::triggered, &menu,
                     [manager] { LinkReportWindow::open(manager); });
    QPointer<QWidget> parent(dialogParent);
    QObject::connect(menu.addAction(QStringLiteral("Export Report…")), &QAction::triggered, &menu, [parent, manager] {
        if (parent != nullptr) exportReport(parent, manager);
    });
    menu.addSeparator();
    addMuteEntries(menu, manager);
}

}  // namespace vorn::app::AlarmMenu
