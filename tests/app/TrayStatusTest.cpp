#include "app/TrayStatus.h"

#include "app/HeartIcon.h"
#include "app/SettingsWindow.h"
#include "app/SettingsWindowManager.h"
#include "MonitorFixture.h"

#include <QApplication>
#include <QFrame>
#include <QImage>
#include <QLayout>
#include <QTest>
#include <QToolButton>

#include <memory>

using vorn::app::heartIcon;
using vorn::app::SettingsWindow;
using vorn::app::SettingsWindowManager;
using vorn::app::TrayStatus;

namespace {

QImage imageOf(const QIcon& icon) {
    return icon.pixmap(32, 32).toImage();
}

}  // namespace

class TrayStatusTest : public QObject {
    Q_OBJECT

    std::unique_ptr<MonitorFixture> m;
    std::unique_ptr<TrayStatus> tray;

private Q_SLOTS:
    void init() {
        m = std::make_unique<MonitorFixture>();
        tray = std::make_unique<TrayStatus>(m->settings, m->manager, m->loop);
    }

    void cleanup() {
        SettingsWindowManager::reset();
        tray.reset();
        // The server's start task, and the outcome line it posts, hold the
        // monitor until they have run; the fixture's own wait only wakes on a
        // post, and the task's end posts nothing.
        QTRY_VERIFY((m->loop.runPending(), m->manager.use_count() == 1));
        m.reset();
    }

    // Off screen there is no tray: the item follows the state all the same,
    // so that a tray that turns up later shows the right heart.
    void iconFollowsTheLinkWithThePanelClosed() {
        QCOMPARE(tray->trayIcon()->toolTip(), QStringLiteral("Vorn OSC 2"));
        QCOMPARE(imageOf(tray->trayIcon()->icon()), imageOf(heartIcon(false)));
        m->manager->isAlive = true;
        QCOMPARE(imageOf(tray->trayIcon()->icon()), imageOf(heartIcon(true)));
        m->manager->isAlive = false;
        QCOMPARE(imageOf(tray->trayIcon()->icon()), imageOf(heartIcon(false)));
        QVERIFY(!tray->panel()->isVisible());
    }

    void panelHoldsSettingsADividerAndQuit() {
        QWidget* panel = tray->panel();
        QVERIFY(panel->windowFlags().testFlag(Qt::Popup));
        QVERIFY(panel->minimumWidth() >= 180);
        QCOMPARE(panel->layout()->contentsMargins(), QMargins(12, 12, 12, 12));
        QCOMPARE(panel->layout()->spacing(), 4);
        QCOMPARE(panel->layout()->count(), 3);

        auto* settingsItem = qobject_cast<QToolButton*>(panel->layout()->itemAt(0)->widget());
        auto* divider = qobject_cast<QFrame*>(panel->layout()->itemAt(1)->widget());
        auto* quitItem = qobject_cast<QToolButton*>(panel->layout()->itemAt(2)->widget());
        QVERIFY(settingsItem != nullptr && divider != nullptr && quitItem != nullptr);
        QCOMPARE(settingsItem->text(), QStringLiteral("Settings"));
        QCOMPARE(settingsItem->toolTip(), QStringLiteral("Open application settings"));
        QVERIFY(!settingsItem->icon().isNull());
        QCOMPARE(divider->frameShape(), QFrame::HLine);
        QCOMPARE(quitItem->text(), QStringLiteral("Quit Vorn OSC 2"));
        QVERIFY(!quitItem->icon().isNull());
    }

    void choosingSettingsTwiceShowsOneWindowAndLeavesThePanelOpen() {
        tray->showPanel();
        QWidget* panel = tray->panel();
        QVERIFY(panel->isVisible());
        auto* settingsItem = panel->findChild<QToolButton*>(QStringLiteral("settingsItem"));
        QVERIFY(settingsItem != nullptr);

        settingsItem->click();
        QWidget* first = SettingsWindowManager::window();
        QVERIFY(first != nullptr);
        QVERIFY(first->isVisible());
        first->close();
        settingsItem->click();
        QCOMPARE(SettingsWindowManager::window(), first);
        QVERIFY(first->isVisible());
        int windows = 0;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            windows += qobject_cast<SettingsWindow*>(widget) != nullptr ? 1 : 0;
        }
        QCOMPARE(windows, 1);
    }

    void panelOpensBelowOrAboveTheIconAndStaysOnScreen_data() {
        QTest::addColumn<QRect>("icon");
        QTest::addColumn<QPoint>("cursor");
        QTest::addColumn<QPoint>("expected");
        const QPoint anywhere(500, 500);
        // Screen 0,0 1920x1080; panel 200x100.
        QTest::newRow("tray at the top") << QRect(1000, 0, 24, 24) << anywhere << QPoint(1000, 24);
        QTest::newRow("tray at the bottom") << QRect(1000, 1056, 24, 24) << anywhere << QPoint(1000, 956);
        QTest::newRow("icon at the right edge") << QRect(1900, 0, 20, 24) << anywhere << QPoint(1720, 24);
        QTest::newRow("unknown icon: at the pointer") << QRect() << QPoint(300, 400) << QPoint(300, 400);
        QTest::newRow("unknown icon, pointer in the corner") << QRect() << QPoint(1919, 1079) << QPoint(1720, 979);
    }

    void panelOpensBelowOrAboveTheIconAndStaysOnScreen() {
        QFETCH(QRect, icon);
        QFETCH(QPoint, cursor);
        QFETCH(QPoint, expected);
        QCOMPARE(TrayStatus::panelPosition(icon, cursor, QSize(200, 100), QRect(0, 0, 1920, 1080)), expected);
    }
};

QTEST_MAIN(TrayStatusTest)
#include "TrayStatusTest.moc"
