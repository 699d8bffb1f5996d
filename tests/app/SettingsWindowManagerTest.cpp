#include "app/SettingsWindowManager.h"

#include "app/SettingsView.h"
#include "app/SettingsWindow.h"
#include "MonitorFixture.h"

#include <QApplication>
#include <QLineEdit>
#include <QPointer>
#include <QTest>

#include <memory>

using vorn::app::SettingsView;
using vorn::app::SettingsWindow;
using vorn::app::SettingsWindowManager;

namespace {

int settingsWindowCount() {
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<SettingsWindow*>(widget) != nullptr) ++count;
    }
    return count;
}

}  // namespace

class SettingsWindowManagerTest : public QObject {
    Q_OBJECT

    std::unique_ptr<MonitorFixture> m;

    QWidget* open() { return SettingsWindowManager::open(m->settings, m->manager, m->loop); }

private Q_SLOTS:
    void init() { m = std::make_unique<MonitorFixture>(); }

    void cleanup() {
        SettingsWindowManager::reset();
        // The server's start task, and the outcome line it posts, hold the
        // monitor until they have run; the fixture's own wait only wakes on a
        // post, and the task's end posts nothing.
        QTRY_VERIFY((m->loop.runPending(), m->manager.use_count() == 1));
        m.reset();
    }

    void openingTwiceShowsTheSameWindow() {
        QWidget* first = open();
        QVERIFY(first != nullptr);
        QVERIFY(first->isVisible());
        QCOMPARE(first->windowTitle(), QStringLiteral("Vorn OSC Settings"));
        QCOMPARE(first->size(), QSize(300, 520));
        QCOMPARE(first->minimumSize(), QSize(300, 400));
        QCOMPARE(open(), first);
        QCOMPARE(SettingsWindowManager::window(), first);
        QCOMPARE(settingsWindowCount(), 1);
    }

    void closingHidesAndReopeningShowsItWhereItWasLeft() {
        QPointer<QWidget> window = open();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        const QPoint leftAt = window->pos() + QPoint(37, 23);
        window->move(leftAt);
        auto* title = window->findChild<QLineEdit*>(QStringLiteral("title"));
        QVERIFY(title != nullptr);

        QVERIFY(window->close());
        QVERIFY(!window.isNull());
        QVERIFY(!window->isVisible());
        QVERIFY(!window->testAttribute(Qt::WA_QuitOnClose));

        // A change while hidden shows when it comes back.
        m->settings->title = "Balcony";
        QCOMPARE(open(), window.data());
        QVERIFY(window->isVisible());
        QCOMPARE(window->pos(), leftAt);
        QCOMPARE(window->findChild<QLineEdit*>(QStringLiteral("title")), title);
        QCOMPARE(title->text(), QStringLiteral("Balcony"));
    }

    void resetDestroysTheWindow() {
        QPointer<QWidget> window = open();
        SettingsWindowManager::reset();
        QVERIFY(window.isNull());
        QCOMPARE(SettingsWindowManager::window(), nullptr);
        QVERIFY(open() != nullptr);
    }
};

QTEST_MAIN(SettingsWindowManagerTest)
#include "SettingsWindowManagerTest.moc"
