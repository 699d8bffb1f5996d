#include "app/SettingsView.h"

#include "app/Stepper.h"
#include "MonitorFixture.h"

#include <QAbstractItemModel>
#include <QCheckBox>
#include <QFontInfo>
#include <QLineEdit>
#include <QListView>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <memory>
#include <optional>
#include <string>
#include <vector>

using vorn::app::SettingsView;
using vorn::app::Stepper;

namespace {

void typeInto(QLineEdit* field, const QString& text) {
    field->selectAll();
    QTest::keyClicks(field, text);
}

const std::string restartedPrefix = "\xF0\x9F\x94\x81 OSC server restarted on port ";
const std::string listeningPrefix = "\xE2\x9C\x85 OSC server listening on port ";

// The ports of the restart lines, in order.
std::vector<std::string> restartLines(const MonitorFixture& m) {
    std::vector<std::string> lines;
    for (const auto& line : m.manager->log.lines()) {
        if (line.starts_with(restartedPrefix)) lines.push_back(line.substr(restartedPrefix.size()));
    }
    return lines;
}

}  // namespace

class SettingsViewTest : public QObject {
    Q_OBJECT

    std::unique_ptr<MonitorFixture> m;
    std::unique_ptr<SettingsView> view;

    std::unique_ptr<SettingsView> makeView() {
        return std::make_unique<SettingsView>(m->settings, m->manager, m->loop, [] { return nullptr; });
    }

private Q_SLOTS:
    void init() {
        m = std::make_unique<MonitorFixture>();
        // The start's outcome is in, so nothing more arrives from other
        // threads while a test counts the tasks the form posts.
        QVERIFY(m->waitForLines(listeningPrefix, 1));
        view = makeView();
        m->loop.runPending();
    }

    void cleanup() {
        view.reset();
        // The server's start task, and the outcome line it posts, hold the
        // monitor until they have run; the fixture's own wait only wakes on a
        // post, and the task's end posts nothing.
        QTRY_VERIFY((m->loop.runPending(), m->manager.use_count() == 1));
        m.reset();
    }

    void titleIsCutToSixteenUserPerceivedCharacters() {
        QTest::keyClicks(view->titleField(), QStringLiteral("ABCDEFGHIJKLMNOPQRST"));
        QCOMPARE(view->titleField()->text(), QStringLiteral("ABCDEFGHIJKLMNOP"));
        QCOMPARE(m->settings->title.get(), std::string("ABCDEFGHIJKLMNOP"));

        // Twenty accented letters, each a letter and a combining accent: two
        // UTF-16 units per character, one character to the reader.
        QString accented;
        for (int i = 0; i < 20; ++i) accented += QStringLiteral("e\u0301");
        view->titleField()->clear();
        view->titleField()->insert(accented);
        QCOMPARE(view->titleField()->text(), accented.left(32));
        QCOMPARE(QString::fromStdString(m->settings->title.get()), accented.left(32));
    }

    void receivePortRefusesOutOfRangeAndRestartsOnceOnCommit() {
        QCOMPARE(restartLines(*m), std::vector<std::string>{"0"});

        typeInto(view->receivePortField(), QStringLiteral("70000"));
        QTest::keyClick(view->receivePortField(), Qt::Key_Return);
        m->loop.runPending();
        QCOMPARE(view->receivePortField()->text(), QStringLiteral("0"));
        QCOMPARE(m->settings->receivePort.get(), std::int64_t{0});
        QCOMPARE(restartLines(*m), std::vector<std::string>{"0"});

        typeInto(view->receivePortField(), QStringLiteral("9000"));
        // Nothing is written while the number is being typed.
        QCOMPARE(m->settings->receivePort.get(), std::int64_t{0});
        QTest::keyClick(view->receivePortField(), Qt::Key_Return);
        QCOMPARE(m->settings->receivePort.get(), std::int64_t{9000});
        m->loop.runPending();
        // The monitor's own observer restarts inside the assignment, while the
        // setting still holds the old port; the form's restart, a turn later,
        // opens the new one. Exactly one restart comes from the form.
        const std::vector<std::string> expected{"0", "0", "9000"};
        QCOMPARE(restartLines(*m), expected);

        // Committing the port already in force restarts nothing.
        QTest::keyClick(view->receivePortField(), Qt::Key_Return);
        view->receivePortField()->setText(QStringLiteral("9000"));
        Q_EMIT view->receivePortField()->editingFinished();
        m->loop.runPending();
        QCOMPARE(restartLines(*m), expected);
    }

    void targetPortCommitsWhenTheFieldLosesFocus() {
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        view->activateWindow();
        view->targetPortField()->setFocus();
        QTRY_VERIFY(view->targetPortField()->hasFocus());
        typeInto(view->targetPortField(), QStringLiteral("8123"));
        QCOMPARE(m->settings->targetPort.get(), std::int64_t{9});
        view->pingMessageField()->setFocus();
        QTRY_COMPARE(m->settings->targetPort.get(), std::int64_t{8123});
        QCOMPARE(m->loop.runPending(), std::size_t{1});  // the form's startPingTimer()
    }

    void parsePortAcceptsOnlyWholeNumbersInRange_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port");  // 0: refused
        QTest::newRow("plain") << "9000" << 9000;
        QTest::newRow("lowest") << "1" << 1;
        QTest::newRow("highest") << "65535" << 65535;
        QTest::newRow("blanks around") << " 443 " << 443;
        QTest::newRow("leading zero") << "08000" << 8000;
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("too high") << "70000" << 0;
        QTest::newRow("far too high") << "4294967297" << 0;
        QTest::newRow("negative") << "-1" << 0;
        QTest::newRow("plus sign") << "+80" << 0;
        QTest::newRow("fraction") << "80.5" << 0;
        QTest::newRow("grouped") << "8,000" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("words") << "port" << 0;
        QTest::newRow("arabic-indic digits") << QStringLiteral("\u0668\u0660") << 0;
    }

    void parsePortAcceptsOnlyWholeNumbersInRange() {
        QFETCH(QString, text);
        QFETCH(int, port);
        const auto parsed = SettingsView::parsePort(text);
        if (port == 0) {
            QVERIFY(!parsed.has_value());
        } else {
            QCOMPARE(parsed, std::optional<std::int64_t>(port));
        }
    }

    void targetIPQueuesOnePingTimerRestartPerKeystroke() {
        QTest::keyClicks(view->targetIPField(), QStringLiteral("192.168.1.20"));
        QCOMPARE(m->settings->targetIP.get(), std::string("127.0.0.1192.168.1.20"));
        QCOMPARE(m->loop.runPending(), std::size_t{12});
    }

    void pingIntervalStaysWithinOneToThirtySeconds() {
        Stepper* stepper = view->pingIntervalStepper();
        QCOMPARE(stepper->text(), QStringLiteral("1s"));
        QVERIFY(!stepper->downButton()->isEnabled());
        for (int i = 0; i < 40; ++i) QTest::mouseClick(stepper->upButton(), Qt::LeftButton);
        QCOMPARE(stepper->text(), QStringLiteral("30s"));
        QCOMPARE(m->settings->pingInterval.get(), 30.0);
        QVERIFY(!stepper->upButton()->isEnabled());
        stepper->stepUp();
        QCOMPARE(m->settings->pingInterval.get(), 30.0);
        m->loop.runPending();

        QSignalSpy edits(stepper, &Stepper::valueEdited);
        for (int i = 0; i < 40; ++i) QTest::mouseClick(stepper->downButton(), Qt::LeftButton);
        QCOMPARE(edits.count(), 29);
        QCOMPARE(stepper->text(), QStringLiteral("1s"));
        QCOMPARE(m->settings->pingInterval.get(), 1.0);
        QCOMPARE(m->loop.runPending(), std::size_t{29});  // one startPingTimer() per step
    }

    void opacityStepsByFiveHundredthsDownToPointFour() {
        Stepper* stepper = view->opacityStepper();
        QCOMPARE(stepper->text(), QStringLiteral("1.00"));
        const QStringList expected{"0.95", "0.90", "0.85", "0.80", "0.75", "0.70",
                                   "0.65", "0.60", "0.55", "0.50", "0.45", "0.40"};
        QStringList shown;
        for (int i = 0; i < 12; ++i) {
            QTest::mouseClick(stepper->downButton(), Qt::LeftButton);
            shown.append(stepper->text());
            // The stored value is the one a person would write, not one
            // drifted by repeated binary steps (QCOMPARE would forgive that).
            QVERIFY(m->settings->opacity.get() == (19 - i) / 20.0);
        }
        QCOMPARE(shown, expected);
        QVERIFY(!stepper->downButton()->isEnabled());
        QSignalSpy edits(stepper, &Stepper::valueEdited);
        stepper->stepDown();
        QCOMPARE(edits.count(), 0);
        QTest::mouseClick(stepper->upButton(), Qt::LeftButton);
        QCOMPARE(m->settings->opacity.get(), 0.45);
    }

    void opacityEditSetsTheTargetWindow() {
        QWidget mainWindow;
        SettingsView form(m->settings, m->manager, m->loop, [&] { return &mainWindow; });
        QTest::mouseClick(form.opacityStepper()->downButton(), Qt::LeftButton);
        // Window opacity is kept in 8 bits.
        QVERIFY(qAbs(mainWindow.windowOpacity() - 0.95) < 0.01);
    }

    void changesMadeElsewhereShowInTheForm() {
        auto other = makeView();
        QTest::keyClicks(other->targetIPField(), QStringLiteral("x"));
        QCOMPARE(view->targetIPField()->text(), QStringLiteral("127.0.0.1x"));
        m->loop.runPending();

        auto& s = *m->settings;
        s.title = "Stage <b>left</b>";
        s.pingMessage = "/cue/ping";
        s.desiredReply = "/cue/pong";
        s.targetPort = 8123;
        s.pingInterval = 7.0;
        s.alwaysOnTop = true;
        s.opacity = 0.6;
        s.alarmEnabled = false;
        QCOMPARE(view->titleField()->text(), QStringLiteral("Stage <b>left</b>"));
        QCOMPARE(view->pingMessageField()->text(), QStringLiteral("/cue/ping"));
        QCOMPARE(view->desiredReplyField()->text(), QStringLiteral("/cue/pong"));
        QCOMPARE(view->targetPortField()->text(), QStringLiteral("8123"));
        QCOMPARE(view->pingIntervalStepper()->text(), QStringLiteral("7s"));
        QVERIFY(view->alwaysOnTopToggle()->isChecked());
        QCOMPARE(view->opacityStepper()->text(), QStringLiteral("0.60"));
        QVERIFY(!view->alarmToggle()->isChecked());
        // Shown, not edited: the form queues no restart of its own.
        QCOMPARE(m->loop.runPending(), std::size_t{0});

        // A stored value below the stepper's range (the settings allow 0.2)
        // is shown as it is; a step up lands inside the range.
        s.opacity = 0.25;
        QCOMPARE(view->opacityStepper()->text(), QStringLiteral("0.25"));
        QTest::mouseClick(view->opacityStepper()->downButton(), Qt::LeftButton);
        QCOMPARE(m->settings->opacity.get(), 0.25);
        QTest::mouseClick(view->opacityStepper()->upButton(), Qt::LeftButton);
        QCOMPARE(m->settings->opacity.get(), 0.4);
    }

    void togglesWriteTheirSettings() {
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        // On the box itself: the row is wider than the box and its label.
        const auto box = [](QWidget* toggle) { return QPoint(6, toggle->height() / 2); };
        QTest::mouseClick(view->alwaysOnTopToggle(), Qt::LeftButton, {}, box(view->alwaysOnTopToggle()));
        QCOMPARE(m->settings->alwaysOnTop.get(), true);
        QTest::mouseClick(view->alarmToggle(), Qt::LeftButton, {}, box(view->alarmToggle()));
        QCOMPARE(m->settings->alarmEnabled.get(), false);
    }

    void localAddressesStartWithLocalhostInAFixedPitchFont() {
        const QAbstractItemModel* model = view->addressList()->model();
        QVERIFY(model->rowCount() >= 1);
        QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("localhost"));
        QVERIFY(QFontInfo(view->addressList()->font()).fixedPitch());
        QCOMPARE(view->addressList()->size(), QSize(240, 80));
    }
};

QTEST_MAIN(SettingsViewTest)
#include "SettingsViewTest.moc"
