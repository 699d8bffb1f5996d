#include "net/OSCServer.h"

#include "NetTesting.h"
#include "net/OSCSocketError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>

namespace vorn::net {
namespace {

using osc::OSCMessage;
using osc::OSCTimeTag;
using testing::bundleOf;
using testing::Peer;
using testing::Recorder;
using testing::wire;

// A started server on an ephemeral port whose handler records.
struct Running {
    explicit Running(OSCTimeTagMode mode, std::shared_ptr<dispatch::SerialQueue> queue = nullptr)
        : server(OSCServer::create(0, mode, std::move(queue), recorder.handler())) {
        server->start();
        port = server->boundPort();
    }
    Recorder recorder;
    std::shared_ptr<OSCServer> server;
    std::uint16_t port = 0;
};

TEST(OSCServerTest, MessageArrivesWithImmediateTagAndTheSender) {
    for (const int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(udp::testing::loopbackHost(family));
        Running running(OSCTimeTagMode::osc1_0);
        Peer peer(family);
        ASSERT_TRUE(peer.ok());
        // Port 0 gives each family an ephemeral port of its own.
        const auto port = family == AF_INET ? running.server->udpSocket()->localPort_IPv4()
                                            : running.server->udpSocket()->localPort_IPv6();
        ASSERT_TRUE(peer.sendTo(port, wire(OSCMessage("/eos/out/ping", {1.5f}))));

        const auto got = running.recorder.waitFor(1);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].address, "/eos/out/ping");
        EXPECT_EQ(got[0].timeTag, OSCTimeTag::immediate());
        EXPECT_EQ(got[0].host, udp::testing::loopbackHost(family));
        EXPECT_EQ(got[0].port, peer.port());
    }
}

// Elements arrive in order, each with the tag of the bundle around it, in
// either mode as long as nothing lies in the future under osc1_0.
TEST(OSCServerTest, BundlesUnpackInElementOrderWithTheirOwnTags) {
    const auto past = OSCTimeTag::fromSecondsFromNow(-3);
    const auto earlier = OSCTimeTag::fromSecondsFromNow(-60);
    const auto future = OSCTimeTag::fromSecondsFromNow(3600);
    struct Case {
        const char* name;
        OSCTimeTagMode mode;
        osc::OSCBundle bundle;
        std::vector<std::pair<std::string, OSCTimeTag>> expected;
    };
    const std::vector<Case> cases = {
        {"osc1_0, past", OSCTimeTagMode::osc1_0, bundleOf({OSCMessage("/a"), OSCMessage("/b")}, past),
         {{"/a", past}, {"/b", past}}},
        {"osc1_0, immediate", OSCTimeTagMode::osc1_0,
         bundleOf({OSCMessage("/a"), OSCMessage("/b")}, OSCTimeTag::immediate()),
         {{"/a", OSCTimeTag::immediate()}, {"/b", OSCTimeTag::immediate()}}},
        {"ignore, future", OSCTimeTagMode::ignore, bundleOf({OSCMessage("/a"), OSCMessage("/b")}, future),
         {{"/a", future}, {"/b", future}}},
        {"nested", OSCTimeTagMode::osc1_0,
         bundleOf({bundleOf({OSCMessage("/inner1"), OSCMessage("/inner2")}, earlier), OSCMessage("/outer")}, past),
         {{"/inner1", earlier}, {"/inner2", earlier}, {"/outer", past}}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        Running running(test.mode);
        Peer peer(AF_INET);
        ASSERT_TRUE(peer.sendTo(running.port, wire(test.bundle)));
        const auto got = running.recorder.waitFor(test.expected.size());
        ASSERT_EQ(got.size(), test.expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].address, test.expected[i].first);
            EXPECT_EQ(got[i].timeTag, test.expected[i].second);
            EXPECT_EQ(got[i].port, peer.port());
        }
    }
}

// Holding back is checked by how long it took; the bound is loose, it only
// tells holding from not holding.
TEST(OSCServerTest, FutureBundleIsHeldUnderOsc10AndNotUnderIgnore) {
    for (const auto mode : {OSCTimeTagMode::ignore, OSCTimeTagMode::osc1_0}) {
        SCOPED_TRACE(mode == OSCTimeTagMode::ignore ? "ignore" : "osc1_0");
        Running running(mode);
        Peer peer(AF_INET);
        const auto tag = OSCTimeTag::fromSecondsFromNow(2.0);
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_TRUE(peer.sendTo(running.port, wire(bundleOf({OSCMessage("/later")}, tag))));
        if (mode == OSCTimeTagMode::ignore) {
            // Sent after the bundle, so it arrives after it unless the bundle is held.
            ASSERT_TRUE(peer.sendTo(running.port, wire(OSCMessage("/now"))));
        }
        const auto got = running.recorder.waitFor(mode == OSCTimeTagMode::ignore ? 2 : 1);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got[0].address, "/later");
        EXPECT_EQ(got[0].timeTag, tag);
        if (mode == OSCTimeTagMode::osc1_0) {
            EXPECT_GE(got[0].at - sent, std::chrono::milliseconds(1500));
        }
    }
}

TEST(OSCServerTest, GarbageIsDroppedAndLaterDatagramsStillArrive) {
    Running running(OSCTimeTagMode::osc1_0);
    Peer peer(AF_INET);
    // An element that claims 64 bytes where 2 follow.
    const std::string truncatedBundle =
        std::string("#bundle", 8) + std::string(8, '\0') + std::string("\0\0\0\x40", 4) + "/x";
    for (const std::string& junk : {std::string("\x13\x37\xfe\xff random bytes \x01"), std::string("/no-padding"),
                                    std::string("/x\0\0,i\0\0", 8), truncatedBundle}) {
        ASSERT_TRUE(peer.sendTo(running.port, junk));
    }
    ASSERT_TRUE(peer.sendTo(running.port, wire(OSCMessage("/fine"))));
    const auto got = running.recorder.waitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].address, "/fine");
    EXPECT_EQ(running.recorder.deliveries().size(), 1u);
}

TEST(OSCServerTest, StartTwiceDoesNothingAndStartAfterStopReceivesAgain) {
    Running running(OSCTimeTagMode::ignore);
    EXPECT_NO_THROW(running.server->start());
    EXPECT_EQ(running.server->boundPort(), running.port);
    EXPECT_EQ(running.server->localPort(), 0);

    running.server->stop();
    EXPECT_FALSE(running.server->isStarted());
    running.server->start();
    EXPECT_TRUE(running.server->isStarted());
    Peer peer(AF_INET);
    ASSERT_TRUE(peer.sendTo(running.server->boundPort(), wire(OSCMessage("/again"))));
    EXPECT_EQ(running.recorder.waitFor(1).size(), 1u);
}

TEST(OSCServerTest, HeldPortFailsWithTheBindError) {
    Running holder(OSCTimeTagMode::ignore);
    const auto server = OSCServer::create(holder.port, OSCTimeTagMode::ignore);
    try {
        server->start();
        FAIL() << "start() on a held port succeeded";
    } catch (const OSCSocketError& error) {
        EXPECT_EQ(error.error().domain, udp::POSIXErrorDomain);
        EXPECT_EQ(error.error().code, EADDRINUSE);
        EXPECT_EQ(error.error().failureReason, "Error in bind() function");
    }
    EXPECT_FALSE(server->isStarted());
}

// The swap is posted to the receive queue, so a message sent after
// setHandler() returned can only meet the new handler.
TEST(OSCServerTest, ReplacedHandlerSeesLaterMessages) {
    Running running(OSCTimeTagMode::ignore);
    Peer peer(AF_INET);
    ASSERT_TRUE(peer.sendTo(running.port, wire(OSCMessage("/first"))));
    ASSERT_EQ(running.recorder.waitFor(1).size(), 1u);

    Recorder replacement;
    running.server->setHandler(replacement.handler());
    ASSERT_TRUE(peer.sendTo(running.port, wire(OSCMessage("/second"))));
    ASSERT_EQ(replacement.waitFor(1).size(), 1u);
    EXPECT_EQ(replacement.addresses(), std::vector<std::string>{"/second"});
    EXPECT_EQ(running.recorder.addresses(), std::vector<std::string>{"/first"});
}

// Runs on `queue` once everything posted to it, delayed by up to `delay`, has run.
void drain(const std::shared_ptr<dispatch::SerialQueue>& queue, dispatch::Duration delay) {
    dispatch::testing::Event done;
    queue->asyncAfter(delay, [&done] { done.arrive(); });
    ASSERT_TRUE(done.wait());
}

TEST(OSCServerTest, ReleasedServerDeliversNothingThatWasHeld) {
    const auto queue = dispatch::SerialQueue::create("test.receive");
    auto running = std::make_unique<Running>(OSCTimeTagMode::osc1_0, queue);
    Peer peer(AF_INET);
    ASSERT_TRUE(peer.sendTo(running->port, wire(bundleOf({OSCMessage("/held")}, OSCTimeTag::fromSecondsFromNow(0.3)))));
    ASSERT_TRUE(peer.sendTo(running->port, wire(OSCMessage("/marker"))));
    ASSERT_EQ(running->recorder.waitFor(1).size(), 1u);  // the bundle is held by now

    Recorder& recorder = running->recorder;
    auto server = std::move(running->server);
    server.reset();
    drain(queue, std::chrono::milliseconds(600));
    EXPECT_EQ(recorder.addresses(), std::vector<std::string>{"/marker"});
}

// Past the bound a future bundle is delivered at once, not dropped; once a
// held bundle has gone out its room is free again.
TEST(OSCServerTest, HoldingBackIsBounded) {
    struct Case {
        const char* name;
        OSCHoldBackLimit limit;
    };
    for (const auto& test : {Case{"by count", {1, std::size_t{1} << 20}}, Case{"by bytes", {1024, 100}}}) {
        SCOPED_TRACE(test.name);
        Running running(OSCTimeTagMode::osc1_0);
        running.server->setHoldBackLimit(test.limit);
        Peer peer(AF_INET);
        const auto soon = OSCTimeTag::fromSecondsFromNow(0.5);
        const auto far = OSCTimeTag::fromSecondsFromNow(3600);
        // 60 bytes each on the wire: one fits under the byte bound, two do not.
        const auto sendBundle = [&](const char* address, const OSCTimeTag& tag) {
            return peer.sendTo(running.port, wire(bundleOf({OSCMessage(address, {"abcdefghijklmnopqrstuvwx"})}, tag)));
        };
        ASSERT_TRUE(sendBundle("/soon", soon));
        ASSERT_TRUE(sendBundle("/over", far));
        ASSERT_TRUE(peer.sendTo(running.port, wire(OSCMessage("/now"))));
        auto got = running.recorder.waitFor(3);
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0].address, "/over");
        EXPECT_EQ(got[0].timeTag, far);
        EXPECT_EQ(got[1].address, "/now");
        EXPECT_EQ(got[2].address, "/soon");

        ASSERT_TRUE(sendBundle("/kept", far));
        ASSERT_TRUE(peer.sendTo(running.port, wire(OSCMessage("/last"))));
        got = running.recorder.waitFor(4);
        ASSERT_EQ(got.size(), 4u);
        EXPECT_EQ(got[3].address, "/last");
    }
}

// A handler that throws costs only its own call: the other messages of the
// bundle and later datagrams still arrive.
TEST(OSCServerTest, ThrowingHandlerLosesNoOtherMessage) {
    Recorder recorder;
    auto record = recorder.handler();
    const auto server = OSCServer::create(
        0, OSCTimeTagMode::osc1_0, nullptr,
        [record](const OSCMessage& message, const OSCTimeTag& tag, const std::string& host, std::uint16_t port) {
            record(message, tag, host, port);
            if (message.addressPattern().rawAddress() == "/boom") throw std::runtime_error("handler failed");
        });
    server->start();
    Peer peer(AF_INET);
    ASSERT_TRUE(peer.sendTo(server->boundPort(),
                            wire(bundleOf({OSCMessage("/boom"), OSCMessage("/b")}, OSCTimeTag::immediate()))));
    ASSERT_TRUE(peer.sendTo(server->boundPort(), wire(OSCMessage("/c"))));
    EXPECT_EQ(recorder.waitFor(3).size(), 3u);
    EXPECT_EQ(recorder.addresses(), (std::vector<std::string>{"/boom", "/b", "/c"}));
}

}  // namespace
}  // namespace vorn::net
