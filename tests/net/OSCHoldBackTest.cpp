// What a receiver holds back for later, and what a refused send costs an
// OSCSocket.

#include "net/OSCServer.h"
#include "net/OSCServerUDPDelegate.h"
#include "net/OSCSocket.h"

#include "support/NetTesting.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vorn::net {
namespace {

using namespace testing;
using osc::OSCMessage;
using osc::OSCTimeTag;
using Strings = std::vector<std::string>;

// Held messages wait as their datagram's bytes and are decoded again when
// due: each comes back once, at its own bundle's moment, with that tag, to a
// handler that reads in place as to one that takes owned messages.
class HeldMessages : public ::testing::TestWithParam<Reading> {};

TEST_P(HeldMessages, ComeBackEachWithItsOwnBundlesMoment) {
    Recorder recorder;
    const auto server = OSCServer::create(0, OSCTimeTagMode::osc1_0, nullptr, recorder.handler(GetParam()));
    server->start();
    Peer peer(AF_INET);
    const auto soon = OSCTimeTag::fromSecondsFromNow(0.3);
    const auto later = OSCTimeTag::fromSecondsFromNow(0.6);
    const auto past = OSCTimeTag::fromSecondsFromNow(-1);
    const auto bundle = bundleOf({OSCMessage("/a"), bundleOf({OSCMessage("/later")}, later),
                                  bundleOf({OSCMessage("/now")}, past), bundleOf({OSCMessage("/a2")}, soon),
                                  OSCMessage("/c")},
                                 soon);
    ASSERT_TRUE(peer.sendTo(server->boundPort(), wire(bundle)));
    ASSERT_TRUE(peer.sendTo(server->boundPort(), wire(OSCMessage("/marker"))));
    const auto got = recorder.waitFor(6);
    Strings seen;
    for (const auto& delivery : got) {
        seen.push_back(delivery.address);
        EXPECT_EQ(delivery.port, peer.port());
        const auto expected = delivery.address == "/now"      ? past
                              : delivery.address == "/later"  ? later
                              : delivery.address == "/marker" ? OSCTimeTag::immediate()
                                                              : soon;
        EXPECT_EQ(delivery.timeTag, expected) << delivery.address;
    }
    EXPECT_EQ(seen, (Strings{"/now", "/marker", "/a", "/a2", "/c", "/later"}));
}

INSTANTIATE_TEST_SUITE_P(OSCServerTest, HeldMessages, ::testing::Values(Reading::owned, Reading::inPlace));

struct Receiver final : OSCReceiver {
    Receiver(std::shared_ptr<dispatch::SerialQueue> queue, OSCMessageHandler handler)
        : OSCReceiver(std::move(queue), "test.receiver", OSCTimeTagMode::osc1_0, std::move(handler)) {}
};

// A receiver on a queue of the caller's, which outlives it: released, it
// keeps nothing alive until the held bundles' date.
TEST(OSCServerTest, ReleasingAReceiverReleasesWhatItHeldWhateverItsQueue) {
    const auto queue = dispatch::SerialQueue::create("test.receive");
    Recorder recorder;
    auto receiver = std::make_shared<Receiver>(queue, recorder.handler());
    auto delegate = std::make_shared<OSCServerUDPDelegate>(receiver);
    const auto wireBytes = bundleOf({OSCMessage("/held")}, OSCTimeTag::fromSecondsFromNow(3600)).rawData().toVector();
    auto owner = std::make_shared<const std::vector<std::uint8_t>>(wireBytes);
    const std::weak_ptr<const void> watched = owner;
    const std::span<const std::uint8_t> view(owner->data(), owner->size());
    auto datagram = SharedBytes::view(std::move(owner), view);
    queue->sync([&] { delegate->didReceiveData(nullptr, datagram, udp::testing::loopback(AF_INET, 9000), {}); });
    datagram = SharedBytes();
    EXPECT_EQ(queue->syncResult([&] { return delegate->heldBundles(); }), 1u);
    EXPECT_FALSE(watched.expired());
    delegate.reset();
    receiver.reset();
    queue->sync([] {});
    EXPECT_TRUE(watched.expired()) << "the held datagram outlived its receiver";
    EXPECT_TRUE(recorder.addresses().empty());
}

// A datagram larger than UDP carries is refused by the kernel; that costs
// the one send only: the socket keeps its port, receives, and sends on.
TEST(OSCSocketTest, ARefusedSendLeavesTheSocketBoundAndReceiving) {
    Recorder recorder;
    Peer peer(AF_INET);
    const auto socket = OSCSocket::create(std::nullopt, "127.0.0.1", peer.port(), OSCTimeTagMode::ignore, false,
                                          nullptr, recorder.handler());
    socket->start();
    const auto port = socket->localPort();
    socket->send(OSCMessage("/huge", {SharedBytes::copy(std::string(70000, 'x'))}));
    socket->send(OSCMessage("/small"));
    std::uint16_t from = 0;
    EXPECT_EQ(peer.receive(&from), wire(OSCMessage("/small")));
    EXPECT_EQ(from, port) << "the socket reopened on another port";
    ASSERT_TRUE(peer.sendTo(port, wire(OSCMessage("/back"))));
    recorder.waitFor(1);
    EXPECT_EQ(recorder.addresses(), Strings{"/back"});
    EXPECT_EQ(socket->localPort(), port);
}

}  // namespace
}  // namespace vorn::net
