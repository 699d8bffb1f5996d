#include "dispatch/ManualMainLoop.h"

#include "Waiting.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using vorn::dispatch::Cancellable;
using vorn::dispatch::Duration;
using vorn::dispatch::ManualMainLoop;
using namespace vorn::dispatch::testing;

namespace {

using Times = std::vector<Duration>;

TEST(ManualMainLoop, RepeatingTimerTicksOnItsGridHoweverTheClockIsAdvanced) {
    ManualMainLoop loop;
    Times ticks;
    auto timer = loop.startRepeatingTimer(100ms, [&] { ticks.push_back(loop.now()); });
    loop.advance(99ms);
    EXPECT_TRUE(ticks.empty());
    // Uneven steps, and a long jump across several deadlines.
    loop.advance(1ms);
    loop.advance(150ms);
    loop.advance(30ms);
    loop.advance(333ms);
    EXPECT_EQ(ticks, (Times{100ms, 200ms, 300ms, 400ms, 500ms, 600ms}));
    EXPECT_EQ(loop.now(), 613ms);

    // Restarted, it takes a new phase.
    timer = loop.startRepeatingTimer(100ms, [&] { ticks.push_back(loop.now()); });
    ticks.clear();
    loop.advance(200ms);
    EXPECT_EQ(ticks, (Times{713ms, 813ms}));
}

TEST(ManualMainLoop, CancellingATimerStopsItAndReleasesItsTick) {
    ManualMainLoop loop;
    Event released;
    int ticks = 0;
    auto timer = loop.startRepeatingTimer(10ms, [&ticks, marker = std::make_shared<ReleaseMarker>(released)] { ++ticks; });
    loop.advance(25ms);
    timer.cancel();
    EXPECT_TRUE(released.done());
    loop.advance(100ms);
    EXPECT_EQ(ticks, 2);

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

TEST(ManualMainLoop, FiringsInterleaveWithWhatTheyPostInDeadlineThenSchedulingOrder) {
    ManualMainLoop loop;
    std::vector<std::string> log;
    auto record = [&](std::string what) {
        return [&log, &loop, what] { log.push_back(what + "@" + std::to_string(loop.now() / 1ms)); };
    };
    auto timer = loop.startRepeatingTimer(100ms, [&] {
        record("tick")();
        loop.post(record("posted by tick"));
    });
    loop.postAfter(100ms, record("delayed, same deadline"));
    loop.postAfter(50ms, [&] {
        record("delayed")();
        loop.postAfter(0ms, record("delayed by delayed"));
    });
    loop.post([&] {
        record("posted")();
        loop.post(record("posted by posted"));
    });
    EXPECT_TRUE(log.empty());

    EXPECT_EQ(loop.advance(200ms), 9u);
    EXPECT_EQ(log, (std::vector<std::string>{"posted@0", "posted by posted@0", "delayed@50", "delayed by delayed@50",
                                             "tick@100", "posted by tick@100", "delayed, same deadline@100",
                                             "tick@200", "posted by tick@200"}));
}

TEST(ManualMainLoop, RunUntilServesTasksFromOtherThreadsWithoutMovingTheClock) {
    ManualMainLoop loop;
    int received = 0;
    bool posterOnMainThread = true;
    std::thread poster([&] {
        posterOnMainThread = loop.isMainThread();
        for (int i = 0; i < 5; ++i) {
            loop.post([&] { ++received; });
        }
    });
    EXPECT_TRUE(loop.runUntil([&] { return received == 5; }, patience));
    poster.join();
    EXPECT_TRUE(loop.isMainThread());
    EXPECT_FALSE(posterOnMainThread);
    EXPECT_FALSE(loop.runUntil([&] { return received == 6; }, 10ms));
    EXPECT_EQ(loop.now(), Duration::zero());
    EXPECT_EQ(loop.runPending(), 0u);
}

}  // namespace
