#include "MonitorFixture.h"
#include "app/AlarmMenu.h"
#include "app/AlarmSettingsView.h"
#include "app/LinkFigures.h"
#include "app/LinkReportWindow.h"
#include "app/ReportExport.h"
#include "app/RttChart.h"
#include "osc/OSCMessage.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <algorithm>
#include <chrono>

using namespace std::chrono_literals;
using vorn::app::LinkReportWindow;
namespace figures = vorn::app::figures;

class LinkReportTest : public QObject {
    Q_OBJECT

    // One interval on the monitor's clock, answered after `roundTrip` or
    // not at all.
    static void interval(MonitorFixture& fixture, std::optional<std::chrono::milliseconds> roundTrip) {
        fixture.loop.advance(1s);
        fixture.loop.runPending();
        if (roundTrip) {
            fixture.manager->handleIncomingMessage(vorn::osc::OSCMessage(std::string("/eos/out/ping")), "127.0.0.1",
                                                   8000, fixture.loop.now() + *roundTrip);
            fixture.loop.runPending();
        }
    }

    // Three answered pings, two missed (DEAD), two answered (ALIVE again).
    static void playShow(MonitorFixture& fixture) {
        for (const auto ms : {3ms, 5ms, 4ms}) interval(fixture, ms);
        for (int i = 0; i < 3; ++i) interval(fixture, std::nullopt);
        QVERIFY(!fixture.manager->isAlive.get());
        for (const auto ms : {3ms, 3ms}) interval(fixture, ms);
        QVERIFY(fixture.manager->isAlive.get());
    }

private Q_SLOTS:
    // What the window writes: a tenth of a millisecond where it tells
    // something, and an availability that never rounds up to 100 %.
    void figuresReadAsOperatorsExpect() {
        QCOMPARE(figures::milliseconds(2.84), QString("2.8 ms"));
        QCOMPARE(figures::milliseconds(143.4), QString("143 ms"));
        QCOMPARE(figures::milliseconds(std::nullopt), QString("– ms"));
        QCOMPARE(figures::duration(45s), QString("45 s"));
        QCOMPARE(figures::duration(192s), QString("3 min 12 s"));
        QCOMPARE(figures::duration(2h + 5min + 9s), QString("2 h 05 min"));
        QCOMPARE(figures::duration(76h), QString("3 d 4 h"));
        QCOMPARE(figures::percent(99.96), QString("99.9 %"));
        QCOMPARE(figures::percent(100), QString("100 %"));
        QCOMPARE(figures::percent(0), QString("0 %"));
        QCOMPARE(figures::outages(1), QString("1 outage"));
        QCOMPARE(vorn::app::RttChart::scaleTop(0.3), 1.0);
        QCOMPARE(vorn::app::RttChart::scaleTop(47), 100.0);
        QCOMPARE(vorn::app::RttChart::scaleTop(180), 200.0);
    }

    // A show with one outage, as the strip, the report window and the CSV
    // files tell it.
    void aShowWithAnOutageIsReportedEverywhere() {
        MonitorFixture fixture;
        playShow(fixture);
        const auto statistics = fixture.manager->currentStatistics();
        const auto line = figures::compactLine(statistics);
        QCOMPARE(line.roundTrip, QString("3.0 ms"));
        QVERIFY2(line.rest.endsWith(QString("· 1 outage")), qPrintable(line.rest));
        QVERIFY(figures::stateTime(statistics).startsWith(QString("ALIVE for ")));

        LinkReportWindow window(fixture.manager);
        window.refresh();
        QCOMPARE(window.figure("outages"), QString("1"));
        QCOMPARE(window.figure("maximum"), QString("5.0 ms"));
        QCOMPARE(window.figure("pings"), QString("%1 of %2").arg(statistics.session.pingsAnswered).arg(statistics.session.pingsSent));
        QCOMPARE(window.outageList()->topLevelItemCount(), 1);
        QVERIFY(window.outageList()->topLevelItem(0)->text(1) != QString("lasting"));
        QCOMPARE(window.figure("nonsense"), QString());

        // The one window holds the monitor until it is let go.
        const auto held = fixture.manager.use_count();
        LinkReportWindow* shown = LinkReportWindow::open(fixture.manager);
        QCOMPARE(LinkReportWindow::open(fixture.manager), shown);
        QVERIFY(fixture.manager.use_count() > held);
        LinkReportWindow::reset();
        QCOMPARE(LinkReportWindow::current(), nullptr);
        QCOMPARE(fixture.manager.use_count(), held);

        QTemporaryDir directory;
        QVERIFY(directory.isValid());
        const QString chosen = directory.filePath("Show.csv");
        QCOMPARE(vorn::app::ReportExport::write(chosen, fixture.manager->report()), std::nullopt);
        const auto paths = vorn::app::ReportExport::pathsFor(chosen);
        QCOMPARE(paths.pings, directory.filePath("Show pings.csv"));
        QFile pings(paths.pings);
        QVERIFY(pings.open(QIODevice::ReadOnly));
        const QList<QByteArray> rows = pings.readAll().split('\n');
        QCOMPARE(rows.front(), QByteArray("time,rtt_ms,result\r"));
        QCOMPARE(std::count_if(rows.begin(), rows.end(), [](const QByteArray& row) { return row.endsWith(",miss\r"); }), 3);
        QFile outages(paths.outages);
        QVERIFY(outages.open(QIODevice::ReadOnly));
        QCOMPARE(outages.readAll().count('\n'), 2);

        // A folder that cannot take the files: the error names the file.
        const auto error = vorn::app::ReportExport::write(directory.filePath("missing/Show.csv"), fixture.manager->report());
        QVERIFY(error && error->contains("Show pings.csv"));
    }

    // Muting holds alerts back; the menu offers the way back only while
    // muted.
    void muteEntriesMuteAndUnmute() {
        MonitorFixture fixture;
        const auto entries = [&] {
            auto menu = std::make_unique<QMenu>();
            vorn::app::AlarmMenu::addMuteEntries(*menu, fixture.manager);
            return menu;
        };
        const auto trigger = [](QMenu& menu, const char* text) {
            for (QAction* action : menu.actions()) {
                if (action->text() == QString::fromLatin1(text)) {
                    action->trigger();
                    return true;
                }
            }
            return false;
        };
        auto menu = entries();
        QCOMPARE(menu->actions().size(), 3);
        QVERIFY(trigger(*menu, vorn::app::AlarmMenu::muteQuarterHour));
        QVERIFY(fixture.manager->mute.get().muted);
        QCOMPARE(fixture.manager->mute.get().until, std::optional(fixture.loop.now() + std::chrono::duration_cast<vorn::dispatch::Duration>(15min)));
        menu = entries();
        QVERIFY(trigger(*menu, vorn::app::AlarmMenu::unmute));
        QVERIFY(!fixture.manager->mute.get().muted);
        QVERIFY(trigger(*entries(), vorn::app::AlarmMenu::muteUntilAlive));
        QVERIFY(fixture.manager->mute.get().untilAlive);
    }

    // The alarm settings show what is stored and store what is edited; a
    // state message that cannot be sent is marked where it is typed.
    void alarmSettingsFollowAndWriteTheSettings() {
        MonitorFixture fixture;
        vorn::app::AlarmSettingsView view(fixture.settings);
        fixture.settings->missesBeforeDead = 3;
        QCOMPARE(view.missesField()->value(), 3);
        view.slowField()->setValue(150);
        QCOMPARE(fixture.settings->slowRoundTripMs.get(), 150);
        QCOMPARE(view.reminderField()->text(), QString("Off"));
        QTest::keyClicks(view.stateMessageField(), "nohost");
        QCOMPARE(fixture.settings->stateMessage.get(), std::string("nohost"));
        QVERIFY(!view.stateMessageField()->toolTip().isEmpty());
        view.stateMessageField()->clear();
        QTest::keyClicks(view.stateMessageField(), "127.0.0.1:53000/cue/1/go");
        QVERIFY(view.stateMessageField()->toolTip().isEmpty());
    }
};

QTEST_MAIN(LinkReportTest)
#include "LinkReportTest.moc"
