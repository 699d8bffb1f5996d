#include "dispatch/Published.h"
#include "dispatch/Signal.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace vorn::dispatch;
using Log = std::vector<std::string>;

namespace {

// The link monitor reads the old state from inside its observers.
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
    Log kept, once, distinct;
    std::optional<Cancellable> onceHandle;
    auto keptHandle = name.subscribe([&](const std::string& value) { kept.push_back(value); });
    onceHandle = name.subscribe([&](const std::string& value) {
        once.push_back(value);
        if (value == "second") onceHandle->cancel();
    });
    auto distinctHandle = name.subscribeDistinct([&](const std::string& value) { distinct.push_back(value); });
    for (const char* value : {"second", "second", "third"}) name = value;
    keptHandle.cancel();
    name = "fourth";
    EXPECT_EQ(kept, (Log{"first", "second", "second", "third"}));
    EXPECT_EQ(once, (Log{"first", "second"}));
    EXPECT_EQ(distinct, (Log{"first", "second", "third", "fourth"}));
}

TEST(Signal, CallbacksCutOffDuringAnEmitAreSkippedAndNewOnesWaitForTheNext) {
    Signal<int> signal;
    Log log;
    Cancellable second;
    Cancellable added;
    auto first = signal.connect([&](const int& value) {
        log.push_back("first " + std::to_string(value));
        second.cancel();
        if (!added) added = signal.connect([&](const int& v) { log.push_back("added " + std::to_string(v)); });
    });
    second = signal.connect([&](const int& value) { log.push_back("second " + std::to_string(value)); });
    signal.emit(1);
    signal.emit(2);
    EXPECT_EQ(log, (Log{"first 1", "first 2", "added 2"}));
    // A handle may outlive its signal.
    Cancellable survivor;
    {
        Signal<> shortLived;
        survivor = shortLived.connect([] {});
    }
    survivor.cancel();
}

}  // namespace
