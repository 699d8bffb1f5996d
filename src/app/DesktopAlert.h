#pragma once

#include "monitor/DeadLinkAlert.h"

#include <QDBusConnection>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QObject;
class QWidget;

namespace vorn::app {

// The desktop's dead-link alert: flags the main window for the user's
// attention, then posts a desktop notification through the session bus's
// notification service. Every notification carries the identifier
// "VornOSC2.dead": a second one replaces the first instead of piling up.
// A missing or failing notification service suppresses the notification
// only; nothing here ever blocks the UI.
class DesktopAlert final : public monitor::DeadLinkAlert {
public:
    static constexpr const char* title = "Vorn OSC 2";
    static constexpr const char* body = "OSC link is DEAD";
    static constexpr const char* reminderBody = "OSC link is still DEAD";
    // A name from the desktop's sound theme.
    static constexpr const char* soundName = "dialog-warning";
    static constexpr const char* identifier = "VornOSC2.dead";
    // The installed desktop entry and icon name of the app.
    static constexpr const char* desktopEntry = "vorn-osc";

    static constexpr const char* notificationService = "org.freedesktop.Notifications";
    static constexpr const char* notificationPath = "/org/freedesktop/Notifications";
    static constexpr const char* notificationInterface = "org.freedesktop.Notifications";

    // `attentionTarget` returns the window to flag (may return null);
    // `requestAttention` defaults to QApplication::alert and is replaceable
    // for tests.
    DesktopAlert(std::function<QWidget*()> attentionTarget, QDBusConnection bus = QDBusConnection::sessionBus(),
                 std::function<void(QWidget*)> requestAttention = {});
    ~DesktopAlert() override;

    DesktopAlert(const DesktopAlert&) = delete;
    DesktopAlert& operator=(const DesktopAlert&) = delete;

    void raiseDeadLinkAlert() override;
    // A reminder says the link is still DEAD; with `sound` the notification
    // asks the desktop for its warning sound, without it for silence.
    void alertDeadLink(const monitor::DeadLinkAlertRequest& request) override;

    // The notification id the service gave for "VornOSC2.dead", 0 before any.
    std::uint32_t notificationId() const noexcept { return notificationId_; }

private:
    void postNotification(const monitor::DeadLinkAlertRequest& request);

    std::function<QWidget*()> attentionTarget_;
    QDBusConnection bus_;
    std::function<void(QWidget*)> requestAttention_;
    std::uint32_t notificationId_ = 0;
    // Owns the watchers of replies still on their way, so that a reply that
    // arrives after this alert is gone finds nobody to tell.
    std::unique_ptr<QObject> pendingReplies_;
};

}  // namespace vorn::app
