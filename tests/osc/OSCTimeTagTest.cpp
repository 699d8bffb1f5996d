#include "osc/OSCTimeTag.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

namespace vorn::osc {
namespace {

using namespace std::chrono;
using Clock = OSCTimeTag::Clock;

constexpr std::uint64_t oneSecond = 1ULL << 32U;

Clock::time_point utc(year_month_day day, nanoseconds sinceMidnight = {}) {
    return time_point_cast<Clock::duration>(sys_days(day) + sinceMidnight);
}

void checkKnownDates() {
    const std::vector<std::pair<Clock::time_point, std::uint64_t>> known = {
        {utc(1970y / January / 1), 2208988800ULL << 32U},
        {utc(2000y / January / 1), 3155673600ULL << 32U},
        {utc(2000y / January / 1, 12h), (3155673600ULL + 43200) << 32U},
        {utc(1900y / January / 1, 500ms), oneSecond / 2},
    };
    for (const auto& [date, rawValue] : known) {
        SCOPED_TRACE(rawValue);
        EXPECT_EQ(OSCTimeTag::fromDate(date), OSCTimeTag(rawValue, 0));
        EXPECT_EQ(OSCTimeTag(rawValue).date(), date);
    }
}

TEST(OSCTimeTag, DatesConvertInUTCWhateverTheLocalZone) {
    checkKnownDates();
    // Fourteen hours ahead of UTC, spelled out so that no zone database is
    // needed: local midnight there is not UTC midnight.
    const char* previous = std::getenv("TZ");
    const std::string saved = previous != nullptr ? previous : "";
    setenv("TZ", "<+14>-14", 1);
    tzset();
    checkKnownDates();
    if (previous != nullptr) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(OSCTimeTag, SecondsSinceEpochFollowTheEraRule) {
    struct Case {
        double seconds;
        std::int64_t era;
        std::uint64_t rawValue;
    };
    const std::vector<Case> cases = {
        {-5, 0, 0},
        {std::nan(""), 0, 0},
        {1.25, 0, oneSecond + oneSecond / 4},
        {4294967295.0, 0, 4294967295ULL << 32U},  // the last second of era 0
        {4294967296.0, 1, oneSecond},
        {2 * 4294967295.0 + 10.5, 2, 10 * oneSecond + oneSecond / 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(OSCTimeTag::fromSecondsSinceEpoch(c.seconds), OSCTimeTag(c.rawValue, c.era));
    }
}

TEST(OSCTimeTag, EraOneComesBackToTheSameMoment) {
    const OSCTimeTag tag = OSCTimeTag::fromSecondsSinceEpoch(4294967296.0);
    const Clock::time_point moment = utc(2036y / February / 7, 6h + 28min + 16s);
    EXPECT_EQ(tag.date(), moment);
    EXPECT_EQ(OSCTimeTag::fromDate(moment), tag);
    EXPECT_EQ(OSCTimeTag::fromDate(moment - 1s), OSCTimeTag(4294967295ULL << 32U, 0));
}

TEST(OSCTimeTag, FractionsRoundTrip) {
    for (const nanoseconds fraction : {1ns, 123456789ns, 999999999ns}) {
        SCOPED_TRACE(fraction.count());
        const Clock::time_point date = utc(2024y / March / 15, 12h + 34min + 56s + fraction);
        const OSCTimeTag tag = OSCTimeTag::fromDate(date);
        EXPECT_LE(abs(tag.date() - date), 1us);
        const double seconds = static_cast<double>(tag.rawValue()) / 4294967296.0;
        EXPECT_LE(abs(OSCTimeTag::fromSecondsSinceEpoch(seconds).date() - date), 1us);
    }
}

TEST(OSCTimeTag, ExtremesSaturateInsteadOfOverflowing) {
    const auto huge = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(OSCTimeTag::fromDate(Clock::time_point::min()), OSCTimeTag(0, 0));
    EXPECT_GT(OSCTimeTag::fromDate(Clock::time_point::max()).era(), 0);
    EXPECT_EQ(OSCTimeTag(5, huge).date(), Clock::time_point::max());
    EXPECT_EQ(OSCTimeTag(5, 1000).date(), Clock::time_point::max());
    EXPECT_EQ(OSCTimeTag(5, -huge).date(), Clock::time_point::min());
    EXPECT_EQ(OSCTimeTag(5, huge).secondsFromNow(), std::numeric_limits<double>::infinity());
    EXPECT_GT(OSCTimeTag::fromSecondsSinceEpoch(std::numeric_limits<double>::infinity()).era(), 0);
    EXPECT_EQ(OSCTimeTag::fromSecondsFromNow(-1e20), OSCTimeTag(0, 0));
    EXPECT_GT(OSCTimeTag::fromSecondsFromNow(1e20).era(), 0);
}

TEST(OSCTimeTag, NowAndOffsetsFromIt) {
    const OSCTimeTag before = OSCTimeTag::fromDate(Clock::now());
    const OSCTimeTag now = OSCTimeTag::now();
    EXPECT_LE(before.rawValue(), now.rawValue());
    EXPECT_LE(now.rawValue(), OSCTimeTag::fromDate(Clock::now()).rawValue());

    const OSCTimeTag soon = OSCTimeTag::fromSecondsFromNow(10);
    EXPECT_TRUE(soon.isFuture());
    EXPECT_GT(soon.secondsFromNow(), 5);
    EXPECT_LE(soon.secondsFromNow(), 10);
    const OSCTimeTag past = OSCTimeTag::fromSecondsFromNow(-3600.25);
    EXPECT_FALSE(past.isFuture());
    EXPECT_LT(past.secondsFromNow(), -3600);
    // Only raw values are compared: a late era does not make a tag future.
    EXPECT_FALSE(OSCTimeTag(2, 7).isFuture());

    EXPECT_FALSE(OSCTimeTag::immediate().isFuture());
    EXPECT_EQ(OSCTimeTag::immediate().secondsFromNow(), 0);
    EXPECT_GE(OSCTimeTag::immediate().date(), before.date());
}

TEST(OSCTimeTag, DescriptionEqualityAndHashing) {
    EXPECT_EQ(OSCTimeTag::immediate().description(), "1 (immediate)");
    EXPECT_EQ(OSCTimeTag(1, 4).description(), "1 (immediate)");
    EXPECT_EQ(OSCTimeTag(5, 2).description(), "5-era:2");
    EXPECT_EQ(OSCTimeTag(UINT64_MAX).description(), "18446744073709551615");

    const std::unordered_set<OSCTimeTag> set = {OSCTimeTag(5, 0), OSCTimeTag(5, 1), OSCTimeTag(5, 0), OSCTimeTag(6)};
    EXPECT_EQ(set.size(), 3U);
}

}  // namespace
}  // namespace vorn::osc
