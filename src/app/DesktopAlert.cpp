#include "app/DesktopAlert.h"

#include <QApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <QWidget>

#include <utility>

namespace vorn::app {

namespace {

// A notification service that has not answered by then is not going to; the
// watcher is dropped rather than kept for the 25 s default.
constexpr int notifyTimeoutMs = 10'000;

// The urgency hint of the desktop notification protocol: 2 is critical, which
// keeps the bubble up until the user dismisses it, as a dead link deserves.
constexpr uchar criticalUrgency = 2;

}  // namespace

DesktopAlert::DesktopAlert(std::function<QWidget*()> attentionTarget, QDBusConnection bus,
                           std::function<void(QWidget*)> requestAttention)
    : attentionTarget_(std::move(attentionTarget)),
      bus_(std::move(bus)),
      requestAttention_(std::move(requestAttention)),
      pendingReplies_(std::make_unique<QObject>()) {
    if (!requestAttention_) {
        requestAttention_ = [](QWidget* window) {
            // QApplication::alert(nullptr) would flag every window of the
            // process, the settings window included.
            if (window != nullptr) {
                QApplication::alert(window, 0);
            }
        };
    }
}

DesktopAlert::~DesktopAlert() = default;

void DesktopAlert::raiseDeadLinkAlert() {
    alertDeadLink({});
}

void DesktopAlert::alertDeadLink(const monitor::DeadLinkAlertRequest& request) {
    // The attention request needs no permission and comes first, so a broken
    // notification service can never cost the user both signals.
    requestAttention_(attentionTarget_ ? attentionTarget_() : nullptr);
    postNotification(request);
}

void DesktopAlert::postNotification(const monitor::DeadLinkAlertRequest& request) {
    if (!bus_.isConnected()) {
        return;
    }

    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(notificationService),
                                                       QString::fromLatin1(notificationPath),
                                                       QString::fromLatin1(notificationInterface),
                                                       QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(desktopEntry));
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(criticalUrgency));
    if (request.sound) {
        hints.insert(QStringLiteral("sound-name"), QString::fromLatin1(soundName));
    } else {
        hints.insert(QStringLiteral("suppress-sound"), true);
    }
    call << QString::fromUtf8(title)              // app_name
         << uint{notificationId_}                 // replaces_id: the one "VornOSC2.dead" shown so far
         << QString::fromLatin1(desktopEntry)     // app_icon
         << QString::fromUtf8(title)              // summary
         << QString::fromUtf8(request.reminder ? reminderBody : body)  // body
         << QStringList{}                         // actions
         << hints                                 // hints
         << int{-1};                              // expire_timeout: the server's default

    // Never a blocking call: the alert is raised on the UI thread in the middle
    // of a show, and a hung notification daemon must not freeze the window.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, notifyTimeoutMs), pendingReplies_.get());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, pendingReplies_.get(),
                     [this](QDBusPendingCallWatcher* finished) {
                         const QDBusPendingReply<uint> reply = *finished;
                         // An error reply is the desktop refusing the
                         // notification: only the notification is lost.
                         if (reply.isValid() && !reply.isError()) {
                             notificationId_ = reply.value();
                         }
                         finished->deleteLater();
                     });
}

}  // namespace vorn::app
