// The monitor against the echo peer playing each kind of device, over
// loopback in both address families, as a user would start them.

#include "support/TempDir.h"
#include "support/SocketTesting.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

namespace vorn::tools {
namespace {

using Child = testutil::ChildProcess;
using testutil::occurrences;
using monitor::testutil::TempDir;
using Args = std::vector<std::string>;

const std::string alive = "🔄 State changed to ALIVE\n";
const std::string dead = "🔄 State changed to DEAD\n";
const std::string received = "← Received “/eos/out/ping”";

std::string freeUdpPort() { return std::to_string(udp::testing::freePort()); }

// An echo peer on a port free in both families (port 0 would give each
// family its own), once it says it listens.
struct Echo {
    explicit Echo(Args options) : child(withProgram(port, std::move(options))) {
        if (child.readLine() != "vorn-osc-echo listening on port " + port) port.clear();
    }
    static Args withProgram(const std::string& port, Args options) {
        options.insert(options.begin(), {VORN_OSC_ECHO_PROGRAM, "--listen-port", port});
        return options;
    }
    std::string port = freeUdpPort();
    Child child;
};

class ReachTest : public ::testing::TestWithParam<std::string> {
protected:
    const std::string& host() const { return GetParam(); }
    Child monitor(Args options) {
        options.insert(options.begin(), {VORN_OSC_CLI_PROGRAM, "--config-dir", config.path().string(), "--interval",
                                         "1", "--receive-port", receivePort});
        return Child(options);
    }
    TempDir config;
    const std::string receivePort = freeUdpPort();
};

// A device that answers to the ping's own address and port: heard on the
// ping client's port by default, and not at all once that is turned off.
TEST_P(ReachTest, AnswersToThePingsPortMakeTheLinkAliveUnlessTurnedOff) {
    Echo echo({"--reply-to-sender"});
    ASSERT_FALSE(echo.port.empty()) << echo.child.err();
    Child cli = monitor({"--target", host(), "--target-port", echo.port});
    ASSERT_TRUE(cli.waitForOut(alive)) << cli.out() << cli.err();
    EXPECT_NE(cli.out().find(received + "\n"), std::string::npos) << cli.out();
    EXPECT_EQ(cli.err(), "");
    cli.signal(SIGTERM);
    EXPECT_EQ(cli.exitCode(), 0);

    Echo again({"--reply-to-sender"});
    Child deaf = monitor({"--no-ping-port-replies", "--target-port", again.port});
    // Two pings answered, and the first answer has had a full interval to
    // arrive by the time the third ping goes out.
    ASSERT_TRUE(again.child.readUntil([&] { return occurrences(again.child.out(), "-> reply") >= 2; }))
        << again.child.out();
    ASSERT_TRUE(deaf.readUntil([&] { return occurrences(deaf.out(), "→ Sent ping") >= 3; })) << deaf.out();
    EXPECT_EQ(deaf.out().find("← Received"), std::string::npos) << deaf.out();
    EXPECT_EQ(deaf.out().find(alive), std::string::npos) << deaf.out();
}

// A device that only sends a heartbeat: a passive monitor sends nothing, is
// ALIVE while the beats come and DEAD once they stop.
TEST_P(ReachTest, PassiveMonitorFollowsAHeartbeat) {
    Echo echo({"--heartbeat", "0.3", "--heartbeat-to", host(), "--reply-port", receivePort});
    ASSERT_FALSE(echo.port.empty()) << echo.child.err();
    Child cli = monitor({"--passive"});
    ASSERT_TRUE(cli.waitForOut(alive)) << cli.out() << cli.err();
    echo.child.signal(SIGTERM);
    EXPECT_EQ(echo.child.exitCode(), 0);
    ASSERT_TRUE(cli.waitForOut(dead)) << cli.out();
    EXPECT_EQ(cli.out().find("Sent ping"), std::string::npos) << cli.out();
    EXPECT_EQ(echo.child.out().find("ping from"), std::string::npos) << "nothing was pinged";
    EXPECT_NE(echo.child.out().find("heartbeat \"/eos/out/ping\" to "), std::string::npos) << echo.child.out();
}

// A device that answers with something other than the reply text: the
// sender shows beside each line on request, and the monitor says once what
// arrives and from where.
TEST_P(ReachTest, WrongReplyTextIsPointedOutWithItsSender) {
    Echo echo({"--reply", "/eos/out/pong", "--reply-port", receivePort});
    ASSERT_FALSE(echo.port.empty()) << echo.child.err();
    Child cli = monitor({"--target", host(), "--target-port", echo.port, "--show-sender"});
    const std::string sender = host() == "::1" ? "[::1]" : host();
    ASSERT_TRUE(cli.waitForOut("⚠️ messages arrive from " + sender + ":")) << cli.out() << cli.err();
    ASSERT_TRUE(cli.waitForOut("/eos/out/ping”\n")) << cli.out();
    const std::string besideTheLine = "← Received “/eos/out/pong”  (from " + sender + ":";
    EXPECT_NE(cli.out().find(besideTheLine), std::string::npos) << cli.out();
    EXPECT_EQ(cli.out().find(alive), std::string::npos) << cli.out();
}

INSTANTIATE_TEST_SUITE_P(Loopback, ReachTest, ::testing::Values("127.0.0.1", "::1"),
                         [](const auto& info) { return info.param == "::1" ? "IPv6" : "IPv4"; });

}  // namespace
}  // namespace vorn::tools
