#include "app/MonitorView.h"

#include "MonitorFixture.h"
#include "app/LogLineDelegate.h"
#include "app/LogModel.h"
#include "app/LogView.h"
#include "app/Palette.h"
#include "osc/OSCMessage.h"

#include <QDesktopServices>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>

#include <string>

using vorn::app::MonitorView;

namespace {

// The columns of `image` in which some pixel is much brighter than the
// plate, i.e. where text was drawn.
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

}  // namespace

class MonitorViewTest : public QObject {
    Q_OBJECT

public Q_SLOTS:
    void openedUrl(const QUrl& url) { opened_.append(url); }

private Q_SLOTS:
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

    void chevronFollowsTheWindowHeight_data() {
        QTest::addColumn<int>("height");
        QTest::addColumn<QString>("symbol");
        QTest::newRow("expanded") << 400 << "chevron-compact-up";
        QTest::newRow("just above the threshold") << 193 << "chevron-compact-up";
        QTest::newRow("at the threshold") << 192 << "chevron-compact-down";
        QTest::newRow("below the threshold") << 180 << "chevron-compact-down";
    }

    void chevronFollowsTheWindowHeight() {
        QFETCH(int, height);
        QFETCH(QString, symbol);
        QCOMPARE(MonitorView::chevronSymbolFor(height), symbol);
        MonitorFixture fixture;
        MonitorView view(fixture.settings, fixture.manager, fixture.loop);
        view.resize(300, height);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QCOMPARE(view.chevronSymbol(), symbol);
    }

    void chevronWithoutAWindowOffersToExpand() {
        QCOMPARE(MonitorView::chevronSymbolFor(std::nullopt), QString("chevron-compact-down"));
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
        MonitorFixture fixture;
        MonitorView view(fixture.settings, fixture.manager, fixture.loop);
        view.setGeometry(100, 120, 320, from);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const QRect before = view.geometry();
        QTest::mouseClick(view.chevronButton(), Qt::LeftButton);
        // The press only queues the toggle.
        QCOMPARE(view.height(), from);
        QTRY_COMPARE(view.height(), to);
        QCOMPARE(view.geometry().top(), before.top());
        QCOMPARE(view.geometry().left(), before.left());
        QCOMPARE(view.width(), before.width());
        QCOMPARE(view.chevronSymbol(), symbolAfter);
    }

    void buttonsCarryTheirToolTips() {
        MonitorFixture fixture;
        MonitorView view(fixture.settings, fixture.manager, fixture.loop);
        QCOMPARE(view.chevronButton()->toolTip(), QString("Toggle window height"));
        QCOMPARE(view.saveButton()->toolTip(), QString("Save the OSC log to a file"));
        QCOMPARE(view.settingsButton()->toolTip(), QString("Open application settings"));
    }

    void receivedMarkupIsShownLiterally() {
        MonitorFixture fixture;
        MonitorView view(fixture.settings, fixture.manager, fixture.loop);
        view.resize(400, 400);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        fixture.manager->handleIncomingMessage(vorn::osc::OSCMessage(std::string("/<b>x</b>")));
        fixture.manager->handleIncomingMessage(vorn::osc::OSCMessage(std::string("/<img src=x>")));
        QVERIFY(fixture.waitForLines("← Received", 2));
        auto* model = view.logModel();
        QTRY_COMPARE(model->rowCount(), static_cast<int>(fixture.manager->log.size()));
        const int last = model->rowCount() - 1;
        QCOMPARE(model->index(last - 1).data().toString(), QString("← Received “/<b>x</b>”"));
        QCOMPARE(model->index(last).data().toString(), QString("← Received “/<img src=x>”"));
        // Only display text: a tool tip would be read as markup.
        QVERIFY(!model->index(last).data(Qt::ToolTipRole).isValid());

        // Rows are painted by our delegate, not by label or rich-text widgets
        // (nor by widgets of any kind, one per line).
        QVERIFY(qobject_cast<vorn::app::LogLineDelegate*>(view.logView()->itemDelegate()) != nullptr);
        QVERIFY(view.findChildren<QLabel*>().isEmpty());
        QVERIFY(view.findChildren<QTextEdit*>().isEmpty());
        QVERIFY(view.logView()->findChildren<QWidget*>().size() < 10);

        // Drawn as markup, "<b>x</b>" would be one bold letter; drawn as
        // text, it is eight characters wide.
        vorn::app::LogLineDelegate delegate;
        QImage markup(400, 24, QImage::Format_RGB32);
        QImage letter(400, 24, QImage::Format_RGB32);
        for (auto [image, text] : {std::pair{&markup, QString("<b>x</b>")}, std::pair{&letter, QString("x")}}) {
            fixture.manager->log.append(text.toStdString());
            QTRY_COMPARE(model->rowCount(), static_cast<int>(fixture.manager->log.size()));
            image->fill(Qt::black);
            QPainter painter(image);
            QStyleOptionViewItem option;
            option.rect = image->rect();
            delegate.paint(&painter, option, model->index(model->rowCount() - 1));
        }
        QVERIFY(inkedColumns(markup) > 5 * inkedColumns(letter));
    }

    void linesArriveInOneBatchPerTurn() {
        MonitorFixture fixture;
        MonitorView view(fixture.settings, fixture.manager, fixture.loop);
        QSignalSpy inserted(view.logModel(), &QAbstractItemModel::rowsInserted);
        const int before = view.logModel()->rowCount();
        for (int i = 0; i < 1000; ++i) fixture.manager->log.append("line " + std::to_string(i));
        QCOMPARE(view.logModel()->rowCount(), before);
        QTRY_COMPARE(view.logModel()->rowCount(), before + 1000);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(view.logModel()->index(before + 999).data().toString(), QString("line 999"));
    }

    void logScrollsToTheNewestLine() {
        MonitorFixture fixture;
        MonitorView view(fixture.settings, fixture.manager, fixture.loop);
        view.resize(300, 400);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < 100; ++i) {
                fixture.manager->log.append("line " + std::to_string(round) + "." + std::to_string(i));
            }
            vorn::app::LogView* list = view.logView();
            QTRY_COMPARE(list->model()->rowCount(), static_cast<int>(fixture.manager->log.size()));
            const QModelIndex newest = list->model()->index(list->model()->rowCount() - 1, 0);
            QTRY_VERIFY(list->verticalScrollBar()->maximum() > 0);
            QTRY_COMPARE(list->verticalScrollBar()->value(), list->verticalScrollBar()->maximum());
            QVERIFY(list->viewport()->rect().contains(list->visualRect(newest)));
        }
    }

    void logoOpensOnlyAnAddressThatParses() {
        MonitorFixture fixture;
        MonitorView view(fixture.settings, fixture.manager, fixture.loop);
        QDesktopServices::setUrlHandler("https", this, "openedUrl");
        opened_.clear();
        view.setLogoUrl("https://example.org/vorn osc");
        QVERIFY(!view.openLogoLink());
        view.setLogoUrl("not a url");
        QVERIFY(!view.openLogoLink());
        view.setLogoUrl("https://example.org/vorn-osc");
        QVERIFY(view.openLogoLink());
        QCOMPARE(opened_, QList<QUrl>{QUrl("https://example.org/vorn-osc")});
        QDesktopServices::unsetUrlHandler("https");
    }

private:
    QList<QUrl> opened_;
};

QTEST_MAIN(MonitorViewTest)
#include "MonitorViewTest.moc"
