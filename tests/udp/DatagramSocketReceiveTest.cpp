#include "udp/DatagramSocket.h"

#include "SocketTesting.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <any>
#include <atomic>
#include <string>
#include <vector>

namespace vorn::udp {
namespace {

using namespace testing;

using Kind = Report::Kind;

std::uint16_t bindLoopback(DatagramSocket& socket, const char* interface = "127.0.0.1") {
    SocketError error;
    EXPECT_TRUE(socket.bindToPort(0, std::string(interface), &error)) << ::testing::PrintToString(error);
    return socket.localPort();
}

TEST(DatagramSocketReceive, ReceivingNeedsDescriptorsButNoDelegate) {
    const std::string unbound =
        "Must bind socket before you can receive data. You can do this explicitly via bind, or implicitly via "
        "connect or by sending data.";
    Harness harness;
    SocketError error;
    EXPECT_FALSE(harness.socket->beginReceiving(&error));
    EXPECT_TRUE(error.isDatagramSocketError(DatagramSocketErrorCode::badConfig));
    EXPECT_EQ(error.description, unbound);
    error = {};
    EXPECT_FALSE(harness.socket->receiveOnce(&error));
    EXPECT_EQ(error.description, unbound);

    bindLoopback(*harness.socket);
    EXPECT_TRUE(harness.socket->beginReceiving(&error));
    EXPECT_TRUE(harness.socket->beginReceiving(&error));

    // A socket without a delegate that opened its descriptors by sending.
    Peer peer(AF_INET);
    auto orphan = DatagramSocket::create();
    orphan->sendData(bytes("x"), "127.0.0.1", peer.port(), -1, 1);
    EXPECT_EQ(peer.receive(), "x");
    EXPECT_TRUE(orphan->beginReceiving(&error)) << ::testing::PrintToString(error);
}

TEST(DatagramSocketReceive, ReceivesContinuouslyOnBothFamiliesWithTheSenders) {
    Harness harness;
    SocketError error;
    ASSERT_TRUE(harness.socket->bindToPort(0, &error)) << ::testing::PrintToString(error);
    ASSERT_TRUE(harness.socket->beginReceiving(&error));
    Peer v4(AF_INET);
    Peer v6(AF_INET6);
    for (const char* payload : {"a", "b", "c"}) {
        ASSERT_TRUE(v4.sendTo(harness.socket->localPort_IPv4(), payload));
    }
    ASSERT_TRUE(v6.sendTo(harness.socket->localPort_IPv6(), "six"));

    const auto reports = harness.delegate->waitFor(4);
    ASSERT_EQ(reports.size(), 4u);
    std::vector<std::string> fromV4;
    for (const auto& r : reports) {
        ASSERT_EQ(r.kind, Kind::received);
        EXPECT_TRUE(r.hadSocket);
        EXPECT_FALSE(r.context.has_value()) << "no filter, no context";
        std::string host;
        std::uint16_t port = 0;
        int family = 0;
        ASSERT_TRUE(DatagramSocket::getHost(&host, &port, &family, r.address));
        if (family == AF_INET) {
            EXPECT_EQ(host, "127.0.0.1");
            EXPECT_EQ(port, v4.port());
            fromV4.push_back(r.data);
        } else {
            EXPECT_EQ(family, AF_INET6);
            EXPECT_EQ(host, "::1");
            EXPECT_EQ(port, v6.port());
            EXPECT_EQ(r.data, "six");
        }
    }
    EXPECT_EQ(fromV4, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(DatagramSocketReceive, ReceiveOnceAndPauseLeaveLaterDatagramsWaiting) {
    for (bool pause : {false, true}) {
        SCOPED_TRACE(pause ? "paused" : "receive once");
        Harness harness;
        const auto port = bindLoopback(*harness.socket);
        Peer peer(AF_INET);
        SocketError error;
        if (pause) {
            ASSERT_TRUE(harness.socket->beginReceiving(&error));
        } else {
            ASSERT_TRUE(harness.socket->receiveOnce(&error));
        }
        ASSERT_TRUE(peer.sendTo(port, "first"));
        ASSERT_EQ(harness.delegate->waitForData(1), std::vector<std::string>{"first"});
        if (pause) {
            harness.socket->pauseReceiving();
        }

        ASSERT_TRUE(peer.sendTo(port, "second"));
        EXPECT_TRUE(harness.datagramWaiting(AF_INET)) << "the socket took a datagram nobody asked for";
        harness.settle();
        EXPECT_EQ(harness.delegate->reports().size(), 1u);

        ASSERT_TRUE(harness.socket->receiveOnce(&error));
        EXPECT_EQ(harness.delegate->waitForData(2), (std::vector<std::string>{"first", "second"}));
    }
}

TEST(DatagramSocketReceive, CutsADatagramToTheMaximumReceiveSize) {
    Harness harness;
    harness.socket->setMaxReceiveIPv4BufferSize(512);
    EXPECT_EQ(harness.socket->maxReceiveIPv4BufferSize(), 512);
    const auto port = bindLoopback(*harness.socket);
    SocketError error;
    ASSERT_TRUE(harness.socket->beginReceiving(&error));
    std::string big(600, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>('a' + i % 26);
    }
    Peer peer(AF_INET);
    ASSERT_TRUE(peer.sendTo(port, big));
    ASSERT_TRUE(peer.sendTo(port, "next"));
    // The cut-off rest is gone with its datagram, not delivered as another.
    const auto data = harness.delegate->waitForData(2);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0], big.substr(0, 512));
    EXPECT_EQ(data[1], "next");
    harness.settle();
    EXPECT_EQ(harness.delegate->reports().size(), 2u);
}

// Denies payloads that start with "deny"; lets the rest through with a
// context naming the payload and the sender's port.
ReceiveFilter denyingFilter(std::atomic<int>& calls) {
    return [&calls](const SharedBytes& data, const SharedBytes& address, std::any& context) {
        ++calls;
        const auto payload = text(data);
        if (payload.starts_with("deny")) {
            return false;
        }
        context = payload + "@" + std::to_string(DatagramSocket::portFromAddress(address));
        return true;
    };
}

TEST(DatagramSocketReceive, FiltersDropDatagramsOrAttachAContext) {
    for (bool asynchronous : {false, true}) {
        SCOPED_TRACE(asynchronous ? "asynchronous filter" : "synchronous filter");
        Harness harness;
        std::atomic<int> calls{0};
        harness.socket->setReceiveFilter(denyingFilter(calls), dispatch::SerialQueue::create("test.filter"),
                                         asynchronous);
        const auto port = bindLoopback(*harness.socket);
        SocketError error;
        ASSERT_TRUE(harness.socket->beginReceiving(&error));
        Peer peer(AF_INET);
        for (const char* payload : {"deny-1", "keep-1", "deny-2", "keep-2"}) {
            ASSERT_TRUE(peer.sendTo(port, payload));
        }
        ASSERT_EQ(harness.delegate->waitForData(2), (std::vector<std::string>{"keep-1", "keep-2"}));
        harness.settle();
        const auto reports = harness.delegate->reports();
        ASSERT_EQ(reports.size(), 2u);
        for (const auto& r : reports) {
            const auto* context = std::any_cast<std::string>(&r.context);
            ASSERT_NE(context, nullptr);
            EXPECT_EQ(*context, r.data + "@" + std::to_string(peer.port()));
        }
        EXPECT_EQ(calls.load(), 4);
    }
}

TEST(DatagramSocketReceive, ReceiveOnceLooksPastDeniedDatagrams) {
    for (bool asynchronous : {false, true}) {
        SCOPED_TRACE(asynchronous ? "asynchronous filter" : "synchronous filter");
        Harness harness;
        std::atomic<int> calls{0};
        harness.socket->setReceiveFilter(denyingFilter(calls), dispatch::globalQueue(dispatch::QualityOfService::standard),
                                         asynchronous);
        const auto port = bindLoopback(*harness.socket);
        Peer peer(AF_INET);
        for (const char* payload : {"deny", "keep", "later"}) {
            ASSERT_TRUE(peer.sendTo(port, payload));
        }
        SocketError error;
        ASSERT_TRUE(harness.socket->receiveOnce(&error));
        ASSERT_EQ(harness.delegate->waitForData(1), std::vector<std::string>{"keep"});
        EXPECT_TRUE(harness.datagramWaiting(AF_INET)) << "one delivered datagram ends a receive-once";
        harness.settle();
        EXPECT_EQ(harness.delegate->reports().size(), 1u);
        EXPECT_EQ(calls.load(), 2);

        ASSERT_TRUE(harness.socket->receiveOnce(&error));
        EXPECT_EQ(harness.delegate->waitForData(2), (std::vector<std::string>{"keep", "later"}));
    }
}

TEST(DatagramSocketReceive, ReadsTheFamiliesInTurnIPv6First) {
    Harness harness;
    SocketError error;
    ASSERT_TRUE(harness.socket->bindToPort(0, std::string("localhost"), &error)) << ::testing::PrintToString(error);
    Peer v4(AF_INET);
    Peer v6(AF_INET6);
    for (const char* n : {"1", "2"}) {
        ASSERT_TRUE(v4.sendTo(harness.socket->localPort_IPv4(), std::string("v4-") + n));
        ASSERT_TRUE(v6.sendTo(harness.socket->localPort_IPv6(), std::string("v6-") + n));
    }
    ASSERT_TRUE(harness.datagramWaiting(AF_INET));
    ASSERT_TRUE(harness.datagramWaiting(AF_INET6));
    ASSERT_TRUE(harness.socket->beginReceiving(&error));
    EXPECT_EQ(harness.delegate->waitForData(4), (std::vector<std::string>{"v6-1", "v4-1", "v6-2", "v4-2"}));
}

TEST(DatagramSocketReceive, AnEmptyDatagramIsDroppedAndReceivingGoesOn) {
    for (int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(loopbackHost(family));
        Harness harness;
        const auto port = bindLoopback(*harness.socket, loopbackHost(family));
        SocketError error;
        ASSERT_TRUE(harness.socket->beginReceiving(&error));
        Peer peer(family);
        ASSERT_TRUE(peer.sendTo(port, ""));
        ASSERT_TRUE(peer.sendTo(port, "after"));
        EXPECT_EQ(harness.delegate->waitForData(1), std::vector<std::string>{"after"});
        ASSERT_TRUE(peer.sendTo(port, ""));
        ASSERT_TRUE(peer.sendTo(port, "last"));
        EXPECT_EQ(harness.delegate->waitForData(2), (std::vector<std::string>{"after", "last"}));
        harness.settle();
        EXPECT_EQ(harness.delegate->reports().size(), 2u) << "nothing but the two datagrams, and no close";
        EXPECT_FALSE(harness.socket->isClosed());
    }
}

}  // namespace
}  // namespace vorn::udp
