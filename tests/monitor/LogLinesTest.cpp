#include "monitor/LogLines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorn::monitor {
namespace {

// A view learns of each line before the log holds it: the owner first, then
// the line's own subscribers with the position it is about to take.
TEST(LogLinesTest, AppendTellsOwnerThenSubscribersThenStores) {
    dispatch::ObjectWillChange owner;
    LogLines log(&owner);
    std::vector<std::string> events;
    auto ownerWatch = owner.connect([&] { events.push_back("owner at " + std::to_string(log.size())); });
    auto lineWatch = log.subscribe([&](std::size_t index, const std::string& line) {
        events.push_back(line + " at " + std::to_string(index) + " of " + std::to_string(log.size()));
    });

    log.append("first");
    log.append("second");

    EXPECT_EQ(events, (std::vector<std::string>{"owner at 0", "first at 0 of 0", "owner at 1", "second at 1 of 1"}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"first", "second"}));
}

TEST(LogLinesTest, SubscribersSeeOnlyNewLinesUntilCancelled) {
    LogLines log;
    log.append("before");
    std::vector<std::size_t> seen;
    auto watch = log.subscribe([&](std::size_t index, const std::string&) { seen.push_back(index); });
    log.append("during");
    watch.cancel();
    log.append("after");

    EXPECT_EQ(seen, std::vector<std::size_t>{1});
    EXPECT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2], "after");
}

}  // namespace
}  // namespace vorn::monitor
