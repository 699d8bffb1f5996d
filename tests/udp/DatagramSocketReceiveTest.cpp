#include "udp/DatagramSocket.h"

#include "SocketTesting.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <any>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>
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
    for (const char* payload : {"a", "b", "c"}) ASSERT_TRUE(v4.sendTo(harness.socket->localPort_IPv4(), payload));
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
        if (pause) harness.socket->pauseReceiving();

        ASSERT_TRUE(peer.sendTo(port, "second"));
        EXPECT_TRUE(harness.datagramWaiting(AF_INET)) << "the socket took a datagram nobody asked for";
        harness.settle();
        EXPECT_EQ(harness.delegate->reports().size(), 1u);

        ASSERT_TRUE(harness.socket->receiveOnce(&error));
        EXPECT_EQ(harness.delegate->waitForData(2), (std::vector<std::string>{"first", "second"}));
    }
}

TEST(DatagramSocketReceive, CutsADatagramToTheMaximumReceiveSize) {
    struct Case {
        int family;
        std::uint32_t limit;
        std::size_t kept;
    };
    // A limit above any plain datagram keeps it whole.
    for (const Case& c : {Case{AF_INET, 512, 512}, Case{AF_INET6, 512, 512}, Case{AF_INET6, 100000, 600}}) {
        SCOPED_TRACE(std::string(loopbackHost(c.family)) + " limit " + std::to_string(c.limit));
        Harness harness;
        if (c.family == AF_INET) {
            harness.socket->setMaxReceiveIPv4BufferSize(static_cast<std::uint16_t>(c.limit));
            EXPECT_EQ(harness.socket->maxReceiveIPv4BufferSize(), c.limit);
        } else {
            harness.socket->setMaxReceiveIPv6BufferSize(c.limit);
            EXPECT_EQ(harness.socket->maxReceiveIPv6BufferSize(), c.limit);
        }
        const auto port = bindLoopback(*harness.socket, loopbackHost(c.family));
        SocketError error;
        ASSERT_TRUE(harness.socket->beginReceiving(&error));
        std::string big(600, '\0');
        for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
        Peer peer(c.family);
        ASSERT_TRUE(peer.sendTo(port, big));
        ASSERT_TRUE(peer.sendTo(port, "next"));
        // The cut-off rest is gone with its datagram, not delivered as another.
        const auto data = harness.delegate->waitForData(2);
        ASSERT_EQ(data.size(), 2u);
        EXPECT_EQ(data[0], big.substr(0, c.kept));
        EXPECT_EQ(data[1], "next");
        harness.settle();
        EXPECT_EQ(harness.delegate->reports().size(), 2u);
    }
}

// Denies payloads that start with "deny"; lets the rest through with a
// context naming the payload and the sender's port.
ReceiveFilter denyingFilter(std::atomic<int>& calls) {
    return [&calls](const SharedBytes& data, const SharedBytes& address, std::any& context) {
        ++calls;
        const auto payload = text(data);
        if (payload.starts_with("deny")) return false;
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
        for (const char* payload : {"deny-1", "keep-1", "deny-2", "keep-2"}) ASSERT_TRUE(peer.sendTo(port, payload));
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
        for (const char* payload : {"deny", "keep", "later"}) ASSERT_TRUE(peer.sendTo(port, payload));
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

// Payloads "v4-1".. and "v6-1".. in the order the socket should read them:
// IPv6 first, then turn about while both families have some.
std::vector<std::string> inTurn(int fromV4, int fromV6) {
    std::vector<std::string> order;
    for (int i = 1; i <= std::max(fromV4, fromV6); ++i) {
        if (i <= fromV6) order.push_back("v6-" + std::to_string(i));
        if (i <= fromV4) order.push_back("v4-" + std::to_string(i));
    }
    return order;
}

TEST(DatagramSocketReceive, ReadsTheFamiliesInTurnIPv6First) {
    // The last case takes more than one turn of the socket queue to read.
    for (const auto& [fromV4, fromV6] : {std::pair{2, 2}, std::pair{3, 1}, std::pair{1, 3}, std::pair{100, 100}}) {
        SCOPED_TRACE(std::to_string(fromV4) + " from IPv4, " + std::to_string(fromV6) + " from IPv6");
        Harness harness;
        SocketError error;
        ASSERT_TRUE(harness.socket->bindToPort(0, std::string("localhost"), &error))
            << ::testing::PrintToString(error);
        Peer v4(AF_INET);
        Peer v6(AF_INET6);
        for (int i = 1; i <= std::max(fromV4, fromV6); ++i) {
            if (i <= fromV4) {
                ASSERT_TRUE(v4.sendTo(harness.socket->localPort_IPv4(), "v4-" + std::to_string(i)));
            }
            if (i <= fromV6) {
                ASSERT_TRUE(v6.sendTo(harness.socket->localPort_IPv6(), "v6-" + std::to_string(i)));
            }
        }
        ASSERT_TRUE(harness.datagramWaiting(AF_INET));
        ASSERT_TRUE(harness.datagramWaiting(AF_INET6));
        ASSERT_TRUE(harness.socket->beginReceiving(&error));
        const auto expected = inTurn(fromV4, fromV6);
        EXPECT_EQ(harness.delegate->waitForData(expected.size()), expected);
    }
}

// Datagrams read in one burst reach the delegate together; one whose
// callback throws must not take the rest of the burst down with it. Once the
// burst has run dry only a new read event says more has come.
TEST(DatagramSocketReceive, ABurstIsReadWholeEvenWhenTheDelegateThrowsAndLaterDatagramsStillArrive) {
    Harness harness;
    harness.delegate->onReport = [](const Report& report) {
        if (report.kind == Kind::received && report.data.starts_with("boom")) throw std::runtime_error("failed");
    };
    const auto port = bindLoopback(*harness.socket);
    Peer peer(AF_INET);
    std::vector<std::string> sent;
    for (int i = 0; i < 150; ++i) {
        sent.push_back((i % 3 == 0 ? "boom" : "ok") + std::to_string(i));
        ASSERT_TRUE(peer.sendTo(port, sent.back()));
    }
    SocketError error;
    ASSERT_TRUE(harness.socket->beginReceiving(&error));
    EXPECT_EQ(harness.delegate->waitForData(sent.size()), sent);
    sent.push_back("later");
    ASSERT_TRUE(peer.sendTo(port, sent.back()));
    EXPECT_EQ(harness.delegate->waitForData(sent.size()), sent);
    for (const auto& report : harness.delegate->reports()) {
        EXPECT_EQ(DatagramSocket::portFromAddress(report.address), peer.port());
        EXPECT_TRUE(report.hadSocket);
    }
}

TEST(DatagramSocketReceive, PausingInTheMiddleOfABurstStopsAtOnce) {
    auto system = std::make_shared<FaultySystemCalls>();
    Harness harness(system);
    const auto port = bindLoopback(*harness.socket);
    // Runs on the socket queue, so the pause lands between two reads.
    system->afterEachRead([socket = harness.socket.get()](int taken) {
        if (taken == 3) socket->pauseReceiving();
    });
    Peer peer(AF_INET);
    std::vector<std::string> sent;
    for (int i = 0; i < 10; ++i) {
        sent.push_back(std::to_string(i));
        ASSERT_TRUE(peer.sendTo(port, sent.back()));
    }
    SocketError error;
    ASSERT_TRUE(harness.socket->beginReceiving(&error));
    ASSERT_EQ(harness.delegate->waitForData(3), (std::vector<std::string>{"0", "1", "2"}));
    harness.settle();
    EXPECT_EQ(harness.delegate->reports().size(), 3u) << "read on after the pause";
    EXPECT_TRUE(harness.datagramWaiting(AF_INET));

    ASSERT_TRUE(harness.socket->beginReceiving(&error));
    EXPECT_EQ(harness.delegate->waitForData(sent.size()), sent);
}

TEST(DatagramSocketReceive, AReadErrorClosesAfterWhatWasReadBefore) {
    auto system = std::make_shared<FaultySystemCalls>();
    Harness harness(system);
    const auto port = bindLoopback(*harness.socket);
    Peer peer(AF_INET);
    for (const char* payload : {"one", "two", "three"}) ASSERT_TRUE(peer.sendTo(port, payload));
    ASSERT_TRUE(harness.datagramWaiting(AF_INET));
    system->failRecvfrom(ENOMEM, 2);
    SocketError error;
    ASSERT_TRUE(harness.socket->beginReceiving(&error));
    const auto reports = harness.delegate->waitFor(3);
    EXPECT_EQ(summary(reports), std::string("received one, received two, closed (") + std::strerror(ENOMEM) + ")");
    ASSERT_TRUE(reports.size() == 3 && reports[2].error);
    EXPECT_EQ(reports[2].error->code, ENOMEM);
    EXPECT_EQ(reports[2].error->failureReason, "Error in recvfrom() function");
    EXPECT_TRUE(harness.socket->isClosed());
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
