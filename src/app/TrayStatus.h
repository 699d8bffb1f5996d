#pragma once

#include "dispatch/Cancellable.h"
#include "dispatch/MainLoop.h"
#include "monitor/OSCManager.h"
#include "monitor/OSCSettings.h"

#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

class QFrame;
class QPoint;
class QRect;
class QToolButton;
class QWidget;

namespace vorn::app {

// The tray item: a heart that is filled while the link is ALIVE and slashed
// while it is DEAD, and a small panel under it to open the settings or the
// link report, mute alarms, or quit.
//
// The icon follows the monitor whether or not a tray is there to show it: a
// tray that appears later (a panel restarted during a show) picks the icon up
// with the current state.
class TrayStatus final : public QObject {
    Q_OBJECT

public:
    static constexpr const char* title = "Vorn OSC 2";
    static constexpr const char* noTrayMessage =
        "vorn-osc: no system tray on this desktop; running without the tray icon";

    // `mainLoop` must outlive the tray item.
    TrayStatus(std::shared_ptr<monitor::OSCSettings> settings, std::shared_ptr<monitor::OSCManager> manager,
               dispatch::MainLoop& mainLoop, QObject* parent = nullptr);
    ~TrayStatus() override;

    // Whether the desktop had a tray when the item was made.
    bool isAvailable() const noexcept { return available_; }

    QSystemTrayIcon* trayIcon() noexcept { return icon_; }

    // The panel, built on first use.
    QWidget* panel();

    // Shows the panel under the icon, or at the pointer when the tray does
    // not tell where the icon is.
    void showPanel();

    // Where a panel of `panelSize` goes for an icon at `iconGeometry` (empty
    // when unknown) with the pointer at `cursor`, on a screen whose usable
    // area is `screen`: below the icon, or above it when the tray is at the
    // bottom, always whole on the screen.
    static QPoint panelPosition(const QRect& iconGeometry, const QPoint& cursor, const QSize& panelSize,
                                const QRect& screen);

private:
    void activated(QSystemTrayIcon::ActivationReason reason);
    QFrame* buildPanel();

    std::shared_ptr<monitor::OSCSettings> settings_;
    std::shared_ptr<monitor::OSCManager> manager_;
    dispatch::MainLoop& mainLoop_;
    bool available_;
    QSystemTrayIcon* icon_;
    QFrame* panel_ = nullptr;
    dispatch::Cancellable aliveSubscription_;
};

}  // namespace vorn::app
