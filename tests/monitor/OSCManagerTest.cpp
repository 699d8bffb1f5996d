#include "monitor/OSCManager.h"

#include "dispatch/ManualMainLoop.h"
#include "osc/OSCMessage.h"
#include "support/SocketTesting.h"

#include <gtest/gtest.h>

#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdint>
#include <memory>
#include <set>
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

string receivedLine(const string& address) { return "\xE2\x86\x90 Received \xE2\x80\x9C" + address + "\xE2\x80\x9D"; }

string wire(const string& address) { return udp::testing::text(osc::OSCMessage(address).rawData()); }

struct CountingAlert final : DeadLinkAlert {
    void raiseDeadLinkAlert() override {
        ++raised;
        if (onRaise) onRaise();
    }
    int raised = 0;
    std::function<void()> onRaise;
};

class OSCManagerTest : public ::testing::Test {
protected:
    void TearDown() override { drop(); }

    // A far end that the test owns, pinged once a second.
    std::shared_ptr<OSCSettings> makeSettings(std::int64_t receivePort = 0) {
        return std::make_shared<OSCSettings>("127.0.0.1", peer.port(), receivePort, "/eos/ping", "/eos/out/ping", 1.0,
                                             false, 1.0, true, "", std::make_shared<MemorySettingsStore>());
    }

    // Creates the monitor and waits for the outcome of its first server start.
    void start(std::shared_ptr<OSCSettings> withSettings = nullptr, bool withAlert = true) {
        ASSERT_TRUE(peer.ok());
        settings = withSettings ? std::move(withSettings) : makeSettings();
        monitor = OSCManager::create(settings, loop, withAlert ? alert : nullptr, system);
        ASSERT_TRUE(loop.runUntil([&] { return monitor->log.size() >= 2; }, patience));
    }

    // Waits until no background task still holds the monitor, so that nothing
    // outlives the loop it posts to.
    void drop() {
        std::weak_ptr<OSCManager> weak = monitor;
        monitor.reset();
        EXPECT_TRUE(loop.runUntil([&] { return weak.expired(); }, patience));
    }

    void tick(int intervals = 1) { loop.advance(intervals * 1s); }
    void reply(const string& address = "/eos/out/ping") {
        monitor->handleIncomingMessage(osc::OSCMessage(address));
        loop.runPending();
    }
    const string& lastLine() const { return monitor->log.back(); }
    std::size_t countLines(const string& line) const {
        const auto lines = monitor->log.lines();
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
    }
    string sentLine() const {
        return "\xE2\x86\x92 Sent ping \xE2\x80\x9C/eos/ping\xE2\x80\x9D to 127.0.0.1:" + std::to_string(peer.port());
    }

    dispatch::ManualMainLoop loop;
    udp::testing::Peer peer{AF_INET};
    std::shared_ptr<CountingAlert> alert = std::make_shared<CountingAlert>();
    std::shared_ptr<OSCSettings> settings;
    // What the ping clients call instead of the kernel, if set before start().
    std::shared_ptr<udp::testing::FaultySystemCalls> system;
    std::shared_ptr<OSCManager> monitor;
};

// The rows of the state table, one interval after another.
TEST_F(OSCManagerTest, WalksEveryTransitionOfTheStateTable) {
    start();
    std::size_t linesAtAlert = 0;
    alert->onRaise = [&] { linesAtAlert = monitor->log.size(); };

    for (std::int64_t n = 1; n <= 2; ++n) {
        tick();  // DEAD, silent -> DEAD, without announcing it
        EXPECT_EQ(monitor->consecutiveMisses(), n);
        EXPECT_EQ(lastLine(), sentLine());
    }
    EXPECT_EQ(monitor->log.size(), 2u + 2u);

    for (int i = 0; i < 3; ++i) reply();
    EXPECT_EQ(monitor->heartbeatCount.get(), 3);
    EXPECT_FALSE(monitor->isAlive.get()) << "the verdict waits for the tick";
    tick();  // DEAD, reply -> ALIVE; the ping goes out before the verdict
    EXPECT_TRUE(monitor->isAlive.get());
    EXPECT_EQ(monitor->consecutiveMisses(), 0);
    const auto lines = monitor->log.lines();
    EXPECT_EQ(std::vector<string>(lines.end() - 2, lines.end()), (std::vector<string>{sentLine(), stateAlive}));

    tick();  // ALIVE, first silent interval -> ALIVE; three replies were one interval's credit
    EXPECT_TRUE(monitor->isAlive.get());
    EXPECT_EQ(monitor->consecutiveMisses(), 1);
    reply();
    tick();  // ALIVE, reply -> ALIVE, misses reset, nothing announced
    EXPECT_EQ(monitor->consecutiveMisses(), 0);
    EXPECT_EQ(countLines(stateAlive), 1u);

    tick(2);  // ALIVE, second silent interval -> DEAD
    EXPECT_FALSE(monitor->isAlive.get());
    EXPECT_EQ(lastLine(), stateDead);
    EXPECT_EQ(alert->raised, 1);
    EXPECT_EQ(linesAtAlert, monitor->log.size()) << "the alert follows the state line";

    tick(2);  // DEAD, silent -> DEAD, misses keep growing
    EXPECT_EQ(monitor->consecutiveMisses(), 4);
    EXPECT_EQ(countLines(stateDead), 1u);
    EXPECT_EQ(alert->raised, 1);

    // A second death is a second transition and a second alert.
    reply();
    tick(3);
    EXPECT_EQ(countLines(stateAlive), 2u);
    EXPECT_EQ(countLines(stateDead), 2u);
    EXPECT_EQ(alert->raised, 2);
}

TEST_F(OSCManagerTest, RepliesMatchByCaseSensitiveSubstringAndEveryMessageIsLogged) {
    const std::tuple<string, string, bool> cases[] = {
        {"/eos/out/ping", "/x/eos/out/ping/extra", true}, {"/eos/out/ping", "/EOS/OUT/PING", false},
        {"/eos/out/ping", "/eos/out", false},             {"ping", "/eos/out/ping", true},
        {"", "/eos/out/ping", false},
    };
    start();
    for (const auto& [desiredReply, address, matches] : cases) {
        SCOPED_TRACE(desiredReply + " in " + address);
        settings->desiredReply = desiredReply;
        const auto heartbeats = monitor->heartbeatCount.get();
        reply(address);
        EXPECT_EQ(lastLine(), receivedLine(address));
        EXPECT_EQ(monitor->heartbeatCount.get(), heartbeats + (matches ? 1 : 0));
        tick();
        EXPECT_EQ(monitor->consecutiveMisses() == 0, matches);
    }
}

// The alarm setting counts as it stands when the state change is handled,
// not when the verdict is drawn; a monitor without an alert still announces.
TEST_F(OSCManagerTest, AlarmIsReadWhenTheStateChangeIsHandled) {
    struct Case {
        bool withAlert, alarmAtVerdict, alarmWhenHandled;
        int alerts;
    };
    for (const auto& test : {Case{true, true, false, 0}, Case{true, false, true, 1}, Case{false, true, true, 0}}) {
        SCOPED_TRACE(::testing::Message() << test.withAlert << test.alarmAtVerdict << test.alarmWhenHandled);
        alert->raised = 0;
        start(nullptr, test.withAlert);
        reply();
        tick(2);
        settings->alarmEnabled = test.alarmAtVerdict;
        monitor->sendPing();  // second silent interval
        EXPECT_FALSE(monitor->isAlive.get());
        EXPECT_NE(lastLine(), stateDead) << "announced in a later turn";
        settings->alarmEnabled = test.alarmWhenHandled;
        loop.runPending();
        EXPECT_EQ(lastLine(), stateDead);
        EXPECT_EQ(alert->raised, test.alerts);
        drop();
    }
}

// The restart line comes first, then the start's outcome; real pings leave
// from the rotating clients, and a real answer reaches the server and is
// credited at the next tick.
TEST_F(OSCManagerTest, ReplyOverLoopbackIsCredited) {
    start();
    EXPECT_EQ(monitor->log.lines(), (std::vector<string>{restarted + "0", listening + "0"}));
    const auto server = monitor->server();
    // A second start, as the main window makes when shown, only reports again;
    // the same receive port again is no change.
    monitor->startServerTask();
    ASSERT_TRUE(loop.runUntil([&] { return monitor->log.size() >= 3; }, patience));
    EXPECT_EQ(lastLine(), listening + "0");
    settings->receivePort = settings->receivePort.get();
    loop.runPending();
    EXPECT_EQ(monitor->log.size(), 3u);
    EXPECT_EQ(monitor->server(), server);

    std::vector<string> logAtHeartbeat;
    auto watch = monitor->heartbeatCount.subscribe([&](const std::int64_t& count) {
        if (count > 0) logAtHeartbeat.push_back(lastLine());
    });

    std::set<std::uint16_t> fromPorts;
    for (int i = 0; i < 3; ++i) {
        tick();
        std::uint16_t from = 0;
        EXPECT_EQ(peer.receive(&from), wire("/eos/ping"));
        fromPorts.insert(from);
    }
    EXPECT_EQ(fromPorts.size(), 3u);

    ASSERT_TRUE(peer.sendTo(server->boundPort(), wire("/eos/out/ping")));
    ASSERT_TRUE(loop.runUntil([&] { return monitor->heartbeatCount.get() == 1; }, patience));
    EXPECT_EQ(logAtHeartbeat, std::vector<string>{receivedLine("/eos/out/ping")}) << "the line comes first";
    tick();
    EXPECT_TRUE(monitor->isAlive.get());
    EXPECT_EQ(lastLine(), stateAlive);
}

// Messages that keep coming without a reply are pointed out once, with their
// sender, and again only after a reply came in between. Log subscribers learn
// each received line's sender beside it.
TEST_F(OSCManagerTest, MessagesThatNeverMatchAreSaidOnceWithTheirSender) {
    start();
    std::vector<string> senders;
    auto watch = monitor->log.subscribe([&](std::size_t, const string& line) {
        if (line.starts_with("\xE2\x86\x90")) senders.push_back(monitor->senderOfLineBeingAppended());
    });
    const string warning = "\xE2\x9A\xA0\xEF\xB8\x8F messages arrive from [::1]:9001 but none contains "
                           "\xE2\x80\x9C/eos/out/ping\xE2\x80\x9D";
    const auto other = [&] {
        monitor->handleIncomingMessage(osc::OSCMessage("/eos/out/pong"), "::1", 9001);
        loop.runPending();
    };
    other();
    tick();
    EXPECT_EQ(countLines(warning), 0u) << "one interval is no pattern yet";
    tick();  // silent: neither counts nor resets
    other();
    tick();
    EXPECT_EQ(countLines(warning), 1u);
    other();
    tick(2);
    EXPECT_EQ(countLines(warning), 1u) << "said once";
    monitor->handleIncomingMessage(osc::OSCMessage("/eos/out/ping"), "127.0.0.1", 8001);
    loop.runPending();
    tick();
    for (int i = 0; i < 2; ++i) {
        other();
        tick();
    }
    EXPECT_EQ(countLines(warning), 2u) << "again after a reply";
    EXPECT_EQ(senders, (std::vector<string>{"[::1]:9001", "[::1]:9001", "[::1]:9001", "127.0.0.1:8001",
                                            "[::1]:9001", "[::1]:9001"}));
    EXPECT_EQ(monitor->senderOfLineBeingAppended(), "");
}

// Anyone who reaches the receive port writes the address: the line shows it
// escaped, whole, on one line (the app's log, its export and the terminal
// monitor all print this line).
TEST_F(OSCManagerTest, ReceivedAddressIsEscapedOnOneLine) {
    start();
    const string hostile = "/eos/out/ping\r\x1B[8m\x1B]0;owned\x07\n\x7F";
    ASSERT_TRUE(peer.sendTo(monitor->server()->boundPort(), wire(hostile)));
    ASSERT_TRUE(loop.runUntil([&] { return monitor->heartbeatCount.get() == 1; }, patience))
        << "the match is made on the address as it came";
    EXPECT_EQ(lastLine(), receivedLine("/eos/out/ping\\x0D\\x1B[8m\\x1B]0;owned\\x07\\x0A\\x7F"));
}

// The program was held up (stopped with Ctrl-Z, its main thread blocked on
// output) for several intervals while the far end kept answering. On the way
// out of the stall the monitor pings once, not once per missed interval, and
// does not cry DEAD: neither when the answer came in during the stall, nor
// when it still waits unread behind the late tick, even with one answer
// already lost before the stall, and whether the stall ends just before a
// tick of the grid or halfway between two.
TEST_F(OSCManagerTest, AStallWhileThePeerAnswersGivesOneLatePingAndNoFalseDead) {
    struct Case {
        const char* name;
        bool answeredDuringTheStall;
        bool answerLostBefore;
        std::chrono::milliseconds stall;
    };
    for (const auto& test : {Case{"answered during the stall", true, false, 5500ms},
                             Case{"answered during the stall, one lost before", true, true, 5990ms},
                             Case{"answer unread behind the late tick", false, false, 5500ms},
                             Case{"answer unread, one lost before, stall ends at a tick", false, true, 5990ms}}) {
        SCOPED_TRACE(test.name);
        alert->raised = 0;
        start();
        reply();
        tick();  // ALIVE
        reply();
        tick();  // the ping the far end answers during the stall
        if (test.answerLostBefore) tick();
        ASSERT_TRUE(monitor->isAlive.get());
        const auto pings = countLines(sentLine());

        if (test.answeredDuringTheStall) {
            loop.stall(100ms);
            monitor->handleIncomingMessage(osc::OSCMessage("/eos/out/ping"));
            loop.stall(test.stall - 100ms);
        } else {
            loop.stall(test.stall);
        }
        loop.runPending();  // the loop runs again: one late tick
        EXPECT_EQ(countLines(sentLine()), pings + 1) << "one ping for the whole stall";
        // The timer goes on at its phase: with a stall ending 10 ms before a
        // tick of its grid, that tick comes before the late ping's answer
        // and before the unread answer is read.
        const bool tickRightAfter = test.stall == 5990ms;
        loop.advance(10ms);
        EXPECT_EQ(countLines(sentLine()), pings + (tickRightAfter ? 2 : 1));
        if (!test.answeredDuringTheStall) reply();  // read at last
        reply();                                     // the late ping's answer
        tick();
        EXPECT_EQ(countLines(sentLine()), pings + (tickRightAfter ? 3 : 2));
        EXPECT_TRUE(monitor->isAlive.get());
        EXPECT_EQ(countLines(stateDead), 0u);
        EXPECT_EQ(alert->raised, 0);
        EXPECT_EQ(monitor->consecutiveMisses(), 0);
        drop();
    }
}

// Letting a late tick off must not hide a dead link from a loop that is
// always late: the far end is silent, and every tick comes two and a half
// intervals after the one before.
TEST_F(OSCManagerTest, ALoopThatIsAlwaysLateStillFindsADeadLink) {
    start();
    reply();
    tick();
    ASSERT_TRUE(monitor->isAlive.get());
    for (int i = 0; i < 4 && monitor->isAlive.get(); ++i) {
        loop.stall(2500ms);
        loop.runPending();
    }
    EXPECT_FALSE(monitor->isAlive.get());
    EXPECT_EQ(countLines(stateDead), 1u);
    EXPECT_EQ(alert->raised, 1);
}

TEST_F(OSCManagerTest, ReceivePortInUseFailsUntilARestartOnAFreePort) {
    udp::testing::Peer holder(AF_INET);
    const std::uint16_t heldPort = holder.port();
    start(makeSettings(heldPort));
    const auto lines = monitor->log.lines();
    EXPECT_EQ(lines.front(), restarted + std::to_string(heldPort));
    EXPECT_TRUE(lines.back().starts_with(startFailed) && lines.back().find("in use") != string::npos) << lines.back();
    EXPECT_FALSE(monitor->server()->isStarted());

    // Monitoring goes on; what reaches the held port is not ours.
    ASSERT_TRUE(peer.sendTo(heldPort, wire("/eos/out/ping")));
    tick(2);
    EXPECT_EQ(countLines(sentLine()), 2u);
    EXPECT_EQ(monitor->consecutiveMisses(), 2);

    // The observer sees the old value; the explicit restart after the
    // assignment uses the new one, as the settings window does. So the
    // listening line may come twice.
    settings->receivePort = 0;
    monitor->restartServer();
    ASSERT_TRUE(loop.runUntil([&] { return countLines(listening + "0") >= 1; }, patience));
    EXPECT_EQ(countLines(restarted + "0"), 1u);
    EXPECT_EQ(monitor->heartbeatCount.get(), 0);

    ASSERT_TRUE(peer.sendTo(monitor->server()->boundPort(), wire("/eos/out/ping")));
    ASSERT_TRUE(loop.runUntil([&] { return monitor->heartbeatCount.get() == 1; }, patience));
    tick();
    EXPECT_TRUE(monitor->isAlive.get());
}

// Only a hand-edited file holds such ports: refused with a reason, never wrapped.
TEST_F(OSCManagerTest, OutOfRangePortsAreRefusedAndMonitoringGoesOn) {
    for (const auto& [receivePort, targetPort] : {std::pair<std::int64_t, std::int64_t>{65536, -5}, {-1, 65536}}) {
        SCOPED_TRACE(receivePort);
        auto far = makeSettings(receivePort);
        far->targetPort = targetPort;
        start(far);
        const string failure =
            startFailed + "Receive port " + std::to_string(receivePort) + " is outside the range 0 to 65535.";
        EXPECT_EQ(monitor->log.lines(), (std::vector<string>{restarted + std::to_string(receivePort), failure}));
        EXPECT_EQ(monitor->server(), nullptr);
        monitor->startServerTask();
        ASSERT_TRUE(loop.runUntil([&] { return monitor->log.size() >= 3; }, patience));
        EXPECT_EQ(lastLine(), failure);

        reply();
        tick();
        const auto lines = monitor->log.lines();
        EXPECT_EQ(lines[lines.size() - 2],
                  sendFailed + "Target port " + std::to_string(targetPort) + " is outside the range 0 to 65535.");
        EXPECT_EQ(lines.back(), stateAlive);
        EXPECT_EQ(monitor->clientPool().nextClient(), monitor->clientPool().clients()[1])
            << "a failed send still moves the rotation on";
        drop();
    }
}

// Pings that cannot leave: a mistyped console name (every ping says so once
// the resolver has answered, from each client of the pool and from one used
// a second time), a kernel without a route, and a stored ping address holding
// a null, which no peer could read. Each failure follows its ping's line, the
// interval is judged as a silent one, and once the route is back the next
// ping reaches the far end without an error.
TEST_F(OSCManagerTest, PingsThatCannotBeSentAreEachLoggedAsNotSent) {
    system = std::make_shared<udp::testing::FaultySystemCalls>();
    system->resolve("console.invalid", "", nullptr, EAI_NONAME);
    auto far = makeSettings();
    far->targetIP = "console.invalid";
    start(far);
    const string sent = "\xE2\x86\x92 Sent ping \xE2\x80\x9C/eos/ping\xE2\x80\x9D to console.invalid:" +
                        std::to_string(peer.port());
    const string failure = sendFailed + ::gai_strerror(EAI_NONAME);
    std::vector<string> expected = monitor->log.lines();
    const std::size_t pings = OSCManager::clientCount + 2;
    for (std::size_t n = 1; n <= pings; ++n) {
        tick();
        ASSERT_TRUE(loop.runUntil([&] { return countLines(failure) == n; }, patience)) << "ping " << n;
        expected.insert(expected.end(), {sent, failure});
    }
    EXPECT_EQ(monitor->log.lines(), expected);
    EXPECT_EQ(monitor->consecutiveMisses(), static_cast<std::int64_t>(pings));
    drop();

    start();
    for (const int error : {ENETUNREACH, EHOSTUNREACH}) {
        SCOPED_TRACE(error);
        const auto before = monitor->log.size();
        system->failSendto(error, 1);
        tick();
        ASSERT_TRUE(loop.runUntil([&] { return monitor->log.size() == before + 2; }, patience));
        EXPECT_EQ(monitor->log.lines()[before], sentLine());
        EXPECT_TRUE(lastLine().starts_with(sendFailed) && lastLine().find(std::strerror(error)) != string::npos)
            << lastLine();
    }
    EXPECT_EQ(monitor->consecutiveMisses(), 2);
    tick();
    EXPECT_EQ(peer.receive(), wire("/eos/ping"));
    // The client reports on its socket queue: once that has caught up, an
    // error line would be on its way to the main loop.
    monitor->clientPool().clients()[2]->udpSocket()->performBlock([] {});
    loop.runPending();
    EXPECT_EQ(lastLine(), sentLine());
    EXPECT_EQ(monitor->consecutiveMisses(), 3);
    drop();

    auto withNull = makeSettings();
    withNull->pingMessage = string("/eos\0ping", 9);
    start(withNull);
    tick();
    EXPECT_EQ(countLines(sendFailed + "Address pattern holds a null character; no peer could read the message."), 1u);
}

TEST_F(OSCManagerTest, DroppedMonitorIgnoresItsStartTaskAndHandler) {
    ASSERT_TRUE(peer.ok());
    // Dropped before the start task can run, or while it runs.
    settings = makeSettings();
    monitor = OSCManager::create(settings, loop, alert);
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
    ASSERT_TRUE(peer.sendTo(server->boundPort(), wire("/eos/out/ping")));
    EXPECT_TRUE(handled.wait());
    EXPECT_EQ(loop.advance(5s), 0u) << "no timer, line or heartbeat of the monitor is left";
}

// Replies arrive on another thread while the main thread ticks and edits the
// reply text; ThreadSanitizer watches the values they share.
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
