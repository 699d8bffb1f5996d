#include "net/OSCClient.h"

#include "NetTesting.h"
#include "net/OSCSocketError.h"
#include "osc/OSCErrors.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace vorn::net {
namespace {

using testing::Peer;

osc::OSCMessage ping(const char* address = "/eos/ping") {
    return osc::OSCMessage(address, {std::int32_t{7}, "text"});
}

// A client that was never started binds an ephemeral port at its first send
// and keeps it: the datagram arrives intact from the port localPort() names.
TEST(OSCClientTest, NeverStartedClientSendsFromOneEphemeralPort) {
    Peer peer(AF_INET);
    ASSERT_TRUE(peer.ok());
    OSCClient client;
    client.send(ping(), "127.0.0.1", peer.port());
    client.send(ping("/second"), "127.0.0.1", peer.port());

    std::uint16_t firstPort = 0;
    std::uint16_t secondPort = 0;
    const auto first = peer.receive(&firstPort);
    const auto second = peer.receive(&secondPort);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(osc::OSCMessage::decode(SharedBytes::copy(*first)), ping());
    EXPECT_EQ(osc::OSCMessage::decode(SharedBytes::copy(*second)), ping("/second"));
    EXPECT_NE(firstPort, 0);
    EXPECT_EQ(secondPort, firstPort);
    EXPECT_EQ(client.localPort(), firstPort);
    EXPECT_FALSE(client.isStarted());
}

TEST(OSCClientTest, SendsBundlesAndReachesIPv6) {
    Peer peer(AF_INET6);
    ASSERT_TRUE(peer.ok());
    OSCClient client;
    const auto bundle = testing::bundleOf({ping("/a"), ping("/b")}, osc::OSCTimeTag::fromSecondsFromNow(5));
    client.send(bundle, "::1", peer.port());
    const auto received = peer.receive();
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, testing::wire(bundle));
}

TEST(OSCClientTest, StartTwiceKeepsTheFirstBindingAndStartAfterStopBindsAgain) {
    Peer peer(AF_INET);
    OSCClient client;
    client.start();
    const auto port = client.localPort();
    EXPECT_NE(port, 0);
    EXPECT_TRUE(client.isStarted());
    EXPECT_NO_THROW(client.start());
    EXPECT_EQ(client.localPort(), port);

    client.stop();
    EXPECT_FALSE(client.isStarted());
    EXPECT_EQ(client.localPort(), 0);
    client.start();
    EXPECT_TRUE(client.isStarted());
    client.send(ping(), "127.0.0.1", peer.port());
    std::uint16_t from = 0;
    ASSERT_TRUE(peer.receive(&from));
    EXPECT_NE(from, 0);
    EXPECT_EQ(from, client.localPort());
}

TEST(OSCClientTest, PortHeldElsewhereFailsWithTheBindError) {
    Peer holder(AF_INET);
    ASSERT_TRUE(holder.ok());
    OSCClient client(holder.port(), false, false);
    try {
        client.start();
        FAIL() << "start() on a held port succeeded";
    } catch (const OSCSocketError& error) {
        EXPECT_EQ(error.error().domain, udp::POSIXErrorDomain);
        EXPECT_EQ(error.error().code, EADDRINUSE);
        EXPECT_EQ(error.error().failureReason, "Error in bind() function");
        EXPECT_EQ(std::string(error.what()), error.error().localizedDescription());
    }
    EXPECT_FALSE(client.isStarted());
}

TEST(OSCClientTest, PortReuseLetsTwoClientsShareAPort) {
    OSCClient first(0, true, false);
    first.start();
    const auto port = first.localPort();
    ASSERT_NE(port, 0);

    OSCClient second(port, true, false);
    EXPECT_NO_THROW(second.start());
    EXPECT_EQ(second.localPort(), port);
}

// Failures before the hand-over throw and send nothing; failures after it
// (here, a name that never resolves) are not reported, and the client
// keeps working either way.
TEST(OSCClientTest, OnlyEncodingErrorsThrow) {
    Peer peer(AF_INET);
    OSCClient client;

    osc::OSCBundle tooDeep({ping()});
    for (int i = 0; i < 70; ++i) {
        tooDeep = osc::OSCBundle(std::vector<osc::OSCPacket>{osc::OSCPacket(tooDeep)});
    }
    EXPECT_THROW(client.send(tooDeep, "127.0.0.1", peer.port()), osc::OSCEncodeError);
    EXPECT_NO_THROW(client.send(ping("/lost"), "no-such-host.invalid", peer.port()));
    client.send(ping("/after"), "127.0.0.1", peer.port());

    const auto received = peer.receive();
    ASSERT_TRUE(received);
    EXPECT_EQ(osc::OSCMessage::decode(SharedBytes::copy(*received)), ping("/after"));
}

}  // namespace
}  // namespace vorn::net
