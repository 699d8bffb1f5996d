#include "app/QtMainLoop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>

#include <chrono>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using vorn::app::QtMainLoop;

class QtMainLoopTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void postRunsLaterOnMainInOrderFromAnyThread() {
        QtMainLoop loop;
        QVERIFY(loop.isMainThread());
        std::vector<int> order;
        std::vector<bool> onMain;
        loop.post([&] { order.push_back(-1); });
        QVERIFY(order.empty());  // a later turn, not inline
        std::thread poster([&] {
            QVERIFY(!loop.isMainThread());
            for (int i = 0; i < 100; ++i) {
                loop.post([&, i] {
                    order.push_back(i);
                    onMain.push_back(loop.isMainThread());
                });
            }
        });
        poster.join();
        QTRY_COMPARE(order.size(), std::size_t{101});
        for (int i = 0; i < 100; ++i) QCOMPARE(order[static_cast<std::size_t>(i) + 1], i);
        QCOMPARE(onMain, std::vector<bool>(100, true));
    }

    void postAfterWaitsAtLeastTheDelay() {
        QtMainLoop loop;
        QElapsedTimer clock;
        clock.start();
        qint64 ranAfter = -1;
        std::thread poster([&] { loop.postAfter(50ms, [&] { ranAfter = clock.elapsed(); }); });
        poster.join();
        QTRY_VERIFY(ranAfter >= 0);
        QVERIFY(ranAfter >= 50);
    }

    void repeatingTimerTicksUntilCancelledOrDropped() {
        QtMainLoop loop;
        int ticks = 0;
        int droppedTicks = 0;
        auto timer = loop.startRepeatingTimer(10ms, [&] { ++ticks; });
        { auto dropped = loop.startRepeatingTimer(5ms, [&] { ++droppedTicks; }); }
        QTRY_VERIFY(ticks >= 3);
        timer.cancel();
        const int atCancel = ticks;
        QTest::qWait(60);
        QCOMPARE(ticks, atCancel);
        QCOMPARE(droppedTicks, 0);
    }

    void timerCancelledFromItsOwnTickStops() {
        QtMainLoop loop;
        int ticks = 0;
        vorn::dispatch::Cancellable timer;
        timer = loop.startRepeatingTimer(5ms, [&] {
            if (++ticks == 2) timer.cancel();
        });
        QTRY_COMPARE(ticks, 2);
        QTest::qWait(40);
        QCOMPARE(ticks, 2);
    }

    void cancelFromAnotherThreadStopsAtTheNextDeadline() {
        QtMainLoop loop;
        std::atomic<int> ticks{0};
        auto timer = loop.startRepeatingTimer(5ms, [&] { ++ticks; });
        QTRY_VERIFY(ticks.load() >= 1);
        std::thread([&] { timer.cancel(); }).join();
        QTest::qWait(20);
        const int afterCancel = ticks.load();
        QTest::qWait(40);
        QCOMPARE(ticks.load(), afterCancel);
    }

    void postsAfterTheLoopIsGoneAreDropped() {
        int ran = 0;
        {
            QtMainLoop loop;
            loop.post([&] { ++ran; });
            loop.postAfter(1ms, [&] { ++ran; });
        }
        QTest::qWait(20);
        QCOMPARE(ran, 0);
    }
};

QTEST_GUILESS_MAIN(QtMainLoopTest)
#include "QtMainLoopTest.moc"
