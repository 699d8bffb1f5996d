// The monitor watching the echo peer over TCP, as a user would start them:
// it connects and goes ALIVE, says when the peer goes and goes DEAD, and
// connects again by itself once the peer is back.

#include "support/ChildProcess.h"
#include "support/SocketTesting.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <optional>
#include <ostream>
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

struct Link {
    std::string transport;
    std::string host;
    std::string framing;
};

void PrintTo(const Link& link, std::ostream* out) { *out << link.transport << " to " << link.host; }

class TCPLinkTest : public ::testing::TestWithParam<Link> {
protected:
    void startEcho(std::optional<Child>& peer) {
        peer.emplace(Args{VORN_OSC_ECHO_PROGRAM, "--listen-port", port,
                          GetParam().transport == "tcp" ? "--tcp" : "--tcp-slip"});
        EXPECT_EQ(peer->readLine(), "vorn-osc-echo listening on TCP port " + port + " (" + GetParam().framing + ")");
    }
    TempDir config;
    const std::string port = std::to_string(udp::testing::freePort());
};

TEST_P(TCPLinkTest, ConnectsGoesDeadWhenThePeerGoesAndReconnectsWhenItIsBack) {
    const auto& [transport, host, framing] = GetParam();
    const std::string endpoint = (host == "::1" ? "[::1]" : host) + ":" + port;
    std::optional<Child> peer;
    startEcho(peer);
    Child cli({VORN_OSC_CLI_PROGRAM, "--config-dir", config.path().string(), "--interval", "1", "--transport",
               transport, "--target", host, "--target-port", port});
    ASSERT_TRUE(cli.waitForOut(alive)) << cli.out() << cli.err();
    EXPECT_NE(cli.out().find("🔌 Connecting to " + endpoint + " over TCP (" + framing + ")\n"), std::string::npos)
        << cli.out();
    EXPECT_NE(cli.out().find("🔗 Connected to " + endpoint + " over TCP\n"), std::string::npos) << cli.out();
    EXPECT_NE(cli.out().find("← Received “/eos/out/ping”\n"), std::string::npos) << cli.out();
    // Over TCP the receive port plays no part.
    EXPECT_EQ(cli.out().find("OSC server"), std::string::npos) << cli.out();
    EXPECT_TRUE(peer->waitForOut("-> reply \"/eos/out/ping\" over the connection\n")) << peer->out();

    peer->signal(SIGTERM);
    EXPECT_EQ(peer->exitCode(), 0);
    // Closed, or reset when a ping was still unread: the kernel's word.
    ASSERT_TRUE(cli.waitForOut("💔 Connection to " + endpoint + " lost: Connection ")) << cli.out();
    ASSERT_TRUE(cli.waitForOut(dead)) << cli.out();
    EXPECT_NE(cli.out().find("‼️ Error sending ping: Not connected\n"), std::string::npos) << cli.out();

    std::optional<Child> again;
    startEcho(again);
    ASSERT_TRUE(cli.readUntil([&] { return occurrences(cli.out(), alive) == 2; })) << cli.out();
    const std::string out = cli.out();
    // Each change said once: the refused attempts in between added nothing.
    EXPECT_EQ(occurrences(out, "🔌 Connecting"), 1u) << out;
    EXPECT_EQ(occurrences(out, "🔗 Connected"), 2u) << out;
    EXPECT_EQ(occurrences(out, "💔 Connection"), 1u) << out;
    EXPECT_LT(out.find("💔"), out.find(dead)) << out;
    EXPECT_EQ(cli.err(), "Vorn OSC 2: OSC link is DEAD\n");
}

INSTANTIATE_TEST_SUITE_P(Loopback, TCPLinkTest,
                         ::testing::Values(Link{"tcp", "127.0.0.1", "OSC 1.0 framing"},
                                           Link{"tcp-slip", "::1", "SLIP framing"}),
                         [](const auto& info) { return info.param.transport == "tcp" ? "OSC10IPv4" : "SLIPIPv6"; });

}  // namespace
}  // namespace vorn::tools
