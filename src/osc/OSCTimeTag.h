#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace vorn::osc {

// An OSC 1.0 time tag: NTP time, seconds since midnight at the start of
// 1 January 1900 UTC in the upper 32 bits and the fraction of a second in the
// lower 32. `era` counts whole spans of 4,294,967,295 seconds beyond the
// first; it is never written to the wire and is 0 for every tag read from it.
// The raw value 1 means "immediately".
class OSCTimeTag {
public:
    using Clock = std::chrono::system_clock;
    static constexpr double secondsPerEra = 4294967295.0;

    constexpr OSCTimeTag() = default;
    constexpr explicit OSCTimeTag(std::uint64_t rawValue, std::int64_t era = 0) : era_(era), rawValue_(rawValue) {}

    static constexpr OSCTimeTag immediate() { return OSCTimeTag(1, 0); }
    static OSCTimeTag now();
    static OSCTimeTag fromSecondsSinceEpoch(double seconds);
    static OSCTimeTag fromDate(Clock::time_point date);
    // 0 gives the current time; anything else that many seconds from now.
    static OSCTimeTag fromSecondsFromNow(double seconds);

    constexpr std::int64_t era() const noexcept { return era_; }
    constexpr std::uint64_t rawValue() const noexcept { return rawValue_; }
    constexpr bool isImmediate() const noexcept { return rawValue_ == 1; }

    // The immediate tag's date is now.
    Clock::time_point date() const;
    // Seconds from `reference` to this tag (positive when this tag is
    // later). A tag of era 0, as every tag read from the wire is, counts in
    // whichever era puts it nearest to `reference`, so that differences stay
    // right when the 32-bit seconds wrap on 7 February 2036 (a tag more than
    // about 68 years before `reference` reads as one in the next era); a
    // tag of another era was made here and counts in its own.
    double secondsAfter(const OSCTimeTag& reference) const;
    // 0 for the immediate tag; otherwise secondsAfter(now()), positive for a
    // tag in the future.
    double secondsFromNow() const;
    // False for the immediate tag; otherwise whether secondsAfter(now()) is
    // positive, so that the two never disagree.
    bool isFuture() const;

    // "1 (immediate)", or the raw value in decimal, with "-era:" and the era
    // after it when the era is not 0.
    std::string description() const;

    friend constexpr bool operator==(const OSCTimeTag&, const OSCTimeTag&) = default;

private:
    std::int64_t era_ = 0;
    std::uint64_t rawValue_ = 0;
};

}  // namespace vorn::osc

template <>
struct std::hash<vorn::osc::OSCTimeTag> {
    std::size_t operator()(const vorn::osc::OSCTimeTag& t) const noexcept;
};
