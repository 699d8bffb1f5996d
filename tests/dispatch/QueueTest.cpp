#include "dispatch/ConcurrentQueue.h"
#include "dispatch/ReadinessSource.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/TimerSource.h"

#include "support/Waiting.h"

#include <asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace vorn::dispatch;
using namespace vorn::dispatch::testing;

namespace {

// Waits for a marker behind whatever `queue` holds: a due event has come by then.
void letTimePass(SerialQueue& queue) {
    Event passed;
    queue.asyncAfter(30ms, [&] { passed.arrive(); });
    ASSERT_TRUE(passed.wait());
}

// `order` is unguarded: tasks that overlapped would race on it (TSan).
TEST(SerialQueue, RunsTasksOneAtATimeInOrderReadyOnesBeforeDelayedOnes) {
    std::vector<int> order;
    Event gate;
    auto queue = SerialQueue::create("test.order");
    // Held shut while everything is submitted, so that no deadline passes meanwhile.
    queue->async([&] { (void)gate.wait(); });
    queue->asyncAfter(20ms, [&] { order.push_back(1001); });
    queue->asyncAfter(10ms, [&] { order.push_back(1000); });
    for (int i = 0; i < 1000; ++i) queue->async([&, i] { order.push_back(i); });
    gate.arrive();
    letTimePass(*queue);
    const auto seen = queue->syncResult([&] { return order; });
    ASSERT_EQ(seen.size(), 1002u);
    for (int i = 0; i < 1002; ++i) ASSERT_EQ(seen[i], i);
}

TEST(SerialQueue, SyncRunsInlineOnItsOwnQueueAndKnowsWhereItRuns) {
    auto queue = SerialQueue::create("test.sync");
    auto other = SerialQueue::create("test.other");
    std::vector<std::string> steps;
    EXPECT_EQ(SerialQueue::current(), nullptr);
    queue->sync([&] {
        steps.push_back("outer");
        queue->sync([&] { steps.push_back("inner"); });
        other->sync([&] { EXPECT_EQ(SerialQueue::current(), other.get()); });
        steps.push_back(queue->isCurrent() ? "after" : "lost");
    });
    EXPECT_EQ(steps, (std::vector<std::string>{"outer", "inner", "after"}));
    EXPECT_THROW(queue->sync([] { throw std::runtime_error("inside"); }), std::runtime_error);
    // An async task that throws does not take the queue down with it.
    queue->async([] { throw std::runtime_error("thrown on purpose by a test"); });
    EXPECT_EQ(queue->syncResult([] { return 7; }), 7);
    // Sockets and timers complete on context(): their handlers count as on the queue.
    Event onQueue;
    asio::steady_timer timer(queue->context(), 1ms);
    timer.async_wait([&](const asio::error_code&) {
        if (queue->isCurrent()) onQueue.arrive();
    });
    EXPECT_TRUE(onQueue.wait());
}

// Destroying a queue: tasks already waiting run, delayed ones not yet due are
// dropped at once with what they hold, later submissions are ignored.
TEST(SerialQueueTeardown, FromAnotherThreadDrainsReadyTasksAndDropsDelayedOnes) {
    Event gate, delayedReleased, repostReleased;
    std::atomic<int> ran{0};
    auto queue = SerialQueue::create("test.teardown-outside");
    queue->async([&] { (void)gate.wait(); });
    queue->async([&] { ran.fetch_add(1); });
    queue->async([&, raw = queue.get()] {
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
    EXPECT_TRUE(delayedReleased.wait(0ms) && repostReleased.wait(0ms));
}

TEST(SerialQueueTeardown, FromItsOwnTaskDoesNotWaitForItself) {
    Event gate;
    Countdown ran(2);
    Event delayedReleased, asioHandlerReleased;
    auto queue = SerialQueue::create("test.teardown-inside");
    SerialQueue* raw = queue.get();
    // An Asio wait that never completes must not keep the thread alive.
    auto timer = std::make_shared<asio::steady_timer>(queue->context(), 1h);
    timer->async_wait([timer, marker = std::make_shared<ReleaseMarker>(asioHandlerReleased)](asio::error_code) {});
    timer.reset();
    raw->async([&] { (void)gate.wait(); });
    raw->asyncAfter(1h, [marker = std::make_shared<ReleaseMarker>(delayedReleased)] {});
    raw->async([&, owner = std::move(queue)]() mutable {
        owner.reset();  // the last reference
        ran.arrive();
    });
    raw->async([&] { ran.arrive(); });
    gate.arrive();
    EXPECT_TRUE(ran.wait() && delayedReleased.wait() && asioHandlerReleased.wait());
}

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

// A slow name resolution blocks a pool thread; message handling must go on.
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

using Kind = ReadinessSource::Kind;

void send(int fd, const std::string& text) {
    ASSERT_EQ(::send(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
}

std::optional<std::size_t> receive(int fd) {
    char buffer[2048];
    const auto length = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    return length < 0 ? std::nullopt : std::optional(static_cast<std::size_t>(length));
}

// Watches `near_` of a datagram socket pair; sources never close a descriptor.
class ReadinessSourceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, fds_), 0); }
    void TearDown() override {
        for (int fd : fds_) EXPECT_EQ(::close(fd), 0);
    }

    int fds_[2] = {-1, -1};
    int& near_ = fds_[0];
    int& far_ = fds_[1];
    std::shared_ptr<SerialQueue> queue_ = SerialQueue::create("test.readiness");
};

// Level-triggered: an event per waiting datagram (an empty one gives 0), the
// same one again while unread, none once suspended.
TEST_F(ReadinessSourceTest, ReportsEachDatagramsSizeUntilDrainedOrSuspended) {
    std::vector<std::size_t> estimates;
    std::vector<std::size_t> sizes;
    int unreadEvents = 0;
    Countdown threeReceived(3);
    Event suspended;
    auto source = std::make_unique<ReadinessSource>(queue_, near_, Kind::read);
    for (const auto* text : {"hello", "", "a longer datagram"}) send(far_, text);
    queue_->sync([&] {
        EXPECT_TRUE(source->isSuspended());
        source->setEventHandler([&](std::size_t estimate) {
            estimates.push_back(estimate);
            if (auto size = receive(near_)) sizes.push_back(*size);
            threeReceived.arrive();
        });
        source->resume();
    });
    ASSERT_TRUE(threeReceived.wait());
    letTimePass(*queue_);
    queue_->sync([&] {
        EXPECT_EQ(sizes, (std::vector<std::size_t>{5, 0, 17}));
        EXPECT_EQ(estimates, sizes);
        source->setEventHandler([&](std::size_t estimate) {
            EXPECT_EQ(estimate, 6u);
            if (++unreadEvents == 3) source->suspend(), suspended.arrive();
        });
        send(far_, "unread");
    });
    ASSERT_TRUE(suspended.wait());
    letTimePass(*queue_);
    queue_->sync([&] {
        EXPECT_EQ(unreadEvents, 3);
        source.reset();
    });
}

// Cancelled from its handler (twice), or destroyed off the queue while waiting:
// no event after that, and the cancel handler runs once, on the queue.
TEST_F(ReadinessSourceTest, CancelStopsEventsAndRunsTheCancelHandlerOnce) {
    int events = 0;
    int cancels = 0;  // on the queue only
    Countdown cancelled(2);
    auto firing = std::make_unique<ReadinessSource>(queue_, near_, Kind::read);
    auto destroyed = std::make_unique<ReadinessSource>(queue_, far_, Kind::write);
    send(far_, "never read");
    queue_->sync([&] {
        firing->setEventHandler([&](std::size_t) {
            ++events;
            firing->cancel();
            firing->cancel();
        });
        for (auto* source : {firing.get(), destroyed.get()}) {
            source->setCancelHandler([&] {
                cancels += queue_->isCurrent() ? 1 : 100;
                cancelled.arrive();
            });
            source->resume();
        }
    });
    destroyed.reset();
    ASSERT_TRUE(cancelled.wait());
    letTimePass(*queue_);
    queue_->sync([&] {
        EXPECT_EQ(events, 1);
        firing->resume();  // no effect any more
        firing.reset();
    });
    letTimePass(*queue_);
    EXPECT_EQ(queue_->syncResult([&] { return cancels; }), 2);
}

// Each deadline passes while the queue is busy, so the expiry is already
// queued when the cancel, restart or destruction comes in the next task.
TEST(TimerSource, NothingFiresAfterCancelRestartOrDestructionEvenWhenAlreadyDue) {
    auto queue = SerialQueue::create("test.timer");
    int firings = 0;
    Event released, releasedOffQueue, restarted;
    auto timer = std::make_unique<TimerSource>(queue);
    auto expireThen = [&](Task task, Task next) {
        queue->sync([&] {
            timer->start(1ms, std::move(task));
            std::this_thread::sleep_for(20ms);
            queue->async(std::move(next));
        });
    };
    // Restarted from its own handler, it fires again.
    queue->sync([&] { timer->start(1ms, [&] { timer->start(1ms, [&] { restarted.arrive(); }); }); });
    ASSERT_TRUE(restarted.wait());
    expireThen([&] { ++firings; }, [&] { timer->cancel(); });
    expireThen([&, marker = std::make_shared<ReleaseMarker>(released)] { ++firings; }, [&] {
        timer->start(1h, [&] { ++firings; });
        EXPECT_TRUE(released.wait(0ms));
    });
    expireThen([&] { ++firings; }, [&] { timer.reset(); });
    queue->sync([&] {
        timer = std::make_unique<TimerSource>(queue);
        timer->start(1h, [&, marker = std::make_shared<ReleaseMarker>(releasedOffQueue)] { ++firings; });
        EXPECT_TRUE(timer->isPending());
    });
    timer.reset();
    EXPECT_TRUE(releasedOffQueue.wait(0ms));
    letTimePass(*queue);
    EXPECT_EQ(queue->syncResult([&] { return firings; }), 0);
}

}  // namespace
