// The main window and what it holds: the status light, the waveform, the
// chevron and the log.

#include "app/MainWindow.h"

#include "MonitorFixture.h"
#include "app/LogLineDelegate.h"
#include "app/LogModel.h"
#include "app/LogView.h"
#include "app/MonitorView.h"
#include "app/Palette.h"
#include "app/SettingsWindowManager.h"
#include "app/VornApp.h"
#include "app/WaveformView.h"
#include "osc/OSCMessage.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QStringListModel>
#include <QClipboard>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QToolButton>
#include <QToolTip>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

using namespace std::chrono_literals;
using vorn::app::LogModel;
using vorn::app::MainWindow;
using vorn::app::MonitorView;
using vorn::app::VornApp;
using vorn::app::WaveformView;

namespace {

// Columns of `image` holding a bright pixel, i.e. where text was drawn.
int inkedColumns(const QImage& image) {
    int columns = 0;
    for (int x = 0; x < image.width(); ++x) {
        for (int y = 0; y < image.height(); ++y) {
            if (qGray(image.pixel(x, y)) > 128) {
                ++columns;
                break;
            }
        }
    }
    return columns;
}

// What `run` writes to standard output.
template <typename F>
std::string capturedStdout(F run) {
    std::fflush(stdout);
    std::FILE* file = std::tmpfile();
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(::fileno(file), STDOUT_FILENO);
    run();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

// Shows `view` at 300 by 400 and waits until its rows hold the whole log.
bool shownWithTheLog(MonitorView& view, const MonitorFixture& fixture) {
    view.resize(300, 400);
    view.show();
    return QTest::qWaitForWindowExposed(&view) &&
           QTest::qWaitFor([&] { return view.logModel()->rowCount() == static_cast<int>(fixture.manager->log.size()); });
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir config_;

private Q_SLOTS:
    void initTestCase() {
        qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
        qputenv("XDG_STATE_HOME", config_.filePath("state").toUtf8());
        QDir(config_.path()).mkpath("vorn-osc");
        std::ofstream(config_.filePath("vorn-osc/settings.json").toStdString())
            << R"({"receivePort": 0, "targetIP": "127.0.0.1", "title": "From the file"})";
    }

    void frameTextIsLosslessAndBadTextIgnored() {
        QCOMPARE(MainWindow::frameText(QRectF(10, -20, 300, 400.5)), std::string("{{10, -20}, {300, 400.5}}"));
        for (const QRectF& frame : {QRectF(-1280, -12, 600, 160), QRectF(0.1, 1.0 / 3.0, 300.25, 2.0 / 3.0 * 600)}) {
            // Exact equality: the text must lose nothing.
            const auto read = MainWindow::parseFrameText(MainWindow::frameText(frame)).value_or(QRectF());
            QVERIFY(read.x() == frame.x() && read.y() == frame.y() && read.width() == frame.width() &&
                    read.height() == frame.height());
        }
        QCOMPARE(MainWindow::parseFrameText("{ {1,2} , {3 , 4} }"), std::optional(QRectF(1, 2, 3, 4)));
        for (const char* bad : {"", "{{1, 2}, {3}}", "{{1, 2}, {300, 400}} and more", "{{1, 2}, {300, 400}",
                                "{{1, 2}, {0, 400}}", "{{nan, 2}, {300, 400}}", "{{1e300, 2}, {300, 400}}"}) {
            QVERIFY2(!MainWindow::parseFrameText(bad), bad);
        }
    }

    void storedFrameIsRestoredSavedOnCloseAndBroughtBackOnScreen() {
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
        QCOMPARE(MainWindow::parseFrameText(fixture.store->stringForKey(MainWindow::frameKey).value_or("")),
                 std::optional(QRectF(stored.left() + 10, stored.top() + 20, 320, 400)));

        // A projector unplugged since the last show.
        fixture.store->setObject(std::string("{{-20000, -20000}, {340, 200}}"), MainWindow::frameKey);
        MainWindow window(fixture.settings, fixture.manager, fixture.loop);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), QSize(340, 200));
        QVERIFY(screen.contains(window.geometry()));

        // On a second screen, or only partly on one, a frame stays put.
        const QList<QRect> screens{QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)};
        for (const QRect& kept : {QRect(2000, 100, 300, 200), QRect(-250, -100, 300, 200)}) {
            QCOMPARE(MainWindow::placedOnScreens(kept, screens, screens[0]), kept);
        }
    }

    void windowIsClampedFollowsTheSettingsAndOnlyTheFirstShowingStartsTheMonitor() {
        MonitorFixture fixture;
        fixture.settings->opacity = 0.4;
        const std::string listening = "✅ OSC server listening on port";
        QVERIFY(fixture.waitForLines(listening, 1));
        MainWindow window(fixture.settings, fixture.manager, fixture.loop);
        fixture.settings->title = "Stage Left";
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), QString("Vorn OSC 2"));
        window.resize(1000, 50);
        QCOMPARE(window.size(), QSize(600, 160));
        window.resize(100, 900);
        QCOMPARE(window.size(), QSize(300, 400));
        // Qt keeps opacity in 255 steps.
        QVERIFY(std::abs(window.windowOpacity() - 0.4) <= 1.0 / 255);
        fixture.settings->opacity = 0.85;
        QVERIFY(std::abs(window.windowOpacity() - 0.85) <= 1.0 / 255);
        // The first showing runs the server task once more.
        QVERIFY(fixture.waitForLines(listening, 2));

        fixture.loop.advance(600ms);
        const QRect frame = window.geometry();
        // Another showing, and the re-show that the on-top flag needs; had
        // either restarted the timer, the next ping would be 1 s from here.
        window.hide();
        window.show();
        fixture.settings->alwaysOnTop = true;
        QVERIFY(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(window.isVisible());
        QCOMPARE(window.geometry(), frame);
        QCOMPARE(fixture.countLinesStartingWith("→ Sent ping"), std::size_t{0});
        fixture.loop.advance(400ms);
        QCOMPARE(fixture.countLinesStartingWith("→ Sent ping"), std::size_t{1});
        fixture.settings->alwaysOnTop = false;
        QVERIFY(!window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    }

    void backgroundFollowsTheLinkState() {
        MonitorFixture fixture;
        MonitorView view(fixture.settings, fixture.manager, fixture.loop);
        view.resize(300, 400);
        // The top padding above the waveform shows the background alone.
        const auto corner = [&] { return view.grab().toImage().pixelColor(3, 3); };
        QCOMPARE(corner(), vorn::app::palette::red());
        fixture.manager->isAlive = true;
        QCOMPARE(corner(), vorn::app::palette::green());
        fixture.manager->isAlive = false;
        QCOMPARE(corner(), vorn::app::palette::red());
    }

    void toggleKeepsTheTopEdge_data() {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<QString>("symbolAfter");
        QTest::newRow("collapse") << 400 << 160 << "chevron-compact-down";
        QTest::newRow("expand") << 180 << 400 << "chevron-compact-up";
    }

    void toggleKeepsTheTopEdge() {
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(QString, symbolAfter);
        // Up, to collapse, only above 1.2 times the lowest height.
        QCOMPARE(MonitorView::chevronSymbolFor(193), QString("chevron-compact-up"));
        QCOMPARE(MonitorView::chevronSymbolFor(192), QString("chevron-compact-down"));
        QCOMPARE(MonitorView::chevronSymbolFor(std::nullopt), QString("chevron-compact-down"));

        MonitorFixture fixture;
        MonitorView view(fixture.settings, fixture.manager, fixture.loop);
        view.setGeometry(100, 120, 320, from);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const QRect before = view.geometry();
        QTest::mouseClick(view.chevronButton(), Qt::LeftButton);
        QCOMPARE(view.height(), from);  // the press only queues the toggle
        QTRY_COMPARE(view.height(), to);
        QCOMPARE(view.geometry().topLeft(), before.topLeft());
        QCOMPARE(view.width(), before.width());
        QCOMPARE(view.chevronSymbol(), symbolAfter);
    }

    // The collapsed strip, reached by the chevron or opened from a frame
    // saved collapsed: whatever it shows is whole, apart and clickable.
    void collapsedStripKeepsEveryControlWholeAndHidesTheLog() {
        MonitorFixture fixture;
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        fixture.store->setObject(MainWindow::frameText(QRectF(screen.left() + 30, screen.top() + 40, 320, 160)),
                                 MainWindow::frameKey);
        MainWindow window(fixture.settings, fixture.manager, fixture.loop);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MonitorView* view = window.monitorView();
        QCOMPARE(window.height(), MonitorView::minHeight);
        for (const int height : {MonitorView::minHeight, MonitorView::maxHeight, MonitorView::minHeight}) {
            QTRY_COMPARE(window.height(), height);
            QTRY_COMPARE(view->logView()->isVisible(), height == MonitorView::maxHeight);
            QList<QWidget*> shown;
            for (QWidget* child : view->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                if (child->isVisible()) shown.append(child);
            }
            QVERIFY(shown.size() >= 5);  // the waveform's slot, the chevron, the bar's three buttons
            for (QWidget* child : shown) {
                QVERIFY2(view->rect().contains(child->geometry()), qPrintable(child->metaObject()->className()));
                for (QWidget* other : shown) {
                    QVERIFY(child == other || !child->geometry().intersects(other->geometry()));
                }
            }
            QToolButton* chevron = view->chevronButton();
            const QRect where = chevron->geometry();
            QVERIFY(window.rect().contains(QRect(chevron->mapTo(&window, QPoint(0, 0)), where.size())));
            QCOMPARE(view->childAt(where.center()), chevron);
            // On the bare status light, with its symbol drawn.
            const QImage image = view->grab().toImage();
            const QColor plate = vorn::app::palette::red();
            for (const QPoint corner : {where.topLeft(), where.topRight(), where.bottomLeft(), where.bottomRight()}) {
                QCOMPARE(image.pixelColor(corner), plate);
            }
            bool symbol = false;
            for (int x = where.left(); x <= where.right(); ++x) {
                symbol = symbol || image.pixelColor(x, where.center().y()) != plate;
            }
            QVERIFY(symbol);
            QTest::mouseClick(chevron, Qt::LeftButton);
        }
    }

    void receivedMarkupIsShownLiterally() {
        MonitorFixture fixture;
        MonitorView view(fixture.settings, fixture.manager, fixture.loop);
        view.resize(400, 400);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto* model = view.logModel();
        model->setClock([] { return QDateTime(QDate(2026, 12, 6), QTime(21, 5, 9)); });
        fixture.manager->handleIncomingMessage(vorn::osc::OSCMessage(std::string("/<b>x</b>")), "::1", 9000);
        fixture.manager->handleIncomingMessage(vorn::osc::OSCMessage(std::string("/<img src=x>")));
        QVERIFY(fixture.waitForLines("← Received", 2));
        QTRY_COMPARE(model->rowCount(), static_cast<int>(fixture.manager->log.size()));
        const int last = model->rowCount() - 1;
        QCOMPARE(model->index(last - 1).data().toString(), QString("← Received “/<b>x</b>”"));
        QCOMPARE(model->index(last).data().toString(), QString("← Received “/<img src=x>”"));
        // The sender and the time go beside the line, never into it.
        QCOMPARE(model->index(last - 1).data(LogModel::SenderRole).toString(), QString("[::1]:9000"));
        QCOMPARE(model->index(last).data(LogModel::SenderRole).toString(), QString());
        QCOMPARE(model->index(last).data(LogModel::TimeRole).toString(), QString("21:05:09"));
        // A tool tip is read as markup: it shows the line as it came all the same.
        for (const int row : {last - 1, last}) {
            const QString line = model->index(row).data().toString();
            QTextDocument shown;
            shown.setHtml(model->index(row).data(Qt::ToolTipRole).toString());
            QCOMPARE(shown.toPlainText(), line);
        }
        // The view shows the row's tool tip where the pointer rests.
        vorn::app::LogView* list = view.logView();
        const QPoint onRow = list->visualRect(model->index(last)).center();
        QHelpEvent help(QEvent::ToolTip, onRow, list->viewport()->mapToGlobal(onRow));
        QApplication::sendEvent(list->viewport(), &help);
        QCOMPARE(QToolTip::text(), model->index(last).data(Qt::ToolTipRole).toString());
        QToolTip::hideText();

        // Drawn as markup, "<b>x</b>" would be one bold letter; as text, eight.
        vorn::app::LogLineDelegate delegate;
        QImage markup(400, 24, QImage::Format_RGB32);
        QImage letter(400, 24, QImage::Format_RGB32);
        QStringListModel texts({QString("<b>x</b>"), QString("x")});
        for (auto [image, row] : {std::pair{&markup, 0}, std::pair{&letter, 1}}) {
            image->fill(Qt::black);
            QPainter painter(image);
            QStyleOptionViewItem option;
            option.rect = image->rect();
            delegate.paint(&painter, option, texts.index(row));
        }
        QVERIFY(inkedColumns(markup) > 5 * inkedColumns(letter));
    }

    // Lines come in one batch per turn, and the view follows the newest.
    void logTakesOneBatchPerTurnAndScrollsToTheNewestLine() {
        MonitorFixture fixture;
        MonitorView view(fixture.settings, fixture.manager, fixture.loop);
        QVERIFY(shownWithTheLog(view, fixture));
        QSignalSpy inserted(view.logModel(), &QAbstractItemModel::rowsInserted);
        const int before = view.logModel()->rowCount();
        for (int i = 0; i < 1000; ++i) fixture.manager->log.append("line " + std::to_string(i));
        QCOMPARE(view.logModel()->rowCount(), before);
        QTRY_COMPARE(view.logModel()->rowCount(), before + 1000);
        QCOMPARE(inserted.count(), 1);
        vorn::app::LogView* list = view.logView();
        const QModelIndex newest = list->model()->index(list->model()->rowCount() - 1, 0);
        QCOMPARE(newest.data().toString(), QString("line 999"));
        QTRY_COMPARE(list->verticalScrollBar()->value(), list->verticalScrollBar()->maximum());
        QVERIFY(list->verticalScrollBar()->maximum() > 0);
        QVERIFY(list->viewport()->rect().contains(list->visualRect(newest)));
    }

    // Operators copy lines into show reports: exactly the lines selected,
    // in the order logged, also as the oldest rows leave the top.
    void logRowsAreSelectedAndCopiedAsTheirExactText() {
        MonitorFixture fixture;
        MonitorView view(fixture.settings, fixture.manager, fixture.loop);
        QVERIFY(shownWithTheLog(view, fixture));
        auto& log = fixture.manager->log;
        const std::string longLine = "→ Sent ping “/eos/ping” to 127.0.0.1:8000 " + std::string(300, 'x');
        for (const std::string& line : {std::string("first <b>"), longLine, std::string("third"), std::string("fourth")}) {
            log.append(line);
        }
        auto* model = view.logModel();
        QTRY_COMPARE(model->rowCount(), static_cast<int>(log.size()));
        vorn::app::LogView* list = view.logView();
        const int first = model->rowCount() - 4;
        const auto click = [&](int row, Qt::KeyboardModifiers modifiers = {}) {
            QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, list->visualRect(model->index(row)).center());
        };
        const auto copied = [&] {
            QApplication::clipboard()->clear();
            QTest::keySequence(list, QKeySequence::Copy);
            return QApplication::clipboard()->text().toStdString();
        };
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        click(first);
        QCOMPARE(QApplication::focusWidget(), list);
        click(first + 2, Qt::ShiftModifier);
        QCOMPARE(copied(), "first <b>\n" + longLine + "\nthird");
        click(first + 1, Qt::ControlModifier);
        click(first + 3, Qt::ControlModifier);
        QCOMPARE(copied(), std::string("first <b>\nthird\nfourth"));

        // The oldest selected line leaves memory; the rest stay selected.
        log.setMemoryLimit(4);
        log.append("fifth");
        QTRY_COMPARE(model->index(0).data().toString(), QString::fromStdString(longLine));
        QCOMPARE(copied(), std::string("third\nfourth"));

        // The context menu's Copy, after Select All.
        QCOMPARE(list->copyAction()->text(), QString("Copy"));
        list->selectAll();
        QApplication::clipboard()->clear();
        list->copyAction()->trigger();
        QCOMPARE(QApplication::clipboard()->text().toStdString(), longLine + "\nthird\nfourth\nfifth");
    }

    // Only the lines in memory are rows: the oldest leave the top as the
    // newest arrive, also when more arrive in one turn than memory holds.
    void logRowsFollowTheMemoryBound() {
        MonitorFixture fixture;
        MonitorView view(fixture.settings, fixture.manager, fixture.loop);
        QVERIFY(shownWithTheLog(view, fixture));
        auto& log = fixture.manager->log;
        log.setMemoryLimit(50);
        auto* model = view.logModel();
        QTRY_COMPARE(model->rowCount(), static_cast<int>(log.size()));
        for (const int burst : {60, 70, 200}) {
            for (int i = 0; i < burst; ++i) log.append("line " + std::to_string(log.count()));
            QTRY_COMPARE(model->index(0).data().toString(),
                         QString::fromStdString("line " + std::to_string(log.firstIndex())));
            QCOMPARE(model->rowCount(), 50);
            QCOMPARE(model->index(49).data().toString(), QString::fromStdString("line " + std::to_string(log.count() - 1)));
            // What goes beside each row leaves with it and stays in step.
            QVERIFY(!model->index(0).data(LogModel::TimeRole).toString().isEmpty());
        }
        QTRY_COMPARE(view.logView()->verticalScrollBar()->value(), view.logView()->verticalScrollBar()->maximum());
    }

    // Drawn in part, the spike is its polyline cut at that part of its length.
    void spikeIsThePolylineTrimmedByLength() {
        const auto points = WaveformView::spikePoints(QSizeF(300, 50));
        QCOMPARE(points.front(), QPointF(0, 25));
        QCOMPARE(points.back(), QPointF(300, 25));
        const auto length = [](const auto& line) {
            double total = 0;
            for (std::size_t i = 1; i < line.size(); ++i) total += QLineF(line[i - 1], line[i]).length();
            return total;
        };
        for (const auto& [fraction, count] : {std::pair{0.0, 0}, std::pair{0.2, 2}, std::pair{1.5, 9}}) {
            const auto drawn = WaveformView::trimmed(points, fraction);
            QCOMPARE(static_cast<int>(drawn.size()), count);
            QVERIFY(std::abs(length(drawn) - length(points) * std::min(fraction, 1.0)) < 1e-6);
        }
    }

    void heartbeatPrintsItsLineSpikesAndFadesOverOneInterval() {
        MonitorFixture fixture;
        WaveformView view(fixture.settings, fixture.manager);
        view.resize(300, WaveformView::bandHeight);
        const QImage untitled = view.grab().toImage();
        fixture.settings->title = " \t ";
        QCOMPARE(view.grab().toImage(), untitled);  // blanks show no title
        fixture.settings->title = "FOH";
        QVERIFY(view.grab().toImage() != untitled);

        QCOMPARE(view.spikeOpacity(), 0.0);
        QCOMPARE(capturedStdout([&] { fixture.manager->heartbeatCount = 7; }),
                 std::string("WaveformView spike for heartbeatCount=7\n"));
        QCOMPARE(view.spikeOpacity(), 1.0);
        QCOMPARE(view.pathTrim(), 0.0);
        QTRY_COMPARE(view.pathTrim(), 1.0);
        QTRY_VERIFY(view.spikeOpacity() < 1.0);
        // A new heartbeat cuts the fade short.
        fixture.manager->heartbeatCount = 8;
        QCOMPARE(view.spikeOpacity(), 1.0);
        QCOMPARE(view.pathTrim(), 0.0);
        QTRY_COMPARE_WITH_TIMEOUT(view.spikeOpacity(), 0.0, 5000);
    }

    // The app as a whole, on the user's settings file.
    void appUsesTheUsersSettingsOpensOneSettingsWindowOnCtrlCommaAndKeepsTheFrame() {
        QRect frame;
        {
            VornApp app;
            QCOMPARE(app.settings()->title.get(), std::string("From the file"));
            app.show();
            QVERIFY(QTest::qWaitForWindowExposed(app.mainWindow()));
            QTest::keyClick(app.mainWindow(), Qt::Key_Comma, Qt::ControlModifier);
            QWidget* settings = vorn::app::SettingsWindowManager::window();
            QVERIFY(settings != nullptr);
            QTRY_VERIFY(settings->isVisible());
            QTest::keyClick(app.mainWindow(), Qt::Key_Comma, Qt::ControlModifier);
            QCOMPARE(vorn::app::SettingsWindowManager::window(), settings);

            app.mainWindow()->resize(420, 180);
            frame = app.mainWindow()->geometry();
            app.mainWindow()->close();
        }
        VornApp again;
        again.show();
        QVERIFY(QTest::qWaitForWindowExposed(again.mainWindow()));
        QCOMPARE(again.mainWindow()->size(), frame.size());
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
