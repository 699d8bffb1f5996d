#include "dispatch/ConcurrentQueue.h"
#include "dispatch/SerialQueue.h"

#include "Waiting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

using namespace std::chrono_literals;
using vorn::dispatch::ConcurrentQueue;
using vorn::dispatch::globalQueue;
using vorn::dispatch::QualityOfService;
using vorn::dispatch::SerialQueue;
using vorn::dispatch::sharedExecutor;
using namespace vorn::dispatch::testing;

namespace {

TEST(GlobalQueues, ManyTasksSyncingOntoOneSerialQueueDoNotDeadlock) {
    constexpr int tasks = 64;
    auto serial = SerialQueue::create("test.funnel");
    int counter = 0;  // touched on `serial` only
    Countdown finished(tasks);
    for (int i = 0; i < tasks; ++i) {
        globalQueue(QualityOfService::standard)->async([&] {
            serial->sync([&] { ++counter; });
            finished.arrive();
        });
    }
    ASSERT_TRUE(finished.wait());
    EXPECT_EQ(serial->syncResult([&] { return counter; }), tasks);
}

TEST(GlobalQueues, BlockedTasksHoldUpNeitherTheirPoolNorAnother) {
    Event gate;
    Countdown blockedStarted(9);
    Countdown blockedDone(9);
    auto block = [&] {
        blockedStarted.arrive();
        (void)gate.wait();
        blockedDone.arrive();
    };
    for (int i = 0; i < 8; ++i) globalQueue(QualityOfService::standard)->async(block);
    globalQueue(QualityOfService::userInitiated)->async(block);
    EXPECT_TRUE(blockedStarted.wait());

    Countdown unblocked(3);
    globalQueue(QualityOfService::standard)->async([&] { unblocked.arrive(); });
    globalQueue(QualityOfService::userInitiated)->async([&] { unblocked.arrive(); });
    sharedExecutor()->async([&] { unblocked.arrive(); });
    EXPECT_TRUE(unblocked.wait());

    gate.arrive();
    ASSERT_TRUE(blockedDone.wait());
}

TEST(ConcurrentQueue, GrowsUpToItsCapAndShrinksWhenIdle) {
    auto pool = ConcurrentQueue::create("test.pool", 3, 20ms);
    Event gate;
    std::atomic<int> running{0};
    std::atomic<int> mostAtOnce{0};
    Countdown threeRunning(3);
    Countdown done(6);
    for (int i = 0; i < 6; ++i) {
        pool->async([&] {
            const int now = running.fetch_add(1) + 1;
            int most = mostAtOnce.load();
            while (now > most && !mostAtOnce.compare_exchange_weak(most, now)) {
            }
            threeRunning.arrive();
            (void)gate.wait();
            running.fetch_sub(1);
            done.arrive();
        });
    }
    EXPECT_TRUE(threeRunning.wait());
    EXPECT_EQ(pool->threadCount(), 3u);
    gate.arrive();
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(mostAtOnce.load(), 3);
    EXPECT_TRUE(eventually([&] { return pool->threadCount() == 0; }));

    // An emptied pool starts again on demand, delayed tasks included.
    Event again;
    pool->asyncAfter(1ms, [&] { again.arrive(); });
    EXPECT_TRUE(again.wait());
}

}  // namespace
