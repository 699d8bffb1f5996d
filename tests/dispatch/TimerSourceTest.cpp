#include "dispatch/TimerSource.h"

#include "Waiting.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

using namespace std::chrono_literals;
using vorn::dispatch::SerialQueue;
using vorn::dispatch::Task;
using vorn::dispatch::TimerSource;
using namespace vorn::dispatch::testing;

namespace {

class TimerSourceTest : public ::testing::Test {
protected:
    // Lets a deadline pass while the queue is busy, so that its expiry is
    // already queued behind the running task.
    static void outwait(std::chrono::milliseconds delay) { std::this_thread::sleep_for(delay + 20ms); }

    int firings_ = 0;
    std::shared_ptr<SerialQueue> queue_ = SerialQueue::create("test.timer");
};

TEST_F(TimerSourceTest, FiresOnceOnItsQueueAndMayRestartFromItsHandler) {
    Countdown twice(2);
    TimerSource timer(queue_);
    queue_->sync([&] {
        timer.start(5ms, [&] {
            EXPECT_TRUE(queue_->isCurrent());
            EXPECT_FALSE(timer.isPending());
            if (++firings_ == 1) {
                timer.start(1ms, [&] { ++firings_, twice.arrive(); });
            }
            twice.arrive();
        });
        EXPECT_TRUE(timer.isPending());
    });
    ASSERT_TRUE(twice.wait());
    EXPECT_EQ(queue_->syncResult([&] { return firings_; }), 2);
}

// Each deadline passes while the queue is busy, and the cancel, restart or
// destruction comes in the next task: by then the queue has noticed the
// expiry and queued its completion, which cancelling the Asio timer no
// longer reaches.
TEST_F(TimerSourceTest, NothingFiresAfterCancelRestartOrDestructionEvenWhenAlreadyDue) {
    Event released;
    Event releasedOffQueue;
    auto timer = std::make_unique<TimerSource>(queue_);
    auto expireThen = [&](Task task, Task next) {
        queue_->sync([&] {
            timer->start(1ms, std::move(task));
            outwait(1ms);
            queue_->async(std::move(next));
        });
    };
    expireThen([&] { ++firings_; }, [&] {
        timer->cancel();
        EXPECT_FALSE(timer->isPending());
    });
    expireThen([&, marker = std::make_shared<ReleaseMarker>(released)] { ++firings_; }, [&] {
        timer->start(1h, [&] { ++firings_; });
        EXPECT_TRUE(released.done());
    });
    expireThen([&] { ++firings_; }, [&] { timer.reset(); });

    queue_->sync([&] {
        timer = std::make_unique<TimerSource>(queue_);
        timer->start(1h, [&, marker = std::make_shared<ReleaseMarker>(releasedOffQueue)] { ++firings_; });
    });
    timer.reset();
    EXPECT_TRUE(releasedOffQueue.done());

    Event passed;
    queue_->asyncAfter(30ms, [&] { passed.arrive(); });
    ASSERT_TRUE(passed.wait());
    EXPECT_EQ(queue_->syncResult([&] { return firings_; }), 0);
}

}  // namespace
