// The settings form, the one settings window and the tray item that opens it.

#include "app/SettingsView.h"

#include "MonitorFixture.h"
#include "app/HeartIcon.h"
#include "app/Look.h"
#include "app/SettingsWindow.h"
#include "app/SettingsWindowManager.h"
#include "app/Stepper.h"
#include "app/TrayStatus.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLineEdit>
#include <QListView>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>

#include <memory>
#include <string>
#include <vector>

using vorn::app::heartIcon;
using vorn::app::SettingsView;
using vorn::app::SettingsWindowManager;
using vorn::app::Stepper;
using vorn::app::TrayStatus;

namespace {

void typeInto(QLineEdit* field, const QString& text) {
    field->selectAll();
    QTest::keyClicks(field, text);
}

// The ports of the restart lines, in order.
std::vector<std::string> restarts(const MonitorFixture& m) {
    const std::string prefix = "🔁 OSC server restarted on port ";
    std::vector<std::string> ports;
    for (const auto& line : m.manager->log.lines()) {
        if (line.starts_with(prefix)) ports.push_back(line.substr(prefix.size()));
    }
    return ports;
}

}  // namespace

class SettingsViewTest : public QObject {
    Q_OBJECT

    std::unique_ptr<MonitorFixture> m;
    std::unique_ptr<SettingsView> view;
    QWidget mainWindow;

private Q_SLOTS:
    void init() {
        m = std::make_unique<MonitorFixture>();
        // With the start's outcome in, nothing more arrives from other threads
        // while a test counts the tasks that the form posts.
        QVERIFY(m->waitForLines("✅ OSC server listening on port", 1));
        view = std::make_unique<SettingsView>(m->settings, m->manager, m->loop, [this] { return &mainWindow; });
        m->loop.runPending();
    }

    void cleanup() {
        SettingsWindowManager::reset();
        view.reset();
        m.reset();
    }

    void titleIsCutToSixteenUserPerceivedCharacters() {
        QTest::keyClicks(view->titleField(), QStringLiteral("ABCDEFGHIJKLMNOPQRST"));
        QCOMPARE(view->titleField()->text(), QStringLiteral("ABCDEFGHIJKLMNOP"));
        QCOMPARE(m->settings->title.get(), std::string("ABCDEFGHIJKLMNOP"));
        // A letter and a combining accent: two UTF-16 units, one character.
        const QString accented = QStringLiteral("e\u0301").repeated(20);
        view->titleField()->clear();
        view->titleField()->insert(accented);
        QCOMPARE(QString::fromStdString(m->settings->title.get()), accented.left(32));
    }

    void receivePortRefusesOutOfRangeAndRestartsOnceOnCommit() {
        typeInto(view->receivePortField(), QStringLiteral("70000"));
        QTest::keyClick(view->receivePortField(), Qt::Key_Return);
        m->loop.runPending();
        QCOMPARE(view->receivePortField()->text(), QStringLiteral("0"));
        QCOMPARE(restarts(*m), std::vector<std::string>{"0"});

        typeInto(view->receivePortField(), QStringLiteral("9000"));
        QCOMPARE(m->settings->receivePort.get(), std::int64_t{0});  // nothing while typing
        QTest::keyClick(view->receivePortField(), Qt::Key_Return);
        QCOMPARE(m->settings->receivePort.get(), std::int64_t{9000});
        m->loop.runPending();
        // The monitor's own observer restarts inside the assignment, on the old
        // port; the form's one restart, a turn later, opens the new one.
        const std::vector<std::string> expected{"0", "0", "9000"};
        QCOMPARE(restarts(*m), expected);
        // Committing the port already in force restarts nothing.
        QTest::keyClick(view->receivePortField(), Qt::Key_Return);
        m->loop.runPending();
        QCOMPARE(restarts(*m), expected);

        for (const char* refused : {"0", "+80", "80.5", "4294967297", "\u0668\u0660"}) {
            QVERIFY2(!SettingsView::parsePort(QString::fromUtf8(refused)), refused);
        }
        QCOMPARE(SettingsView::parsePort(QStringLiteral(" 08000 ")), std::optional<std::int64_t>(8000));
    }

    void targetFieldsQueueAPingTimerRestart() {
        QTest::keyClicks(view->targetIPField(), QStringLiteral("1.2"));
        QCOMPARE(m->settings->targetIP.get(), std::string("127.0.0.11.2"));
        QCOMPARE(m->loop.runPending(), std::size_t{3});  // one per keystroke

        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        view->activateWindow();
        view->targetPortField()->setFocus();
        QTRY_VERIFY(view->targetPortField()->hasFocus());
        typeInto(view->targetPortField(), QStringLiteral("8123"));
        QCOMPARE(m->settings->targetPort.get(), std::int64_t{9});
        view->pingMessageField()->setFocus();  // leaving the field commits
        QTRY_COMPARE(m->settings->targetPort.get(), std::int64_t{8123});
        QCOMPARE(m->loop.runPending(), std::size_t{1});
    }

    // A preset fills its fields and restarts what they concern; a field
    // edited afterwards leaves the preset, and a change made elsewhere that
    // matches one shows it.
    void presetFillsTheFieldsAndFollowsThem() {
        QComboBox* preset = view->presetChoice();
        QCOMPARE(preset->currentIndex(), 0);
        const int audioServer = preset->findText(QStringLiteral("Audio-synthesis server"));
        QVERIFY(audioServer > 0);
        Q_EMIT preset->activated(audioServer);
        QCOMPARE(view->pingMessageField()->text(), QStringLiteral("/status"));
        QCOMPARE(view->desiredReplyField()->text(), QStringLiteral("/status.reply"));
        QCOMPARE(view->targetPortField()->text(), QStringLiteral("57110"));
        QVERIFY(m->settings->listenOnPingPort.get() && !m->settings->passive.get());
        m->loop.runPending();
        QCOMPARE(restarts(*m).back(), std::string("8001"));
        QTRY_COMPARE(preset->currentIndex(), audioServer);

        m->settings->targetPort = 57111;
        QTRY_COMPARE(preset->currentIndex(), 0);
        m->settings->targetPort = 57110;
        QTRY_COMPARE(preset->currentIndex(), audioServer);
    }

    void steppersKeepTheirRangesAndLabels() {
        Stepper* interval = view->pingIntervalStepper();
        QCOMPARE(interval->text(), QStringLiteral("1s"));
        QVERIFY(!interval->downButton()->isEnabled());
        for (int i = 0; i < 40; ++i) QTest::mouseClick(interval->upButton(), Qt::LeftButton);
        QCOMPARE(interval->text(), QStringLiteral("30s"));
        QCOMPARE(m->settings->pingInterval.get(), 30.0);
        QVERIFY(!interval->upButton()->isEnabled());
        QCOMPARE(m->loop.runPending(), std::size_t{29});  // one startPingTimer() per step

        Stepper* opacity = view->opacityStepper();
        QStringList shown;
        for (int i = 0; i < 14; ++i) {
            QTest::mouseClick(opacity->downButton(), Qt::LeftButton);
            shown.append(opacity->text());
        }
        QCOMPARE(shown.mid(9), QStringList({"0.50", "0.45", "0.40", "0.40", "0.40"}));
        // The value a person would write, not one drifted by binary steps.
        QVERIFY(m->settings->opacity.get() == 0.4);
        QVERIFY(qAbs(mainWindow.windowOpacity() - 0.4) < 0.01);
    }

    void changesMadeElsewhereShowInTheFormAndToggleBoxesWrite() {
        auto& s = *m->settings;
        s.title = "Stage <b>left</b>";
        s.targetPort = 8123;
        s.pingInterval = 7.0;
        s.opacity = 0.25;  // below the stepper's range, shown as it is
        s.alarmEnabled = false;
        QCOMPARE(view->titleField()->text(), QStringLiteral("Stage <b>left</b>"));
        QCOMPARE(view->targetPortField()->text(), QStringLiteral("8123"));
        QCOMPARE(view->pingIntervalStepper()->text(), QStringLiteral("7s"));
        QCOMPARE(view->opacityStepper()->text(), QStringLiteral("0.25"));
        QVERIFY(!view->alarmToggle()->isChecked());
        QCOMPARE(m->loop.runPending(), std::size_t{0});  // shown, not edited
        QCOMPARE(view->addressList()->model()->index(0, 0).data().toString(), QStringLiteral("localhost"));
        QTest::mouseClick(view->opacityStepper()->upButton(), Qt::LeftButton);
        QCOMPARE(s.opacity.get(), 0.4);

        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        // On the box itself: the row is wider than the box and its label.
        QTest::mouseClick(view->alwaysOnTopToggle(), Qt::LeftButton, {}, QPoint(6, 8));
        QVERIFY(s.alwaysOnTop.get());
    }

    // Off screen there is no tray: the item follows the state all the same,
    // so that a tray that turns up later shows the right heart.
    void trayIconFollowsTheLinkWithThePanelClosed() {
        TrayStatus tray(m->settings, m->manager, m->loop);
        const auto image = [](const QIcon& icon) { return icon.pixmap(32, 32).toImage(); };
        QVERIFY(image(heartIcon(true)) != image(heartIcon(false)));
        QCOMPARE(image(tray.trayIcon()->icon()), image(heartIcon(false)));
        m->manager->isAlive = true;
        QCOMPARE(image(tray.trayIcon()->icon()), image(heartIcon(true)));
        m->manager->isAlive = false;
        QCOMPARE(image(tray.trayIcon()->icon()), image(heartIcon(false)));
        QVERIFY(!tray.panel()->isVisible());
    }

    void trayPanelOpensOneSettingsWindowThatClosingOnlyHides() {
        TrayStatus tray(m->settings, m->manager, m->loop);
        tray.showPanel();
        QVERIFY(tray.panel()->windowFlags().testFlag(Qt::Popup));
        auto* quit = tray.panel()->findChild<QToolButton*>(QStringLiteral("quitItem"));
        auto* settingsItem = tray.panel()->findChild<QToolButton*>(QStringLiteral("settingsItem"));
        QVERIFY(quit != nullptr && settingsItem != nullptr);
        QCOMPARE(quit->text(), QStringLiteral("Quit Vorn OSC 2"));
        QCOMPARE(settingsItem->text(), QStringLiteral("Settings"));

        settingsItem->click();
        QPointer<QWidget> window = SettingsWindowManager::window();
        QVERIFY(window && window->isVisible());
        QCOMPARE(window->windowTitle(), QStringLiteral("Vorn OSC Settings"));
        QCOMPARE(window->minimumSize(), QSize(300, 400));
        QVERIFY(QTest::qWaitForWindowExposed(window));
        // It opens showing the whole form, or as much of it as the screen
        // holds with nothing cut off at the side.
        auto* scroll = window->findChild<QScrollArea*>();
        QCOMPARE(scroll->horizontalScrollBar()->maximum(), 0);
        QVERIFY(scroll->verticalScrollBar()->maximum() == 0 ||
                window->height() == window->screen()->availableGeometry().height());
        QVERIFY(scroll->widget()->width() >= scroll->widget()->minimumWidth());
        const QPoint leftAt = window->pos() + QPoint(37, 23);
        window->move(leftAt);
        QVERIFY(window->close());
        QVERIFY(window && !window->isVisible());
        QVERIFY(!window->testAttribute(Qt::WA_QuitOnClose));

        // A change made while hidden shows when it comes back, where it was.
        m->settings->title = "Balcony";
        settingsItem->click();
        QCOMPARE(SettingsWindowManager::open(m->settings, m->manager, m->loop), window.data());
        QVERIFY(window->isVisible());
        QCOMPARE(window->pos(), leftAt);
        QCOMPARE(window->findChild<QLineEdit*>(QStringLiteral("title"))->text(), QStringLiteral("Balcony"));
        int windows = 0;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            windows += qobject_cast<vorn::app::SettingsWindow*>(widget) != nullptr ? 1 : 0;
        }
        QCOMPARE(windows, 1);
    }

    void settingsOpenAtTheFormsSizeOrTheScreens() {
        using vorn::app::SettingsWindow;
        QCOMPARE(SettingsWindow::openingSize({424, 630}, {1280, 800}, 10), QSize(424, 630));
        QCOMPARE(SettingsWindow::openingSize({424, 630}, {800, 600}, 10), QSize(434, 600));
        QCOMPARE(SettingsWindow::openingSize({424, 630}, {400, 300}, 10), QSize(400, 300));
        QCOMPARE(SettingsWindow::openingSize({424, 630}, {}, 10), QSize(424, 630));
    }

    // Every window in the program's look: dark, and each text on its
    // background at the highest contrast grade accessibility guidelines name.
    void theLookIsDarkAndHighContrast() {
        namespace look = vorn::app::look;
        const QPalette palette = look::darkPalette();
        QVERIFY(palette.color(QPalette::Window).lightnessF() < 0.2);
        const std::pair<QPalette::ColorRole, QPalette::ColorRole> pairs[] = {
            {QPalette::WindowText, QPalette::Window},   {QPalette::Text, QPalette::Base},
            {QPalette::ButtonText, QPalette::Button},   {QPalette::HighlightedText, QPalette::Highlight},
            {QPalette::ToolTipText, QPalette::ToolTipBase}};
        for (const auto& [text, background] : pairs) {
            QVERIFY(look::contrastRatio(palette.color(text), palette.color(background)) >= 7.0);
        }
        QCOMPARE(look::contrastRatio(Qt::black, Qt::white), 21.0);
        // Disabled text stays legible, if quieter.
        QVERIFY(look::contrastRatio(palette.color(QPalette::Disabled, QPalette::WindowText),
                                    palette.color(QPalette::Disabled, QPalette::Window)) >= 4.5);
    }

    void trayPanelOpensBelowOrAboveTheIconAndStaysOnScreen() {
        // Screen 0,0 1920x1080; panel 200x100.
        const struct {
            QRect icon;
            QPoint cursor, expected;
        } cases[] = {
            {QRect(1000, 0, 24, 24), {}, QPoint(1000, 24)},      // tray at the top
            {QRect(1000, 1056, 24, 24), {}, QPoint(1000, 956)},  // tray at the bottom
            {QRect(1900, 0, 20, 24), {}, QPoint(1720, 24)},      // icon at the right edge
            {QRect(), QPoint(1919, 1079), QPoint(1720, 979)},    // icon unknown: at the pointer
        };
        for (const auto& c : cases) {
            QCOMPARE(TrayStatus::panelPosition(c.icon, c.cursor, QSize(200, 100), QRect(0, 0, 1920, 1080)), c.expected);
        }
    }
};

QTEST_MAIN(SettingsViewTest)
#include "SettingsViewTest.moc"
