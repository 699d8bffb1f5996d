#include "dispatch/Published.h"
#include "dispatch/Signal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using vorn::dispatch::Cancellable;
using vorn::dispatch::ObjectWillChange;
using vorn::dispatch::Published;
using vorn::dispatch::Signal;
using Log = std::vector<std::string>;

namespace {

TEST(Published, TellsOwnerThenSubscribersThenStoresThenRunsDidSet) {
    Log log;
    ObjectWillChange willChange;
    std::optional<Published<int>> value;
    value.emplace(1, &willChange, [&] { log.push_back("didSet sees " + std::to_string(value->get())); });
    auto owner = willChange.connect([&] { log.push_back("owner sees " + std::to_string(value->get())); });
    auto subscriber = value->subscribe([&](const int& next) {
        log.push_back("subscriber gets " + std::to_string(next) + ", sees " + std::to_string(value->get()));
    });
    *value = 2;
    EXPECT_EQ(log, (Log{"subscriber gets 1, sees 1", "owner sees 1", "subscriber gets 2, sees 1", "didSet sees 2"}));
}

TEST(Published, SubscriptionsEndWithTheirHandlesEvenFromInsideACallback) {
    Published<std::string> name("first");
    Log kept;
    Log once;
    std::optional<Cancellable> onceHandle;
    auto keptHandle = name.subscribe([&](const std::string& value) { kept.push_back(value); });
    onceHandle = name.subscribe([&](const std::string& value) {
        once.push_back(value);
        if (value == "second") onceHandle->cancel();
    });
    name = "second";
    name = "third";
    keptHandle.cancel();
    name = "fourth";
    EXPECT_EQ(kept, (Log{"first", "second", "third"}));
    EXPECT_EQ(once, (Log{"first", "second"}));
}

TEST(Published, DistinctSubscriptionSkipsRepeats) {
    Published<int> level(1);
    std::vector<int> seen;
    auto handle = level.subscribeDistinct([&](const int& value) { seen.push_back(value); });
    for (int value : {1, 1, 2, 2, 1, 3, 3}) level = value;
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 1, 3}));
}

TEST(Signal, CallbacksCutOffDuringAnEmitAreSkippedAndNewOnesWaitForTheNext) {
    Signal<int> signal;
    Log log;
    Cancellable second;
    Cancellable added;
    auto first = signal.connect([&](const int& value) {
        log.push_back("first " + std::to_string(value));
        second.cancel();
        if (!added) {
            added = signal.connect([&](const int& v) { log.push_back("added " + std::to_string(v)); });
        }
    });
    second = signal.connect([&](const int& value) { log.push_back("second " + std::to_string(value)); });
    signal.emit(1);
    signal.emit(2);
    EXPECT_EQ(log, (Log{"first 1", "first 2", "added 2"}));
}

TEST(Signal, ConnectsAndEmitsFromManyThreadsAndHandlesMayOutliveIt) {
    Cancellable survivor;
    std::atomic<int> calls{0};
    {
        Signal<> signal;
        survivor = signal.connect([] {});
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 200; ++i) {
                    auto handle = signal.connect([&] { calls.fetch_add(1); });
                    signal.emit();
                }
            });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(signal.connectionCount(), 1u);
    }
    EXPECT_GE(calls.load(), 800);
    survivor.cancel();
}

}  // namespace
