#include "dispatch/AsioMainLoop.h"
#include "dispatch/ManualMainLoop.h"

#include "Waiting.h"

#include <gtest/gtest.h>

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

}  // namespace
