#include "net/OSCClient.h"
#include "net/OSCServer.h"
#include "net/OSCSocket.h"

#include "net/OSCSocketError.h"
#include "osc/OSCErrors.h"
#include "support/NetTesting.h"

#include <gtest/gtest.h>

#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace vorn::net {
namespace {

using namespace testing;
using osc::OSCMessage;
using osc::OSCTimeTag;

// A started server on an ephemeral port whose handler records.
struct Running {
    explicit Running(OSCTimeTagMode mode, std::shared_ptr<dispatch::SerialQueue> queue = nullptr,
                     Reading reading = Reading::owned)
        : server(OSCServer::create(0, mode, std::move(queue), recorder.handler(reading))) {
        server->start();
        port = server->boundPort();
    }
    Recorder recorder;
    std::shared_ptr<OSCServer> server;
    std::uint16_t port = 0;
};

// A client never started binds an ephemeral port at its first send and keeps
// it. An encoding error throws before anything is sent.
TEST(OSCClientTest, NeverStartedClientSendsExactBytesFromOneEphemeralPort) {
    Peer peer(AF_INET);
    Peer peer6(AF_INET6);
    OSCClient client;
    const OSCMessage message("/eos/ping", {std::int32_t{7}, "text"});
    const auto bundle = bundleOf({message, OSCMessage("/b")}, OSCTimeTag::fromSecondsFromNow(5));
    osc::OSCBundle tooDeep({message});
    for (int i = 0; i < 70; ++i) tooDeep = osc::OSCBundle(std::vector<osc::OSCPacket>{osc::OSCPacket(tooDeep)});
    EXPECT_THROW(client.send(tooDeep, "127.0.0.1", peer.port()), osc::OSCEncodeError);
    client.send(message, "127.0.0.1", peer.port());
    client.send(bundle, "127.0.0.1", peer.port());
    client.send(bundle, "::1", peer6.port());
    std::uint16_t ports[2] = {};
    EXPECT_EQ(peer.receive(&ports[0]), wire(message));
    EXPECT_EQ(peer.receive(&ports[1]), wire(bundle));
    EXPECT_EQ(peer6.receive(), wire(bundle));
    EXPECT_NE(ports[0], 0);
    EXPECT_TRUE(ports[1] == ports[0] && client.localPort() == ports[0] && !client.isStarted());
}

// Peers that answer whoever sent to them reach the client on the port its
// send bound, over either family; the answer is decoded and unpacked as a
// server would, with the sender. After a close the next send binds a new port,
// and that one is heard too; a client bound by start() hears without sending.
TEST(OSCClientTest, HearsAnswersOnItsOwnPortOnceAHandlerIsGiven) {
    Peer peer(AF_INET);
    Peer peer6(AF_INET6);
    Recorder recorder;
    OSCClient client;
    client.setReceiveHandler(recorder.handler());
    EXPECT_TRUE(client.isReceiving());

    std::uint16_t from = 0;
    client.send(OSCMessage("/status"), "127.0.0.1", peer.port());
    ASSERT_EQ(peer.receive(&from), wire(OSCMessage("/status")));
    ASSERT_TRUE(peer.sendTo(from, wire(OSCMessage("/status.reply"))));
    ASSERT_EQ(recorder.waitFor(1).size(), 1u);
    client.send(OSCMessage("/status"), "::1", peer6.port());
    std::uint16_t from6 = 0;
    ASSERT_EQ(peer6.receive(&from6), wire(OSCMessage("/status")));
    const auto later = OSCTimeTag::fromSecondsFromNow(60);
    ASSERT_TRUE(peer6.sendTo(from6, wire(bundleOf({OSCMessage("/a"), OSCMessage("/b")}, later))));
    auto heard = recorder.waitFor(3);
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[0].address, "/status.reply");
    EXPECT_EQ(std::tie(heard[0].host, heard[0].port), std::make_tuple(std::string("127.0.0.1"), peer.port()));
    EXPECT_EQ(heard[1].address + heard[2].address, "/a/b") << "a bundle dated ahead is not held";
    EXPECT_EQ(std::tie(heard[2].host, heard[2].port), std::make_tuple(std::string("::1"), peer6.port()));

    client.stop();
    client.send(OSCMessage("/status"), "127.0.0.1", peer.port());
    ASSERT_EQ(peer.receive(&from), wire(OSCMessage("/status")));
    ASSERT_TRUE(peer.sendTo(from, wire(OSCMessage("/after-close"))));
    EXPECT_EQ(recorder.waitFor(4).back().address, "/after-close");

    OSCClient started;
    started.start();
    started.setReceiveHandler(recorder.handler());
    ASSERT_TRUE(peer.sendTo(started.localPort(), wire(OSCMessage("/unasked"))));
    EXPECT_EQ(recorder.waitFor(5).back().address, "/unasked");

    client.setReceiveHandler(nullptr);
    EXPECT_FALSE(client.isReceiving());
}

// What the completions of a client's sends heard, in the order they heard it.
struct Outcomes : dispatch::testing::Recorded<std::pair<std::string, std::optional<udp::SocketError>>> {
    SendCompletion completion(std::string name) {
        return [this, name](const std::optional<udp::SocketError>& failure) { add({name, failure}); };
    }
};

// Each completion hears once what became of its own send: sent, a name that
// does not resolve, a kernel error that closes the socket, or a stop() that
// drops a send waiting for its name and the one queued behind it.
TEST(OSCClientTest, EachSendsCompletionHearsItsOutcomeOnce) {
    Peer peer(AF_INET);
    auto system = std::make_shared<udp::testing::FaultySystemCalls>();
    const auto gate = std::make_shared<udp::testing::Event>();
    system->resolve("nowhere.invalid", "", nullptr, EAI_NONAME);
    system->resolve("slow.invalid", "127.0.0.1", gate);
    Outcomes outcomes;
    OSCClient client(system);
    const OSCMessage ping("/eos/ping");

    client.send(ping, "127.0.0.1", peer.port(), outcomes.completion("sent"));
    EXPECT_EQ(peer.receive(), wire(ping));
    client.send(ping, "nowhere.invalid", peer.port(), outcomes.completion("unresolved"));
    ASSERT_EQ(outcomes.waitFor(2).size(), 2u);
    system->failSendto(EBADF, 1);
    client.send(ping, "127.0.0.1", peer.port(), outcomes.completion("refused"));
    ASSERT_EQ(outcomes.waitFor(3).size(), 3u);
    // The refusal closed the socket; its close is reported two turns of the
    // socket queue later. A send handed over before that report would be
    // counted among the sends the close dropped, so wait for it.
    client.udpSocket()->performBlock([] {});
    client.udpSocket()->performBlock([] {});
    client.send(ping, "slow.invalid", peer.port(), outcomes.completion("resolving"));
    client.send(ping, "127.0.0.1", peer.port(), outcomes.completion("queued"));
    client.udpSocket()->performBlock([] {});  // both are in the socket's hands
    client.stop();
    gate->arrive();
    const auto heard = outcomes.waitFor(5);
    ASSERT_EQ(heard.size(), 5u);

    EXPECT_EQ(heard[0], std::pair(std::string("sent"), std::optional<udp::SocketError>()));
    EXPECT_EQ(heard[1].first, "unresolved");
    EXPECT_EQ(heard[1].second, udp::SocketError::netdb(EAI_NONAME));
    EXPECT_EQ(heard[2].first, "refused");
    ASSERT_TRUE(heard[2].second);
    EXPECT_EQ(heard[2].second->domain, udp::POSIXErrorDomain);
    EXPECT_EQ(heard[2].second->code, EBADF);
    for (const auto& [name, failure] : {heard[3], heard[4]}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(failure);
        EXPECT_TRUE(failure->isDatagramSocketError(udp::DatagramSocketErrorCode::closed));
    }

    // The stopped client sends again, and what it dropped is not heard of twice.
    client.send(ping, "127.0.0.1", peer.port(), outcomes.completion("again"));
    EXPECT_EQ(peer.receive(), wire(ping));
    const auto after = outcomes.waitFor(6);
    ASSERT_EQ(after.size(), 6u);
    EXPECT_EQ(after.back(), std::pair(std::string("again"), std::optional<udp::SocketError>()));
}

// Whoever wraps a handler may call it with either form of a message: each
// kind of function gets the same message, time tag and sender.
TEST(OSCTransportTest, AHandlerTakesAMessageInEitherForm) {
    const OSCMessage message("/eos/out/param/intensity", {std::int32_t{42}, 0.5f, "text"});
    const auto bytes = message.rawData();
    const auto view = osc::OSCMessageView::parse(bytes.span());
    ASSERT_TRUE(view);
    const auto tag = OSCTimeTag::fromSecondsFromNow(1);
    for (const auto reading : {Reading::owned, Reading::inPlace}) {
        SCOPED_TRACE(describe(reading));
        Recorder recorder;
        const auto handler = recorder.handler(reading);
        EXPECT_EQ(handler.readsInPlace(), reading == Reading::inPlace);
        handler(message, tag, "::1", 9000);
        handler(*view, tag, "::1", 9000);
        const auto got = recorder.waitFor(2);
        ASSERT_EQ(got.size(), 2u);
        for (const auto& delivery : got) {
            EXPECT_EQ(delivery.message, message);
            EXPECT_EQ(delivery.timeTag, tag);
            EXPECT_EQ(delivery.host + " " + std::to_string(delivery.port), "::1 9000");
        }
    }
}

TEST(OSCTransportTest, AHeldPortFailsWithTheSocketsBindError) {
    Peer holder(AF_INET);
    OSCClient client(holder.port(), false, false);
    const auto server = OSCServer::create(holder.port(), OSCTimeTagMode::ignore);
    using Start = std::function<void()>;
    for (const Start& start : {Start([&] { client.start(); }), Start([&] { server->start(); })}) {
        try {
            start();
            ADD_FAILURE() << "start() on a held port succeeded";
        } catch (const OSCSocketError& error) {
            EXPECT_EQ(error.error().domain, udp::POSIXErrorDomain);
            EXPECT_EQ(error.what(), std::strerror(EADDRINUSE) + std::string(" (Error in bind() function)"));
        }
    }
    EXPECT_FALSE(client.isStarted() || server->isStarted());
}

// Elements arrive in order, each with its own bundle's tag and the sender,
// read in place or owned alike.
TEST(OSCServerTest, BundlesUnpackInElementOrderWithTheirOwnTagsAndTheSender) {
    const auto past = OSCTimeTag::fromSecondsFromNow(-3);
    const auto earlier = OSCTimeTag::fromSecondsFromNow(-60);
    const auto future = OSCTimeTag::fromSecondsFromNow(3600);
    using Expected = std::vector<std::pair<std::string, OSCTimeTag>>;
    for (const auto& [family, mode, bundle, expected] : {
             std::tuple{AF_INET6, OSCTimeTagMode::ignore, bundleOf({OSCMessage("/a"), OSCMessage("/b")}, future),
                        Expected{{"/a", future}, {"/b", future}}},
             std::tuple{AF_INET, OSCTimeTagMode::osc1_0,
                        bundleOf({bundleOf({OSCMessage("/in1"), OSCMessage("/in2")}, earlier), OSCMessage("/o")}, past),
                        Expected{{"/in1", earlier}, {"/in2", earlier}, {"/o", past}}},
         }) {
        for (const auto reading : {Reading::owned, Reading::inPlace}) {
            SCOPED_TRACE(describe(reading));
            Running running(mode, nullptr, reading);
            Peer peer(family);
            const auto& socket = *running.server->udpSocket();
            ASSERT_TRUE(peer.sendTo(family == AF_INET ? socket.localPort_IPv4() : socket.localPort_IPv6(), wire(bundle)));
            const auto got = running.recorder.waitFor(expected.size());
            ASSERT_EQ(got.size(), expected.size());
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(std::pair(got[i].address, got[i].timeTag), expected[i]);
                EXPECT_EQ(got[i].host + " " + std::to_string(got[i].port),
                          udp::testing::loopbackHost(family) + (" " + std::to_string(peer.port())));
            }
        }
    }
}

// A bundle with one bad element is dropped whole, read in place or owned.
TEST(OSCServerTest, GarbageIsDroppedAndLaterDatagramsStillArrive) {
    // An element that claims 64 bytes where 2 follow.
    const std::string truncatedBundle =
        std::string("#bundle", 8) + std::string(8, '\0') + std::string("\0\0\0\x40", 4) + "/x";
    const std::string goodThenBad = wire(bundleOf({OSCMessage("/good")}, OSCTimeTag::immediate())) +
                                    std::string("\0\0\0\x04junk", 8);
    for (const auto reading : {Reading::owned, Reading::inPlace}) {
        SCOPED_TRACE(describe(reading));
        Running running(OSCTimeTagMode::osc1_0, nullptr, reading);
        Peer peer(AF_INET);
        for (const std::string& junk :
             {std::string("\x13\x37\xfe\xff random bytes \x01"), std::string("/no-padding"),
              std::string("/x\0\0,i\0\0", 8), truncatedBundle, goodThenBad, wire(OSCMessage("/fine"))}) {
            ASSERT_TRUE(peer.sendTo(running.port, junk));
        }
        running.recorder.waitFor(1);
        EXPECT_EQ(running.recorder.addresses(), std::vector<std::string>{"/fine"});
    }
}

// start() twice does nothing. A message sent after setHandler() returned
// meets only the new handler; one that throws costs only its own call.
TEST(OSCServerTest, RestartedWithReplacedOrThrowingHandlersLosesNoOtherMessage) {
    Running running(OSCTimeTagMode::ignore);
    EXPECT_NO_THROW(running.server->start());
    EXPECT_EQ(running.server->boundPort(), running.port);
    running.server->stop();
    EXPECT_FALSE(running.server->isStarted());
    running.server->start();
    running.port = running.server->boundPort();
    Peer peer(AF_INET);
    ASSERT_TRUE(peer.sendTo(running.port, wire(OSCMessage("/first"))));
    ASSERT_EQ(running.recorder.waitFor(1).size(), 1u);
    Recorder replacement;
    running.server->setHandler([record = replacement.handler()](const OSCMessage& message, const OSCTimeTag& tag,
                                                                const std::string& host, std::uint16_t port) {
        record(message, tag, host, port);
        if (message.addressPattern().rawAddress() == "/boom") throw std::runtime_error("handler failed");
    });
    const auto now = OSCTimeTag::immediate();
    ASSERT_TRUE(peer.sendTo(running.port, wire(bundleOf({OSCMessage("/boom"), OSCMessage("/b")}, now))));
    ASSERT_TRUE(peer.sendTo(running.port, wire(OSCMessage("/c"))));
    ASSERT_EQ(replacement.waitFor(3).size(), 3u);
    EXPECT_EQ(replacement.addresses(), (std::vector<std::string>{"/boom", "/b", "/c"}));
    EXPECT_EQ(running.recorder.addresses(), std::vector<std::string>{"/first"});
}

// Bundles dated years ahead must not grow the server without bound: past the
// bound one is delivered at once, not dropped; a released one frees its room.
TEST(OSCServerTest, HoldingBackIsBounded) {
    for (const OSCHoldBackLimit limit : {OSCHoldBackLimit{1, std::size_t{1} << 20}, OSCHoldBackLimit{1024, 100}}) {
        SCOPED_TRACE(limit.bundles == 1 ? "by count" : "by bytes");
        Running running(OSCTimeTagMode::osc1_0);
        running.server->setHoldBackLimit(limit);
        Peer peer(AF_INET);
        const auto far = OSCTimeTag::fromSecondsFromNow(3600);
        // 60 bytes each on the wire: one fits under the byte bound, two do not.
        const auto sendBundle = [&](const char* address, const OSCTimeTag& tag) {
            return peer.sendTo(running.port, wire(bundleOf({OSCMessage(address, {"abcdefghijklmnopqrstuvwx"})}, tag)));
        };
        ASSERT_TRUE(sendBundle("/soon", OSCTimeTag::fromSecondsFromNow(0.5)));
        ASSERT_TRUE(sendBundle("/over", far));
        ASSERT_TRUE(peer.sendTo(running.port, wire(OSCMessage("/now"))));
        running.recorder.waitFor(3);
        ASSERT_TRUE(sendBundle("/kept", far));
        ASSERT_TRUE(peer.sendTo(running.port, wire(OSCMessage("/last"))));
        running.recorder.waitFor(4);
        EXPECT_EQ(running.recorder.addresses(), (std::vector<std::string>{"/over", "/now", "/soon", "/last"}));
    }
}

TEST(OSCSocketTest, RefusesToSendUntilStartedOrWithoutAHost) {
    Peer peer(AF_INET);
    const auto socket = OSCSocket::create();
    const auto refusal = [&](std::optional<std::string> host) -> std::string {
        try {
            socket->send(OSCMessage("/x"), std::move(host), peer.port());
        } catch (const OSCSocketError& error) {
            EXPECT_TRUE(error.error().isDatagramSocketError(udp::DatagramSocketErrorCode::closed));
            return error.error().userInfo.contains("Reason") ? error.error().userInfo.at("Reason") : "(no reason)";
        }
        return "(nothing thrown)";
    };
    EXPECT_EQ(refusal("127.0.0.1"), OSCSocket::notStartedReason);
    EXPECT_EQ(refusal(std::nullopt), OSCSocket::notStartedReason);
    socket->start();
    EXPECT_EQ(refusal(std::nullopt), OSCSocket::noRemoteHostReason);
    socket->stop();
    EXPECT_EQ(refusal("127.0.0.1"), OSCSocket::notStartedReason);
    // Nothing of the refused sends went out: the first datagram is this one.
    socket->start();
    socket->send(OSCMessage("/sent"), "127.0.0.1", peer.port());
    EXPECT_EQ(peer.receive(), wire(OSCMessage("/sent")));
}

// Sends leave from the receiving port; without a remote port they go to it.
TEST(OSCSocketTest, SendsAndReceivesOnOnePort) {
    Recorder recorder;
    Peer peer(AF_INET);
    const auto socket = OSCSocket::create(std::nullopt, "127.0.0.1", std::nullopt, OSCTimeTagMode::ignore, false,
                                          nullptr, recorder.handler());
    socket->start();
    EXPECT_NO_THROW(socket->start());
    EXPECT_EQ(socket->remotePort(), socket->localPort());
    socket->send(OSCMessage("/self"));
    socket->send(OSCMessage("/out"), "127.0.0.1", peer.port());
    std::uint16_t from = 0;
    ASSERT_TRUE(peer.receive(&from));
    EXPECT_EQ(from, socket->localPort());
    ASSERT_TRUE(peer.sendTo(from, wire(OSCMessage("/back"))));
    const auto got = recorder.waitFor(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].address + " " + got[1].address, "/self /back");
    EXPECT_EQ(got[0].port, socket->localPort());
    EXPECT_EQ(got[1].port, peer.port());
}

}  // namespace
}  // namespace vorn::net
