// OSC over TCP between our client and server, and against plain kernel
// sockets that misbehave on purpose, over loopback in both families.

#include "net/OSCTCPClient.h"
#include "net/OSCTCPServer.h"
#include "osc/OSCBundle.h"

#include "support/NetTesting.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

namespace vorn::net {
namespace {

using namespace std::chrono_literals;
using osc::OSCMessage;
using Phase = OSCTCPConnectionState::Phase;
using testing::patience;
using testing::Recorder;

// Every state a client published, to wait on.
class States : public dispatch::testing::Recorded<OSCTCPConnectionState> {
public:
    explicit States(OSCTCPClient& client)
        : handle_(client.observeState([this](const OSCTCPConnectionState& state) { add(state); })) {}

    // The first state from the `from`th on that is in `phase`.
    std::optional<OSCTCPConnectionState> waitFor(Phase phase, std::size_t from = 0) const {
        const auto first = [&](const std::vector<OSCTCPConnectionState>& seen) {
            std::optional<OSCTCPConnectionState> found;
            for (std::size_t i = from; i < seen.size() && !found; ++i) {
                if (seen[i].phase == phase) found = seen[i];
            }
            return found;
        };
        return first(waitUntil([&](const auto& seen) { return first(seen).has_value(); }));
    }
    std::size_t count() const { return Recorded::waitFor(0).size(); }

private:
    dispatch::Cancellable handle_;
};

// A plain kernel TCP connection to the loopback address of `family`.
int rawConnection(int family, std::uint16_t port) {
    const auto address = udp::testing::loopback(family, port);
    const int fd = ::socket(family, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(address.data()), address.size()) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True once the peer has closed `fd` (what was sent before is read and dropped).
bool closedByPeer(int fd) {
    char buffer[256];
    for (;;) {
        if (!udp::testing::waitReadable(fd)) return false;
        const auto n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return true;
    }
}

bool sendAll(int fd, const std::vector<std::uint8_t>& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

struct Transport {
    OSCFraming framing;
    const char* host;
};

class TCPRoundTripTest : public ::testing::TestWithParam<Transport> {};

// Messages and a bundle go out over one connection and come back over the
// same one, in order, with the peer named on each side.
TEST_P(TCPRoundTripTest, MessagesTravelBothWaysOverOneConnection) {
    const auto [framing, host] = GetParam();
    Recorder atServer;
    auto server = OSCTCPServer::create(0, framing, OSCTimeTagMode::ignore, nullptr, atServer.handler());
    server->start();
    Recorder atClient;
    OSCTCPClient client(OSCTCPClientOptions{framing});
    client.setReceiveHandler(atClient.handler());
    States states(client);
    client.connect(host, server->boundPort());
    ASSERT_TRUE(states.waitFor(Phase::connected)) << "never connected";

    // 0xC0 and 0xDB inside a packet, which SLIP must escape.
    const std::vector<std::uint8_t> blob = {0xC0, 0xDB, 0xDC, 0xDD};
    client.send(OSCMessage("/first", {std::int32_t{1}, blob}));
    client.send(testing::bundleOf({OSCMessage("/second"), OSCMessage("/third", {"3"})}, osc::OSCTimeTag::immediate()));
    const auto got = atServer.waitFor(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].message, OSCMessage("/first", {std::int32_t{1}, blob}));
    EXPECT_EQ(got[1].address, "/second");
    EXPECT_EQ(got[2].address, "/third");
    EXPECT_EQ(got[0].host, host);
    EXPECT_EQ(got[0].port, client.localPort());

    server->send(OSCMessage("/reply", {"to you"}), got[0].host, got[0].port);
    const auto back = atClient.waitFor(1);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].message, OSCMessage("/reply", {"to you"}));
    EXPECT_EQ(back[0].host, host);
    EXPECT_EQ(back[0].port, server->boundPort());
    EXPECT_EQ(server->connectionCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Loopback, TCPRoundTripTest,
                         ::testing::Values(Transport{OSCFraming::lengthPrefixed, "127.0.0.1"},
                                           Transport{OSCFraming::slip, "127.0.0.1"},
                                           Transport{OSCFraming::lengthPrefixed, "::1"},
                                           Transport{OSCFraming::slip, "::1"}),
                         [](const auto& info) {
                             return std::string(info.param.framing == OSCFraming::slip ? "SLIP" : "OSC10") +
                                    (std::string(info.param.host) == "::1" ? "IPv6" : "IPv4");
                         });

// A peer that sends a bad frame loses its own connection, with the framing's
// words as the reason; a well-behaved one on the same server goes on.
TEST(TCPServerTest, ABadFrameClosesThatConnectionAlone) {
    // Declared before the server, whose queue writes to them until it goes.
    dispatch::testing::Recorded<OSCTCPServer::ConnectionEvent> events;
    Recorder recorder;
    auto server = OSCTCPServer::create(0, OSCFraming::lengthPrefixed, OSCTimeTagMode::ignore, nullptr,
                                       recorder.handler());
    server->setConnectionHandler([&](const OSCTCPServer::ConnectionEvent& event) { events.add(event); });
    server->start();
    const int good = rawConnection(AF_INET, server->boundPort());
    const int bad = rawConnection(AF_INET6, server->boundPort());
    ASSERT_GE(good, 0);
    ASSERT_GE(bad, 0);
    ASSERT_TRUE(sendAll(bad, {0x7F, 0xFF, 0xFF, 0xFF}));
    EXPECT_TRUE(closedByPeer(bad));
    ASSERT_TRUE(sendAll(good, OSCLengthPrefixedDecoder::encode(OSCMessage("/still/here").rawData().span())));
    recorder.waitFor(1);
    EXPECT_EQ(recorder.addresses(), std::vector<std::string>{"/still/here"});
    EXPECT_EQ(server->connectionCount(), 1u);
    const auto seen = events.waitFor(0);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].host, "::1");
    EXPECT_FALSE(seen[2].opened);
    ASSERT_TRUE(seen[2].reason);
    EXPECT_EQ(seen[2].reason->description,
              "Bad OSC 1.0 frame: packet size 2147483647 exceeds the limit of 1048576 bytes");
    ::close(good);
    ::close(bad);
}

// Past the limit, new connections are closed as they come; those within it
// stay.
TEST(TCPServerTest, ConnectionsBeyondTheLimitAreClosedAtOnce) {
    auto server = OSCTCPServer::create(0, OSCFraming::slip, OSCTimeTagMode::ignore);
    server->setMaxConnections(2);
    server->start();
    std::vector<int> fds;
    for (int i = 0; i < 4; ++i) fds.push_back(rawConnection(AF_INET, server->boundPort()));
    EXPECT_TRUE(closedByPeer(fds[2]));
    EXPECT_TRUE(closedByPeer(fds[3]));
    EXPECT_EQ(server->connectionCount(), 2u);
    for (const int fd : fds) ::close(fd);
}

// With nobody listening the client says why, and keeps trying in the
// background; once a server is there it connects, and after that server
// goes it says so and connects again to the next one.
TEST(TCPClientTest, ReconnectsAfterRefusalAndAfterALostConnection) {
    const auto port = udp::testing::freePort();
    Recorder recorder;
    std::optional<udp::SocketError> failure;
    dispatch::testing::Event told;
    OSCTCPClient client(OSCTCPClientOptions{OSCFraming::lengthPrefixed, true});
    States states(client);
    client.connect("127.0.0.1", port);
    const auto refused = states.waitFor(Phase::disconnected, 1);
    ASSERT_TRUE(refused && refused->reason);
    EXPECT_EQ(refused->reason->localizedDescription(), "Connection refused (Error in connect() function)");

    auto server = OSCTCPServer::create(port, OSCFraming::lengthPrefixed, OSCTimeTagMode::ignore, nullptr,
                                       recorder.handler());
    server->start();
    ASSERT_TRUE(states.waitFor(Phase::connected));
    const auto mark = states.count();
    server->stop();
    const auto lost = states.waitFor(Phase::disconnected, mark);
    ASSERT_TRUE(lost && lost->reason);
    // An orderly close, or a reset when the server left bytes unread.
    EXPECT_TRUE(lost->reason->description == "Connection closed by the peer" ||
                lost->reason->description == "Connection reset by peer")
        << lost->reason->description;

    client.send(OSCMessage("/while/down"), [&](const std::optional<udp::SocketError>& error) {
        failure = error;
        told.arrive();
    });
    ASSERT_TRUE(told.wait());
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->description, "Not connected");

    server->start();
    ASSERT_TRUE(states.waitFor(Phase::connected, mark + 1));
    client.send(OSCMessage("/again"));
    EXPECT_EQ(recorder.waitFor(1).size(), 1u);
}

// A peer that accepts and never reads: the kernel's buffers fill, then the
// client's own queue, and from there sends are refused and said to be.
TEST(TCPClientTest, APeerThatStopsReadingGetsRefusalsNotUnboundedMemory) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    auto address = udp::testing::loopback(AF_INET, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(address.data()), address.size()), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);

    std::atomic<int> refused{0};
    OSCTCPClientOptions options;
    options.maxQueuedBytes = 256 * 1024;
    OSCTCPClient client(options);
    States states(client);
    client.connect("127.0.0.1", ntohs(bound.sin_port));
    ASSERT_TRUE(states.waitFor(Phase::connected));
    const OSCMessage big("/big", {std::vector<std::uint8_t>(60'000, 7)});
    for (int i = 0; i < 2000; ++i) {
        client.send(big, [&](const std::optional<udp::SocketError>& error) {
            if (error && error->description.starts_with("Send queue full")) ++refused;
        });
    }
    // Taken or refused, each send has been told by the time the queue is idle.
    client.state();
    EXPECT_GT(refused.load(), 0);
    ::close(listener);
}

// Every call goes through the seam: a refused TCP_NODELAY fails the attempt
// with the step that failed.
TEST(TCPClientTest, ASocketOptionTheKernelRefusesFailsTheAttempt) {
    auto system = std::make_shared<udp::testing::FaultySystemCalls>();
    system->failSetsockopt(IPPROTO_TCP, 1 /* TCP_NODELAY */, EPERM);
    OSCTCPClient client(OSCTCPClientOptions{}, system);
    States states(client);
    client.connect("127.0.0.1", 9);
    const auto failed = states.waitFor(Phase::disconnected, 1);
    ASSERT_TRUE(failed && failed->reason);
    EXPECT_EQ(failed->reason->localizedDescription(),
              "Operation not permitted (Error enabling TCP_NODELAY (setsockopt() function))");
}

}  // namespace
}  // namespace vorn::net
