// Reading in batches: what a batch read can answer (fewer than asked, a
// failure after some, a datagram cut short), and a burst of more than one
// batch arriving whole, in order, each datagram with its own sender.

#include "udp/DatagramSocket.h"

#include "support/SocketTesting.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

namespace vorn::udp {
namespace {

using namespace testing;
using Strings = std::vector<std::string>;

// Bound but not yet receiving, so that what peers send waits in the kernel
// and the first read finds a burst.
std::uint16_t boundOnly(const Harness& harness, int family) {
    SocketError error;
    EXPECT_TRUE(harness.socket->bindToPort(0, std::string(loopbackHost(family)), &error)) << error.description;
    return harness.socket->localPort();
}

Strings numbered(const std::string& prefix, int count) {
    Strings out;
    for (int i = 0; i < count; ++i) out.push_back(prefix + std::to_string(i));
    return out;
}

// Fewer than asked means the descriptor ran dry: the socket waits for the
// next read event, which comes at once while more waits, and reads on.
TEST(DatagramSocketBatches, PartialBatchesStillDeliverEveryDatagramInOrder) {
    Harness harness(std::make_shared<FaultySystemCalls>());
    const auto port = boundOnly(harness, AF_INET);
    Peer peer(AF_INET);
    const auto sent = numbered("d", 10);
    for (const auto& datagram : sent) ASSERT_TRUE(peer.sendTo(port, datagram));
    harness.system->scriptBatches({{3}, {1}, {2}});
    ASSERT_TRUE(harness.socket->beginReceiving());
    EXPECT_EQ(harness.delegate->waitForData(sent.size()), sent);
    const auto asked = harness.system->batchesAsked();
    EXPECT_GE(asked.size(), 4u);
    for (const auto count : asked) EXPECT_TRUE(count >= 1 && count <= 64) << count;
}

// As the kernel does: the datagrams read before a failure come back first,
// the failure with the next read, and it closes the socket saying why.
TEST(DatagramSocketBatches, AFailureAfterPartOfABatchDeliversThatPartThenCloses) {
    Harness harness(std::make_shared<FaultySystemCalls>());
    const auto port = boundOnly(harness, AF_INET);
    Peer peer(AF_INET);
    for (const auto& datagram : numbered("d", 5)) ASSERT_TRUE(peer.sendTo(port, datagram));
    harness.system->scriptBatches({{2}, {64, ENOBUFS}});
    ASSERT_TRUE(harness.socket->beginReceiving());
    const auto reports = harness.delegate->waitFor(3);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0].data + " " + reports[1].data, "d0 d1");
    EXPECT_EQ(reports[2].kind, Report::Kind::closed);
    ASSERT_TRUE(reports.back().error.has_value());
    EXPECT_EQ(reports.back().error->code, ENOBUFS);
    EXPECT_EQ(reports.back().error->failureReason, "Error in recvfrom() function");
}

// A datagram said to be larger than its buffer is delivered cut to the
// receive limit, and the ones after it in the batch are untouched.
TEST(DatagramSocketBatches, ADatagramCutShortInABatchKeepsToItsBuffer) {
    for (const int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(loopbackHost(family));
        Harness harness(std::make_shared<FaultySystemCalls>());
        harness.socket->setMaxReceiveIPv4BufferSize(512);
        harness.socket->setMaxReceiveIPv6BufferSize(512);
        const auto port = boundOnly(harness, family);
        Peer peer(family);
        std::string big(600, '\0');
        for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
        ASSERT_TRUE(peer.sendTo(port, big) && peer.sendTo(port, "next") && peer.sendTo(port, "last"));
        harness.system->scriptBatches({{64, 0, 70000}});
        ASSERT_TRUE(harness.socket->beginReceiving());
        EXPECT_EQ(harness.delegate->waitForData(3), (Strings{big.substr(0, 512), "next", "last"}));
    }
}

// The real kernel, more than one batch at once: nothing lost or reordered,
// and each datagram carries the address of the peer that sent it.
TEST(DatagramSocketBatches, ABurstOfSeveralBatchesArrivesInOrderWithItsSenders) {
    constexpr int burst = 150;
    for (const int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(loopbackHost(family));
        Harness harness;
        const auto port = boundOnly(harness, family);
        Peer first(family);
        Peer second(family);
        const auto sent = numbered("burst ", burst);
        for (int i = 0; i < burst; ++i) ASSERT_TRUE((i % 3 == 0 ? second : first).sendTo(port, sent[i]));
        ASSERT_TRUE(harness.socket->beginReceiving());
        const auto reports = harness.delegate->waitFor(burst, true);
        ASSERT_EQ(reports.size(), static_cast<std::size_t>(burst));
        for (int i = 0; i < burst; ++i) {
            const auto expected = loopback(family, (i % 3 == 0 ? second : first).port());
            EXPECT_EQ(reports[i].data, sent[i]);
            EXPECT_EQ(text(reports[i].address), text(expected)) << i;
        }
    }
}

}  // namespace
}  // namespace vorn::udp
