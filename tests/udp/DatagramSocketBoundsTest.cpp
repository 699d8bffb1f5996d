// What a peer, a destination or a filter can do to a socket: a refused send,
// a filter that throws, a delegate that falls behind, a name that resolves
// late.

#include "udp/DatagramSocket.h"

#include "support/SocketTesting.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vorn::udp {
namespace {

using namespace testing;
using Strings = std::vector<std::string>;

bool nothingWaiting(const Peer& peer) {
    pollfd watched{peer.fd(), POLLIN, 0};
    return ::poll(&watched, 1, 0) == 0;
}

// Errors of the destination or of the datagram, seen through the seam; the
// socket keeps its port and its receiving, the queue behind goes on.
TEST(DatagramSocketSendErrors, ARefusalOfOneDatagramFailsThatSendAlone) {
    for (int code : {EMSGSIZE, ENETUNREACH, EHOSTUNREACH, EACCES, EINVAL, EPERM, EADDRNOTAVAIL, ENOBUFS}) {
        SCOPED_TRACE(std::strerror(code));
        Harness harness(std::make_shared<FaultySystemCalls>());
        const auto port = harness.receiving();
        Peer peer(AF_INET);
        harness.system->failSendto(code, 1);
        harness.socket->sendData(bytes("refused"), "127.0.0.1", peer.port(), -1, 1);
        harness.socket->sendData(bytes("after"), "127.0.0.1", peer.port(), -1, 2);
        EXPECT_EQ(peer.receive(), "after");
        harness.delegate->waitFor(2);
        ASSERT_TRUE(peer.sendTo(port, "still here"));
        EXPECT_EQ(harness.delegate->waitForData(1), Strings{"still here"});
        const auto reports = harness.delegate->reports();
        EXPECT_EQ(summary(reports), "notSent 1 (" + std::string(std::strerror(code)) + "), sent 2, received still here");
        ASSERT_TRUE(reports.at(0).error.has_value());
        EXPECT_EQ(reports.at(0).error->domain, POSIXErrorDomain);
        EXPECT_EQ(reports.at(0).error->code, code);
        EXPECT_EQ(reports.at(0).error->failureReason, "Error in send() function.");
        EXPECT_FALSE(harness.socket->isClosed());
        EXPECT_EQ(harness.socket->localPort(), port);
    }
}

// Only a descriptor that is no longer a usable socket is closed.
TEST(DatagramSocketSendErrors, AnErrorOfTheDescriptorFailsTheSendAndClosesTheSocket) {
    for (int code : {EBADF, ENOTSOCK}) {
        SCOPED_TRACE(std::strerror(code));
        Harness harness(std::make_shared<FaultySystemCalls>());
        harness.receiving();
        harness.system->failSendto(code, 1);
        harness.socket->sendData(bytes("lost"), "127.0.0.1", 9, -1, 1);
        harness.delegate->waitFor(2);
        harness.settle();
        const auto text = std::string(std::strerror(code));
        EXPECT_EQ(summary(harness.delegate->reports()), "notSent 1 (" + text + "), closed (" + text + ")");
        EXPECT_TRUE(harness.socket->isClosed());
    }
}

// A filter that refuses holds a send back (reported sent, as before); one
// that cannot decide fails it.
TEST(DatagramSocketSendFilter, AFilterThatThrowsFailsTheSendWithItsReason) {
    for (bool asynchronous : {false, true}) {
        SCOPED_TRACE(asynchronous ? "asynchronous filter" : "synchronous filter");
        Harness harness;
        Peer peer(AF_INET);
        harness.socket->setSendFilter(
            [](const SharedBytes&, const SharedBytes&, std::int64_t tag) {
                if (tag == 2) throw std::runtime_error("no verdict");
                return tag != 3;
            },
            dispatch::SerialQueue::create("test.filter"), asynchronous);
        for (const auto& [payload, tag] : {std::pair{"one", 1}, {"two", 2}, {"three", 3}, {"four", 4}}) {
            harness.socket->sendData(bytes(payload), "127.0.0.1", peer.port(), -1, tag);
        }
        EXPECT_EQ(peer.receive(), "one");
        EXPECT_EQ(peer.receive(), "four");
        const auto reports = harness.delegate->waitFor(4);
        EXPECT_EQ(summary(reports), "sent 1, notSent 2 (Send filter failed: no verdict), sent 3, sent 4");
        ASSERT_TRUE(reports.at(1).error.has_value());
        EXPECT_TRUE(reports.at(1).error->isDatagramSocketError(DatagramSocketErrorCode::other));
    }
}

// Sends leave in the order they were made, also when the first one's host
// takes the resolver a while and the others need none.
TEST(DatagramSocketSend, NoSendOvertakesOneWhoseHostIsStillResolving) {
    Harness harness(std::make_shared<FaultySystemCalls>());
    const auto gate = std::make_shared<Event>();
    harness.system->resolve("late.test", "127.0.0.1", gate);
    Peer peer(AF_INET);
    harness.socket->sendData(bytes("first"), "late.test", peer.port(), -1, 1);
    harness.socket->sendData(bytes("second"), "127.0.0.1", peer.port(), -1, 2);
    harness.socket->sendData(bytes("third"), loopback(AF_INET, peer.port()), -1, 3);
    harness.settle();
    EXPECT_TRUE(nothingWaiting(peer)) << "a send overtook the one still resolving";
    gate->arrive();
    for (const char* expected : {"first", "second", "third"}) EXPECT_EQ(peer.receive(), expected);
    EXPECT_EQ(summary(harness.delegate->waitFor(3)), "sent 1, sent 2, sent 3");
}

// Waits until the socket has read `count` datagrams from the kernel.
bool readAtLeast(const FaultySystemCalls& system, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (system.datagramsRead() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// While the delegate (or an asynchronous receive filter) has a full backlog
// waiting, the socket leaves datagrams in the kernel; once it catches up, the
// socket reads what waits there without being told of anything new.
TEST(DatagramSocketReceive, AFullBacklogStopsReadingUntilTheDelegateCatchesUp) {
    for (bool filtered : {false, true}) {
        SCOPED_TRACE(filtered ? "behind an asynchronous filter" : "behind the delegate");
        Harness harness(std::make_shared<FaultySystemCalls>());
        const auto gate = std::make_shared<Event>();
        const auto wait = [gate] { (void)gate->wait(); };
        harness.socket->setReceiveBacklogLimit({.datagrams = 4, .bytes = std::size_t{1} << 20});
        if (filtered) {
            harness.socket->setReceiveFilter(
                [wait](const SharedBytes&, const SharedBytes&, std::any&) { return wait(), true; },
                dispatch::SerialQueue::create("test.filter"));
        } else {
            harness.delegate->onReport = [wait](const Report&) { wait(); };
        }
        const auto port = harness.receiving();
        Peer peer(AF_INET);
        Strings sent;
        for (int i = 1; i <= 10; ++i) {
            sent.push_back("d" + std::to_string(i));
            ASSERT_TRUE(peer.sendTo(port, sent.back()));
        }
        ASSERT_TRUE(readAtLeast(*harness.system, 4));
        EXPECT_TRUE(harness.datagramWaiting(AF_INET));
        EXPECT_EQ(harness.system->datagramsRead(), 4u) << "the socket read past its backlog limit";
        gate->arrive();
        EXPECT_EQ(harness.delegate->waitForData(sent.size()), sent);
    }
}

}  // namespace
}  // namespace vorn::udp
