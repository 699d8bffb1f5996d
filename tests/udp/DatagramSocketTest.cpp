#include "udp/DatagramSocket.h"

#include "dispatch/ConcurrentQueue.h"
#include "support/SocketTesting.h"

#include <gtest/gtest.h>

#include <netdb.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace vorn::udp {
namespace {

using namespace testing;
using Strings = std::vector<std::string>;

// A datagram from a peer of `family` reaches the socket with the peer's address.
void expectReachable(const Harness& harness, int family, std::uint16_t port) {
    Peer peer(family);
    const auto before = harness.delegate->reports().size();
    ASSERT_TRUE(peer.sendTo(port, "to"));
    const auto reports = harness.delegate->waitFor(before + 1);
    ASSERT_EQ(reports.size(), before + 1);
    std::string host;
    std::uint16_t from = 0;
    EXPECT_TRUE(DatagramSocket::getHost(&host, &from, reports.back().address));
    EXPECT_EQ(reports.back().data + " " + host + " " + std::to_string(from),
              "to " + std::string(loopbackHost(family)) + " " + std::to_string(peer.port()));
}

TEST(DatagramSocketBind, BindsToEveryInterfaceOrOneByNameOrAddress) {
    struct Case {
        const char* interface;
        std::string host4, host6;  // empty: that family is not bound
    };
    for (const Case& c : {Case{nullptr, "0.0.0.0", "::"}, Case{"lo", "127.0.0.1", "::1"},
                          Case{"localhost", "127.0.0.1", "::1"}, Case{"127.0.0.1", "127.0.0.1", ""},
                          Case{"::1", "", "::1"}}) {
        SCOPED_TRACE(c.interface ? c.interface : "every interface, port 0");
        Harness harness;
        auto& socket = *harness.socket;
        harness.receiving(c.interface);
        EXPECT_EQ(socket.localHost_IPv4(), c.host4);
        EXPECT_EQ(socket.localHost_IPv6(), c.host6);
        EXPECT_EQ(socket.localHost(), c.host4.empty() ? c.host6 : c.host4);
        EXPECT_EQ(socket.localPort_IPv4() == 0, c.host4.empty());
        EXPECT_EQ(socket.localPort_IPv6() == 0, c.host6.empty());
        if (!c.host4.empty()) expectReachable(harness, AF_INET, socket.localPort_IPv4());
        if (!c.host6.empty()) expectReachable(harness, AF_INET6, socket.localPort_IPv6());
    }
}

TEST(DatagramSocketBind, RefusesWithTheExactTexts) {
    using enum DatagramSocketErrorCode;
    struct Case {
        bool delegate, delegateQueue, ipv4, ipv6, boundBefore;
        std::optional<std::string> interface;
        DatagramSocketErrorCode code;
        std::string description;
    };
    for (const Case& c : {
             Case{false, true, true, true, false, {}, badConfig,
                  "Attempting to use socket without a delegate. Set a delegate first."},
             Case{true, false, true, true, false, {}, badConfig,
                  "Attempting to use socket without a delegate queue. Set a delegate queue first."},
             Case{true, true, false, false, false, {}, badConfig,
                  "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
             Case{true, true, true, true, true, {}, badConfig, "Cannot bind a socket more than once."},
             Case{true, true, true, true, false, "no-such-interface0", badParam,
                  "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
             Case{true, true, false, true, false, "127.0.0.1", badParam,
                  "IPv4 has been disabled and specified interface doesn't support IPv6."},
             Case{true, true, true, false, false, "::1", badParam,
                  "IPv6 has been disabled and specified interface doesn't support IPv4."},
         }) {
        SCOPED_TRACE(c.description);
        Harness harness;
        auto socket = DatagramSocket::create(c.delegate ? harness.delegate : nullptr,
                                             c.delegateQueue ? harness.delegateQueue : nullptr);
        socket->setIPv4Enabled(c.ipv4);
        socket->setIPv6Enabled(c.ipv6);
        SocketError error;
        ASSERT_TRUE(!c.boundBefore || socket->bindToPort(0, &error));
        EXPECT_FALSE(socket->bindToPort(0, c.interface, &error));
        EXPECT_TRUE(error.isDatagramSocketError(c.code)) << error.localizedDescription();
        EXPECT_EQ(error.description, c.description);
        // A refused bind leaves nothing behind, and spoils no earlier one.
        EXPECT_EQ(socket->isClosed(), !c.boundBefore);
    }
    Harness unbound;
    SocketError error;
    EXPECT_FALSE(unbound.socket->beginReceiving(&error));
    EXPECT_EQ(error.description,
              "Must bind socket before you can receive data. You can do this explicitly via bind, or implicitly via "
              "connect or by sending data.");
}

// With SO_REUSEADDR Linux would let a second socket share the port and take its datagrams.
TEST(DatagramSocketBind, BothFamiliesShareAPortThatOthersCannotTakeUnlessAllAskedForReuse) {
    Harness holder;
    SocketError error;
    const auto port = bindToSomeFreePort(*holder.socket, &error);
    ASSERT_NE(port, 0) << error.localizedDescription();
    ASSERT_TRUE(holder.socket->beginReceiving(&error));
    EXPECT_EQ(holder.socket->localPort_IPv6(), port);
    expectReachable(holder, AF_INET, port);
    expectReachable(holder, AF_INET6, port);
    Harness late;
    const auto sockets = openSocketCount();
    EXPECT_FALSE(late.socket->bindToPort(port, &error));
    EXPECT_EQ(error.domain, POSIXErrorDomain);
    EXPECT_EQ(error.code, EADDRINUSE);
    EXPECT_EQ(error.localizedDescription(), std::string(std::strerror(EADDRINUSE)) + " (Error in bind() function)");
    EXPECT_TRUE(late.socket->isClosed());
    EXPECT_EQ(openSocketCount(), sockets);
    // Closing frees the port and is reported once; the socket binds again.
    late.socket->close();
    holder.socket->close();
    holder.socket->close();
    EXPECT_TRUE(holder.socket->isClosed());
    EXPECT_TRUE(late.socket->bindToPort(port, &error)) << error.localizedDescription();
    late.socket->close();
    EXPECT_TRUE(holder.socket->bindToPort(port, &error)) << error.localizedDescription();
    holder.socket->close();
    holder.settle();
    late.settle();
    EXPECT_EQ(summary(holder.delegate->reports()) + "; " + summary(late.delegate->reports()),
              "received to, received to, closed, closed; closed");

    for (bool firstAsks : {false, true}) {
        SCOPED_TRACE(firstAsks ? "both ask for reuse" : "only the newcomer asks for reuse");
        Harness first;
        Harness second;
        ASSERT_TRUE(first.socket->enableReusePort(firstAsks, &error));
        ASSERT_TRUE(first.socket->bindToPort(port, &error)) << error.localizedDescription();
        ASSERT_TRUE(second.socket->enableReusePort(true, &error));
        EXPECT_EQ(second.socket->bindToPort(port, &error), firstAsks) << error.localizedDescription();
        EXPECT_EQ(second.socket->localPort_IPv6(), firstAsks ? port : 0);
    }
}

TEST(DatagramSocketBind, OptionsReachBothDescriptorsWithoutShrinkingTheKernelBuffers) {
    const auto option = [](int fd, int level, int name) {
        int value = -1;
        socklen_t length = sizeof value;
        return ::getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
    };
    const int receiveDefault = option(Peer(AF_INET).fd(), SOL_SOCKET, SO_RCVBUF);
    const int sendDefault = option(Peer(AF_INET).fd(), SOL_SOCKET, SO_SNDBUF);
    Harness harness;
    auto& socket = *harness.socket;
    SocketError error;
    ASSERT_TRUE(socket.enableReusePort(true, &error) && socket.enableBroadcast(true, &error));
    socket.performBlock([&] {
        for (int fd : {socket.socket4FD(), socket.socket6FD()}) {
            EXPECT_EQ(option(fd, SOL_SOCKET, SO_REUSEPORT), 1);
            EXPECT_EQ(option(fd, SOL_SOCKET, SO_REUSEADDR), 0);
            EXPECT_GE(option(fd, SOL_SOCKET, SO_RCVBUF), receiveDefault);
            EXPECT_GE(option(fd, SOL_SOCKET, SO_SNDBUF), sendDefault);
        }
        EXPECT_EQ(option(socket.socket4FD(), SOL_SOCKET, SO_BROADCAST), 1);
        // Without it the IPv6 bind collides with the IPv4 one on the same port.
        EXPECT_EQ(option(socket.socket6FD(), IPPROTO_IPV6, IPV6_V6ONLY), 1);
    });
}

TEST(DatagramSocketBind, AddressHelpersReadOnlyWholeIPv4AndIPv6Addresses) {
    const auto raw = [](int family, std::uint16_t port, std::size_t keep = 64) {
        return text(loopback(family, port)).substr(0, keep);
    };
    std::string otherFamily = raw(AF_INET6, 9000);
    otherFamily[0] = AF_UNIX;
    struct Case {
        std::string address, host;
        std::uint16_t port;
        int family;  // 0: not an address
    };
    for (const Case& c : {Case{raw(AF_INET, 8000), "127.0.0.1", 8000, AF_INET},
                          Case{raw(AF_INET6, 65535), "::1", 65535, AF_INET6}, Case{raw(AF_INET, 8000, 15), "", 0, 0},
                          Case{raw(AF_INET6, 9000, 16), "", 0, 0}, Case{otherFamily, "", 0, 0}, Case{"", "", 0, 0}}) {
        SCOPED_TRACE(c.address.size());
        std::string host = "stale";
        std::uint16_t port = 1234;
        int family = 99;
        EXPECT_EQ(DatagramSocket::getHost(&host, &port, &family, bytes(c.address)), c.family != 0);
        EXPECT_EQ(std::tie(host, port, family), std::tie(c.host, c.port, c.family));
        EXPECT_EQ(DatagramSocket::isIPv6Address(bytes(c.address)), c.family == AF_INET6);
    }
}

TEST(DatagramSocketSend, SendsToANumericHostAndHearsRepliesOnThePortItBound) {
    for (int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(loopbackHost(family));
        Harness harness;
        Peer peer(family);
        harness.socket->sendData(bytes("hello"), loopbackHost(family), peer.port(), -1, 42);
        std::uint16_t from = 0;
        EXPECT_EQ(peer.receive(&from), "hello");
        EXPECT_EQ(summary(harness.delegate->waitFor(1)), "sent 42");
        EXPECT_EQ(family == AF_INET ? harness.socket->localPort_IPv4() : harness.socket->localPort_IPv6(), from);
        SocketError error;
        ASSERT_TRUE(harness.socket->beginReceiving(&error)) << error.localizedDescription();
        ASSERT_TRUE(peer.sendTo(from, "reply"));
        EXPECT_EQ(harness.delegate->waitForData(1), Strings{"reply"});
    }
}

// Two peers on one port number, one per family, show which family a send took.
TEST(DatagramSocketSend, LoopbackNamesNeedNoResolverAndFollowThePreference) {
    using Prefer = std::function<void(DatagramSocket&)>;
    for (const auto& [host, prefer, expected] :
         {std::tuple{"localhost", Prefer([](DatagramSocket&) {}), AF_INET},
          std::tuple{"localhost", Prefer([](DatagramSocket& s) { s.setPreferIPv6(); }), AF_INET6},
          std::tuple{"loopback", Prefer([](DatagramSocket& s) { s.setPreferIPv6(); }), AF_INET6},
          std::tuple{"localhost", Prefer([](auto& s) { s.setPreferIPv6(), s.setIPVersionNeutral(); }), AF_INET}}) {
        SCOPED_TRACE(std::string(host) + (expected == AF_INET ? " over IPv4" : " over IPv6"));
        Harness harness(std::make_shared<FaultySystemCalls>());
        // Had the resolver been asked, the send would fail.
        for (const char* name : {"localhost", "loopback"}) harness.system->resolve(name, "", nullptr, EAI_FAIL);
        std::unique_ptr<Peer> v4;
        std::unique_ptr<Peer> v6;
        for (int attempt = 0; attempt < 20 && !(v6 && v6->ok()); ++attempt) {
            v4 = std::make_unique<Peer>(AF_INET);
            v6 = std::make_unique<Peer>(AF_INET6, v4->port());
        }
        ASSERT_TRUE(v6->ok()) << "no port free on both loopback addresses";
        prefer(*harness.socket);
        harness.socket->sendData(bytes(host), host, v4->port(), -1, 1);
        EXPECT_EQ((expected == AF_INET ? v4 : v6)->receive(), host);
        EXPECT_EQ(summary(harness.delegate->waitFor(1)), "sent 1");
    }
}

TEST(DatagramSocketSend, AnUnresolvableHostOrTheFamilyRulesRefuseWithTheExactTexts) {
    using Setup = std::function<void(DatagramSocket&)>;
    const auto bindTo = [](const char* interface) {
        return Setup([interface](DatagramSocket& s) { ASSERT_TRUE(s.bindToPort(0, std::string(interface))); });
    };
    for (const auto& [setup, host, description] : {
             std::tuple{Setup([](DatagramSocket&) {}), "no-such-host.invalid", std::string(::gai_strerror(EAI_NONAME))},
             std::tuple{Setup([](DatagramSocket& s) { s.setIPv4Enabled(false); }), "127.0.0.1",
                        std::string("IPv4 has been disabled and DNS lookup found no IPv6 address(es).")},
             std::tuple{Setup([](DatagramSocket& s) { s.setIPv6Enabled(false); }), "v6only.test",
                        std::string("IPv6 has been disabled and DNS lookup found no IPv4 address(es).")},
             std::tuple{bindTo("127.0.0.1"), "v6only.test",
                        std::string("IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 "
                                    "address(es).")},
             std::tuple{bindTo("::1"), "127.0.0.1",
                        std::string("IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 "
                                    "address(es).")},
         }) {
        SCOPED_TRACE(description);
        Harness harness(std::make_shared<FaultySystemCalls>());
        harness.system->resolve("v6only.test", "::1");
        harness.system->resolve("no-such-host.invalid", "", nullptr, EAI_NONAME);
        setup(*harness.socket);
        harness.socket->sendData(bytes("refused"), host, 9, -1, 7);
        const auto reports = harness.delegate->waitFor(1);
        EXPECT_EQ(summary(reports), "notSent 7 (" + description + ")");
        EXPECT_EQ(reports.at(0).error->domain,
                  std::string_view(host) == "no-such-host.invalid" ? NetDBErrorDomain : DatagramSocketErrorDomain);
    }
}

// The first send needs the resolver and the others do not; none may overtake.
TEST(DatagramSocketSend, ReportsSendsInOrderIgnoresEmptyOnesAndClosesAfterSending) {
    Harness harness;
    Peer peer(AF_INET);
    harness.socket->sendData(SharedBytes(), "127.0.0.1", peer.port(), -1, 1);
    harness.socket->sendData(bytes("one"), "127.0.0.1", peer.port(), -1, 30);
    harness.socket->sendData(SharedBytes(), loopback(AF_INET, peer.port()), -1, 2);
    harness.socket->sendData(bytes("two"), loopback(AF_INET, peer.port()), -1, 10);
    harness.socket->sendData(bytes("three"), "localhost", peer.port(), -1, 20);
    harness.socket->closeAfterSending();
    // An empty datagram would have arrived first.
    for (const char* expected : {"one", "two", "three"}) EXPECT_EQ(peer.receive(), expected);
    harness.delegate->waitFor(4);
    harness.settle();
    EXPECT_EQ(summary(harness.delegate->reports()), "sent 30, sent 10, sent 20, closed");
}

TEST(DatagramSocketSend, AFullBufferWaitsForSpaceAndTimesOutOnlyWithATimeout) {
    Harness harness(std::make_shared<FaultySystemCalls>());
    Peer peer(AF_INET);
    harness.system->failSendto(EAGAIN, 3);
    harness.socket->sendData(bytes("patient"), "127.0.0.1", peer.port(), -1, 1);
    EXPECT_EQ(peer.receive(), "patient");
    EXPECT_EQ(summary(harness.delegate->waitFor(1)), "sent 1");
    // The buffer stays full; the unlimited send behind waits, and receiving goes on.
    harness.system->failSendto(EAGAIN);
    SocketError error;
    ASSERT_TRUE(harness.socket->beginReceiving(&error));
    harness.socket->sendData(bytes("hurried"), "127.0.0.1", peer.port(), 0.05, 2);
    harness.socket->sendData(bytes("unhurried"), "127.0.0.1", peer.port(), -1, 3);
    const auto reports = harness.delegate->waitFor(2);
    EXPECT_EQ(summary(reports), "sent 1, notSent 2 (Send operation timed out)");
    EXPECT_TRUE(reports.at(1).error->isDatagramSocketError(DatagramSocketErrorCode::sendTimeout));
    ASSERT_TRUE(peer.sendTo(harness.socket->localPort_IPv4(), "meanwhile"));
    EXPECT_EQ(harness.delegate->waitForData(1), Strings{"meanwhile"});
    harness.system->failSendto(0, 0);
    EXPECT_EQ(peer.receive(), "unhurried");
    EXPECT_EQ(summary(harness.delegate->waitFor(4)),
              "sent 1, notSent 2 (Send operation timed out), received meanwhile, sent 3");
}

// The cut-off rest is gone with its datagram, not delivered as another.
TEST(DatagramSocketReceive, CutsADatagramToTheMaximumReceiveSize) {
    std::string big(600, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    for (const auto& [family, limit, kept] :
         {std::tuple{AF_INET, 512u, 512u}, std::tuple{AF_INET6, 512u, 512u}, std::tuple{AF_INET6, 100000u, 600u}}) {
        SCOPED_TRACE(std::string(loopbackHost(family)) + " limit " + std::to_string(limit));
        Harness harness;
        harness.socket->setMaxReceiveIPv4BufferSize(family == AF_INET ? std::uint16_t(limit) : 65535);
        harness.socket->setMaxReceiveIPv6BufferSize(family == AF_INET6 ? limit : 65535);
        const auto port = harness.receiving(loopbackHost(family));
        Peer peer(family);
        ASSERT_TRUE(peer.sendTo(port, big) && peer.sendTo(port, "next"));
        EXPECT_EQ(harness.delegate->waitForData(2), (Strings{big.substr(0, kept), "next"}));
        harness.settle();
        EXPECT_EQ(harness.delegate->reports().size(), 2u);
    }
}

// Only an empty buffer is no failure: any other read error closes the socket
// and says why.
TEST(DatagramSocketReceive, AFailedReadClosesTheSocketAndSaysWhy) {
    Harness harness(std::make_shared<FaultySystemCalls>());
    const auto port = harness.receiving();
    Peer peer(AF_INET);
    ASSERT_TRUE(peer.sendTo(port, "kept"));
    EXPECT_EQ(harness.delegate->waitForData(1), Strings{"kept"});
    harness.system->failRecvfrom(ENOBUFS);
    ASSERT_TRUE(peer.sendTo(port, "lost"));
    const auto reports = harness.delegate->waitFor(2);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].kind, Report::Kind::closed);
    ASSERT_TRUE(reports[1].error.has_value());
    EXPECT_EQ(reports[1].error->code, ENOBUFS);
    EXPECT_EQ(reports[1].error->failureReason, "Error in recvfrom() function");
}

// receiveOnce ends with the first datagram the filter lets through.
TEST(DatagramSocketReceive, FiltersDropDatagramsOrAttachAContext) {
    for (bool asynchronous : {false, true}) {
        SCOPED_TRACE(asynchronous ? "asynchronous filter" : "synchronous filter");
        Harness harness;
        std::atomic<int> calls{0};
        harness.socket->setReceiveFilter(
            [&calls](const SharedBytes& data, const SharedBytes& address, std::any& context) {
                ++calls;
                context = text(data) + "@" + std::to_string(DatagramSocket::portFromAddress(address));
                return !text(data).starts_with("deny");
            },
            dispatch::SerialQueue::create("test.filter"), asynchronous);
        const auto port = harness.receiving();
        harness.socket->pauseReceiving();
        Peer peer(AF_INET);
        for (const char* payload : {"deny-1", "keep-1", "deny-2", "keep-2"}) ASSERT_TRUE(peer.sendTo(port, payload));
        SocketError error;
        ASSERT_TRUE(harness.socket->receiveOnce(&error));
        ASSERT_EQ(harness.delegate->waitForData(1), Strings{"keep-1"});
        EXPECT_TRUE(harness.datagramWaiting(AF_INET));
        ASSERT_TRUE(harness.socket->beginReceiving(&error));
        ASSERT_EQ(harness.delegate->waitForData(2), (Strings{"keep-1", "keep-2"}));
        harness.settle();
        for (const auto& r : harness.delegate->reports()) {
            const auto* context = std::any_cast<std::string>(&r.context);
            EXPECT_EQ(context ? *context : "none", r.data + "@" + std::to_string(peer.port()));
        }
        EXPECT_EQ(calls.load(), 4);
    }
}

TEST(DatagramSocketReceive, ReadsTheFamiliesInTurnIPv6First) {
    // The last case takes more than one turn of the socket queue to read.
    for (const auto& [fromV4, fromV6] : {std::pair{2, 2}, std::pair{3, 1}, std::pair{1, 3}, std::pair{100, 100}}) {
        SCOPED_TRACE(std::to_string(fromV4) + " from IPv4, " + std::to_string(fromV6) + " from IPv6");
        Harness harness;
        harness.receiving("localhost");
        harness.socket->pauseReceiving();
        Peer v4(AF_INET);
        Peer v6(AF_INET6);
        Strings expected;
        for (int i = 1; i <= std::max(fromV4, fromV6); ++i) {
            for (auto* peer : {&v6, &v4}) {
                const bool six = peer == &v6;
                if (i > (six ? fromV6 : fromV4)) continue;
                expected.push_back((six ? "v6-" : "v4-") + std::to_string(i));
                ASSERT_TRUE(peer->sendTo(six ? harness.socket->localPort_IPv6() : harness.socket->localPort_IPv4(),
                                         expected.back()));
            }
        }
        ASSERT_TRUE(harness.datagramWaiting(AF_INET) && harness.datagramWaiting(AF_INET6));
        SocketError error;
        ASSERT_TRUE(harness.socket->beginReceiving(&error));
        EXPECT_EQ(harness.delegate->waitForData(expected.size()), expected);
    }
}

// A callback that throws must not take the rest of its burst down with it.
// Paused, or receiving once, the socket leaves what nobody asked for waiting.
TEST(DatagramSocketReceive, ABurstIsReadWholeEvenWhenTheDelegateThrowsAndPauseAndOnceStopReading) {
    Harness harness;
    harness.delegate->onReport = [](const Report& report) {
        if (report.data.starts_with("boom")) throw std::runtime_error("failed");
    };
    const auto port = harness.receiving();
    harness.socket->pauseReceiving();
    Peer peer(AF_INET);
    Strings sent;
    for (int i = 0; i < 150; ++i) {
        sent.push_back((i % 3 == 0 ? "boom" : "ok") + std::to_string(i));
        ASSERT_TRUE(peer.sendTo(port, sent.back()));
    }
    SocketError error;
    ASSERT_TRUE(harness.socket->beginReceiving(&error));
    EXPECT_EQ(harness.delegate->waitForData(sent.size()), sent);
    harness.socket->pauseReceiving();
    for (const char* payload : {"once", "left"}) {
        ASSERT_TRUE(peer.sendTo(port, payload));
        EXPECT_TRUE(harness.datagramWaiting(AF_INET)) << "the socket took a datagram nobody asked for";
        harness.settle();
        EXPECT_EQ(harness.delegate->reports().size(), sent.size());
        ASSERT_TRUE(harness.socket->receiveOnce(&error));
        sent.push_back(payload);
        EXPECT_EQ(harness.delegate->waitForData(sent.size()), sent);
    }
}

// On Linux a read event of 0 bytes is an empty datagram, not a closed
// socket: closing on it would let any peer silence a server.
TEST(DatagramSocketReceive, AnEmptyDatagramIsDroppedAndReceivingGoesOn) {
    for (int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(loopbackHost(family));
        Harness harness;
        const auto port = harness.receiving(loopbackHost(family));
        Peer peer(family);
        for (const char* payload : {"", "after", "", "last"}) ASSERT_TRUE(peer.sendTo(port, payload));
        EXPECT_EQ(harness.delegate->waitForData(2), (Strings{"after", "last"}));
        harness.settle();
        EXPECT_EQ(harness.delegate->reports().size(), 2u) << "nothing but the two datagrams, and no close";
        EXPECT_FALSE(harness.socket->isClosed());
    }
}

using Kind = Report::Kind;

// Tells when a socket is gone: it keeps its user data until it is destroyed.
std::shared_ptr<Event> farewell(DatagramSocket& socket) {
    struct Marker {
        std::shared_ptr<Event> gone;
        ~Marker() { gone->arrive(); }
    };
    auto gone = std::make_shared<Event>();
    socket.setUserData(std::shared_ptr<Marker>(new Marker{gone}));
    return gone;
}

// The end may come on another thread (a running callback may hold the last
// reference); the socket queue then still has the cancel handlers to run.
void letGo(std::shared_ptr<DatagramSocket>& socket, dispatch::SerialQueue& socketQueue) {
    const auto gone = farewell(*socket);
    socket.reset();
    EXPECT_TRUE(gone->wait()) << "the socket outlived its last reference";
    socketQueue.sync([] {});
}

// What the process opens for good on first use (the resolver, say) must not count.
std::size_t socketsAfterWarmUp() {
    {
        auto socketQueue = dispatch::SerialQueue::create("test.warm-up");
        Harness harness(nullptr, socketQueue);
        Peer peer(AF_INET);
        SocketError error;
        EXPECT_TRUE(harness.socket->bindToPort(0, &error) && harness.socket->beginReceiving(&error));
        harness.socket->sendData(bytes("warm"), "127.0.0.1", peer.port(), 1, 1);
        EXPECT_EQ(peer.receive(), "warm");
        letGo(harness.socket, *socketQueue);
    }
    return openSocketCount();
}

// A host without IPv6 (EAFNOSUPPORT) is served over IPv4 alone, not refused.
TEST(DatagramSocketLifetime, ClosingAndDestroyingWithSendsPendingReleaseEveryDescriptor) {
    for (bool ipv6 : {true, false}) {
        SCOPED_TRACE(ipv6 ? "IPv4 and IPv6" : "a host without IPv6");
        const auto before = socketsAfterWarmUp();
        auto gate = std::make_shared<Event>();
        auto socketQueue = dispatch::SerialQueue::create("test.socket");
        Harness harness(std::make_shared<FaultySystemCalls>(), socketQueue);
        harness.system->resolve("gate.test", "127.0.0.1", gate);
        if (!ipv6) harness.system->failSocket(AF_INET6, EAFNOSUPPORT);
        Peer peer(AF_INET);
        auto& socket = *harness.socket;
        SocketError error;
        ASSERT_TRUE(socket.bindToPort(0, &error) && socket.beginReceiving(&error)) << error.localizedDescription();
        EXPECT_EQ(socket.isIPv6(), ipv6);
        EXPECT_EQ(openSocketCount(), before + (ipv6 ? 3 : 2));
        ASSERT_TRUE(peer.sendTo(socket.localPort(), "in"));
        EXPECT_EQ(harness.delegate->waitForData(1), Strings{"in"});
        socket.close();
        EXPECT_EQ(openSocketCount(), before + 1);
        // Reopened by a send; at the end one send waits for buffer space,
        // more wait behind it, some still in the resolver.
        socket.sendData(bytes("x"), "localhost", peer.port(), -1, 1);
        EXPECT_EQ(peer.receive(), "x");
        EXPECT_EQ(summary(harness.delegate->waitFor(3)), "received in, closed, sent 1");
        ASSERT_TRUE(socket.beginReceiving(&error));
        harness.system->failSendto(EAGAIN);
        for (int tag = 2; tag <= 6; ++tag) {
            socket.sendData(bytes("queued"), tag % 2 == 0 ? "127.0.0.1" : "gate.test", peer.port(), -1, tag);
        }
        socket.performBlock([] {});
        letGo(harness.socket, *socketQueue);
        EXPECT_EQ(openSocketCount(), before + 1);
        gate->arrive();
        harness.delegateQueue->sync([] {});
        EXPECT_EQ(harness.delegate->reports().size(), 3u) << "a send reported after the end";
    }
}

TEST(DatagramSocketLifetime, FailedCreationsReleaseEveryDescriptor) {
    const auto before = socketsAfterWarmUp();
    using Fault = std::function<void(FaultySystemCalls&)>;
    for (const auto& [fault, code, reason] : {
             std::tuple{Fault([](auto& s) { s.failSocket(AF_INET6, EMFILE); }), EMFILE, "Error in socket() function"},
             std::tuple{Fault([](auto& s) { s.failSocket(AF_INET, ENFILE); }), ENFILE, "Error in socket() function"},
             std::tuple{Fault([](auto& s) { s.failSetsockopt(IPPROTO_IPV6, IPV6_V6ONLY, EPERM); }), EPERM,
                        "Error enabling IPv6-only mode (setsockopt)"}}) {
        SCOPED_TRACE(reason);
        Harness harness(std::make_shared<FaultySystemCalls>());
        fault(*harness.system);
        SocketError error;
        EXPECT_FALSE(harness.socket->bindToPort(0, &error));
        EXPECT_EQ(error.domain, POSIXErrorDomain);
        EXPECT_EQ(error.code, code);
        EXPECT_EQ(error.failureReason, reason);
        EXPECT_EQ(openSocketCount(), before);
        // A send that cannot create its descriptors reports no send either.
        harness.socket->sendData(bytes("never"), "127.0.0.1", 9, -1, 1);
        harness.settle();
        for (const auto& report : harness.delegate->reports()) EXPECT_NE(report.kind, Kind::sent);
        EXPECT_TRUE(harness.socket->isClosed());
        EXPECT_EQ(openSocketCount(), before);
    }
}

TEST(DatagramSocketLifetime, DestroyingFromAnotherThreadWhileReceivingAndSendingIsSafe) {
    Harness harness;
    const auto gone = farewell(*harness.socket);
    const auto port = harness.receiving();
    Peer peer(AF_INET);
    std::thread sender([&] {
        for (int i = 0; i < 2000; ++i) (void)peer.sendTo(port, "burst");
    });
    for (int tag = 0; tag < 500; ++tag) {
        harness.socket->sendData(bytes("out"), tag % 2 == 0 ? "127.0.0.1" : "localhost", peer.port(), -1, tag);
    }
    harness.delegate->waitForData(20);
    std::thread destroyer([socket = std::move(harness.socket)]() mutable { socket.reset(); });
    destroyer.join();
    sender.join();
    EXPECT_TRUE(gone->wait()) << "something still holds the socket";
    harness.delegateQueue->sync([] {});
    for (const auto& report : harness.delegate->reports()) EXPECT_NE(report.kind, Kind::notSent) << report.tag;
}

TEST(DatagramSocketLifetime, DestroyingFromInsideItsOwnCallbackIsSafe) {
    for (const Kind trigger : {Kind::received, Kind::sent}) {
        for (const char* delegateOn : {"own queue", "socket queue", "pool"}) {
            SCOPED_TRACE(std::string(trigger == Kind::sent ? "sending, " : "receiving, ") + delegateOn);
            auto socketQueue = dispatch::SerialQueue::create("test.socket");
            std::shared_ptr<dispatch::Queue> delegateQueue = socketQueue;
            if (delegateOn[0] == 'o') delegateQueue = dispatch::SerialQueue::create("test.delegate");
            if (delegateOn[0] == 'p') delegateQueue = dispatch::globalQueue(dispatch::QualityOfService::standard);
            auto delegate = std::make_shared<RecordingDelegate>();
            auto system = std::make_shared<FaultySystemCalls>();
            auto gate = std::make_shared<Event>();
            system->resolve("gate.test", "127.0.0.1", gate);
            auto socket = DatagramSocket::create(delegate, delegateQueue, socketQueue, system);
            // The socket may hold the last reference to the queue it ends on.
            delegateQueue.reset();
            socketQueue.reset();
            const auto gone = farewell(*socket);
            // The delegate holds the only reference and drops it in the callback.
            auto owner = std::make_shared<std::shared_ptr<DatagramSocket>>(socket);
            auto released = std::make_shared<std::atomic<bool>>(false);
            delegate->onReport = [owner, released, trigger](const Report& report) {
                if (report.kind == trigger && !released->exchange(true)) owner->reset();
            };
            Peer peer(AF_INET);
            if (trigger == Kind::received) {
                SocketError error;
                ASSERT_TRUE(socket->bindToPort(0, std::string("127.0.0.1"), &error) && socket->beginReceiving(&error));
                const auto port = socket->localPort();
                socket.reset();
                for (int i = 0; i < 20; ++i) ASSERT_TRUE(peer.sendTo(port, "ping"));
            } else {
                // Held in the resolver until the test has let go.
                for (int tag = 0; tag < 20; ++tag) socket->sendData(bytes("ping"), "gate.test", peer.port(), -1, tag);
                socket.reset();
            }
            gate->arrive();
            EXPECT_TRUE(gone->wait()) << "the socket outlived its last reference";
            EXPECT_TRUE(released->load());
        }
    }
}

}  // namespace
}  // namespace vorn::udp
