#include "monitor/SettingsStore.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace vorn::monitor {
namespace {

using std::string;

TEST(MemorySettingsStore, KeepsTypesApartAndReadsAbsentAsNothingZeroFalse) {
    MemorySettingsStore store;
    EXPECT_FALSE(store.objectForKey("k"));
    EXPECT_FALSE(store.stringForKey("k"));
    EXPECT_EQ(store.integerForKey("k"), 0);
    EXPECT_FALSE(store.boolForKey("k"));

    for (const SettingsValue& value : {SettingsValue{std::int64_t{5}}, SettingsValue{5.0}, SettingsValue{true},
                                       SettingsValue{string("5")}}) {
        store.setObject(value, "k");
        EXPECT_EQ(store.objectForKey("k"), value);
        EXPECT_EQ(store.stringForKey("k").has_value(), std::holds_alternative<string>(value));
    }
}

TEST(MemorySettingsStore, TypedReadsConvertWhatTheySafelyCan) {
    MemorySettingsStore store;
    const std::vector<std::pair<SettingsValue, std::int64_t>> integers = {
        {42.9, 42},          {-42.9, -42},           {1e300, 0},           {-9223372036854775808.0, INT64_MIN},
        {true, 1},           {string(" -17\n"), -17}, {string("+12"), 12}, {string("12abc"), 0},
        {string("1.5"), 0}, {string("99999999999999999999"), 0},
    };
    for (const auto& [value, expected] : integers) {
        store.setObject(value, "k");
        EXPECT_EQ(store.integerForKey("k"), expected) << testing::PrintToString(value);
    }
    const std::vector<std::pair<SettingsValue, bool>> booleans = {
        {std::int64_t{0}, false}, {std::int64_t{-2}, true}, {0.0, false},       {0.25, true},
        {string("TRUE"), true},   {string("Yes"), true},     {string("1"), true}, {string("no"), false},
        {string("truely"), false},
    };
    for (const auto& [value, expected] : booleans) {
        store.setObject(value, "k");
        EXPECT_EQ(store.boolForKey("k"), expected) << testing::PrintToString(value);
    }
}

TEST(MemorySettingsStore, ConcurrentReadersAndWritersSeeWholeValues) {
    MemorySettingsStore store;
    std::vector<std::thread> threads;
    for (char fill : {'a', 'b', 'c', 'd'}) {
        threads.emplace_back([&store, fill] {
            for (int i = 0; i < 500; ++i) {
                store.setObject(string(64, fill), "shared");
                const auto text = store.stringForKey("shared").value_or("");
                EXPECT_EQ(text, string(64, text.empty() ? '?' : text.front()));
            }
        });
    }
    for (auto& thread : threads) thread.join();
}

}  // namespace
}  // namespace vorn::monitor
