#include "osc/OSCTimeTag.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace vorn::osc {
namespace {

using std::chrono::nanoseconds;
using std::chrono::seconds;

// Whole seconds in one era. An era is one second short of 2^32 seconds; tags
// written with eras elsewhere in the library depend on that length.
constexpr std::int64_t eraSeconds = 4294967295;
constexpr std::int64_t nanosPerSecond = 1'000'000'000;
constexpr double fractionUnitsPerSecond = 4294967296.0;

// The NTP epoch, midnight at the start of 1 January 1900 UTC, in seconds
// relative to the clock's own epoch (the Unix epoch). A fixed offset: the
// machine's time zone must not move wire times, or two peers in different
// zones would disagree about when a bundle is due.
constexpr std::int64_t unixSecondsAtEpoch = -2'208'988'800;

// A moment as whole seconds since the NTP epoch and nanoseconds into the
// second (0 to 999,999,999). Integer arithmetic keeps nanosecond precision
// that a double of about 4e9 seconds no longer has.
struct EpochTime {
    std::int64_t seconds = 0;
    std::int64_t nanos = 0;
};

// Split by hand: converting the clock's extreme dates to nanoseconds or
// back would overflow.
EpochTime epochTime(OSCTimeTag::Clock::time_point date) {
    using Period = OSCTimeTag::Clock::duration::period;
    static_assert(Period::num == 1 && nanosPerSecond % Period::den == 0, "clock ticks must divide a second");
    constexpr std::int64_t ticksPerSecond = Period::den;
    const std::int64_t ticks = date.time_since_epoch().count();
    std::int64_t whole = ticks / ticksPerSecond;
    std::int64_t rest = ticks % ticksPerSecond;
    if (rest < 0) {
        whole -= 1;
        rest += ticksPerSecond;
    }
    return {whole - unixSecondsAtEpoch, rest * (nanosPerSecond / ticksPerSecond)};
}

// The fraction field truncates, like the seconds, so that a tag never lies
// after the moment it was made from.
std::uint64_t fractionFromNanos(std::int64_t nanos) {
    return (static_cast<std::uint64_t>(nanos) << 32U) / static_cast<std::uint64_t>(nanosPerSecond);
}

// Rounded to the nearest nanosecond: a fraction unit is about 0.23 ns, so a
// date turned into a tag and back comes out as it went in. May give a whole
// second (1,000,000,000) for the largest fractions.
std::int64_t nanosFromFraction(std::uint64_t fraction) {
    return static_cast<std::int64_t>((fraction * static_cast<std::uint64_t>(nanosPerSecond) + (1ULL << 31U)) >> 32U);
}

OSCTimeTag fromEpochTime(EpochTime time) {
    if (time.seconds < 0 || (time.seconds == 0 && time.nanos == 0)) {
        return OSCTimeTag(0, 0);
    }
    const std::uint64_t fraction = fractionFromNanos(time.nanos);
    if (time.seconds < eraSeconds || (time.seconds == eraSeconds && time.nanos == 0)) {
        return OSCTimeTag((static_cast<std::uint64_t>(time.seconds) << 32U) | fraction, 0);
    }
    // The era is the whole number of eras in the seconds with their fraction;
    // for whole seconds and a whole era length that is the integer quotient.
    const std::int64_t era = time.seconds / eraSeconds;
    const std::int64_t remainder = time.seconds % eraSeconds;
    return OSCTimeTag((static_cast<std::uint64_t>(remainder) << 32U) | fraction, era);
}

// The tag as seconds since the epoch, or nothing when its era puts it beyond
// what 64-bit seconds can count.
bool tagEpochTime(const OSCTimeTag& tag, EpochTime& time) {
    std::int64_t eraStart = 0;
    std::int64_t seconds = 0;
    if (__builtin_mul_overflow(tag.era(), eraSeconds, &eraStart) ||
        __builtin_add_overflow(eraStart, static_cast<std::int64_t>(tag.rawValue() >> 32U), &seconds)) {
        return false;
    }
    time = {seconds, nanosFromFraction(tag.rawValue() & 0xFFFF'FFFFULL)};
    return true;
}

}  // namespace

OSCTimeTag OSCTimeTag::now() {
    return fromDate(Clock::now());
}

OSCTimeTag OSCTimeTag::fromSecondsSinceEpoch(double seconds) {
    // Not greater than zero also catches NaN.
    if (!(seconds > 0)) {
        return OSCTimeTag(0, 0);
    }
    if (seconds <= secondsPerEra) {
        // At most (2^32 - 1) * 2^32, which a uint64 holds.
        return OSCTimeTag(static_cast<std::uint64_t>(seconds * fractionUnitsPerSecond), 0);
    }
    const double eras = std::trunc(seconds / secondsPerEra);
    // Beyond any era that the tag can count (infinity included): the latest
    // tag there is, rather than an undefined conversion.
    if (!(eras < 9.0e18)) {
        return OSCTimeTag(static_cast<std::uint64_t>(eraSeconds) << 32U, std::numeric_limits<std::int64_t>::max());
    }
    auto era = static_cast<std::int64_t>(eras);
    double remainder = seconds - static_cast<double>(era) * secondsPerEra;
    // The quotient may round up across an era boundary, leaving a remainder
    // just below zero; it belongs to the era before.
    if (remainder < 0) {
        --era;
        remainder += secondsPerEra;
    }
    remainder = std::min(std::max(remainder, 0.0), secondsPerEra);
    return OSCTimeTag(static_cast<std::uint64_t>(remainder * fractionUnitsPerSecond), era);
}

OSCTimeTag OSCTimeTag::fromDate(Clock::time_point date) {
    return fromEpochTime(epochTime(date));
}

OSCTimeTag OSCTimeTag::fromSecondsFromNow(double seconds) {
    const Clock::time_point current = Clock::now();
    if (seconds == 0) {
        return fromDate(current);
    }
    // Offsets within about 3,000 years are added in whole seconds and
    // nanoseconds; only larger ones (and NaN) go through a double.
    if (!(std::fabs(seconds) < 1.0e11)) {
        const EpochTime now = epochTime(current);
        return fromSecondsSinceEpoch(static_cast<double>(now.seconds) + static_cast<double>(now.nanos) / 1e9 + seconds);
    }
    EpochTime time = epochTime(current);
    const double whole = std::floor(seconds);
    time.seconds += static_cast<std::int64_t>(whole);
    time.nanos += std::llround((seconds - whole) * 1e9);
    if (time.nanos >= nanosPerSecond) {
        time.seconds += 1;
        time.nanos -= nanosPerSecond;
    }
    return fromEpochTime(time);
}

OSCTimeTag::Clock::time_point OSCTimeTag::date() const {
    if (isImmediate()) {
        return Clock::now();
    }
    EpochTime time;
    std::int64_t unixSeconds = 0;
    if (!tagEpochTime(*this, time) || __builtin_add_overflow(time.seconds, unixSecondsAtEpoch, &unixSeconds)) {
        return era_ < 0 ? Clock::time_point::min() : Clock::time_point::max();
    }
    // The clock counts nanoseconds in 64 bits (about the years 1678 to 2261);
    // dates outside that span saturate.
    using Limit = std::chrono::duration<std::int64_t>;
    constexpr std::int64_t lastSecond =
        std::chrono::duration_cast<Limit>(Clock::duration::max()).count() - 1;
    constexpr std::int64_t firstSecond =
        std::chrono::duration_cast<Limit>(Clock::duration::min()).count() + 1;
    if (unixSeconds > lastSecond) {
        return Clock::time_point::max();
    }
    if (unixSeconds < firstSecond) {
        return Clock::time_point::min();
    }
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(seconds(unixSeconds)) +
                             std::chrono::duration_cast<Clock::duration>(nanoseconds(time.nanos)));
}

double OSCTimeTag::secondsAfter(const OSCTimeTag& reference) const {
    constexpr double infinity = std::numeric_limits<double>::infinity();
    EpochTime from;
    if (!tagEpochTime(reference, from)) {
        return reference.era_ < 0 ? infinity : -infinity;
    }
    OSCTimeTag placed = *this;
    // An all-zero tag is what a sender that never set its time tag sends; it
    // means "now" to it, so it stays at the start of era 0, in the past,
    // rather than being taken for a date in 2036 and held for years.
    if (era_ == 0 && rawValue_ != 0) {
        std::int64_t era = from.seconds / eraSeconds - (from.seconds % eraSeconds < 0 ? 1 : 0);
        const std::int64_t offset = static_cast<std::int64_t>(rawValue_ >> 32U) - (from.seconds - era * eraSeconds);
        if (offset > eraSeconds / 2) {
            --era;
        } else if (offset < -(eraSeconds / 2)) {
            ++era;
        }
        placed = OSCTimeTag(rawValue_, era);
    }
    EpochTime time;
    if (!tagEpochTime(placed, time)) {
        return placed.era_ < 0 ? -infinity : infinity;
    }
    // Both second counts are far from the int64 limits once the tags fit.
    std::int64_t wholeSeconds = 0;
    if (__builtin_sub_overflow(time.seconds, from.seconds, &wholeSeconds)) {
        return static_cast<double>(time.seconds) - static_cast<double>(from.seconds);
    }
    return static_cast<double>(wholeSeconds) + static_cast<double>(time.nanos - from.nanos) / 1e9;
}

double OSCTimeTag::secondsFromNow() const {
    return isImmediate() ? 0 : secondsAfter(now());
}

bool OSCTimeTag::isFuture() const {
    return !isImmediate() && secondsAfter(now()) > 0;
}

std::string OSCTimeTag::description() const {
    if (isImmediate()) {
        return "1 (immediate)";
    }
    std::string text = std::to_string(rawValue_);
    if (era_ != 0) {
        text += "-era:";
        text += std::to_string(era_);
    }
    return text;
}

}  // namespace vorn::osc

std::size_t std::hash<vorn::osc::OSCTimeTag>::operator()(const vorn::osc::OSCTimeTag& t) const noexcept {
    const std::size_t era = std::hash<std::int64_t>{}(t.era());
    const std::size_t raw = std::hash<std::uint64_t>{}(t.rawValue());
    return era ^ (raw + 0x9E3779B97F4A7C15ULL + (era << 6U) + (era >> 2U));
}
