#include "tools/EchoPeer.h"

#include "support/NetTesting.h"
#include "support/ChildProcess.h"
#include "osc/OSCMessage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vorn::tools {
namespace {

using net::testing::Peer;
using net::testing::wire;
using osc::OSCMessage;
using osc::OSCValue;
using Lines = std::vector<std::string>;

// An echo peer on ephemeral loopback ports, a sender and the replier it answers.
struct Echo {
    explicit Echo(int family, std::string ping = "/eos/ping", std::string reply = "/eos/out/ping",
                  bool replyToSender = false, const std::function<void(EchoOptions&)>& tweak = {})
        : family_(family), host_(udp::testing::loopbackHost(family)), reply_(reply), replier(family), sender(family) {
        EXPECT_TRUE(replier.ok() && sender.ok());
        EchoOptions options;
        options.listenPort = 0;
        options.ping = std::move(ping);
        options.reply = std::move(reply);
        options.replyPort = replier.port();
        options.replyToSender = replyToSender;
        if (tweak) tweak(options);
        peer_ = EchoPeer::create(std::move(options), [this](const std::string& line) { lines_.add(line); });
        peer_->start();
    }

    bool send(const osc::OSCPacket& packet) const {
        const auto& socket = peer_->server()->udpSocket();
        return sender.sendTo(family_ == AF_INET ? socket->localPort_IPv4() : socket->localPort_IPv6(), wire(packet));
    }
    std::optional<OSCMessage> reply() const {
        const auto datagram = replier.receive();
        if (!datagram) return std::nullopt;
        return OSCMessage::decode(std::span(reinterpret_cast<const std::uint8_t*>(datagram->data()), datagram->size()));
    }
    Lines waitForLines(std::size_t count) const { return lines_.waitFor(count); }

    std::string listening() const { return "vorn-osc-echo listening on port " + std::to_string(peer_->boundPort()); }
    std::string answered() const {
        return "ping from " + endpointText(host_, sender.port()) + " -> reply \"" + reply_ + "\" to " +
               endpointText(host_, replier.port());
    }
    std::string ignored(const std::string& address) const {
        return "ignored \"" + address + "\" from " + endpointText(host_, sender.port());
    }

    int family_;
    std::string host_;
    std::string reply_;
    dispatch::testing::Recorded<std::string> lines_;
    const Peer replier;
    const Peer sender;
    std::shared_ptr<EchoPeer> peer_;
};

// A ping is answered with the reply address and the ping's arguments at the
// reply port; or, as a device that answers whoever sent to it, back at the
// ping's own address and port.
TEST(EchoPeerTest, PingIsAnsweredWithTheReplyAddressAndItsArguments) {
    const std::vector<OSCValue> arguments = {std::int32_t{42}, 0.5f, "hi", std::vector<std::uint8_t>{1, 2, 3}, true};
    for (const int family : {AF_INET, AF_INET6}) {
        for (const bool toSender : {false, true}) {
            SCOPED_TRACE(::testing::Message() << family << (toSender ? " to the sender" : " to the reply port"));
            Echo echo(family, "/console/ping", "/console/pong", toSender);
            ASSERT_TRUE(echo.send(OSCMessage("/console/ping", arguments)));
            const Peer& answered = toSender ? echo.sender : echo.replier;
            EXPECT_EQ(answered.receive(), wire(OSCMessage("/console/pong", arguments)));
            const auto exchange = "ping from " + endpointText(echo.host_, echo.sender.port()) +
                                  " -> reply \"/console/pong\" to " + endpointText(echo.host_, answered.port());
            EXPECT_EQ(echo.waitForLines(2), (Lines{echo.listening(), exchange}));
        }
    }
}

// Whatever pattern reaches the ping address is a ping; nothing else is
// answered, the reply address above all, or two echo peers would bounce
// replies forever. Whoever sends decides the address: an ignored one is
// printed escaped, on its one line. A ping in a bundle dated an hour ahead is
// answered at once.
TEST(EchoPeerTest, OnlyAddressesReachingThePingAreAnswered) {
    Echo echo(AF_INET);
    const std::vector<std::pair<std::string, bool>> cases = {
        {"/eos/ping/extra", false}, {"/EOS/PING", false}, {"/eos/out/ping", false}, {"/eos/out/*", false},
        {"/eos/p?", false},         {"/eos/p*", true},    {"/*/ping", true},        {"/eos/{pong,ping}", true},
        {"/eos/[o-q]in?", true},
    };
    Lines expected = {echo.listening()};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [address, answered] = cases[i];
        SCOPED_TRACE(address);
        const OSCValue argument = static_cast<std::int32_t>(i);
        ASSERT_TRUE(echo.send(OSCMessage(address, {argument})));
        if (answered) {
            EXPECT_EQ(echo.reply(), OSCMessage("/eos/out/ping", {argument}));
        }
        expected.push_back(answered ? echo.answered() : echo.ignored(address));
    }
    ASSERT_TRUE(echo.send(OSCMessage("/x\x1B]0;title\x07\r\n\x7F/y")));
    expected.push_back(echo.ignored("/x\\x1B]0;title\\x07\\x0D\\x0A\\x7F/y"));
    ASSERT_TRUE(echo.send(net::testing::bundleOf(
        {OSCMessage("/eos/fader/1"), net::testing::bundleOf({OSCMessage("/eos/ping")}, osc::OSCTimeTag::immediate())},
        osc::OSCTimeTag::fromSecondsFromNow(3600))));
    EXPECT_EQ(echo.reply(), OSCMessage("/eos/out/ping"));
    expected.push_back(echo.ignored("/eos/fader/1"));
    expected.push_back(echo.answered());
    EXPECT_EQ(echo.waitForLines(expected.size()), expected);
}

// Every third ping goes unanswered; the others are answered late, in the
// order they came, each with its own arguments, and a late answer never
// holds back the pings behind it (all four are waiting at once here).
TEST(EchoPeerTest, DropEveryLeavesEveryNthUnansweredAndDelayKeepsOrder) {
    Echo echo(AF_INET, "/eos/ping", "/eos/out/ping", false, [](EchoOptions& options) {
        options.dropEvery = 3;
        options.delayMs = 40;
    });
    Lines expected = {echo.listening()};
    for (std::int32_t i = 1; i <= 6; ++i) {
        ASSERT_TRUE(echo.send(OSCMessage("/eos/ping", {OSCValue(i)})));
        expected.push_back(i % 3 == 0 ? "ping from " + endpointText(echo.host_, echo.sender.port()) +
                                            " -> dropped (every 3)"
                                      : echo.answered() + " after 40 ms");
    }
    for (const std::int32_t i : {1, 2, 4, 5}) {
        EXPECT_EQ(echo.reply(), OSCMessage("/eos/out/ping", {OSCValue(i)}));
    }
    // The drops are said as the pings come, the answers as they leave.
    auto lines = echo.waitForLines(expected.size());
    const auto answersFirst = [](const std::string& line) { return line.find("dropped") == std::string::npos; };
    std::stable_partition(lines.begin() + 1, lines.end(), answersFirst);
    std::stable_partition(expected.begin() + 1, expected.end(), answersFirst);
    EXPECT_EQ(lines, expected);
}

TEST(EchoPeerProgramTest, AHeldPortExitsOneWithTheReason) {
    Peer holder(AF_INET);
    ASSERT_TRUE(holder.ok());
    const auto port = std::to_string(holder.port());
    testutil::ChildProcess held({VORN_OSC_ECHO_PROGRAM, "--listen-port", port});
    EXPECT_EQ(held.exitCode(), 1);
    EXPECT_TRUE(held.err().starts_with("vorn-osc-echo: cannot listen on port " + port + ": ")) << held.err();
    EXPECT_NE(held.err().find("Address already in use"), std::string::npos) << held.err();
}

}  // namespace
}  // namespace vorn::tools
