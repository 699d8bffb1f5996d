#include "app/QtMainLoop.h"

#include <QTest>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using vorn::app::QtMainLoop;

class QtMainLoopTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void postRunsLaterOnMainInOrderFromAnyThread() {
        QtMainLoop loop;
        std::vector<int> order;
        std::vector<bool> onMain;
        loop.post([&] { order.push_back(-1); });
        QVERIFY(order.empty());  // a later turn, not inline
        std::thread poster([&] {
            for (int i = 0; i < 100; ++i) {
                loop.post([&, i] {
                    order.push_back(i);
                    onMain.push_back(loop.isMainThread());
                });
            }
            loop.postAfter(1ms, [&] { order.push_back(100); });
        });
        poster.join();
        QTRY_COMPARE(order.size(), std::size_t{102});
        for (int i = 0; i <= 100; ++i) QCOMPARE(order[static_cast<std::size_t>(i) + 1], i);
        QCOMPARE(onMain, std::vector<bool>(100, true));
    }

    // Nothing signals a tick or a task that did not come, so only a wait can
    // show that a timer cancelled in its own tick, a dropped timer and posts
    // outliving their loop never run.
    void cancelledTimersAndPostsOutlivingTheLoopNeverRun() {
        int ran = 0;
        int ticks = 0;
        {
            QtMainLoop loop;
            vorn::dispatch::Cancellable timer;
            timer = loop.startRepeatingTimer(5ms, [&] {
                if (++ticks == 2) timer.cancel();
            });
            { auto dropped = loop.startRepeatingTimer(1ms, [&] { ++ran; }); }
            QTRY_COMPARE(ticks, 2);
            QTest::qWait(30);
            QCOMPARE(ticks, 2);
            loop.post([&] { ++ran; });
            loop.postAfter(1ms, [&] { ++ran; });
        }
        QTest::qWait(20);
        QCOMPARE(ran, 0);
    }

    // A main thread blocked for ten intervals: the timer then ticks once to
    // catch up and goes on at its period, rather than firing the ten it
    // missed back to back. Ticks never come before their deadline, so
    // whatever the machine's load, no more than the catch-up and one deadline
    // of the grid can fall within one interval after the block.
    void aTimerHeldUpPastManyDeadlinesTicksOnceToCatchUp() {
        using Clock = std::chrono::steady_clock;
        constexpr auto interval = 20ms;
        QtMainLoop loop;
        std::vector<Clock::time_point> ticks;
        Clock::time_point unblocked;
        vorn::dispatch::Cancellable timer;
        timer = loop.startRepeatingTimer(interval, [&] {
            ticks.push_back(Clock::now());
            if (ticks.size() == 1) {
                std::this_thread::sleep_for(10 * interval);
                unblocked = Clock::now();
            } else if (ticks.size() == 5) {
                timer.cancel();
            }
        });
        QTRY_COMPARE(ticks.size(), std::size_t{5});
        const auto soonAfter = std::count_if(ticks.begin(), ticks.end(), [&](auto tick) {
            return tick >= unblocked && tick < unblocked + interval;
        });
        QVERIFY2(soonAfter <= 2, std::to_string(soonAfter).c_str());
    }
};

QTEST_GUILESS_MAIN(QtMainLoopTest)
#include "QtMainLoopTest.moc"
