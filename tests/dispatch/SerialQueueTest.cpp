#include "dispatch/SerialQueue.h"

#include "Waiting.h"

#include <asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using vorn::dispatch::SerialQueue;
using namespace vorn::dispatch::testing;

namespace {

TEST(SerialQueue, RunsTasksOneAtATimeInOrderReadyOnesBeforeDelayedOnes) {
    std::vector<int> order;  // unguarded: tasks never overlap
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    Event gate;
    auto queue = SerialQueue::create("test.order");
    // Held shut while everything is submitted, so that a slow submitter
    // cannot let a deadline pass half-way through the ready tasks.
    queue->async([&] { (void)gate.wait(); });
    queue->asyncAfter(40ms, [&] { order.push_back(1001); });
    queue->asyncAfter(20ms, [&] { order.push_back(1000); });
    for (int i = 0; i < 1000; ++i) {
        queue->async([&, i] {
            overlapped = overlapped || running.fetch_add(1) != 0;
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    Event delayedRan;
    queue->asyncAfter(60ms, [&] { delayedRan.arrive(); });
    gate.arrive();
    ASSERT_TRUE(delayedRan.wait());

    const auto seen = queue->syncResult([&] { return order; });
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(seen.size(), 1002u);
    for (int i = 0; i < 1002; ++i) ASSERT_EQ(seen[i], i);
}

TEST(SerialQueue, KnowsWhenCodeRunsOnItIncludingAsioHandlers) {
    auto queue = SerialQueue::create("test.current");
    auto other = SerialQueue::create("test.other");
    EXPECT_FALSE(queue->isCurrent());
    EXPECT_EQ(SerialQueue::current(), nullptr);
    queue->sync([&] {
        EXPECT_EQ(SerialQueue::current(), queue.get());
        other->sync([&] { EXPECT_EQ(SerialQueue::current(), other.get()); });
        EXPECT_TRUE(queue->isCurrent());
    });

    Event fired;
    asio::steady_timer timer(queue->context(), 1ms);
    timer.async_wait([&](const asio::error_code&) {
        EXPECT_TRUE(queue->isCurrent());
        fired.arrive();
    });
    EXPECT_TRUE(fired.wait());
}

TEST(SerialQueue, SyncRunsInlineOnItsOwnQueueAndHandsBackResultsAndExceptions) {
    auto queue = SerialQueue::create("test.sync");
    std::vector<std::string> steps;
    queue->sync([&] {
        steps.push_back("outer");
        queue->sync([&] { steps.push_back("inner"); });
        steps.push_back("after");
    });
    EXPECT_EQ(steps, (std::vector<std::string>{"outer", "inner", "after"}));

    EXPECT_EQ(queue->syncResult([] { return std::string("done"); }), "done");
    int stored = 1;
    EXPECT_EQ(&queue->syncResult([&]() -> int& { return stored; }), &stored);
    EXPECT_THROW(queue->sync([] { throw std::runtime_error("inside"); }), std::runtime_error);

    // An async task that throws does not take the queue down with it.
    queue->async([] { throw std::runtime_error("thrown on purpose by a test"); });
    EXPECT_EQ(queue->syncResult([] { return 7; }), 7);
}

// Destroying a queue: tasks already waiting run, delayed ones not yet due are
// dropped at once with what they hold, later submissions are ignored.
TEST(SerialQueueTeardown, FromAnotherThreadDrainsReadyTasksAndDropsDelayedOnes) {
    Event gate;
    Event delayedReleased;
    Event repostReleased;
    std::atomic<int> ran{0};
    auto queue = SerialQueue::create("test.teardown-outside");
    SerialQueue* raw = queue.get();
    queue->async([&] { (void)gate.wait(); });
    queue->async([&] { ran.fetch_add(1); });
    queue->async([&, raw] {
        raw->async([&, marker = std::make_shared<ReleaseMarker>(repostReleased)] { ran.fetch_add(100); });
    });
    queue->asyncAfter(1h, [&, marker = std::make_shared<ReleaseMarker>(delayedReleased)] { ran.fetch_add(100); });

    // Opens the gate while the destructor below is, most likely, waiting.
    std::thread opener([&] {
        std::this_thread::sleep_for(20ms);
        gate.arrive();
    });
    queue.reset();
    opener.join();
    EXPECT_EQ(ran.load(), 1);
    EXPECT_TRUE(delayedReleased.done());
    EXPECT_TRUE(repostReleased.done());
}

TEST(SerialQueueTeardown, FromItsOwnTaskDoesNotWaitForItself) {
    Event gate;
    Event lastRan;
    Event delayedReleased;
    Event asioHandlerReleased;
    std::atomic<int> ran{0};
    auto queue = SerialQueue::create("test.teardown-inside");
    SerialQueue* raw = queue.get();
    // An Asio wait that never completes must not keep the thread alive.
    auto timer = std::make_shared<asio::steady_timer>(queue->context(), 1h);
    timer->async_wait([timer, marker = std::make_shared<ReleaseMarker>(asioHandlerReleased)](const asio::error_code&) {});
    timer.reset();

    raw->async([&] { (void)gate.wait(); });
    raw->asyncAfter(1h, [marker = std::make_shared<ReleaseMarker>(delayedReleased)] {});
    raw->async([&, owner = std::move(queue)]() mutable {
        owner.reset();  // the last reference
        EXPECT_EQ(SerialQueue::current(), nullptr);
        ran.fetch_add(1);
    });
    raw->async([&] {
        ran.fetch_add(1);
        lastRan.arrive();
    });
    gate.arrive();

    ASSERT_TRUE(lastRan.wait());
    ASSERT_TRUE(delayedReleased.wait());
    ASSERT_TRUE(asioHandlerReleased.wait());
    EXPECT_EQ(ran.load(), 2);
}

}  // namespace
