// The link's figures, fed by hand with exact times.

#include "monitor/LinkQuality.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace vorn::monitor {
namespace {

using namespace std::chrono_literals;

MonitorTime at(std::chrono::milliseconds ms) { return ms; }

std::string written(const LinkReport& report, bool pings) {
    std::string text;
    const auto sink = [&](std::string_view piece) { text.append(piece); };
    pings ? report.writePingsCsv(sink) : report.writeOutagesCsv(sink);
    return text;
}

// Round trips 10, 20, miss, 40, 30 ms, then a ping still awaited.
TEST(LinkQualityTest, RollingFiguresPairEachReplyWithTheNewestPingBeforeIt) {
    LinkQuality quality;
    const int trips[] = {10, 20, -1, 40, 30};
    for (int i = 0; i < 5; ++i) {
        quality.pingSent(at(1000ms * i));
        if (trips[i] >= 0) {
            EXPECT_EQ(quality.replyArrived(at(1000ms * i + std::chrono::milliseconds(trips[i]))),
                      std::chrono::milliseconds(trips[i]));
        }
    }
    // A second reply to one ping is counted but does not change its round trip.
    EXPECT_EQ(quality.replyArrived(at(4050ms)), 50ms);
    quality.pingSent(at(5000ms));
    // Read on the main thread after the next ping left, a reply that came
    // before it still belongs to the ping before.
    EXPECT_EQ(quality.replyArrived(at(1500ms)), 500ms);

    const auto figures = quality.statistics(at(5100ms));
    const auto& rolling = figures.rolling;
    EXPECT_EQ(rolling.pings, 5u) << "the newest ping may still be answered";
    EXPECT_EQ(rolling.answered, 4u);
    EXPECT_DOUBLE_EQ(rolling.lossPercent, 20.0);
    EXPECT_DOUBLE_EQ(*rolling.lastMs, 30.0);
    EXPECT_DOUBLE_EQ(*rolling.minMs, 10.0);
    EXPECT_DOUBLE_EQ(*rolling.maxMs, 40.0);
    EXPECT_DOUBLE_EQ(*rolling.averageMs, 25.0);
    EXPECT_DOUBLE_EQ(*rolling.jitterMs, 40.0 / 3) << "|20-10| + |40-20| + |30-40|, misses skipped";
    EXPECT_DOUBLE_EQ(*rolling.p95Ms, 40.0);
    EXPECT_EQ(figures.session.pingsSent, 6u);
    EXPECT_EQ(figures.session.pingsAnswered, 4u);
    EXPECT_EQ(figures.session.replies, 6u);
    EXPECT_EQ(quality.replyArrived(at(0ms) - 1ms), std::nullopt) << "before any ping";

    // The window holds the newest 60: round trips 10..69 of 70 pings.
    LinkQuality many;
    for (int i = 0; i < 70; ++i) {
        many.pingSent(at(1000ms * i));
        many.replyArrived(at(1000ms * i + std::chrono::milliseconds(i)));
    }
    const auto window = many.statistics(at(70s)).rolling;
    EXPECT_EQ(window.pings, 60u);
    EXPECT_DOUBLE_EQ(*window.minMs, 10.0);
    EXPECT_DOUBLE_EQ(*window.maxMs, 69.0);
    EXPECT_DOUBLE_EQ(*window.p95Ms, 66.0) << "rank 57 of 60";
    EXPECT_DOUBLE_EQ(*window.jitterMs, 1.0);
    EXPECT_DOUBLE_EQ(window.lossPercent, 0.0);
}

TEST(LinkQualityTest, SessionFiguresCountFromTheFirstVerdict) {
    LinkQuality quality;
    EXPECT_DOUBLE_EQ(quality.statistics(at(5s)).session.availabilityPercent, 100.0);
    quality.verdict(true, at(2s));
    quality.verdict(true, at(4s));
    quality.verdict(false, at(10s));
    quality.verdict(false, at(12s));
    quality.verdict(true, at(15s));
    quality.verdict(false, at(20s));
    const auto session = quality.statistics(at(30s)).session;
    EXPECT_EQ(session.alive, false);
    EXPECT_EQ(session.watched, 28s);
    EXPECT_EQ(session.aliveTime, 13s);
    EXPECT_DOUBLE_EQ(session.availabilityPercent, 100.0 * 13 / 28);
    EXPECT_EQ(session.inCurrentState, 10s);
    EXPECT_EQ(session.flaps, 3u);
    EXPECT_EQ(session.outageCount, 2u);
    EXPECT_EQ(session.longestOutage, 10s) << "the outage under way is the longer";
    ASSERT_EQ(session.outages.size(), 2u);
    EXPECT_EQ(session.outages[0].start, 10s);
    EXPECT_EQ(session.outages[0].end, 15s);
    EXPECT_EQ(session.outages[0].duration, 5s);
    EXPECT_EQ(session.outages[1].end, std::nullopt);

    // A link silent from the start is DEAD from its first verdict on.
    LinkQuality silent;
    silent.verdict(false, at(4s));
    const auto dead = silent.statistics(at(14s)).session;
    EXPECT_DOUBLE_EQ(dead.availabilityPercent, 0.0);
    EXPECT_EQ(dead.outageCount, 1u);
    EXPECT_EQ(dead.flaps, 0u);

    // The list keeps the newest outages; the count keeps them all.
    LinkQuality flapping;
    for (int i = 0; i < 1005; ++i) {
        flapping.verdict(true, at(10s * i));
        flapping.verdict(false, at(10s * i + 1s));
    }
    const auto listed = flapping.statistics(at(10050s)).session;
    EXPECT_EQ(listed.outageCount, 1005u);
    EXPECT_EQ(listed.outages.size(), LinkQuality::outageLimit);
    EXPECT_EQ(listed.outagesDropped, 5u);
    EXPECT_EQ(listed.outages.front().start, 51s);
}

TEST(LinkQualityTest, ReportWritesPingsAndOutagesAsCsvInUtc) {
    // 2026-01-02T03:04:05Z
    LinkQuality quality(WallTime(std::chrono::seconds(1767323045)));
    quality.pingSent(at(0ms));
    quality.replyArrived(at(12ms) + std::chrono::microseconds(345));
    quality.verdict(true, at(1000ms));
    quality.pingSent(at(1000ms));
    quality.verdict(false, at(2500ms));
    quality.pingSent(at(2000ms));
    quality.verdict(true, at(4750ms));
    quality.verdict(false, at(6000ms));
    const auto report = quality.report(at(7000ms));
    EXPECT_EQ(written(report, true),
              "time,rtt_ms,result\r\n"
              "2026-01-02T03:04:05.000Z,12.345,reply\r\n"
              "2026-01-02T03:04:06.000Z,,miss\r\n"
              "2026-01-02T03:04:07.000Z,,awaiting\r\n");
    EXPECT_EQ(written(report, false),
              "start,end,duration_s\r\n"
              "2026-01-02T03:04:07.500Z,2026-01-02T03:04:09.750Z,2.250\r\n"
              "2026-01-02T03:04:11.000Z,,1.000\r\n");
}

}  // namespace
}  // namespace vorn::monitor
