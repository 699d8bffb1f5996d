// The lines of received messages wait for the main thread and are logged in
// batches. The monitor's own lines still fall where things reached it, no
// line is lost or reordered between the receive threads and the main one,
// and a peer that sends faster than the log takes lines cannot make the wait
// grow without end.

#include "monitor/OSCManager.h"

#include "dispatch/ManualMainLoop.h"
#include "osc/OSCMessage.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vorn::monitor {
namespace {

using dispatch::testing::patience;
using std::string;

string receivedLine(const string& address) { return "\xE2\x86\x90 Received \xE2\x80\x9C" + address + "\xE2\x80\x9D"; }

struct Logged {
    string kind;
    string sender;
    string line;
    bool operator==(const Logged&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Logged& logged) {
    return out << logged.kind << " | " << logged.sender << " | " << logged.line;
}

class ReceivedLinesTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Pings go to the discard port on loopback; nobody answers them.
        settings = std::make_shared<OSCSettings>("127.0.0.1", 9, 0, "/eos/ping", "/eos/out/ping", 1.0, false, 1.0,
                                                 false, "", std::make_shared<MemorySettingsStore>());
        monitor = OSCManager::create(settings, loop, nullptr);
        ASSERT_TRUE(loop.runUntil([&] { return monitor->log.size() >= 2; }, patience));
        watch = monitor->log.subscribe([this](std::size_t, const string& line) {
            logged.push_back({string(monitor->eventOfLineBeingAppended().kind), monitor->senderOfLineBeingAppended(),
                              line});
        });
    }

    void TearDown() override {
        watch.cancel();
        std::weak_ptr<OSCManager> weak = monitor;
        monitor.reset();
        EXPECT_TRUE(loop.runUntil([&] { return weak.expired(); }, patience));
    }

    void receive(const string& address, const string& host = {}, std::uint16_t port = 0) {
        monitor->handleIncomingMessage(osc::OSCMessage(address), host, port);
    }

    dispatch::ManualMainLoop loop;
    std::shared_ptr<OSCSettings> settings;
    std::shared_ptr<OSCManager> monitor;
    std::vector<Logged> logged;
    dispatch::Cancellable watch;
};

// Messages handed over before the monitor writes a line of its own (a ping,
// a mute) come before it in the log, each with its sender, though the main
// thread had not yet taken them; those handed over after a line was decided
// (a change of state, logged in a later turn) come after it.
TEST_F(ReceivedLinesTest, OwnLinesFallWhereTheyHappenedAmongReceivedOnes) {
    receive("/eos/out/param/1", "127.0.0.1", 8001);
    receive("/eos/out/ping", "::1", 8002);
    monitor->sendPing();  // credits the reply: ALIVE, said in a later turn
    receive("/eos/out/param/2");
    loop.runPending();
    receive("/eos/out/param/3");
    monitor->muteAlarms(std::chrono::minutes(15));
    receive("/eos/out/ping", "127.0.0.1", 8003);
    loop.runPending();

    ASSERT_EQ(logged.size(), 8u);
    EXPECT_EQ(logged[0], (Logged{"received", "127.0.0.1:8001", receivedLine("/eos/out/param/1")}));
    EXPECT_EQ(logged[1], (Logged{"received", "[::1]:8002", receivedLine("/eos/out/ping")}));
    EXPECT_EQ(logged[2].kind, "ping");
    EXPECT_EQ(logged[3].kind, "state");
    EXPECT_EQ(logged[4], (Logged{"received", "", receivedLine("/eos/out/param/2")}));
    EXPECT_EQ(logged[5], (Logged{"received", "", receivedLine("/eos/out/param/3")}));
    EXPECT_EQ(logged[6].kind, "muted");
    EXPECT_EQ(logged[7], (Logged{"received", "127.0.0.1:8003", receivedLine("/eos/out/ping")}));
    EXPECT_EQ(monitor->heartbeatCount.get(), 2);
    EXPECT_TRUE(monitor->isAlive.get());
}

// Several receive paths (the receive port, the ping clients' ports) hand
// over at once while the main thread takes: every line arrives once, and
// each path's lines keep their order.
TEST_F(ReceivedLinesTest, ConcurrentSendersLoseNothingAndKeepTheirOrder) {
    constexpr int senders = 4;
    constexpr int each = 2000;
    std::vector<std::thread> threads;
    for (int s = 0; s < senders; ++s) {
        threads.emplace_back([this, s] {
            for (int i = 0; i < each; ++i) receive("/" + std::to_string(s) + "/" + std::to_string(i));
        });
    }
    const bool all = loop.runUntil([&] { return logged.size() == senders * each; }, patience);
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(all) << logged.size() << " lines";
    std::vector<int> next(senders, 0);
    for (const auto& line : logged) {
        const int s = line.line[line.line.find('/') + 1] - '0';
        ASSERT_EQ(line.line, receivedLine("/" + std::to_string(s) + "/" + std::to_string(next[s])));
        ++next[s];
    }
}

// While the main thread is held up, at most waitingLinesLimit lines wait;
// the messages beyond are counted in one line after them. A reply among
// those still credits the interval, so the link is not taken for dead.
TEST_F(ReceivedLinesTest, WaitingLinesAreBoundedAndTheRestCounted) {
    const std::size_t limit = OSCManager::waitingLinesLimit;
    for (std::size_t i = 0; i < limit; ++i) receive("/eos/out/param", "127.0.0.1", 8001);
    receive("/eos/out/param");
    receive("/eos/out/ping");
    receive("/eos/out/param");
    EXPECT_TRUE(monitor->lastReplyReceived());
    loop.runPending();

    ASSERT_EQ(logged.size(), limit + 1);
    EXPECT_EQ(logged[limit - 1], (Logged{"received", "127.0.0.1:8001", receivedLine("/eos/out/param")}));
    EXPECT_EQ(logged.back(),
              (Logged{"", "",
                      "\xE2\x9A\xA0\xEF\xB8\x8F 3 received messages not logged: they came faster than the log "
                      "could take them"}));
    EXPECT_EQ(monitor->heartbeatCount.get(), 0);

    // The wait is empty again: the next message is logged as ever.
    receive("/eos/out/ping");
    loop.runPending();
    EXPECT_EQ(logged.back(), (Logged{"received", "", receivedLine("/eos/out/ping")}));
    EXPECT_EQ(monitor->heartbeatCount.get(), 1);
}

}  // namespace
}  // namespace vorn::monitor
