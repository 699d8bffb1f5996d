#include "tools/EchoPeer.h"

#include "../net/NetTesting.h"
#include "ChildProcess.h"
#include "osc/OSCMessage.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <condition_variable>
#include <cstring>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace vorn::tools {
namespace {

using net::testing::bundleOf;
using net::testing::patience;
using net::testing::Peer;
using net::testing::wire;
using osc::OSCMessage;
using osc::OSCValue;

std::string listeningLine(std::uint16_t port) {
    return "vorn-osc-echo listening on port " + std::to_string(port);
}

std::string pingLine(const std::string& host, std::uint16_t from, const std::string& reply, std::uint16_t to) {
    return "ping from " + endpointText(host, from) + " -> reply \"" + reply + "\" to " + endpointText(host, to);
}

// Decodes what a peer received, failing the test on anything but a message.
std::optional<OSCMessage> decoded(const std::optional<std::string>& datagram) {
    if (!datagram) {
        ADD_FAILURE() << "nothing arrived";
        return std::nullopt;
    }
    try {
        return OSCMessage::decode(std::span(reinterpret_cast<const std::uint8_t*>(datagram->data()), datagram->size()));
    } catch (const std::exception& error) {
        ADD_FAILURE() << "undecodable reply: " << error.what();
        return std::nullopt;
    }
}

// Collects the peer's output lines; tests wait on it instead of sleeping.
class Lines {
public:
    EchoPeer::LineSink sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
            changed_.notify_all();
        };
    }

    std::vector<std::string> waitFor(std::size_t count) const {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, patience, [&] { return lines_.size() >= count; });
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// An echo peer on ephemeral loopback ports, replying to `replier`.
struct Running {
    Running(const Peer& replier, std::string ping = "/eos/ping", std::string reply = "/eos/out/ping") {
        peer = EchoPeer::create({.listenPort = 0, .ping = std::move(ping), .reply = std::move(reply),
                                 .replyPort = replier.port()},
                                lines.sink());
        peer->start();
    }
    std::uint16_t portFor(int family) const {
        const auto& socket = peer->server()->udpSocket();
        return family == AF_INET ? socket->localPort_IPv4() : socket->localPort_IPv6();
    }
    Lines lines;
    std::shared_ptr<EchoPeer> peer;
};

// An echo peer on IPv4 loopback, a sender and the replier it answers.
class EchoPeerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(replier.ok() && sender.ok()); }
    std::string ignoredLine(const std::string& address) const {
        return "ignored \"" + address + "\" from 127.0.0.1:" + std::to_string(sender.port());
    }
    std::string answeredLine() const { return pingLine("127.0.0.1", sender.port(), "/eos/out/ping", replier.port()); }

    Peer replier{AF_INET};
    Peer sender{AF_INET};
    Running running{replier};
};

TEST(EchoPeerFamilyTest, PingIsAnsweredWithTheReplyAddressAndItsArgumentsAtTheReplyPort) {
    struct Case {
        int family;
        std::string ping;
        std::string reply;
        std::vector<OSCValue> arguments;
    };
    const std::vector<Case> cases = {
        {AF_INET,
         "/eos/ping",
         "/eos/out/ping",
         {std::int32_t{42}, 0.5f, "hello world", std::vector<std::uint8_t>{1, 2, 3, 4, 5}, true}},
        {AF_INET6, "/console/ping", "/console/pong", {}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(udp::testing::loopbackHost(test.family));
        Peer replier(test.family);
        Peer sender(test.family);
        ASSERT_TRUE(replier.ok() && sender.ok());
        Running running(replier, test.ping, test.reply);

        ASSERT_TRUE(sender.sendTo(running.portFor(test.family), wire(OSCMessage(test.ping, test.arguments))));

        EXPECT_EQ(decoded(replier.receive()), OSCMessage(test.reply, test.arguments));
        const std::string host = udp::testing::loopbackHost(test.family);
        EXPECT_EQ(running.lines.waitFor(2),
                  (std::vector<std::string>{listeningLine(running.peer->boundPort()),
                                            pingLine(host, sender.port(), test.reply, replier.port())}));
    }
}

// Only addresses that match the ping address are answered; the reply address
// above all must not be, or two echo peers would bounce replies forever.
TEST_F(EchoPeerTest, OtherAddressesAreReportedAndLeftUnanswered) {
    const std::vector<std::string> others = {"/eos/ping/extra", "/eos/pin", "/EOS/PING", "/eos/out/ping", "/x/eos/ping",
                                             "/eos/out/*"};
    for (const auto& address : others) {
        ASSERT_TRUE(sender.sendTo(running.portFor(AF_INET), wire(OSCMessage(address, {1.0f}))));
    }
    ASSERT_TRUE(sender.sendTo(running.portFor(AF_INET), wire(OSCMessage("/eos/ping", {std::int32_t{99}}))));

    // The first reply to arrive answers the last datagram sent.
    EXPECT_EQ(decoded(replier.receive()), OSCMessage("/eos/out/ping", {std::int32_t{99}}));

    std::vector<std::string> expected = {listeningLine(running.peer->boundPort())};
    for (const auto& address : others) {
        expected.push_back(ignoredLine(address));
    }
    expected.push_back(answeredLine());
    EXPECT_EQ(running.lines.waitFor(expected.size()), expected);
}

// A peer may address the ping with a pattern; whatever pattern matches the
// ping address is a ping.
TEST_F(EchoPeerTest, PatternsMatchingThePingAddressAreAnswered) {
    const std::vector<std::string> patterns = {"/eos/p*", "/*/ping", "/eos/{pong,ping}", "/eos/[o-q]in?"};
    std::vector<std::string> expected = {listeningLine(running.peer->boundPort())};
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        SCOPED_TRACE(patterns[i]);
        const OSCValue argument = static_cast<std::int32_t>(i);
        ASSERT_TRUE(sender.sendTo(running.portFor(AF_INET), wire(OSCMessage(patterns[i], {argument}))));
        EXPECT_EQ(decoded(replier.receive()), OSCMessage("/eos/out/ping", {argument}));
        expected.push_back(answeredLine());
    }
    ASSERT_TRUE(sender.sendTo(running.portFor(AF_INET), wire(OSCMessage("/eos/p?"))));
    expected.push_back(ignoredLine("/eos/p?"));
    EXPECT_EQ(running.lines.waitFor(expected.size()), expected);
}

// A console answers a ping however it came, and at once: a bundle dated an
// hour ahead is not held back.
TEST_F(EchoPeerTest, PingInsideABundleIsAnsweredAtOnce) {
    const auto bundle = bundleOf(
        {OSCMessage("/eos/fader/1", {0.25f}),
         bundleOf({OSCMessage("/eos/ping", {std::int32_t{3}})}, osc::OSCTimeTag::immediate())},
        osc::OSCTimeTag::fromSecondsFromNow(3600));
    ASSERT_TRUE(sender.sendTo(running.portFor(AF_INET), wire(bundle)));

    EXPECT_EQ(decoded(replier.receive()), OSCMessage("/eos/out/ping", {std::int32_t{3}}));
    EXPECT_EQ(running.lines.waitFor(3),
              (std::vector<std::string>{listeningLine(running.peer->boundPort()), ignoredLine("/eos/fader/1"),
                                        answeredLine()}));
}

// ---------------------------------------------------------------------------
// The program itself

testutil::ChildProcess echoProgram(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), VORN_OSC_ECHO_PROGRAM);
    return testutil::ChildProcess(std::move(arguments));
}

std::optional<std::uint16_t> listeningPort(const std::optional<std::string>& line) {
    const std::string prefix = "vorn-osc-echo listening on port ";
    if (!line || !line->starts_with(prefix)) {
        ADD_FAILURE() << "unexpected first line: " << line.value_or("(none)");
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(std::stoul(line->substr(prefix.size())));
}

TEST(EchoPeerProgramTest, AnswersPingsUntilAskedToStop) {
    for (const int stopSignal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(stopSignal));
        Peer replier(AF_INET);
        Peer sender(AF_INET);
        ASSERT_TRUE(replier.ok() && sender.ok());
        auto program = echoProgram({"--listen-port", "0", "--reply-port", std::to_string(replier.port())});
        const auto port = listeningPort(program.readLine());
        ASSERT_TRUE(port);

        ASSERT_TRUE(sender.sendTo(*port, wire(OSCMessage("/eos/ping", {"cue 12"}))));
        EXPECT_EQ(decoded(replier.receive()), OSCMessage("/eos/out/ping", {"cue 12"}));
        EXPECT_EQ(program.readLine(), pingLine("127.0.0.1", sender.port(), "/eos/out/ping", replier.port()));

        program.signal(stopSignal);
        EXPECT_EQ(program.exitCode(), 0);
    }
}

TEST(EchoPeerProgramTest, HeldPortIsReportedWithExitStatus1) {
    Peer holder(AF_INET);
    ASSERT_TRUE(holder.ok());
    const auto port = std::to_string(holder.port());
    auto program = echoProgram({"--listen-port", port});
    EXPECT_EQ(program.exitCode(), 1);
    EXPECT_TRUE(program.err().starts_with("vorn-osc-echo: cannot listen on port " + port + ": ")) << program.err();
    EXPECT_NE(program.err().find("Address already in use"), std::string::npos) << program.err();
    EXPECT_EQ(program.out(), "");
}

TEST(EchoPeerProgramTest, BadOptionValuesAreUsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {"--listen-port", "65536"}, {"--listen-port", "-1"},  {"--listen-port", "eight"},
        {"--reply-port", "0"},      {"--ping", "eos/ping"},   {"--reply", "/eos/out ping"},
        {"--no-such-option"},
    };
    for (const auto& arguments : cases) {
        SCOPED_TRACE(arguments.front() + (arguments.size() > 1 ? " " + arguments.back() : ""));
        auto program = echoProgram(arguments);
        EXPECT_EQ(program.exitCode(), 2);
        EXPECT_NE(program.err(), "");
        EXPECT_EQ(program.out(), "");
    }
}

}  // namespace
}  // namespace vorn::tools
