#include "app/DesktopAlert.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusError>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <memory>
#include <vector>

using vorn::app::DesktopAlert;

// A bus of our own with no service directories: nothing on it can be
// activated, so "no service" really means none, whatever this machine has.
static const char* const busConfig =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig><type>session</type><listen>unix:dir=%1</listen><auth>EXTERNAL</auth>\n"
    "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>\n"
    "<allow own=\"*\"/></policy></busconfig>\n";

struct NotifyCall {
    QString appName;
    uint replacesId;
    QString summary;
    QString body;
    QVariantMap hints;
};

// Stands in for the desktop's notification daemon on the test's own bus.
class FakeNotificationService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    std::vector<NotifyCall> calls;
    bool refuse = false;
    uint nextId = 41;

public Q_SLOTS:
    uint Notify(const QString& appName, uint replacesId, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap& hints, int) {
        calls.push_back({appName, replacesId, summary, body, hints});
        if (!refuse) return nextId++;
        sendErrorReply(QDBusError::AccessDenied, QStringLiteral("notifications are turned off"));
        return 0;
    }
};

class DesktopAlertTest : public QObject {
    Q_OBJECT

    static inline const QString serviceConnection = QStringLiteral("fake-notification-service");
    static inline const QString clientConnection = QStringLiteral("vorn-osc");
    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
    std::unique_ptr<FakeNotificationService> service_;
    QWidget window_;
    std::vector<QWidget*> attention_;

    bool registerService() {
        QDBusConnection bus(serviceConnection);
        return bus.registerObject(QString::fromLatin1(DesktopAlert::notificationPath), service_.get(),
                                  QDBusConnection::ExportAllSlots) &&
               bus.registerService(QString::fromLatin1(DesktopAlert::notificationService));
    }

    std::unique_ptr<DesktopAlert> makeAlert(const QString& connection = clientConnection) {
        return std::make_unique<DesktopAlert>([this] { return &window_; }, QDBusConnection(connection),
                                              [this](QWidget* target) { attention_.push_back(target); });
    }

private Q_SLOTS:
    void initTestCase() {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (program.isEmpty()) QSKIP("dbus-daemon is not installed");
        const QString config = dir_.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QString::fromLatin1(busConfig).arg(dir_.path()).toUtf8());
        file.close();
        daemon_.start(program, {"--config-file=" + config, "--nofork", "--print-address"});
        QVERIFY2(daemon_.waitForStarted(), qPrintable(daemon_.errorString()));
        while (!daemon_.canReadLine()) QVERIFY2(daemon_.waitForReadyRead(10'000), "dbus-daemon printed no address");
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    }

    void cleanupTestCase() {
        daemon_.terminate();
        daemon_.waitForFinished();
    }

    void init() {
        attention_.clear();
        QVERIFY(QDBusConnection::connectToBus(address_, clientConnection).isConnected());
        QVERIFY(QDBusConnection::connectToBus(address_, serviceConnection).isConnected());
        service_ = std::make_unique<FakeNotificationService>();
    }

    void cleanup() {
        QDBusConnection::disconnectFromBus(serviceConnection);
        QDBusConnection::disconnectFromBus(clientConnection);
        service_.reset();
    }

    void secondDeadNotificationReplacesTheFirst() {
        QVERIFY(registerService());
        const auto alert = makeAlert();
        alert->raiseDeadLinkAlert();
        // The service lives on this thread: had the call waited for its
        // answer, it could not have returned before the event loop ran again.
        QCOMPARE(attention_, std::vector<QWidget*>{&window_});
        QVERIFY(service_->calls.empty());
        QTRY_COMPARE(alert->notificationId(), 41u);
        alert->raiseDeadLinkAlert();
        QTRY_COMPARE(alert->notificationId(), 42u);
        QCOMPARE(attention_.size(), std::size_t{2});

        QCOMPARE(service_->calls.size(), std::size_t{2});
        QCOMPARE(service_->calls[0].replacesId, 0u);
        QCOMPARE(service_->calls[1].replacesId, 41u);
        for (const NotifyCall& call : service_->calls) {
            QCOMPARE(call.appName, QStringLiteral("Vorn OSC 2"));
            QCOMPARE(call.summary, QStringLiteral("Vorn OSC 2"));
            QCOMPARE(call.body, QStringLiteral("OSC link is DEAD"));
            const QVariant urgency = call.hints.value(QStringLiteral("urgency"));
            QCOMPARE(urgency.metaType(), QMetaType::fromType<uchar>());
            QCOMPARE(urgency.value<uchar>(), uchar{2});  // critical
            QCOMPARE(call.hints.value(QStringLiteral("suppress-sound")).toBool(), true);
        }

        // A reminder with sound: the same notification, replaced again.
        alert->alertDeadLink({.reminder = true, .sound = true});
        QTRY_COMPARE(service_->calls.size(), std::size_t{3});
        QCOMPARE(service_->calls[2].replacesId, 42u);
        QCOMPARE(service_->calls[2].body, QStringLiteral("OSC link is still DEAD"));
        QCOMPARE(service_->calls[2].hints.value(QStringLiteral("sound-name")).toString(), QStringLiteral("dialog-warning"));
        QVERIFY(!service_->calls[2].hints.contains(QStringLiteral("suppress-sound")));
    }

    // No service, then an error reply: attention is requested all the same,
    // and once the desktop takes notifications again the next alert gets
    // through as a fresh one, since a refusal leaves no id behind.
    void refusedNotificationStillRequestsAttention() {
        const auto alert = makeAlert();
        alert->raiseDeadLinkAlert();
        QCOMPARE(attention_, std::vector<QWidget*>{&window_});
        // The bus handles one connection's messages in order, so this answer
        // comes after the first notification has found no service.
        QVERIFY(!QDBusConnection(clientConnection)
                     .interface()
                     ->isServiceRegistered(QString::fromLatin1(DesktopAlert::notificationService))
                     .value());
        QVERIFY(registerService());
        service_->refuse = true;
        alert->raiseDeadLinkAlert();
        QCOMPARE(attention_.size(), std::size_t{2});
        QTRY_COMPARE(service_->calls.size(), std::size_t{1});

        service_->refuse = false;
        alert->raiseDeadLinkAlert();
        QCOMPARE(attention_.size(), std::size_t{3});
        QTRY_COMPARE(alert->notificationId(), 41u);
        QCOMPARE(service_->calls[1].replacesId, 0u);

        const auto unconnected = makeAlert(QStringLiteral("never-connected"));
        unconnected->raiseDeadLinkAlert();
        QCOMPARE(attention_.size(), std::size_t{4});
    }
};

QTEST_MAIN(DesktopAlertTest)
#include "DesktopAlertTest.moc"
