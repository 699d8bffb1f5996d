#include "net/OSCSocket.h"

#include "NetTesting.h"
#include "net/OSCSocketError.h"

#include <gtest/gtest.h>

namespace vorn::net {
namespace {

using osc::OSCMessage;
using testing::Peer;
using testing::Recorder;

// Runs `send` and returns the "Reason" of the closed error it throws.
template <class F>
std::string refusal(F send) {
    try {
        send();
    } catch (const OSCSocketError& error) {
        EXPECT_TRUE(error.error().isDatagramSocketError(udp::DatagramSocketErrorCode::closed));
        EXPECT_EQ(error.error().domain, "DatagramSocketErrorDomain");
        EXPECT_EQ(error.error().code, 4);
        const auto reason = error.error().userInfo.find("Reason");
        return reason == error.error().userInfo.end() ? "(no reason)" : reason->second;
    }
    return "(nothing thrown)";
}

TEST(OSCSocketTest, RefusesToSendUntilStartedAndWithoutAHost) {
    Peer peer(AF_INET);
    const auto socket = OSCSocket::create();
    const OSCMessage message("/x");
    // Not started comes first, whether or not a host is known.
    EXPECT_EQ(refusal([&] { socket->send(message); }), OSCSocket::notStartedReason);
    EXPECT_EQ(refusal([&] { socket->send(message, "127.0.0.1", peer.port()); }), OSCSocket::notStartedReason);

    socket->start();
    EXPECT_EQ(refusal([&] { socket->send(message, std::nullopt, peer.port()); }), OSCSocket::noRemoteHostReason);

    socket->stop();
    EXPECT_EQ(refusal([&] { socket->send(message, "127.0.0.1", peer.port()); }), OSCSocket::notStartedReason);

    // Nothing of the refused sends went out: the first datagram is this one.
    socket->start();
    socket->send(OSCMessage("/sent"), "127.0.0.1", peer.port());
    const auto received = peer.receive();
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, testing::wire(OSCMessage("/sent")));
}

// With a remote host and no remote port, a send goes back to the socket's
// own port and so to its own handler.
TEST(OSCSocketTest, SendsToItselfByDefault) {
    Recorder recorder;
    const auto socket =
        OSCSocket::create(std::nullopt, "127.0.0.1", std::nullopt, OSCTimeTagMode::ignore, false, nullptr,
                          recorder.handler());
    socket->start();
    ASSERT_NE(socket->localPort(), 0);
    EXPECT_EQ(socket->remotePort(), socket->localPort());

    socket->send(OSCMessage("/self"));
    const auto got = recorder.waitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].address, "/self");
    EXPECT_EQ(got[0].host, "127.0.0.1");
    EXPECT_EQ(got[0].port, socket->localPort());
}

// Sends leave from the port that receives, and replies to it come back.
TEST(OSCSocketTest, SendsAndReceivesOnOnePort) {
    Recorder recorder;
    Peer peer(AF_INET);
    const auto socket = OSCSocket::create(std::nullopt, "127.0.0.1", peer.port(), OSCTimeTagMode::osc1_0, false,
                                          nullptr, recorder.handler());
    socket->start();
    EXPECT_NO_THROW(socket->start());
    EXPECT_TRUE(socket->isStarted());

    socket->send(OSCMessage("/out"));
    std::uint16_t from = 0;
    ASSERT_TRUE(peer.receive(&from));
    EXPECT_EQ(from, socket->localPort());

    ASSERT_TRUE(peer.sendTo(from, testing::wire(OSCMessage("/back"))));
    const auto got = recorder.waitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].address, "/back");
    EXPECT_EQ(got[0].port, peer.port());
}

}  // namespace
}  // namespace vorn::net
