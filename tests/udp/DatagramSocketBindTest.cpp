#include "udp/DatagramSocket.h"

#include "SocketTesting.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vorn::udp {
namespace {

using namespace testing;

// Datagrams from a peer of `family` to `port` reach the socket, which must
// be receiving.
void expectReachable(const Harness& harness, int family, std::uint16_t port) {
    Peer peer(family);
    ASSERT_TRUE(peer.ok());
    const auto before = harness.delegate->waitForData(0).size();
    const std::string payload = std::string("to ") + loopbackHost(family);
    ASSERT_TRUE(peer.sendTo(port, payload));
    const auto data = harness.delegate->waitForData(before + 1);
    ASSERT_EQ(data.size(), before + 1);
    EXPECT_EQ(data.back(), payload);
}

TEST(DatagramSocketBind, BindsBothFamiliesToOnePortOrToWhatTheKernelPicks) {
    for (bool chosen : {true, false}) {
        SCOPED_TRACE(chosen ? "chosen port" : "port 0");
        Harness harness;
        auto& socket = *harness.socket;
        SocketError error;
        std::uint16_t port = 0;
        if (chosen) {
            port = bindToSomeFreePort(socket, &error);
            ASSERT_NE(port, 0) << ::testing::PrintToString(error);
            EXPECT_EQ(socket.localPort_IPv4(), port);
            EXPECT_EQ(socket.localPort_IPv6(), port);
            EXPECT_EQ(socket.localPort(), port);
        } else {
            ASSERT_TRUE(socket.bindToPort(0, &error)) << ::testing::PrintToString(error);
            EXPECT_NE(socket.localPort_IPv4(), 0);
            EXPECT_NE(socket.localPort_IPv6(), 0);
            EXPECT_EQ(socket.localPort(), socket.localPort_IPv4());
        }
        EXPECT_FALSE(socket.isClosed());
        EXPECT_TRUE(socket.isIPv4());
        EXPECT_TRUE(socket.isIPv6());
        EXPECT_EQ(socket.localHost_IPv4(), "0.0.0.0");
        EXPECT_EQ(socket.localHost_IPv6(), "::");
        ASSERT_TRUE(socket.beginReceiving(&error)) << ::testing::PrintToString(error);
        expectReachable(harness, AF_INET, socket.localPort_IPv4());
        expectReachable(harness, AF_INET6, socket.localPort_IPv6());
    }
}

TEST(DatagramSocketBind, BindsToOneInterfaceByNameOrAddress) {
    struct Case {
        const char* interface;
        const char* host4;  // empty: that family is not bound
        const char* host6;
    };
    const std::vector<Case> cases = {
        {"lo", "127.0.0.1", "::1"},
        {"localhost", "127.0.0.1", "::1"},
        {"loopback", "127.0.0.1", "::1"},
        {"127.0.0.1", "127.0.0.1", ""},
        {"::1", "", "::1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.interface);
        Harness harness;
        auto& socket = *harness.socket;
        SocketError error;
        ASSERT_TRUE(socket.bindToPort(0, std::string(c.interface), &error)) << ::testing::PrintToString(error);
        ASSERT_TRUE(socket.beginReceiving(&error)) << ::testing::PrintToString(error);
        const bool has4 = *c.host4 != '\0';
        const bool has6 = *c.host6 != '\0';
        EXPECT_EQ(socket.isIPv4(), has4);
        EXPECT_EQ(socket.isIPv6(), has6);
        EXPECT_EQ(socket.localHost_IPv4(), c.host4);
        EXPECT_EQ(socket.localHost_IPv6(), c.host6);
        EXPECT_EQ(socket.localHost(), has4 ? c.host4 : c.host6);
        EXPECT_EQ(socket.localPort(), has4 ? socket.localPort_IPv4() : socket.localPort_IPv6());
        std::string host;
        std::uint16_t port = 0;
        int family = 0;
        ASSERT_TRUE(DatagramSocket::getHost(&host, &port, &family, socket.localAddress()));
        EXPECT_EQ(host, socket.localHost());
        EXPECT_EQ(port, socket.localPort());
        EXPECT_EQ(family, has4 ? AF_INET : AF_INET6);
        if (has4) {
            expectReachable(harness, AF_INET, socket.localPort_IPv4());
        } else {
            EXPECT_EQ(socket.localPort_IPv4(), 0);
            EXPECT_TRUE(socket.localAddress_IPv4().empty());
        }
        if (has6) {
            expectReachable(harness, AF_INET6, socket.localPort_IPv6());
        } else {
            EXPECT_EQ(socket.localPort_IPv6(), 0);
            EXPECT_TRUE(socket.localAddress_IPv6().empty());
        }
    }
}

TEST(DatagramSocketBind, RefusesWithTheExactTexts) {
    using enum DatagramSocketErrorCode;
    struct Case {
        const char* name;
        bool delegate, delegateQueue, ipv4, ipv6;
        std::optional<std::string> interface;
        DatagramSocketErrorCode code;
        std::string description;
    };
    const std::vector<Case> cases = {
        {"no delegate", false, true, true, true, std::nullopt, badConfig,
         "Attempting to use socket without a delegate. Set a delegate first."},
        {"no delegate queue", true, false, true, true, std::nullopt, badConfig,
         "Attempting to use socket without a delegate queue. Set a delegate queue first."},
        {"both families disabled", true, true, false, false, std::nullopt, badConfig,
         "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
        {"unknown interface", true, true, true, true, "no-such-interface0", badParam,
         "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
        {"IPv4 disabled, IPv4 interface", true, true, false, true, "127.0.0.1", badParam,
         "IPv4 has been disabled and specified interface doesn't support IPv6."},
        {"IPv6 disabled, IPv6 interface", true, true, true, false, "::1", badParam,
         "IPv6 has been disabled and specified interface doesn't support IPv4."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness harness;
        auto socket = DatagramSocket::create(c.delegate ? harness.delegate : nullptr,
                                             c.delegateQueue ? harness.delegateQueue : nullptr);
        socket->setIPv4Enabled(c.ipv4);
        socket->setIPv6Enabled(c.ipv6);
        SocketError error;
        EXPECT_FALSE(socket->bindToPort(0, c.interface, &error));
        EXPECT_TRUE(error.isDatagramSocketError(c.code)) << ::testing::PrintToString(error);
        EXPECT_EQ(error.domain, DatagramSocketErrorDomain);
        EXPECT_EQ(error.description, c.description);
        // A refused bind leaves nothing behind.
        EXPECT_TRUE(socket->isClosed());
        EXPECT_EQ(socket->localPort(), 0);
    }

    // The options share the guard.
    Harness harness;
    auto orphan = DatagramSocket::create({}, harness.delegateQueue);
    SocketError error;
    EXPECT_FALSE(orphan->enableReusePort(true, &error));
    EXPECT_EQ(error.description, "Attempting to use socket without a delegate. Set a delegate first.");
    EXPECT_FALSE(orphan->enableBroadcast(true, &error));
    EXPECT_EQ(error.description, "Attempting to use socket without a delegate. Set a delegate first.");
    EXPECT_TRUE(orphan->isClosed());
}

TEST(DatagramSocketBind, BindsOnlyOnce) {
    Harness harness;
    auto& socket = *harness.socket;
    SocketError error;
    ASSERT_TRUE(socket.bindToPort(0, &error)) << ::testing::PrintToString(error);
    const auto port = socket.localPort();
    EXPECT_FALSE(socket.bindToPort(0, &error));
    EXPECT_TRUE(error.isDatagramSocketError(DatagramSocketErrorCode::badConfig));
    EXPECT_EQ(error.description, "Cannot bind a socket more than once.");
    EXPECT_FALSE(socket.isClosed());
    EXPECT_EQ(socket.localPort(), port);
}

TEST(DatagramSocketBind, AHeldPortIsRefusedUnlessEveryHolderAskedForReuse) {
    Harness holder;
    SocketError error;
    const auto port = bindToSomeFreePort(*holder.socket, &error);
    ASSERT_NE(port, 0) << ::testing::PrintToString(error);

    {
        SCOPED_TRACE("another socket holds the port");
        Harness late;
        const auto sockets = openSocketCount();
        EXPECT_FALSE(late.socket->bindToPort(port, &error));
        EXPECT_EQ(error.domain, POSIXErrorDomain);
        EXPECT_EQ(error.code, EADDRINUSE);
        EXPECT_EQ(error.description, std::strerror(EADDRINUSE));
        EXPECT_EQ(error.failureReason, "Error in bind() function");
        EXPECT_EQ(error.localizedDescription(), std::string(std::strerror(EADDRINUSE)) + " (Error in bind() function)");
        EXPECT_TRUE(late.socket->isClosed());
        EXPECT_EQ(late.socket->localPort(), 0);
        EXPECT_EQ(openSocketCount(), sockets);

        // Once the holder lets go, the port is free for the one that failed.
        holder.socket->close();
        EXPECT_TRUE(late.socket->bindToPort(port, &error)) << ::testing::PrintToString(error);
        EXPECT_EQ(late.socket->localPort(), port);
    }
    {
        SCOPED_TRACE("only the newcomer asks for reuse");
        Harness first;
        Harness second;
        ASSERT_TRUE(first.socket->bindToPort(port, &error)) << ::testing::PrintToString(error);
        ASSERT_TRUE(second.socket->enableReusePort(true, &error)) << ::testing::PrintToString(error);
        EXPECT_FALSE(second.socket->bindToPort(port, &error));
        EXPECT_EQ(error.code, EADDRINUSE);
    }
    {
        SCOPED_TRACE("both ask for reuse");
        Harness first;
        Harness second;
        for (auto* h : {&first, &second}) {
            ASSERT_TRUE(h->socket->enableReusePort(true, &error)) << ::testing::PrintToString(error);
            ASSERT_TRUE(h->socket->bindToPort(port, &error)) << ::testing::PrintToString(error);
            EXPECT_EQ(h->socket->localPort_IPv4(), port);
            EXPECT_EQ(h->socket->localPort_IPv6(), port);
        }
    }
}

TEST(DatagramSocketBind, OptionsReachTheDescriptorsWithoutShrinkingTheKernelBuffers) {
    // What the kernel gives a socket nobody configured.
    int defaultReceiveBuffer = 0;
    {
        Peer plain(AF_INET);
        socklen_t length = sizeof defaultReceiveBuffer;
        ASSERT_EQ(::getsockopt(plain.fd(), SOL_SOCKET, SO_RCVBUF, &defaultReceiveBuffer, &length), 0);
    }
    Harness harness;
    auto& socket = *harness.socket;
    SocketError error;
    ASSERT_TRUE(socket.enableReusePort(true, &error)) << ::testing::PrintToString(error);
    EXPECT_FALSE(socket.isClosed()) << "an option call creates the descriptors";
    ASSERT_TRUE(socket.enableBroadcast(true, &error)) << ::testing::PrintToString(error);
    socket.performBlock([&] {
        const auto option = [](int fd, int level, int name) {
            int value = -1;
            socklen_t length = sizeof value;
            return ::getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
        };
        const int fd4 = socket.socket4FD();
        const int fd6 = socket.socket6FD();
        ASSERT_GE(fd4, 0);
        ASSERT_GE(fd6, 0);
        EXPECT_EQ(socket.socketFD(), fd4);
        for (int fd : {fd4, fd6}) {
            EXPECT_EQ(option(fd, SOL_SOCKET, SO_REUSEPORT), 1);
            // On Linux address reuse lets a second socket share the port and
            // silently take its datagrams.
            EXPECT_EQ(option(fd, SOL_SOCKET, SO_REUSEADDR), 0);
            EXPECT_GE(option(fd, SOL_SOCKET, SO_RCVBUF), defaultReceiveBuffer);
        }
        EXPECT_EQ(option(fd4, SOL_SOCKET, SO_BROADCAST), 1);
        EXPECT_EQ(option(fd6, IPPROTO_IPV6, IPV6_V6ONLY), 1);
    });
    // Switching reuse off again reaches both descriptors too.
    ASSERT_TRUE(socket.enableReusePort(false, &error)) << ::testing::PrintToString(error);
    socket.performBlock([&] {
        for (int fd : {socket.socket4FD(), socket.socket6FD()}) {
            int value = -1;
            socklen_t length = sizeof value;
            ::getsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &value, &length);
            EXPECT_EQ(value, 0);
        }
    });
}

TEST(DatagramSocketBind, ARefusedOptionIsReportedWithItsReason) {
    auto system = std::make_shared<FaultySystemCalls>();
    system->failSetsockopt(SOL_SOCKET, SO_REUSEPORT, EPERM);
    system->failSetsockopt(SOL_SOCKET, SO_BROADCAST, EACCES);
    Harness harness(system);
    SocketError error;
    EXPECT_FALSE(harness.socket->enableReusePort(true, &error));
    EXPECT_EQ(error.domain, POSIXErrorDomain);
    EXPECT_EQ(error.code, EPERM);
    EXPECT_EQ(error.failureReason, "Error in setsockopt() function");
    EXPECT_FALSE(harness.socket->enableBroadcast(true, &error));
    EXPECT_EQ(error.code, EACCES);
    EXPECT_EQ(error.failureReason, "Error in setsockopt() function");
}

TEST(DatagramSocketBind, CloseReportsOnceAndTheSocketBindsAgain) {
    Harness harness;
    auto& socket = *harness.socket;
    EXPECT_TRUE(socket.isClosed());
    EXPECT_EQ(socket.socketFD(), -1) << "descriptors are only handed out on the socket queue";
    // Nothing was ever opened, so there is nothing to report.
    socket.close();
    harness.settle();
    EXPECT_TRUE(harness.delegate->reports().empty());

    SocketError error;
    const auto port = bindToSomeFreePort(socket, &error);
    ASSERT_NE(port, 0) << ::testing::PrintToString(error);
    socket.close();
    EXPECT_TRUE(socket.isClosed());
    EXPECT_EQ(socket.localPort(), 0);
    EXPECT_TRUE(socket.localAddress().empty());
    socket.close();  // already closed: no second report

    ASSERT_TRUE(socket.bindToPort(port, &error)) << ::testing::PrintToString(error);
    EXPECT_EQ(socket.localPort(), port);
    ASSERT_TRUE(socket.beginReceiving(&error)) << ::testing::PrintToString(error);
    expectReachable(harness, AF_INET, port);
    socket.close();

    harness.settle();
    const auto reports = harness.delegate->reports();
    EXPECT_EQ(summary(reports), "closed, received to 127.0.0.1, closed");
    for (const auto& report : reports) EXPECT_TRUE(report.hadSocket);
}

// Raw socket-address bytes, as the kernel lays them out.
SharedBytes rawAddress(int family, const char* host, std::uint16_t port, std::size_t keep = 0) {
    std::vector<std::uint8_t> raw;
    if (family == AF_INET) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        ::inet_pton(AF_INET, host, &address.sin_addr);
        raw.assign(reinterpret_cast<const std::uint8_t*>(&address),
                   reinterpret_cast<const std::uint8_t*>(&address) + sizeof address);
    } else {
        sockaddr_in6 address{};
        address.sin6_family = static_cast<sa_family_t>(family);
        address.sin6_port = htons(port);
        ::inet_pton(AF_INET6, host, &address.sin6_addr);
        raw.assign(reinterpret_cast<const std::uint8_t*>(&address),
                   reinterpret_cast<const std::uint8_t*>(&address) + sizeof address);
    }
    if (keep != 0) raw.resize(keep);
    return SharedBytes::adopt(std::move(raw));
}

TEST(DatagramSocketBind, AddressHelpersReadOnlyWholeIPv4AndIPv6Addresses) {
    struct Case {
        const char* name;
        SharedBytes address;
        bool valid;
        std::string host;
        std::uint16_t port;
        int family;
    };
    const std::vector<Case> cases = {
        {"IPv4", rawAddress(AF_INET, "192.0.2.1", 8000), true, "192.0.2.1", 8000, AF_INET},
        {"IPv6", rawAddress(AF_INET6, "2001:db8::1", 9000), true, "2001:db8::1", 9000, AF_INET6},
        {"IPv4-mapped IPv6", rawAddress(AF_INET6, "::ffff:127.0.0.1", 1), true, "::ffff:127.0.0.1", 1, AF_INET6},
        {"top port", rawAddress(AF_INET, "127.0.0.1", 65535), true, "127.0.0.1", 65535, AF_INET},
        {"IPv4 cut short", rawAddress(AF_INET, "192.0.2.1", 8000, 15), false, "", 0, 0},
        {"IPv6 cut to IPv4 length", rawAddress(AF_INET6, "2001:db8::1", 9000, 16), false, "", 0, 0},
        {"other family", rawAddress(AF_UNIX, "::1", 9000), false, "", 0, 0},
        {"one byte", SharedBytes::copy(std::string_view("\x02")), false, "", 0, 0},
        {"empty", SharedBytes(), false, "", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string host = "stale";
        std::uint16_t port = 1234;
        int family = 99;
        EXPECT_EQ(DatagramSocket::getHost(&host, &port, &family, c.address), c.valid);
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(family, c.family);
        // Every output is optional.
        EXPECT_EQ(DatagramSocket::getHost(nullptr, nullptr, nullptr, c.address), c.valid);
        host = "stale";
        port = 1234;
        EXPECT_EQ(DatagramSocket::getHost(&host, &port, c.address), c.valid);
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(DatagramSocket::hostFromAddress(c.address), c.host);
        EXPECT_EQ(DatagramSocket::portFromAddress(c.address), c.port);
        EXPECT_EQ(DatagramSocket::familyFromAddress(c.address), c.family);
        EXPECT_EQ(DatagramSocket::isIPv4Address(c.address), c.valid && c.family == AF_INET);
        EXPECT_EQ(DatagramSocket::isIPv6Address(c.address), c.valid && c.family == AF_INET6);
    }
}

}  // namespace
}  // namespace vorn::udp
