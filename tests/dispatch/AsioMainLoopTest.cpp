#include "dispatch/AsioMainLoop.h"

#include "Waiting.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using vorn::dispatch::AsioMainLoop;
using vorn::dispatch::Cancellable;
using namespace vorn::dispatch::testing;

namespace {

TEST(AsioMainLoop, RunsPostedTasksOnItsThreadUntilStoppedFromAnother) {
    AsioMainLoop loop;
    std::vector<int> order;
    Event firstRan;
    std::thread other([&] {
        loop.post([&] {
            EXPECT_TRUE(loop.isMainThread());
            order.push_back(1);
            firstRan.arrive();
        });
        loop.post([&] { order.push_back(2); });
        loop.postAfter(1ms, [&] { order.push_back(3); });
        loop.postAfter(1h, [&] { order.push_back(4); });
        EXPECT_FALSE(loop.isMainThread());
        if (firstRan.wait()) {
            loop.postAfter(20ms, [&] { loop.stop(); });
        }
    });
    loop.run();
    other.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    // Each run() takes one stop(), even one that came first.
    loop.stop();
    loop.run();
    loop.post([&] { loop.stop(); });
    loop.run();
}

TEST(AsioMainLoop, RepeatingTimerNeverTicksBeforeItsGridDeadlineAndStopsWhenCancelled) {
    AsioMainLoop loop;
    constexpr auto interval = 5ms;
    std::vector<std::chrono::steady_clock::time_point> ticks;
    std::optional<Cancellable> timer;
    const auto start = std::chrono::steady_clock::now();
    timer = loop.startRepeatingTimer(interval, [&] {
        ticks.push_back(std::chrono::steady_clock::now());
        if (ticks.size() == 5) {
            timer->cancel();
            loop.postAfter(3 * interval, [&] { loop.stop(); });
        }
    });
    loop.run();
    ASSERT_EQ(ticks.size(), 5u);
    for (std::size_t k = 0; k < ticks.size(); ++k) {
        EXPECT_GE(ticks[k] - start, interval * static_cast<int>(k + 1)) << "tick " << k;
    }

    // The handle may outlive the loop, armed timer and all.
    auto shortLived = std::make_unique<AsioMainLoop>();
    Cancellable orphan = shortLived->startRepeatingTimer(1h, [] {});
    shortLived.reset();
    orphan.cancel();
}

}  // namespace
