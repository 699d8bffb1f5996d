#pragma once

#include "dispatch/Task.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorn::monitor {

// Times are on the monitor's clock (`MainLoop::now()`, steady, from the
// loop's start); `LinkStatistics::wallTime()` turns one into the wall-clock
// time it stands for.
using MonitorTime = dispatch::Duration;
using WallTime = std::chrono::system_clock::time_point;

// "2026-12-06T21:04:05.123Z": UTC, milliseconds.
std::string isoUtc(WallTime time);

// One ping: when it was handed to the network, and the round trip of the
// first reply that came after it and before the next ping. No round trip
// means a miss, or, for the newest ping, a reply still awaited.
struct PingRecord {
    MonitorTime sentAt{0};
    std::optional<MonitorTime> roundTrip;
};

// A span during which the link was DEAD: from the DEAD verdict to the ALIVE
// verdict that ended it (none while it lasts). Both are the moments the
// state lines were logged.
struct Outage {
    MonitorTime start{0};
    std::optional<MonitorTime> end;
    // Up to `end`, or up to the statistics' `at` while the outage lasts.
    MonitorTime duration{0};
};

// The newest pings, at most `LinkQuality::rollingWindow` of them. The newest
// ping counts only once answered: until the next ping it may still be.
// Figures in milliseconds; the RTT figures are empty when no ping in the
// window was answered (jitter needs two answers).
struct RollingStatistics {
    std::size_t pings = 0;
    std::size_t answered = 0;
    std::optional<double> lastMs;
    std::optional<double> minMs;
    std::optional<double> averageMs;
    std::optional<double> maxMs;
    // Mean absolute difference of successive round trips, misses skipped.
    std::optional<double> jitterMs;
    // Nearest rank: the smallest round trip at or above 95 % of the answers.
    std::optional<double> p95Ms;
    // Unanswered pings over pings, 0 to 100; 0 when there are none.
    double lossPercent = 0;
};

// Since the monitor started. "Watched" time begins with the first verdict
// (the first ALIVE, or the first DEAD a silent start earns): before it the
// state is unknown, and a link that answers from the start is up 100 %.
struct SessionStatistics {
    // Empty before the first verdict.
    std::optional<bool> alive;
    MonitorTime watched{0};
    MonitorTime aliveTime{0};
    // aliveTime over watched, 0 to 100; 100 before the first verdict.
    double availabilityPercent = 100;
    MonitorTime inCurrentState{0};
    // Changes of state after the first verdict.
    std::uint64_t flaps = 0;
    std::uint64_t outageCount = 0;
    std::optional<MonitorTime> longestOutage;
    // The newest `LinkQuality::outageLimit` outages, oldest first, and how
    // many older ones are no longer listed (they still count above).
    std::vector<Outage> outages;
    std::uint64_t outagesDropped = 0;
    std::uint64_t pingsSent = 0;
    std::uint64_t pingsAnswered = 0;
    std::uint64_t replies = 0;
};

// What the monitor publishes after every ping, reply and verdict. A value:
// copy it, keep it, read it on any thread.
struct LinkStatistics {
    // When the figures were taken.
    MonitorTime at{0};
    // The wall-clock time of the monitor's time 0.
    WallTime wallOrigin{};
    RollingStatistics rolling;
    SessionStatistics session;
    // Whether the newest round trip is above the slow-link threshold.
    bool slow = false;

    WallTime wallTime(MonitorTime time) const {
        return wallOrigin + std::chrono::duration_cast<WallTime::duration>(time);
    }
};

// Milliseconds, as the figures above give them.
inline double milliseconds(MonitorTime time) {
    return std::chrono::duration<double, std::milli>(time).count();
}

}  // namespace vorn::monitor
