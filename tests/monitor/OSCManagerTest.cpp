#include "monitor/OSCManager.h"

#include "../udp/SocketTesting.h"
#include "dispatch/ManualMainLoop.h"
#include "net/OSCSocketError.h"
#include "osc/OSCMessage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vorn::monitor {
namespace {

using namespace std::chrono_literals;
using dispatch::testing::Countdown;
using dispatch::testing::patience;
using std::string;

// The log prefixes as the bytes an exported log must hold.
const string restarted = "\xF0\x9F\x94\x81 OSC server restarted on port ";
const string listening = "\xE2\x9C\x85 OSC server listening on port ";
const string startFailed = "\xE2\x9D\x8C Failed to start OSC server: ";
const string sendFailed = "\xE2\x80\xBC\xEF\xB8\x8F Error sending ping: ";
const string stateAlive = "\xF0\x9F\x94\x84 State changed to ALIVE";
const string stateDead = "\xF0\x9F\x94\x84 State changed to DEAD";

string sentLine(const string& address, const string& host, std::uint16_t port) {
    return "\xE2\x86\x92 Sent ping \xE2\x80\x9C" + address + "\xE2\x80\x9D to " + host + ":" + std::to_string(port);
}

string receivedLine(const string& address) {
    return "\xE2\x86\x90 Received \xE2\x80\x9C" + address + "\xE2\x80\x9D";
}

struct AlertCounts {
    int raised = 0;
    std::function<void()> onRaise;
};

class CountingAlert final : public DeadLinkAlert {
public:
    CountingAlert(std::shared_ptr<AlertCounts> counts, dispatch::MainLoop& loop)
        : counts_(std::move(counts)), loop_(loop) {}
    // Only the monitor holds the alert, so this runs when the monitor goes:
    // the empty task wakes a test that waits for that on the loop.
    ~CountingAlert() override {
        loop_.post([] {});
    }
    void raiseDeadLinkAlert() override {
        ++counts_->raised;
        if (counts_->onRaise) counts_->onRaise();
    }

private:
    std::shared_ptr<AlertCounts> counts_;
    dispatch::MainLoop& loop_;
};

class OSCManagerTest : public ::testing::Test {
protected:
    void TearDown() override { drop(); }

    // A far end that the test owns, a monitor pinging it once a second and
    // listening on an ephemeral port.
    std::shared_ptr<OSCSettings> makeSettings(std::int64_t receivePort = 0) {
        return std::make_shared<OSCSettings>("127.0.0.1", peer.port(), receivePort, "/eos/ping", "/eos/out/ping", 1.0,
                                             false, 1.0, true, "", std::make_shared<MemorySettingsStore>());
    }

    // Creates the monitor and waits for the outcome of its first server start.
    void start(std::shared_ptr<OSCSettings> withSettings = nullptr) {
        ASSERT_TRUE(peer.ok());
        settings = withSettings ? std::move(withSettings) : makeSettings();
        monitor = OSCManager::create(settings, loop, makeAlert());
        ASSERT_TRUE(waitForLines(2));
    }

    std::shared_ptr<DeadLinkAlert> makeAlert() {
        return withAlert ? std::make_shared<CountingAlert>(alerts, loop) : nullptr;
    }

    bool waitForLines(std::size_t count) {
        return loop.runUntil([&] { return monitor->log.size() >= count; }, patience);
    }

    // Lets go of the monitor and waits until no background task still holds
    // it, so that nothing outlives the loop it posts to.
    void drop() {
        std::weak_ptr<OSCManager> weak = monitor;
        monitor.reset();
        EXPECT_TRUE(loop.runUntil([&] { return weak.expired(); }, patience));
    }

    void tick() { loop.advance(1s); }

    void reply(const string& address = "/eos/out/ping") {
        monitor->handleIncomingMessage(osc::OSCMessage(address));
        loop.runPending();
    }

    const string& lastLine() const { return monitor->log.back(); }

    std::size_t countLines(const string& line) const {
        const auto& lines = monitor->log.lines();
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
    }

    // The port a real reply has to reach.
    std::uint16_t listeningPort() const {
        const auto server = monitor->server();
        return server ? server->boundPort() : 0;
    }

    dispatch::ManualMainLoop loop;
    udp::testing::Peer peer{AF_INET};
    std::shared_ptr<AlertCounts> alerts = std::make_shared<AlertCounts>();
    bool withAlert = true;
    std::shared_ptr<OSCSettings> settings;
    std::shared_ptr<OSCManager> monitor;
};

TEST_F(OSCManagerTest, RestartLineComesFirstThenTheStartOutcome) {
    start();
    EXPECT_EQ(monitor->log.lines(), (std::vector<string>{restarted + "0", listening + "0"}));
    const auto server = monitor->server();
    ASSERT_NE(server, nullptr);
    EXPECT_TRUE(server->isStarted());
    EXPECT_NE(server->boundPort(), 0);
    EXPECT_FALSE(monitor->isAlive.get());

    // A second launch, as the main window does when shown, finds the server
    // running: it only reports again and keeps the same server.
    monitor->startServerTask();
    ASSERT_TRUE(waitForLines(3));
    EXPECT_EQ(lastLine(), listening + "0");
    EXPECT_EQ(monitor->server(), server);

    // The same receive port again is no change.
    settings->receivePort = settings->receivePort.get();
    loop.runPending();
    EXPECT_EQ(monitor->log.size(), 3u);
    EXPECT_EQ(monitor->server(), server);
}

// The rows of the state table, one interval after another.
TEST_F(OSCManagerTest, WalksEveryTransitionOfTheStateTable) {
    start();
    std::size_t linesAtAlert = 0;
    alerts->onRaise = [&] { linesAtAlert = monitor->log.size(); };

    for (std::int64_t n = 1; n <= 2; ++n) {
        tick();  // DEAD, silent -> DEAD, without announcing it
        EXPECT_EQ(monitor->consecutiveMisses(), n);
        EXPECT_EQ(lastLine(), sentLine("/eos/ping", "127.0.0.1", peer.port()));
    }
    EXPECT_FALSE(monitor->isAlive.get());
    EXPECT_EQ(monitor->log.size(), 2u + 2u);

    reply();
    EXPECT_FALSE(monitor->isAlive.get()) << "the verdict waits for the tick";
    tick();  // DEAD, reply -> ALIVE; the ping goes out before the verdict
    EXPECT_TRUE(monitor->isAlive.get());
    EXPECT_EQ(monitor->consecutiveMisses(), 0);
    const auto& lines = monitor->log.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], sentLine("/eos/ping", "127.0.0.1", peer.port()));
    EXPECT_EQ(lines.back(), stateAlive);

    tick();  // ALIVE, first silent interval -> ALIVE
    EXPECT_TRUE(monitor->isAlive.get());
    EXPECT_EQ(monitor->consecutiveMisses(), 1);
    reply();
    tick();  // ALIVE, reply -> ALIVE, misses reset, nothing announced
    EXPECT_TRUE(monitor->isAlive.get());
    EXPECT_EQ(monitor->consecutiveMisses(), 0);
    EXPECT_EQ(countLines(stateAlive), 1u);

    tick();
    tick();  // ALIVE, second silent interval -> DEAD
    EXPECT_FALSE(monitor->isAlive.get());
    EXPECT_EQ(monitor->consecutiveMisses(), 2);
    EXPECT_EQ(lastLine(), stateDead);
    EXPECT_EQ(alerts->raised, 1);
    EXPECT_EQ(linesAtAlert, monitor->log.size()) << "the alert follows the state line";

    tick();
    tick();  // DEAD, silent -> DEAD, misses keep growing
    EXPECT_EQ(monitor->consecutiveMisses(), 4);
    EXPECT_EQ(countLines(stateDead), 1u);
    EXPECT_EQ(alerts->raised, 1);

    // A second death is a second transition and a second alert.
    reply();
    tick();
    tick();
    tick();
    EXPECT_EQ(countLines(stateAlive), 2u);
    EXPECT_EQ(countLines(stateDead), 2u);
    EXPECT_EQ(alerts->raised, 2);
}

TEST_F(OSCManagerTest, SeveralRepliesInOneIntervalCountAsOneVerdict) {
    start();
    for (int i = 0; i < 3; ++i) reply("/eos/out/ping");
    EXPECT_EQ(monitor->heartbeatCount.get(), 3);
    EXPECT_EQ(countLines(receivedLine("/eos/out/ping")), 3u);
    tick();
    tick();
    EXPECT_TRUE(monitor->isAlive.get()) << "three replies are one interval's credit, not three";
    EXPECT_EQ(monitor->consecutiveMisses(), 1);
}

TEST_F(OSCManagerTest, RepliesMatchByCaseSensitiveSubstring) {
    struct Case {
        string desiredReply;
        string address;
        bool matches;
    };
    const Case cases[] = {
        {"/eos/out/ping", "/eos/out/ping", true},
        {"/eos/out/ping", "/eos/out/ping/extra", true},
        {"/eos/out/ping", "/x/eos/out/ping", true},
        {"/eos/out/ping", "/EOS/OUT/PING", false},
        {"/eos/out/ping", "/eos/out", false},
        {"/eos/out/ping", "/eos/ping/out", false},
        {"ping", "/eos/out/ping", true},
        {"", "/eos/out/ping", false},
        {"", "/", false},
    };
    start();
    for (const auto& test : cases) {
        SCOPED_TRACE(test.desiredReply + " in " + test.address);
        settings->desiredReply = test.desiredReply;
        const auto heartbeats = monitor->heartbeatCount.get();
        const auto lines = monitor->log.size();
        reply(test.address);
        EXPECT_EQ(monitor->log.size(), lines + 1);
        EXPECT_EQ(lastLine(), receivedLine(test.address)) << "every message is logged";
        EXPECT_EQ(monitor->heartbeatCount.get(), heartbeats + (test.matches ? 1 : 0));
        EXPECT_EQ(monitor->lastReplyReceived(), test.matches);
        tick();
        EXPECT_EQ(monitor->consecutiveMisses() == 0, test.matches);
    }
}

TEST_F(OSCManagerTest, RestartingThePingTimerMovesThePhaseOnly) {
    start();
    reply();
    tick();
    tick();
    ASSERT_TRUE(monitor->isAlive.get());
    ASSERT_EQ(monitor->consecutiveMisses(), 1);
    const auto pings = countLines(sentLine("/eos/ping", "127.0.0.1", peer.port()));

    loop.advance(600ms);
    monitor->startPingTimer();
    loop.advance(900ms);  // the old timer would have fired 400 ms in
    EXPECT_EQ(countLines(sentLine("/eos/ping", "127.0.0.1", peer.port())), pings);
    EXPECT_TRUE(monitor->isAlive.get());
    EXPECT_EQ(monitor->consecutiveMisses(), 1);
    loop.advance(100ms);
    EXPECT_EQ(countLines(sentLine("/eos/ping", "127.0.0.1", peer.port())), pings + 1);
}

// The alarm setting counts as it stands when the state change is handled,
// not when the verdict is drawn.
TEST_F(OSCManagerTest, AlarmIsReadWhenTheStateChangeIsHandled) {
    struct Case {
        bool alarmAtVerdict;
        bool alarmWhenHandled;
        int alerts;
    };
    for (const auto& test : {Case{true, false, 0}, Case{false, true, 1}, Case{false, false, 0}}) {
        SCOPED_TRACE(::testing::Message() << test.alarmAtVerdict << " then " << test.alarmWhenHandled);
        alerts->raised = 0;
        start();
        reply();
        tick();
        tick();
        settings->alarmEnabled = test.alarmAtVerdict;
        monitor->sendPing();  // second silent interval
        EXPECT_FALSE(monitor->isAlive.get());
        EXPECT_NE(lastLine(), stateDead) << "announced in a later turn";
        settings->alarmEnabled = test.alarmWhenHandled;
        loop.runPending();
        EXPECT_EQ(lastLine(), stateDead);
        EXPECT_EQ(alerts->raised, test.alerts);
        drop();
    }
}

TEST_F(OSCManagerTest, MonitorWithoutAlertStillAnnouncesDeath) {
    withAlert = false;
    start();
    reply();
    tick();
    tick();
    tick();
    EXPECT_EQ(lastLine(), stateDead);
}

// A real reply over loopback: the ping reaches the far end, its answer
// reaches the monitor's server and is credited at the next tick.
TEST_F(OSCManagerTest, ReplyOverLoopbackIsCredited) {
    start();
    std::vector<std::pair<std::size_t, string>> logAtHeartbeat;
    auto watch = monitor->heartbeatCount.subscribe([&](const std::int64_t& count) {
        if (count > 0) logAtHeartbeat.emplace_back(monitor->log.size(), lastLine());
    });

    tick();
    const auto ping = peer.receive();
    ASSERT_TRUE(ping.has_value());
    EXPECT_EQ(*ping, udp::testing::text(osc::OSCMessage("/eos/ping").rawData()));

    ASSERT_TRUE(peer.sendTo(listeningPort(), udp::testing::text(osc::OSCMessage("/eos/out/ping").rawData())));
    ASSERT_TRUE(loop.runUntil([&] { return monitor->heartbeatCount.get() == 1; }, patience));
    ASSERT_EQ(logAtHeartbeat.size(), 1u);
    EXPECT_EQ(logAtHeartbeat[0].second, receivedLine("/eos/out/ping")) << "the line comes before the heartbeat";

    tick();
    EXPECT_TRUE(monitor->isAlive.get());
    EXPECT_EQ(lastLine(), stateAlive);
}

TEST_F(OSCManagerTest, ReceivePortInUseFailsUntilARestartOnAFreePort) {
    ASSERT_TRUE(peer.ok());
    auto holder = net::OSCServer::create(0, net::OSCTimeTagMode::ignore);
    holder->start();
    const std::uint16_t heldPort = holder->boundPort();
    ASSERT_NE(heldPort, 0);
    string description;
    try {
        net::OSCServer::create(heldPort, net::OSCTimeTagMode::ignore)->start();
    } catch (const net::OSCSocketError& error) {
        description = error.what();
    }
    ASSERT_FALSE(description.empty()) << "the port must really be held";

    start(makeSettings(heldPort));
    EXPECT_EQ(monitor->log.lines(),
              (std::vector<string>{restarted + std::to_string(heldPort), startFailed + description}));
    EXPECT_FALSE(monitor->server()->isStarted());

    // Monitoring goes on; what reaches the held port is not ours.
    ASSERT_TRUE(peer.sendTo(heldPort, udp::testing::text(osc::OSCMessage("/eos/out/ping").rawData())));
    tick();
    tick();
    EXPECT_EQ(countLines(sentLine("/eos/ping", "127.0.0.1", peer.port())), 2u);
    EXPECT_EQ(monitor->consecutiveMisses(), 2);

    // The observer still sees the old value; the explicit restart after the
    // assignment uses the new one, as the settings window does.
    settings->receivePort = 0;
    monitor->restartServer();
    // The restart the observer made may start the new server too, so the
    // line can come twice.
    ASSERT_TRUE(loop.runUntil([&] { return countLines(listening + "0") >= 1; }, patience));
    EXPECT_EQ(countLines(restarted + "0"), 1u);
    for (const auto& line : monitor->log.lines()) EXPECT_FALSE(line.starts_with("\xE2\x86\x90")) << line;

    ASSERT_TRUE(peer.sendTo(listeningPort(), udp::testing::text(osc::OSCMessage("/eos/out/ping").rawData())));
    ASSERT_TRUE(loop.runUntil([&] { return monitor->heartbeatCount.get() == 1; }, patience));
    EXPECT_EQ(countLines(receivedLine("/eos/out/ping")), 1u);
    tick();
    EXPECT_TRUE(monitor->isAlive.get());
}

TEST_F(OSCManagerTest, ReceivePortOutOfRangeIsRefusedNotWrapped) {
    for (const std::int64_t port : {std::int64_t{65536}, std::int64_t{-1}, std::int64_t{1} << 40}) {
        SCOPED_TRACE(port);
        start(makeSettings(port));
        const string failure =
            startFailed + "Receive port " + std::to_string(port) + " is outside the range 0 to 65535.";
        EXPECT_EQ(monitor->log.lines(), (std::vector<string>{restarted + std::to_string(port), failure}));
        EXPECT_EQ(monitor->server(), nullptr);

        monitor->startServerTask();
        ASSERT_TRUE(waitForLines(3));
        EXPECT_EQ(lastLine(), failure);

        // Pings and verdicts carry on without a server.
        reply();
        tick();
        EXPECT_TRUE(monitor->isAlive.get());
        drop();
    }
}

TEST_F(OSCManagerTest, TargetPortOutOfRangeIsLoggedAndTheIntervalStillJudged) {
    for (const std::int64_t port : {std::int64_t{65536}, std::int64_t{-5}}) {
        SCOPED_TRACE(port);
        auto far = makeSettings();
        far->targetPort = port;
        start(far);
        reply();
        tick();
        const auto& lines = monitor->log.lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2],
                  sendFailed + "Target port " + std::to_string(port) + " is outside the range 0 to 65535.");
        EXPECT_EQ(lines.back(), stateAlive);
        EXPECT_EQ(monitor->clientPool().nextClient(), monitor->clientPool().clients()[1])
            << "a failed send still moves the rotation on";
        drop();
    }
}

TEST_F(OSCManagerTest, ChangingTheTargetReachesTheNextPing) {
    start();
    udp::testing::Peer other(AF_INET);
    ASSERT_TRUE(other.ok());
    settings->targetPort = other.port();
    tick();
    EXPECT_EQ(lastLine(), sentLine("/eos/ping", "127.0.0.1", other.port()));
    EXPECT_TRUE(other.receive().has_value());
}

TEST_F(OSCManagerTest, DroppedMonitorIgnoresItsStartTaskAndHandler) {
    ASSERT_TRUE(peer.ok());
    settings = makeSettings();
    // Dropped before the start task can run, or while it runs.
    monitor = OSCManager::create(settings, loop, makeAlert());
    drop();

    start();
    const auto server = monitor->server();
    Countdown handled;
    server->receiveQueue()->sync([&] {
        server->setHandler([&handled, installed = server->handler()](const osc::OSCMessage& message,
                                                                     const osc::OSCTimeTag& timeTag,
                                                                     const string& host, std::uint16_t port) {
            installed(message, timeTag, host, port);
            handled.arrive();
        });
    });
    server->receiveQueue()->sync([] {});  // the swap itself is queued

    std::weak_ptr<OSCManager> weak = monitor;
    drop();
    ASSERT_TRUE(weak.expired());
    ASSERT_TRUE(peer.sendTo(server->boundPort(), udp::testing::text(osc::OSCMessage("/eos/out/ping").rawData())));
    EXPECT_TRUE(handled.wait());
    EXPECT_EQ(loop.advance(5s), 0u) << "no timer, line or heartbeat of the monitor is left";
}

// Replies arrive on other threads while the main thread ticks and edits
// the reply text; ThreadSanitizer watches the values they share.
TEST_F(OSCManagerTest, RepliesFromAnotherThreadWhileTheMainThreadWorks) {
    start();
    constexpr int replies = 200;
    std::thread sender([&] {
        for (int i = 0; i < replies; ++i) monitor->handleIncomingMessage(osc::OSCMessage("/eos/out/ping"));
    });
    const string texts[] = {"/eos/out/ping", "out/ping", "/eos/"};
    for (int i = 0; i < replies; ++i) {
        settings->desiredReply = texts[i % 3];
        monitor->sendPing();
        loop.runPending();
    }
    sender.join();
    loop.runPending();
    EXPECT_EQ(monitor->heartbeatCount.get(), replies);
    EXPECT_EQ(countLines(receivedLine("/eos/out/ping")), static_cast<std::size_t>(replies));
    // Whichever tick came after the last reply took it, or this one does.
    monitor->sendPing();
    loop.runPending();
    EXPECT_GE(countLines(stateAlive), 1u);
}

}  // namespace
}  // namespace vorn::monitor
