#pragma once

#include "monitor/LinkStatistics.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace vorn::monitor {

// Everything an "Export report" needs, taken at one moment on the main
// thread; write it out on any thread.
struct LinkReport {
    LinkStatistics statistics;
    // The newest pings, oldest first, and how many older ones memory no
    // longer holds (the file then starts later than the session).
    std::vector<PingRecord> pings;
    std::uint64_t pingsDropped = 0;

    // "time,rtt_ms,result", then one row per ping: its wall-clock time (ISO
    // 8601, UTC, ms), the round trip in milliseconds (3 decimals, empty for a
    // miss) and "reply", "miss" or "awaiting" (the newest ping, not yet
    // answered). Lines end in CRLF, as RFC 4180 has it.
    void writePingsCsv(const std::function<void(std::string_view)>& sink) const;
    // "start,end,duration_s", then one row per outage listed in the
    // statistics; `end` is empty while it lasts, its duration then runs to
    // the moment of the report.
    void writeOutagesCsv(const std::function<void(std::string_view)>& sink) const;
};

// The link's figures, fed by the monitor as things happen: the pings it
// sends, the replies it hears (with their arrival time, taken on the receive
// path) and its verdicts. Main thread only; not synchronised.
//
// A reply carries nothing that names its ping, so it is paired with the
// newest ping sent before it arrived: its round trip is the arrival minus
// that ping's send time. The first reply after a ping sets the ping's round
// trip; more replies before the next ping are counted but change nothing.
// A reply later than the next ping is taken for an answer to that one.
class LinkQuality {
public:
    static constexpr std::size_t rollingWindow = 60;
    // About 28 hours of pings at the shortest interval (1 s), 16 bytes each.
    static constexpr std::size_t pingLimit = 100'000;
    static constexpr std::size_t outageLimit = 1'000;

    explicit LinkQuality(WallTime wallOrigin = {}) : wallOrigin_(wallOrigin) {}

    void pingSent(MonitorTime at);
    // The round trip of a reply that arrived at `arrival`; none when no ping
    // was sent before it (a heartbeat, an answer to nothing).
    std::optional<MonitorTime> replyArrived(MonitorTime arrival);
    // The monitor's state as judged at `at`, whether or not it changed.
    void verdict(bool alive, MonitorTime at);

    LinkStatistics statistics(MonitorTime now) const;
    LinkReport report(MonitorTime now) const;

    // The newest pings, oldest first, at most `pingLimit`.
    const std::deque<PingRecord>& pings() const noexcept { return pings_; }
    std::uint64_t pingsDropped() const noexcept { return pingsDropped_; }
    WallTime wallOrigin() const noexcept { return wallOrigin_; }

private:
    RollingStatistics rolling() const;

    WallTime wallOrigin_;
    std::deque<PingRecord> pings_;
    std::uint64_t pingsDropped_ = 0;
    std::uint64_t pingsSent_ = 0;
    std::uint64_t pingsAnswered_ = 0;
    std::uint64_t replies_ = 0;

    std::optional<bool> alive_;
    MonitorTime watchedSince_{0};
    MonitorTime stateSince_{0};
    MonitorTime aliveTime_{0};
    std::uint64_t flaps_ = 0;
    std::deque<Outage> outages_;
    std::uint64_t outageCount_ = 0;
    std::uint64_t outagesDropped_ = 0;
    std::optional<MonitorTime> longestOutage_;
};

}  // namespace vorn::monitor
