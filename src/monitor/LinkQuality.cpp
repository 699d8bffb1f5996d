#include "monitor/LinkQuality.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <string>

namespace vorn::monitor {

std::string isoUtc(WallTime time) {
    const auto ms = std::chrono::floor<std::chrono::milliseconds>(time.time_since_epoch());
    const auto secs = std::chrono::floor<std::chrono::seconds>(ms);
    const std::time_t whole = secs.count();
    std::tm utc{};
    ::gmtime_r(&whole, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>((ms - secs).count()));
    return text;
}

void LinkQuality::pingSent(MonitorTime at) {
    pings_.push_back({at, std::nullopt});
    ++pingsSent_;
    if (pings_.size() > pingLimit) {
        pings_.pop_front();
        ++pingsDropped_;
    }
}

std::optional<MonitorTime> LinkQuality::replyArrived(MonitorTime arrival) {
    ++replies_;
    // Replies reach the main thread after a hop, so a ping may have gone out
    // since this one arrived: pair by time, not by position.
    const auto after = std::upper_bound(pings_.begin(), pings_.end(), arrival,
                                        [](MonitorTime time, const PingRecord& ping) { return time < ping.sentAt; });
    if (after == pings_.begin()) {
        return std::nullopt;
    }
    PingRecord& ping = *std::prev(after);
    const MonitorTime roundTrip = arrival - ping.sentAt;
    if (!ping.roundTrip) {
        ping.roundTrip = roundTrip;
        ++pingsAnswered_;
    }
    return roundTrip;
}

void LinkQuality::verdict(bool alive, MonitorTime at) {
    const auto openOutage = [&] {
        outages_.push_back({at, std::nullopt, MonitorTime{0}});
        ++outageCount_;
        if (outages_.size() > outageLimit) {
            outages_.pop_front();
            ++outagesDropped_;
        }
    };
    if (!alive_) {
        alive_ = alive;
        watchedSince_ = at;
        stateSince_ = at;
        if (!alive) {
            openOutage();
        }
        return;
    }
    if (*alive_ == alive) {
        return;
    }
    if (*alive_) {
        aliveTime_ += at - stateSince_;
        openOutage();
    } else if (!outages_.empty() && !outages_.back().end) {
        Outage& outage = outages_.back();
        outage.end = at;
        outage.duration = at - outage.start;
        longestOutage_ = std::max(longestOutage_.value_or(MonitorTime{0}), outage.duration);
    }
    ++flaps_;
    alive_ = alive;
    stateSince_ = at;
}

RollingStatistics LinkQuality::rolling() const {
    RollingStatistics figures;
    auto end = pings_.end();
    if (end != pings_.begin() && !std::prev(end)->roundTrip) {
        --end;  // the newest ping may still be answered
    }
    const auto window = std::min<std::size_t>(rollingWindow, static_cast<std::size_t>(end - pings_.begin()));
    std::vector<double> trips;
    trips.reserve(window);
    for (auto ping = end - static_cast<std::ptrdiff_t>(window); ping != end; ++ping) {
        if (ping->roundTrip) {
            trips.push_back(milliseconds(*ping->roundTrip));
        }
    }
    figures.pings = window;
    figures.answered = trips.size();
    if (window > 0) {
        figures.lossPercent = 100.0 * static_cast<double>(window - trips.size()) / static_cast<double>(window);
    }
    if (trips.empty()) {
        return figures;
    }
    figures.lastMs = trips.back();
    double sum = 0;
    double changes = 0;
    for (std::size_t i = 0; i < trips.size(); ++i) {
        sum += trips[i];
        if (i > 0) {
            changes += std::abs(trips[i] - trips[i - 1]);
        }
    }
    figures.averageMs = sum / static_cast<double>(trips.size());
    if (trips.size() > 1) {
        figures.jitterMs = changes / static_cast<double>(trips.size() - 1);
    }
    std::sort(trips.begin(), trips.end());
    figures.minMs = trips.front();
    figures.maxMs = trips.back();
    const auto rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(trips.size())));
    figures.p95Ms = trips[std::max<std::size_t>(rank, 1) - 1];
    return figures;
}

LinkStatistics LinkQuality::statistics(MonitorTime now) const {
    LinkStatistics figures;
    figures.at = now;
    figures.wallOrigin = wallOrigin_;
    figures.rolling = rolling();
    SessionStatistics& session = figures.session;
    session.alive = alive_;
    session.flaps = flaps_;
    session.outageCount = outageCount_;
    session.outagesDropped = outagesDropped_;
    session.longestOutage = longestOutage_;
    session.pingsSent = pingsSent_;
    session.pingsAnswered = pingsAnswered_;
    session.replies = replies_;
    session.outages.assign(outages_.begin(), outages_.end());
    if (!session.outages.empty() && !session.outages.back().end) {
        Outage& current = session.outages.back();
        current.duration = std::max(now - current.start, MonitorTime{0});
        session.longestOutage = std::max(session.longestOutage.value_or(MonitorTime{0}), current.duration);
    }
    if (alive_) {
        session.inCurrentState = std::max(now - stateSince_, MonitorTime{0});
        session.watched = std::max(now - watchedSince_, MonitorTime{0});
        session.aliveTime = aliveTime_ + (*alive_ ? session.inCurrentState : MonitorTime{0});
        if (session.watched > MonitorTime{0}) {
            session.availabilityPercent = 100.0 * milliseconds(session.aliveTime) / milliseconds(session.watched);
        } else {
            session.availabilityPercent = *alive_ ? 100 : 0;
        }
    }
    return figures;
}

LinkReport LinkQuality::report(MonitorTime now) const {
    return {statistics(now), {pings_.begin(), pings_.end()}, pingsDropped_};
}

namespace {

std::string fixed(double value, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

void LinkReport::writePingsCsv(const std::function<void(std::string_view)>& sink) const {
    sink("time,rtt_ms,result\r\n");
    std::string row;
    for (std::size_t i = 0; i < pings.size(); ++i) {
        const PingRecord& ping = pings[i];
        row = isoUtc(statistics.wallTime(ping.sentAt));
        row += ',';
        if (ping.roundTrip) {
            row += fixed(milliseconds(*ping.roundTrip), 3);
            row += ",reply";
        } else {
            row += i + 1 == pings.size() ? ",awaiting" : ",miss";
        }
        row += "\r\n";
        sink(row);
    }
}

void LinkReport::writeOutagesCsv(const std::function<void(std::string_view)>& sink) const {
    sink("start,end,duration_s\r\n");
    for (const Outage& outage : statistics.session.outages) {
        std::string row = isoUtc(statistics.wallTime(outage.start)) + ',';
        if (outage.end) {
            row += isoUtc(statistics.wallTime(*outage.end));
        }
        row += ',' + fixed(std::chrono::duration<double>(outage.duration).count(), 3) + "\r\n";
        sink(row);
    }
}

}  // namespace vorn::monitor
