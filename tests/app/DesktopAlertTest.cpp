#include "app/DesktopAlert.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QFile>
#include <QObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <cstddef>
#include <memory>
#include <vector>

using vorn::app::DesktopAlert;

namespace {

struct NotifyCall {
    QString appName;
    uint replacesId;
    QString appIcon;
    QString summary;
    QString body;
    QStringList actions;
    QVariantMap hints;
    int expireTimeout;
};

}  // namespace

// Stands in for the desktop's notification daemon on the test's own bus.
class FakeNotificationService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    std::vector<NotifyCall> calls;
    bool refuse = false;
    uint nextId = 41;

public Q_SLOTS:
    uint Notify(const QString& app_name, uint replaces_id, const QString& app_icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints, int expire_timeout) {
        calls.push_back({app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout});
        if (refuse) {
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("notifications are turned off"));
            return 0;
        }
        return nextId++;
    }
};

class DesktopAlertTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void secondDeadNotificationReplacesTheFirst();
    void refusedNotificationStillRequestsAttention_data();
    void refusedNotificationStillRequestsAttention();
    void disconnectedBusStillRequestsAttention();

private:
    bool registerService();

    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
    std::unique_ptr<FakeNotificationService> service_;
    QWidget window_;
    std::vector<QWidget*> attention_;

    static inline const QString serviceConnection = QStringLiteral("fake-notification-service");
    static inline const QString clientConnection = QStringLiteral("vorn-osc");
};

void DesktopAlertTest::initTestCase() {
    const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (program.isEmpty()) QSKIP("dbus-daemon is not installed");
    QVERIFY(dir_.isValid());
    // A bus of our own with no service directories: nothing on it can be
    // activated, so "no service" really means none, whatever this machine has
    // installed.
    const QString config = dir_.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
                   .arg(dir_.path())
                   .toUtf8());
    file.close();

    daemon_.start(program, {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                            QStringLiteral("--print-address")});
    QVERIFY2(daemon_.waitForStarted(), qPrintable(daemon_.errorString()));
    while (!daemon_.canReadLine()) QVERIFY2(daemon_.waitForReadyRead(10'000), "dbus-daemon printed no address");
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    QVERIFY(!address_.isEmpty());
}

void DesktopAlertTest::cleanupTestCase() {
    if (daemon_.state() != QProcess::NotRunning) {
        daemon_.terminate();
        daemon_.waitForFinished();
    }
}

void DesktopAlertTest::init() {
    attention_.clear();
    QVERIFY(QDBusConnection::connectToBus(address_, clientConnection).isConnected());
    QVERIFY(QDBusConnection::connectToBus(address_, serviceConnection).isConnected());
    service_ = std::make_unique<FakeNotificationService>();
}

void DesktopAlertTest::cleanup() {
    QDBusConnection::disconnectFromBus(serviceConnection);
    QDBusConnection::disconnectFromBus(clientConnection);
    service_.reset();
}

bool DesktopAlertTest::registerService() {
    QDBusConnection bus(serviceConnection);
    return bus.registerObject(QString::fromLatin1(DesktopAlert::notificationPath), service_.get(),
                              QDBusConnection::ExportAllSlots) &&
           bus.registerService(QString::fromLatin1(DesktopAlert::notificationService));
}

void DesktopAlertTest::secondDeadNotificationReplacesTheFirst() {
    QVERIFY(registerService());
    DesktopAlert alert([this] { return &window_; }, QDBusConnection(clientConnection),
                       [this](QWidget* target) { attention_.push_back(target); });

    alert.raiseDeadLinkAlert();
    // The service lives on this thread: had the call waited for its answer,
    // it could not have returned before the event loop ran again.
    QCOMPARE(attention_, std::vector<QWidget*>{&window_});
    QVERIFY(service_->calls.empty());
    QTRY_COMPARE(alert.notificationId(), 41u);

    alert.raiseDeadLinkAlert();
    QTRY_COMPARE(alert.notificationId(), 42u);
    QCOMPARE(attention_, (std::vector<QWidget*>{&window_, &window_}));

    QCOMPARE(service_->calls.size(), std::size_t{2});
    QCOMPARE(service_->calls[0].replacesId, 0u);
    QCOMPARE(service_->calls[1].replacesId, 41u);
    for (const NotifyCall& call : service_->calls) {
        QCOMPARE(call.appName, QStringLiteral("Vorn OSC 2"));
        QCOMPARE(call.appIcon, QStringLiteral("vorn-osc"));
        QCOMPARE(call.summary, QStringLiteral("Vorn OSC 2"));
        QCOMPARE(call.body, QStringLiteral("OSC link is DEAD"));
        QVERIFY(call.actions.isEmpty());
        QCOMPARE(call.expireTimeout, -1);
        QCOMPARE(call.hints.size(), 2);
        QCOMPARE(call.hints.value(QStringLiteral("desktop-entry")).toString(), QStringLiteral("vorn-osc"));
        const QVariant urgency = call.hints.value(QStringLiteral("urgency"));
        QCOMPARE(urgency.metaType(), QMetaType::fromType<uchar>());
        QCOMPARE(urgency.value<uchar>(), uchar{2});
    }
}

void DesktopAlertTest::refusedNotificationStillRequestsAttention_data() {
    QTest::addColumn<bool>("serviceRegistered");
    QTest::newRow("no service on the bus") << false;
    QTest::newRow("service answers with an error") << true;
}

void DesktopAlertTest::refusedNotificationStillRequestsAttention() {
    QFETCH(bool, serviceRegistered);
    if (serviceRegistered) {
        QVERIFY(registerService());
        service_->refuse = true;
    }
    DesktopAlert alert([this] { return &window_; }, QDBusConnection(clientConnection),
                       [this](QWidget* target) { attention_.push_back(target); });

    alert.raiseDeadLinkAlert();
    QCOMPARE(attention_, std::vector<QWidget*>{&window_});
    if (serviceRegistered) {
        QTRY_COMPARE(service_->calls.size(), std::size_t{1});
    }

    // Once the desktop takes notifications again the next alert gets through,
    // as a fresh notification: the refusal left no id behind. The bus handles
    // one connection's messages in order, so a synchronous question to it
    // makes sure the first notification found no service before one appears.
    if (!serviceRegistered) {
        QVERIFY(!QDBusConnection(clientConnection)
                     .interface()
                     ->isServiceRegistered(QString::fromLatin1(DesktopAlert::notificationService))
                     .value());
        QVERIFY(registerService());
    }
    service_->refuse = false;
    service_->calls.clear();
    alert.raiseDeadLinkAlert();
    QCOMPARE(attention_.size(), std::size_t{2});
    QTRY_COMPARE(alert.notificationId(), 41u);
    QCOMPARE(service_->calls.size(), std::size_t{1});
    QCOMPARE(service_->calls[0].replacesId, 0u);
}

void DesktopAlertTest::disconnectedBusStillRequestsAttention() {
    DesktopAlert alert([] { return nullptr; }, QDBusConnection(QStringLiteral("never-connected")),
                       [this](QWidget* target) { attention_.push_back(target); });
    alert.raiseDeadLinkAlert();
    alert.raiseDeadLinkAlert();
    QCOMPARE(attention_, (std::vector<QWidget*>{nullptr, nullptr}));
    QCOMPARE(alert.notificationId(), 0u);
}

QTEST_MAIN(DesktopAlertTest)
#include "DesktopAlertTest.moc"
