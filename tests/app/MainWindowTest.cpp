#include "app/MainWindow.h"

#include "MonitorFixture.h"
#include "app/MonitorView.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include <cmath>
#include <limits>
#include <string>

using vorn::app::MainWindow;

class MainWindowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void frameTextReadsBackExactly_data() {
        QTest::addColumn<QRectF>("frame");
        QTest::newRow("whole points") << QRectF(10, 20, 300, 400);
        QTest::newRow("left of the primary screen") << QRectF(-1280, -12, 600, 160);
        QTest::newRow("fractions") << QRectF(0.1, 1.0 / 3.0, 300.25, 2.0 / 3.0 * 600);
        QTest::newRow("origin") << QRectF(0, 0, 300, 160);
    }

    void frameTextReadsBackExactly() {
        QFETCH(QRectF, frame);
        const auto text = MainWindow::frameText(frame);
        const auto read = MainWindow::parseFrameText(text);
        QVERIFY2(read.has_value(), text.c_str());
        // Exact equality: the text must lose nothing.
        QVERIFY(read->x() == frame.x() && read->y() == frame.y());
        QVERIFY(read->width() == frame.width() && read->height() == frame.height());
    }

    void frameTextLooksLikeARectangle() {
        QCOMPARE(MainWindow::frameText(QRectF(10, -20, 300, 400.5)), std::string("{{10, -20}, {300, 400.5}}"));
        const auto spaced = MainWindow::parseFrameText("{ {1,2} , {3 , 4} }");
        QVERIFY(spaced.has_value());
        QCOMPARE(*spaced, QRectF(1, 2, 3, 4));
    }

    void unparsableFrameTextIsIgnored_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << "";
        QTest::newRow("words") << "top left please";
        QTest::newRow("three numbers") << "{{1, 2}, {3}}";
        QTest::newRow("trailing text") << "{{1, 2}, {300, 400}} and more";
        QTest::newRow("unclosed") << "{{1, 2}, {300, 400}";
        QTest::newRow("empty size") << "{{1, 2}, {0, 400}}";
        QTest::newRow("negative size") << "{{1, 2}, {300, -400}}";
        QTest::newRow("not a number") << "{{nan, 2}, {300, 400}}";
        QTest::newRow("infinite") << "{{inf, 2}, {300, 400}}";
        QTest::newRow("beyond any screen") << "{{1e300, 2}, {300, 400}}";
    }

    void unparsableFrameTextIsIgnored() {
        QFETCH(QString, text);
        QVERIFY(!MainWindow::parseFrameText(text.toStdString()).has_value());

        MonitorFixture fixture;
        fixture.store->setObject(text.toStdString(), MainWindow::frameKey);
        MainWindow window(fixture.settings, fixture.manager, fixture.loop);
        const QSize defaultSize = window.size();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), defaultSize);
    }

    void resizeIsClamped_data() {
        QTest::addColumn<QSize>("proposed");
        QTest::addColumn<QSize>("clamped");
        QTest::newRow("too wide, too low") << QSize(1000, 50) << QSize(600, 160);
        QTest::newRow("too narrow, too tall") << QSize(100, 900) << QSize(300, 400);
        QTest::newRow("inside") << QSize(450, 300) << QSize(450, 300);
        QTest::newRow("at the corners") << QSize(300, 400) << QSize(300, 400);
        QTest::newRow("nothing") << QSize(0, 0) << QSize(300, 160);
    }

    void resizeIsClamped() {
        QFETCH(QSize, proposed);
        QFETCH(QSize, clamped);
        QCOMPARE(MainWindow::clampedSize(proposed), clamped);

        MonitorFixture fixture;
        MainWindow window(fixture.settings, fixture.manager, fixture.loop);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.resize(proposed);
        QCOMPARE(window.size(), clamped);
    }

    void storedFrameIsRestoredAndSavedOnClose() {
        MonitorFixture fixture;
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        const QRect stored(screen.left() + 40, screen.top() + 50, 320, 160);
        fixture.store->setObject(MainWindow::frameText(QRectF(stored)), MainWindow::frameKey);
        {
            MainWindow window(fixture.settings, fixture.manager, fixture.loop);
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QCOMPARE(window.geometry(), stored);
            window.setGeometry(stored.translated(10, 20).adjusted(0, 0, 0, 240));
            window.close();
        }
        const auto saved = fixture.store->stringForKey(MainWindow::frameKey);
        QVERIFY(saved.has_value());
        QCOMPARE(MainWindow::parseFrameText(*saved), std::optional(QRectF(stored.left() + 10, stored.top() + 20, 320, 400)));
    }

    void frameOnNoScreenMovesToThePrimaryScreen_data() {
        QTest::addColumn<QRect>("frame");
        QTest::addColumn<bool>("moves");
        QTest::newRow("on the primary screen") << QRect(100, 100, 300, 200) << false;
        QTest::newRow("on the second screen") << QRect(2000, 100, 300, 200) << false;
        QTest::newRow("hanging over an edge") << QRect(-250, -100, 300, 200) << false;
        QTest::newRow("on an unplugged screen") << QRect(-2000, 100, 300, 200) << true;
        QTest::newRow("far below") << QRect(100, 5000, 600, 400) << true;
    }

    void frameOnNoScreenMovesToThePrimaryScreen() {
        QFETCH(QRect, frame);
        QFETCH(bool, moves);
        const QRect primary(0, 0, 1920, 1080);
        const QList<QRect> screens{primary, QRect(1920, 0, 1280, 1024)};
        const QRect placed = MainWindow::placedOnScreens(frame, screens, primary);
        QCOMPARE(placed.size(), frame.size());
        QCOMPARE(placed == frame, !moves);
        QVERIFY(primary.contains(placed) || !moves);
    }

    void restoredFrameOffEveryScreenLandsOnThePrimaryOne() {
        MonitorFixture fixture;
        fixture.store->setObject(std::string("{{-20000, -20000}, {340, 200}}"), MainWindow::frameKey);
        MainWindow window(fixture.settings, fixture.manager, fixture.loop);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), QSize(340, 200));
        QVERIFY(QGuiApplication::primaryScreen()->availableGeometry().contains(window.geometry()));
    }

    void opacityAndOnTopFollowTheSettings() {
        MonitorFixture fixture(0.4);
        MainWindow window(fixture.settings, fixture.manager, fixture.loop);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // The stored value holds before any change. Qt keeps opacity in
        // 255 steps.
        QVERIFY(std::abs(window.windowOpacity() - 0.4) <= 1.0 / 255);
        fixture.settings->opacity = 0.85;
        QVERIFY(std::abs(window.windowOpacity() - 0.85) <= 1.0 / 255);

        QVERIFY(!window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        const QRect frame = window.geometry();
        fixture.settings->alwaysOnTop = true;
        QVERIFY(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(window.isVisible());
        QCOMPARE(window.geometry(), frame);
        fixture.settings->alwaysOnTop = false;
        QVERIFY(!window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(window.isVisible());
    }

    void titleIsAlwaysTheProgramName() {
        MonitorFixture fixture;
        MainWindow window(fixture.settings, fixture.manager, fixture.loop);
        fixture.settings->title = "Stage Left";
        window.show();
        QCOMPARE(window.windowTitle(), QString("Vorn OSC 2"));
        fixture.settings->title = "FOH";
        QCOMPARE(window.windowTitle(), QString("Vorn OSC 2"));
        QCOMPARE(window.minimumSize(), QSize(300, 160));
    }

    void firstShowingStartsTheServerAndTimerAgain() {
        MonitorFixture fixture;
        const std::string listening = "✅ OSC server listening on port";
        QVERIFY(fixture.waitForLines(listening, 1));
        MainWindow window(fixture.settings, fixture.manager, fixture.loop);
        window.show();
        // The server task runs once more and reports again.
        QVERIFY(fixture.waitForLines(listening, 2));
    }

    void laterShowingsDoNotMoveThePingTimer() {
        using namespace std::chrono_literals;
        MonitorFixture fixture;
        MainWindow window(fixture.settings, fixture.manager, fixture.loop);
        const std::string sent = "→ Sent ping";
        window.show();
        fixture.loop.advance(600ms);
        // Another showing, and the re-show that the on-top flag needs; had
        // either restarted the timer, the next ping would be 1 s from here.
        window.hide();
        window.show();
        fixture.settings->alwaysOnTop = true;
        QCOMPARE(fixture.countLinesStartingWith(sent), std::size_t{0});
        fixture.loop.advance(400ms);
        QCOMPARE(fixture.countLinesStartingWith(sent), std::size_t{1});
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
