#include "dispatch/AsioMainLoop.h"
#include "dispatch/ManualMainLoop.h"

#include "support/Waiting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <numeric>
#include <optional>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace vorn::dispatch;
using namespace vorn::dispatch::testing;

namespace {

using Times = std::vector<Duration>;

TEST(ManualMainLoop, RepeatingTimerKeepsItsPeriodAndARestartTakesANewPhase) {
    ManualMainLoop loop;
    Times ticks;
    auto timer = loop.startRepeatingTimer(100ms, [&] { ticks.push_back(loop.now()); });
    // Due at the same time as a tick, scheduled later: runs after it.
    loop.postAfter(100ms, [&] { ticks.push_back(-loop.now()); });
    loop.advance(99ms);
    EXPECT_TRUE(ticks.empty());
    // Uneven steps, and a long jump across several deadlines.
    for (auto step : {1ms, 150ms, 30ms, 333ms}) loop.advance(step);
    EXPECT_EQ(ticks, (Times{100ms, -100ms, 200ms, 300ms, 400ms, 500ms, 600ms}));
    timer = loop.startRepeatingTimer(100ms, [&] { ticks.push_back(loop.now()); });
    ticks.clear();
    loop.advance(200ms);
    EXPECT_EQ(ticks, (Times{713ms, 813ms}));
}

// A held-up loop: the clock moves and nothing runs. The next run does what
// was posted meanwhile, then what fell due, late and in deadline order: a
// timer ticks once for all its missed deadlines and goes on on its grid,
// also when the stall ends right on a deadline.
TEST(ManualMainLoop, AStalledLoopTicksOnceForItsMissedDeadlinesAndKeepsThePhase) {
    ManualMainLoop loop;
    Times ran;
    auto timer = loop.startRepeatingTimer(100ms, [&] { ran.push_back(loop.now()); });
    loop.advance(150ms);
    loop.postAfter(10ms, [&] { ran.push_back(-loop.now()); });  // due at 160 ms
    loop.stall(380ms);
    loop.post([&] { ran.push_back(0ms); });
    EXPECT_EQ(loop.now(), 530ms);
    EXPECT_EQ(ran, Times{100ms}) << "nothing runs in a stall";
    EXPECT_EQ(loop.runPending(), 3u);
    EXPECT_EQ(ran, (Times{100ms, 0ms, -530ms, 530ms}));
    EXPECT_EQ(loop.runPending(), 0u);
    loop.advance(70ms);
    EXPECT_EQ(ran.back(), 600ms);
    loop.stall(300ms);  // ends on the deadline at 900 ms
    ran.clear();
    loop.advance(150ms);
    EXPECT_EQ(ran, (Times{900ms, 1000ms}));
}

TEST(ManualMainLoop, CancellingATimerStopsItAndReleasesItsTick) {
    ManualMainLoop loop;
    Event released;
    int ticks = 0;
    auto timer = loop.startRepeatingTimer(10ms, [&, marker = std::make_shared<ReleaseMarker>(released)] { ++ticks; });
    loop.advance(25ms);
    timer.cancel();
    EXPECT_TRUE(released.wait(0ms));
    std::optional<Cancellable> selfStopping;
    selfStopping = loop.startRepeatingTimer(10ms, [&] {
        ++ticks;
        selfStopping->cancel();
    });
    loop.advance(100ms);
    EXPECT_EQ(ticks, 3);
    // The handle may outlive the loop.
    auto shortLived = std::make_unique<ManualMainLoop>();
    Cancellable orphan = shortLived->startRepeatingTimer(10ms, [] {});
    shortLived.reset();
    orphan.cancel();
}

// The tools' loop: work posted from other threads runs on the thread in
// run(), in the order posted; a cancelled timer ticks no more; stop() ends
// run(), also when it comes first.
TEST(AsioMainLoop, RunsPostsAndTicksOnItsOwnThreadUntilStopped) {
    AsioMainLoop loop;
    loop.stop();
    loop.run();

    std::vector<int> order;
    bool onLoopThread = true;
    bool offLoopThreadSeen = false;
    int ticks = 0;
    bool posterDone = false;
    bool timerDone = false;
    std::optional<Cancellable> timer;
    const auto stopWhenBothDone = [&] {
        if (timerDone && posterDone) loop.stop();
    };
    timer = loop.startRepeatingTimer(1ms, [&] {
        onLoopThread = onLoopThread && loop.isMainThread();
        if (++ticks < 3) return;
        timer->cancel();
        // Room for ticks that should not come.
        loop.postAfter(10ms, [&] {
            timerDone = true;
            stopWhenBothDone();
        });
    });
    std::thread poster([&] {
        offLoopThreadSeen = !loop.isMainThread();
        for (int i = 0; i < 100; ++i) {
            loop.post([&, i] {
                onLoopThread = onLoopThread && loop.isMainThread();
                order.push_back(i);
            });
        }
        loop.post([&] {
            posterDone = true;
            stopWhenBothDone();
        });
    });
    loop.run();
    poster.join();
    std::vector<int> expected(100);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(order, expected);
    EXPECT_EQ(ticks, 3);
    EXPECT_TRUE(onLoopThread);
    EXPECT_TRUE(offLoopThreadSeen);
}

// A loop thread blocked for ten intervals: the timer then ticks once to catch
// up and goes on at its period, rather than firing the ten it missed back to
// back. Ticks never come before their deadline, so whatever the machine's
// load, no more than the catch-up and one deadline of the grid can fall within
// one interval after the block.
TEST(AsioMainLoop, ATimerHeldUpPastManyDeadlinesTicksOnceToCatchUp) {
    using Clock = std::chrono::steady_clock;
    constexpr auto interval = 20ms;
    AsioMainLoop loop;
    std::vector<Clock::time_point> ticks;
    Clock::time_point unblocked;
    std::optional<Cancellable> timer;
    timer = loop.startRepeatingTimer(interval, [&] {
        ticks.push_back(Clock::now());
        if (ticks.size() == 1) {
            std::this_thread::sleep_for(10 * interval);
            unblocked = Clock::now();
        } else if (ticks.size() == 5) {
            timer->cancel();
            loop.stop();
        }
    });
    loop.run();
    ASSERT_EQ(ticks.size(), 5u);
    const auto soonAfter = std::count_if(ticks.begin(), ticks.end(),
                                         [&](auto tick) { return tick >= unblocked && tick < unblocked + interval; });
    EXPECT_LE(soonAfter, 2);
}

}  // namespace
