// The monitor's figures and alarms on a clock the test moves: round trips
// timed from the ping to the reply's arrival, the thresholds, the slow-link
// warning, reminders, mute, and the OSC message on a change of state.

#include "monitor/OSCManager.h"

#include "dispatch/ManualMainLoop.h"
#include "osc/OSCMessage.h"
#include "support/SocketTesting.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace vorn::monitor {
namespace {

using namespace std::chrono_literals;
using dispatch::testing::patience;
using std::string;

const string stateAlive = "\xF0\x9F\x94\x84 State changed to ALIVE";
const string stateDead = "\xF0\x9F\x94\x84 State changed to DEAD";

struct Alerts final : DeadLinkAlert {
    void raiseDeadLinkAlert() override { ADD_FAILURE() << "the monitor asks through alertDeadLink"; }
    void alertDeadLink(const DeadLinkAlertRequest& request) override { requests.push_back(request); }
    std::vector<DeadLinkAlertRequest> requests;
};

class LinkAlarmsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        settings = std::make_shared<OSCSettings>("127.0.0.1", peer.port(), 0, "/eos/ping", "/eos/out/ping", 1.0, false,
                                                 1.0, true, "", std::make_shared<MemorySettingsStore>());
    }
    void TearDown() override {
        events.cancel();
        std::weak_ptr<OSCManager> weak = monitor;
        monitor.reset();
        EXPECT_TRUE(loop.runUntil([&] { return weak.expired(); }, patience));
    }

    void start() {
        monitor = OSCManager::create(settings, loop, alerts);
        ASSERT_TRUE(loop.runUntil([&] { return monitor->log.size() >= 2; }, patience));
        events = monitor->log.subscribe([this](std::size_t, const string& line) {
            kinds.emplace_back(monitor->eventOfLineBeingAppended().kind);
            if (auto rtt = monitor->eventOfLineBeingAppended().rttMs) rtts.push_back(*rtt);
            lines.push_back(line);
        });
    }
    // One interval: the ping goes out at its end; a reply `after` it.
    void interval(std::optional<std::chrono::milliseconds> after = std::nullopt) {
        loop.advance(1s);
        if (after) {
            loop.advance(*after);
            monitor->handleIncomingMessage(osc::OSCMessage("/eos/out/ping"), "127.0.0.1", 8000);
            loop.runPending();
        }
    }
    std::vector<string> linesOf(std::string_view kind) const {
        std::vector<string> found;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (kinds[i] == kind) found.push_back(lines[i]);
        }
        return found;
    }

    dispatch::ManualMainLoop loop;
    udp::testing::Peer peer{AF_INET};
    std::shared_ptr<Alerts> alerts = std::make_shared<Alerts>();
    std::shared_ptr<OSCSettings> settings;
    std::shared_ptr<OSCManager> monitor;
    dispatch::Cancellable events;
    std::vector<string> kinds;
    std::vector<string> lines;
    std::vector<double> rtts;
};

// The received line carries the round trip, timed from the arrival taken on
// the receive path: a reply read before the next ping but handled after it
// still belongs to the ping before. The slow line is said once each way.
TEST_F(LinkAlarmsTest, RoundTripRunsFromThePingToTheArrivalAndSlowIsSaidOnceEachWay) {
    settings->slowRoundTripMs = 50;
    start();
    const auto reply = [&](dispatch::Duration arrival) {
        monitor->handleIncomingMessage(osc::OSCMessage("/eos/out/ping"), "127.0.0.1", 8000, arrival);
        loop.runPending();
    };
    loop.advance(2s);  // pings at 1 s and 2 s
    reply(1080ms);
    reply(2090ms);
    reply(2095ms);  // a second answer: counted, the ping keeps its 90 ms
    loop.advance(1s);
    loop.advance(20ms);
    reply(loop.now());

    EXPECT_EQ(rtts, (std::vector<double>{80, 90, 95, 20}));
    const auto figures = monitor->statistics.get();
    EXPECT_EQ(figures.rolling.pings, 3u);
    EXPECT_DOUBLE_EQ(*figures.rolling.averageMs, (80.0 + 90 + 20) / 3);
    EXPECT_EQ(figures.session.replies, 4u);
    EXPECT_TRUE(monitor->isAlive.get());
    EXPECT_EQ(linesOf("slow"), (std::vector<string>{"\xE2\x8F\xB1\xEF\xB8\x8F Slow link: round trip 80 ms, above 50 ms"}));
    EXPECT_EQ(linesOf("slowEnded"),
              (std::vector<string>{"\xE2\x8F\xB1\xEF\xB8\x8F Link no longer slow: round trip 20 ms"}));
    EXPECT_EQ(linesOf("state"), (std::vector<string>{stateAlive}));
    EXPECT_FALSE(figures.slow);
}

TEST_F(LinkAlarmsTest, ThresholdsSetHowManyIntervalsTurnTheState) {
    settings->missesBeforeDead = 3;
    settings->repliesBeforeAlive = 2;
    start();
    interval(5ms);
    interval();  // judges the interval with the reply: one of two
    EXPECT_FALSE(monitor->isAlive.get());
    interval(5ms);
    interval();
    EXPECT_FALSE(monitor->isAlive.get()) << "a silent interval in between starts the count again";
    interval(5ms);
    interval(5ms);
    interval();
    EXPECT_TRUE(monitor->isAlive.get());
    interval();
    interval();
    EXPECT_TRUE(monitor->isAlive.get());
    interval();
    EXPECT_FALSE(monitor->isAlive.get());
    const auto session = monitor->currentStatistics().session;
    EXPECT_EQ(session.flaps, 1u) << "the first ALIVE is the first verdict, no flap";
    EXPECT_EQ(session.outageCount, 1u) << "three misses never came before the first ALIVE";
}

// Reminders every minute while DEAD, held back but still logged while muted;
// a timed mute ends by itself, one until ALIVE with the next ALIVE.
TEST_F(LinkAlarmsTest, RemindersRepeatWhileDeadAndMuteHoldsOnlyTheAlerts) {
    settings->deadReminderMinutes = 1;
    settings->alarmSound = false;
    start();
    interval(5ms);
    interval();
    ASSERT_TRUE(monitor->isAlive.get());
    loop.advance(2s);
    ASSERT_FALSE(monitor->isAlive.get());
    ASSERT_EQ(alerts->requests.size(), 1u);
    EXPECT_FALSE(alerts->requests[0].reminder);
    EXPECT_FALSE(alerts->requests[0].sound);
    loop.advance(60s);
    ASSERT_EQ(alerts->requests.size(), 2u);
    EXPECT_TRUE(alerts->requests[1].reminder);

    monitor->muteAlarms(15min);
    EXPECT_EQ(lines.back(), "\xF0\x9F\x94\x95 Alarms muted for 15 min");
    EXPECT_TRUE(monitor->mute->muted);
    loop.advance(14min);
    EXPECT_EQ(alerts->requests.size(), 2u);
    EXPECT_EQ(linesOf("reminder").size(), 15u);
    EXPECT_EQ(linesOf("reminder").back(), "\xE2\x8F\xB0 Link still DEAD after 15 min");
    loop.advance(1min);
    EXPECT_EQ(linesOf("unmuted"), (std::vector<string>{"\xF0\x9F\x94\x94 Alarms unmuted: the mute time is up"}));
    EXPECT_FALSE(monitor->mute->muted);

    // A stale end does not cut a later mute short.
    monitor->muteAlarms(1min);
    monitor->unmuteAlarms();
    monitor->toggleMute();
    EXPECT_TRUE(monitor->mute->untilAlive);
    loop.advance(2min);
    EXPECT_TRUE(monitor->mute->muted);
    EXPECT_EQ(alerts->requests.size(), 2u) << "none while muted";
    EXPECT_EQ(linesOf("reminder").size(), 18u) << "but every reminder is logged";
    interval(5ms);
    interval();
    EXPECT_FALSE(monitor->mute->muted);
    EXPECT_EQ(linesOf("unmuted").back(), "\xF0\x9F\x94\x94 Alarms unmuted: the link is ALIVE");
    EXPECT_EQ(lines.end()[-2], stateAlive) << "the state line first";
    loop.advance(1500ms);
    EXPECT_EQ(linesOf("reminder").size(), 18u) << "no reminder once ALIVE";
    loop.advance(5min);  // silent again: DEAD, reminders anew, heard now
    EXPECT_EQ(linesOf("reminder").size(), 22u);
    EXPECT_EQ(linesOf("reminder").back(), "\xE2\x8F\xB0 Link still DEAD after 4 min");
    EXPECT_EQ(alerts->requests.size(), 7u);
}

// The user's message on each change: the state as a string argument, to
// the host and port given; a target that cannot be read says why.
TEST_F(LinkAlarmsTest, StateChangeSendsTheStateAsAnOscMessage) {
    udp::testing::Peer showControl(AF_INET);
    ASSERT_TRUE(showControl.ok());
    settings->stateMessage = "127.0.0.1:" + std::to_string(showControl.port()) + "/cue/9/go";
    start();
    interval(5ms);
    interval();
    loop.advance(2s);
    const auto wire = [](const osc::OSCMessage& message) { return udp::testing::text(message.rawData()); };
    EXPECT_EQ(showControl.receive(), wire(osc::OSCMessage("/cue/9/go", {osc::OSCValue(string("ALIVE"))})));
    EXPECT_EQ(showControl.receive(), wire(osc::OSCMessage("/cue/9/go", {osc::OSCValue(string("DEAD"))})));
    EXPECT_EQ(linesOf("stateMessage").back(), "\xF0\x9F\x93\xA3 Sent \xE2\x80\x9C/cue/9/go\xE2\x80\x9D \xE2\x80\x9C"
                                              "DEAD\xE2\x80\x9D to 127.0.0.1:" + std::to_string(showControl.port()));
    settings->stateMessage = "nowhere";
    interval(5ms);
    interval();
    EXPECT_EQ(linesOf("stateMessageFailed").back(),
              "\xE2\x80\xBC\xEF\xB8\x8F State message not sent: a port must follow the host, as in HOST:PORT/ADDRESS");
}

}  // namespace
}  // namespace vorn::monitor
