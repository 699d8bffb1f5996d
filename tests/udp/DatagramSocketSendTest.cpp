#include "udp/DatagramSocket.h"

#include "SocketTesting.h"

#include <gtest/gtest.h>

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace vorn::udp {
namespace {

using namespace testing;

// Two peers on the same port number, one per family, so that a send to
// "localhost" shows which family it took.
struct TwinPeers {
    std::unique_ptr<Peer> v4;
    std::unique_ptr<Peer> v6;

    TwinPeers() {
        for (int attempt = 0; attempt < 20 && !v6; ++attempt) {
            v4 = std::make_unique<Peer>(AF_INET);
            auto candidate = std::make_unique<Peer>(AF_INET6, v4->port());
            if (candidate->ok()) v6 = std::move(candidate);
        }
    }
    std::uint16_t port() const { return v4->port(); }
};

TEST(DatagramSocketSend, SendsToANumericHostAndBindsOnTheWay) {
    for (int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(loopbackHost(family));
        Harness harness;
        Peer peer(family);
        ASSERT_TRUE(peer.ok());
        harness.socket->sendData(bytes("hello"), loopbackHost(family), peer.port(), -1, 42);
        std::uint16_t from = 0;
        EXPECT_EQ(peer.receive(&from), "hello");
        const auto reports = harness.delegate->waitFor(1);
        EXPECT_EQ(summary(reports), "sent 42");
        EXPECT_TRUE(reports.at(0).hadSocket);
        EXPECT_FALSE(harness.socket->isClosed());
        // The first send bound the socket to the port the kernel picked, and
        // the same socket now hears replies there.
        EXPECT_EQ(family == AF_INET ? harness.socket->localPort_IPv4() : harness.socket->localPort_IPv6(), from);
        SocketError error;
        ASSERT_TRUE(harness.socket->beginReceiving(&error)) << ::testing::PrintToString(error);
        ASSERT_TRUE(peer.sendTo(from, "reply"));
        EXPECT_EQ(harness.delegate->waitForData(1), std::vector<std::string>{"reply"});
    }
}

TEST(DatagramSocketSend, LoopbackNamesNeedNoResolverAndFollowThePreference) {
    struct Case {
        const char* host;
        std::function<void(DatagramSocket&)> prefer;
        int expected;
    };
    const std::vector<Case> cases = {
        {"localhost", [](DatagramSocket&) {}, AF_INET},
        {"localhost", [](DatagramSocket& s) { s.setPreferIPv4(); }, AF_INET},
        {"localhost", [](DatagramSocket& s) { s.setPreferIPv6(); }, AF_INET6},
        {"loopback", [](DatagramSocket& s) { s.setPreferIPv6(); }, AF_INET6},
        {"localhost", [](DatagramSocket& s) { s.setPreferIPv6(); s.setIPVersionNeutral(); }, AF_INET},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + (c.expected == AF_INET ? " over IPv4" : " over IPv6"));
        Harness harness(std::make_shared<FaultySystemCalls>());
        TwinPeers peers;
        ASSERT_TRUE(peers.v6) << "no port free on both loopback addresses";
        c.prefer(*harness.socket);
        harness.socket->sendData(bytes(c.host), c.host, peers.port(), -1, 1);
        EXPECT_EQ((c.expected == AF_INET ? *peers.v4 : *peers.v6).receive(), c.host);
        EXPECT_EQ(summary(harness.delegate->waitFor(1)), "sent 1");
        EXPECT_EQ(harness.system->getaddrinfoCalls(), 0);
    }
}

TEST(DatagramSocketSend, NamesResolveToTheirFamilyAndAFailedOneFailsAlone) {
    Harness harness(std::make_shared<FaultySystemCalls>());
    harness.system->refuse("no-such-host.invalid", EAI_NONAME);
    harness.system->resolve("v6only.test", "::1");
    Peer peer(AF_INET);
    Peer peer6(AF_INET6);
    harness.socket->sendData(bytes("lost"), "no-such-host.invalid", peer.port(), -1, 1);
    harness.socket->sendData(bytes("found"), "127.0.0.1", peer.port(), -1, 2);
    harness.socket->sendData(bytes("six"), "v6only.test", peer6.port(), -1, 3);
    EXPECT_EQ(peer.receive(), "found");
    EXPECT_EQ(peer6.receive(), "six");
    const auto reports = harness.delegate->waitFor(3);
    EXPECT_EQ(summary(reports), std::string("notSent 1 (") + ::gai_strerror(EAI_NONAME) + "), sent 2, sent 3");
    ASSERT_TRUE(reports.at(0).error);
    EXPECT_EQ(reports[0].error->domain, NetDBErrorDomain);
    EXPECT_EQ(reports[0].error->code, EAI_NONAME);
}

TEST(DatagramSocketSend, FamilyRulesRefuseWithTheExactTexts) {
    struct Case {
        const char* name;
        std::function<void(DatagramSocket&)> setup;
        const char* host;
        std::string description;
    };
    const auto bindTo = [](std::optional<std::string> interface, bool v6 = true) {
        return [interface, v6](DatagramSocket& s) {
            s.setIPv6Enabled(v6);
            SocketError error;
            ASSERT_TRUE(s.bindToPort(0, interface, &error)) << ::testing::PrintToString(error);
        };
    };
    const std::vector<Case> cases = {
        {"IPv4 disabled, IPv4 host", [](DatagramSocket& s) { s.setIPv4Enabled(false); }, "127.0.0.1",
         "IPv4 has been disabled and DNS lookup found no IPv6 address(es)."},
        {"IPv6 disabled, IPv6 host", [](DatagramSocket& s) { s.setIPv6Enabled(false); }, "v6only.test",
         "IPv6 has been disabled and DNS lookup found no IPv4 address(es)."},
        {"IPv6 disabled and bound, IPv6 host", bindTo(std::nullopt, false), "v6only.test",
         "IPv6 has been disabled and DNS lookup found no IPv4 address(es)."},
        {"bound to IPv4 only, IPv6 host", bindTo("127.0.0.1"), "v6only.test",
         "IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es)."},
        {"bound to IPv6 only, IPv4 host", bindTo("::1"), "127.0.0.1",
         "IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 address(es)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness harness(std::make_shared<FaultySystemCalls>());
        harness.system->resolve("v6only.test", "::1");
        c.setup(*harness.socket);
        harness.socket->sendData(bytes("refused"), c.host, 9, -1, 7);
        const auto reports = harness.delegate->waitFor(1);
        EXPECT_EQ(summary(reports), "notSent 7 (" + c.description + ")");
        ASSERT_TRUE(reports.at(0).error);
        EXPECT_TRUE(reports[0].error->isDatagramSocketError(DatagramSocketErrorCode::other))
            << ::testing::PrintToString(*reports[0].error);
    }
}

// The first send needs the resolver and the second does not; neither may
// overtake the other. Empty payloads are ignored.
TEST(DatagramSocketSend, ReportsSendsInTheOrderTheyWereMadeAndIgnoresEmptyOnes) {
    Harness harness;
    Peer peer(AF_INET);
    harness.socket->sendData(SharedBytes(), "127.0.0.1", peer.port(), -1, 1);
    harness.socket->sendData(bytes("one"), "127.0.0.1", peer.port(), -1, 30);
    harness.socket->sendData(SharedBytes(), loopback(AF_INET, peer.port()), -1, 2);
    harness.socket->sendData(bytes("two"), loopback(AF_INET, peer.port()), -1, 10);
    harness.socket->sendData(bytes("three"), "localhost", peer.port(), -1, 20);
    // An empty datagram would have arrived first.
    for (const char* expected : {"one", "two", "three"}) EXPECT_EQ(peer.receive(), expected);
    harness.delegate->waitFor(3);
    harness.settle();
    EXPECT_EQ(summary(harness.delegate->reports()), "sent 30, sent 10, sent 20");
}

TEST(DatagramSocketSend, AFullBufferWaitsForSpaceAndTimesOutOnlyWithATimeout) {
    Harness harness(std::make_shared<FaultySystemCalls>());
    Peer peer(AF_INET);
    harness.system->failSendto(EAGAIN, 3);
    harness.socket->sendData(bytes("patient"), "127.0.0.1", peer.port(), -1, 1);
    EXPECT_EQ(peer.receive(), "patient");
    EXPECT_EQ(summary(harness.delegate->waitFor(1)), "sent 1");
    EXPECT_GE(harness.system->sendtoCalls(), 4);

    // The buffer stays full; the send queued behind, without a limit, waits
    // until it frees.
    harness.system->failSendto(EAGAIN);
    harness.socket->sendData(bytes("hurried"), "127.0.0.1", peer.port(), 0.05, 2);
    harness.socket->sendData(bytes("unhurried"), "127.0.0.1", peer.port(), -1, 3);
    auto reports = harness.delegate->waitFor(2);
    EXPECT_EQ(summary(reports), "sent 1, notSent 2 (Send operation timed out)");
    ASSERT_TRUE(reports.size() == 2 && reports[1].error);
    EXPECT_TRUE(reports[1].error->isDatagramSocketError(DatagramSocketErrorCode::sendTimeout));

    harness.system->stopFailingSendto();
    EXPECT_EQ(peer.receive(), "unhurried");
    EXPECT_EQ(summary(harness.delegate->waitFor(3)), "sent 1, notSent 2 (Send operation timed out), sent 3");
}

TEST(DatagramSocketSend, AKernelSendErrorClosesTheSocketAndDropsTheQueue) {
    Harness harness(std::make_shared<FaultySystemCalls>());
    auto gate = std::make_shared<Event>();
    struct Opener {
        std::shared_ptr<Event> gate;
        ~Opener() { gate->arrive(); }
    } opener{gate};
    // Held in the resolver until all three are queued, so that the failure
    // finds the other two waiting behind it.
    harness.system->resolve("gate.test", "127.0.0.1", gate);
    Peer peer(AF_INET);
    harness.system->failSendto(EPERM, 1);
    for (int tag = 1; tag <= 3; ++tag) harness.socket->sendData(bytes("queued"), "gate.test", peer.port(), -1, tag);
    harness.socket->performBlock([] {});
    gate->arrive();

    auto reports = harness.delegate->waitFor(1);
    EXPECT_EQ(summary(reports), std::string("closed (") + std::strerror(EPERM) + ")");
    ASSERT_TRUE(reports.at(0).error);
    EXPECT_EQ(reports[0].error->domain, POSIXErrorDomain);
    EXPECT_EQ(reports[0].error->code, EPERM);
    EXPECT_EQ(reports[0].error->failureReason, "Error in send() function.");
    EXPECT_TRUE(harness.socket->isClosed());

    // The next send opens new descriptors; the dropped ones never go out.
    harness.socket->sendData(bytes("four"), "127.0.0.1", peer.port(), -1, 4);
    EXPECT_EQ(peer.receive(), "four");
    harness.delegate->waitFor(2);
    harness.settle();
    EXPECT_EQ(summary(harness.delegate->reports()), std::string("closed (") + std::strerror(EPERM) + "), sent 4");
}

TEST(DatagramSocketSend, CloseAfterSendingLetsTheQueueFinish) {
    Harness harness;
    Peer peer(AF_INET);
    for (int tag = 1; tag <= 3; ++tag) harness.socket->sendData(bytes("x"), "127.0.0.1", peer.port(), -1, tag);
    harness.socket->closeAfterSending();
    EXPECT_EQ(summary(harness.delegate->waitFor(4)), "sent 1, sent 2, sent 3, closed");
    EXPECT_TRUE(harness.socket->isClosed());
}

TEST(DatagramSocketSend, ADenyingSendFilterKeepsTheDatagramButReportsItSent) {
    for (bool asynchronous : {false, true}) {
        SCOPED_TRACE(asynchronous ? "asynchronous filter" : "synchronous filter");
        Harness harness;
        Peer peer(AF_INET);
        harness.socket->setSendFilter(
            [port = peer.port()](const SharedBytes& data, const SharedBytes& address, std::int64_t tag) {
                return text(data) != "secret" && DatagramSocket::portFromAddress(address) == port && tag != 0;
            },
            dispatch::SerialQueue::create("test.send-filter"), asynchronous);
        harness.socket->sendData(bytes("secret"), "127.0.0.1", peer.port(), -1, 1);
        harness.socket->sendData(bytes("public"), "127.0.0.1", peer.port(), -1, 2);
        EXPECT_EQ(peer.receive(), "public");
        EXPECT_EQ(summary(harness.delegate->waitFor(2)), "sent 1, sent 2");
    }
}

}  // namespace
}  // namespace vorn::udp
