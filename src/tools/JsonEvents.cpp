#include "tools/JsonEvents.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <ctime>

namespace vorn::tools {

namespace {

using Json = nlohmann::ordered_json;

double seconds(monitor::MonitorTime time) {
    return std::chrono::duration<double>(time).count();
}

Json optionalNumber(const std::optional<double>& value) {
    return value ? Json(*value) : Json(nullptr);
}

// Texts are escaped by the library; bytes that are not UTF-8 (none should
// come, the log escapes them) become U+FFFD rather than break the line.
std::string dumped(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string jsonEvent(monitor::WallTime time, const monitor::LineEvent& event, std::string_view line) {
    Json json;
    json["time"] = monitor::isoUtc(time);
    json["event"] = event.kind.empty() ? std::string("log") : std::string(event.kind);
    json["line"] = std::string(line);
    if (event.state) {
        json["state"] = *event.state ? "ALIVE" : "DEAD";
    }
    if (event.rttMs) {
        json["rttMs"] = *event.rttMs;
    }
    if (!event.fromHost.empty()) {
        json["from"] = {{"address", event.fromHost}, {"port", event.fromPort}};
    }
    return dumped(json);
}

std::string jsonSummary(monitor::WallTime time, const monitor::LinkStatistics& statistics) {
    const auto& session = statistics.session;
    const auto& rolling = statistics.rolling;
    Json json;
    json["time"] = monitor::isoUtc(time);
    json["event"] = "summary";
    json["state"] = session.alive ? Json(*session.alive ? "ALIVE" : "DEAD") : Json(nullptr);
    json["inCurrentStateSeconds"] = seconds(session.inCurrentState);
    json["watchedSeconds"] = seconds(session.watched);
    json["aliveSeconds"] = seconds(session.aliveTime);
    json["availabilityPercent"] = session.availabilityPercent;
    json["flaps"] = session.flaps;
    json["outageCount"] = session.outageCount;
    json["longestOutageSeconds"] =
        session.longestOutage ? Json(seconds(*session.longestOutage)) : Json(nullptr);
    json["pingsSent"] = session.pingsSent;
    json["pingsAnswered"] = session.pingsAnswered;
    json["replies"] = session.replies;
    json["rolling"] = {{"pings", rolling.pings},
                       {"answered", rolling.answered},
                       {"lastMs", optionalNumber(rolling.lastMs)},
                       {"minMs", optionalNumber(rolling.minMs)},
                       {"averageMs", optionalNumber(rolling.averageMs)},
                       {"maxMs", optionalNumber(rolling.maxMs)},
                       {"jitterMs", optionalNumber(rolling.jitterMs)},
                       {"p95Ms", optionalNumber(rolling.p95Ms)},
                       {"lossPercent", rolling.lossPercent}};
    Json outages = Json::array();
    for (const auto& outage : session.outages) {
        outages.push_back({{"start", monitor::isoUtc(statistics.wallTime(outage.start))},
                           {"end", outage.end ? Json(monitor::isoUtc(statistics.wallTime(*outage.end)))
                                              : Json(nullptr)},
                           {"durationSeconds", seconds(outage.duration)}});
    }
    json["outages"] = std::move(outages);
    json["outagesNotListed"] = session.outagesDropped;
    return dumped(json);
}

std::string timestamped(monitor::WallTime time, std::string_view line) {
    const auto ms = std::chrono::floor<std::chrono::milliseconds>(time.time_since_epoch());
    const std::time_t whole = std::chrono::floor<std::chrono::seconds>(ms).count();
    std::tm local{};
    ::localtime_r(&whole, &local);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d  ", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms.count() % 1000));
    return text + std::string(line);
}

}  // namespace vorn::tools
