// oscsend (liblo's) sends to our OSCServer; oscdump prints what our
// OSCClient sends; both again over TCP with OSC 1.0 framing. Each runs as a child process on 127.0.0.1.

#include "net/OSCClient.h"
#include "net/OSCServer.h"
#include "net/OSCTCPClient.h"
#include "net/OSCTCPServer.h"

#include "support/ChildProcess.h"
#include "support/NetTesting.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace vorn::net {
namespace {

using namespace std::chrono_literals;
using osc::OSCMessage;
using osc::OSCTimeTag;
using Child = testutil::ChildProcess;
using Clock = std::chrono::steady_clock;

class LibloToolsInteropTest : public ::testing::Test {
    void SetUp() override {
        if (std::system("command -v oscsend >/dev/null && command -v oscdump >/dev/null") != 0) {
            GTEST_SKIP() << "oscsend or oscdump is not installed (Debian package liblo-tools)";
        }
    }
};

TEST_F(LibloToolsInteropTest, OscsendReachesServerWithAddressArgumentsAndSender) {
    // The type tags and the arguments as oscsend takes them, and what they mean.
    const std::vector<std::pair<std::vector<std::string>, std::vector<osc::OSCValue>>> cases = {
        {{"ifsdhm", "-7", "2.5", "hello world", "3.25", "-9000000000", "01903c7f"},
         {std::int32_t{-7}, 2.5f, "hello world", 3.25, std::int64_t{-9000000000}, osc::OSCMIDIValue{1, 144, 60, 127}}},
        {{"TFNISc", "symbol", "x"},
         {true, false, osc::OSCNullValue{}, osc::OSCImpulseValue{}, osc::OSCStringAltValue{"symbol"}, char32_t{'x'}}},
        {{""}, {}},
    };
    testing::Recorder recorder;
    auto server = OSCServer::create(0, OSCTimeTagMode::osc1_0, nullptr, recorder.handler());
    server->start();
    const auto port = server->boundPort();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [arguments, values] = cases[i];
        SCOPED_TRACE("types \"" + arguments[0] + "\"");
        const std::string address = "/vorn/interop/" + std::to_string(i);
        std::vector<std::string> command = {"oscsend", "127.0.0.1", std::to_string(port), address};
        command.insert(command.end(), arguments.begin(), arguments.end());
        ASSERT_EQ(Child(command).exitCode(), 0);
        const auto received = recorder.waitFor(i + 1);
        ASSERT_EQ(received.size(), i + 1) << "nothing reached the server";
        const auto& got = received.back();
        EXPECT_EQ(got.message, OSCMessage(address, values)) << got.message.description();
        EXPECT_EQ(got.timeTag, OSCTimeTag::immediate());
        EXPECT_EQ(got.host, "127.0.0.1");
        EXPECT_TRUE(got.port != 0 && got.port != port) << got.port;
    }
}

// oscdump says nothing once it has bound, so probes go out until one comes
// back; an early exit (the port was taken meanwhile) tries another port.
class Dump {
public:
    bool start(OSCClient& client) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            port_ = udp::testing::freePort();
            child_.emplace(std::vector<std::string>{"oscdump", "-L", std::to_string(port_)});
            const auto deadline = Clock::now() + Child::patience;
            while (Clock::now() < deadline && !child_->ended()) {
                client.send(OSCMessage("/probe"), "127.0.0.1", port_);
                const auto line = child_->readLine(std::min(deadline, Clock::now() + 100ms));
                if (line && line->find("/probe") != std::string::npos) return true;
            }
        }
        return false;
    }

    std::uint16_t port() const { return port_; }

    // The next line but late probes: time tag, address, type tags, arguments.
    std::optional<std::string> next() {
        while (auto line = child_->readLine(Clock::now() + Child::patience)) {
            if (line->find("/probe") == std::string::npos) return line;
        }
        return std::nullopt;
    }

private:
    std::optional<Child> child_;
    std::uint16_t port_ = 0;
};

std::string hex(const OSCTimeTag& tag) {
    char text[24];
    std::snprintf(text, sizeof text, "%08x.%08x ", unsigned(tag.rawValue() >> 32), unsigned(tag.rawValue()));
    return text;
}

TEST_F(LibloToolsInteropTest, ClientMessagesAndBundlesArriveAtOscdump) {
    OSCClient client;
    Dump dump;
    ASSERT_TRUE(dump.start(client)) << "oscdump printed none of our probes";
    const std::vector<std::uint8_t> blob = {1, 2, 3};
    client.send(OSCMessage("/eos/out/param/intensity",
                           {std::int32_t{42}, -0.125f, "hello world", 3.25, std::int64_t{-1234567890123}, true, false,
                            osc::OSCNullValue{}, osc::OSCImpulseValue{}, char32_t{'x'},
                            osc::OSCMIDIValue{1, 0x90, 0x3c, 0x7f}, blob, OSCTimeTag(0xe000000000000007)}),
                "127.0.0.1", dump.port());
    auto line = dump.next();
    ASSERT_TRUE(line) << "oscdump printed nothing for the message";
    EXPECT_EQ(line->substr(line->find(' ') + 1),
              "/eos/out/param/intensity ifsdhTFNIcmbt 42 -0.125000 \"hello world\" 3.250000 -1234567890123 #T #F "
              "Nil Infinitum 'x' MIDI [0x01 0x90 0x3c 0x7f] [3b 0x1 0x2 0x3] e0000000.00000007");

    // Dated in the past, so delivered at once, each with its own bundle's tag.
    const OSCTimeTag outer(0xe000000000000005);
    const OSCTimeTag inner(0xe000000100000009);
    client.send(testing::bundleOf({OSCMessage("/first", {std::int32_t{1}}), OSCMessage("/second", {"two"}),
                                   testing::bundleOf({OSCMessage("/third", {3.0f})}, inner)},
                                  outer),
                "127.0.0.1", dump.port());
    for (const auto& expected :
         {hex(outer) + "/first i 1", hex(outer) + "/second s \"two\"", hex(inner) + "/third f 3.000000"}) {
        EXPECT_EQ(dump.next(), expected);
    }
}

TEST_F(LibloToolsInteropTest, OscsendOverTCPReachesOurTCPServer) {
    testing::Recorder recorder;
    auto server = OSCTCPServer::create(0, OSCFraming::lengthPrefixed, OSCTimeTagMode::ignore, nullptr,
                                       recorder.handler());
    server->start();
    const std::string url = "osc.tcp://127.0.0.1:" + std::to_string(server->boundPort());
    ASSERT_EQ(Child({"oscsend", url, "/vorn/tcp", "isf", "-7", "over tcp", "2.5"}).exitCode(), 0);
    ASSERT_EQ(Child({"oscsend", url, "/vorn/tcp/second"}).exitCode(), 0);
    const auto received = recorder.waitFor(2);
    ASSERT_EQ(received.size(), 2u) << "nothing reached the server";
    EXPECT_EQ(received[0].message, OSCMessage("/vorn/tcp", {std::int32_t{-7}, "over tcp", 2.5f}));
    EXPECT_EQ(received[0].host, "127.0.0.1");
    EXPECT_EQ(received[1].address, "/vorn/tcp/second");
}

TEST_F(LibloToolsInteropTest, OurTCPClientReachesOscdumpOverTCP) {
    const auto port = udp::testing::freePort();
    Child dump({"oscdump", "-L", "osc.tcp://:" + std::to_string(port)});
    // oscdump says nothing once it listens: the client tries until it is there.
    OSCTCPClient client(OSCTCPClientOptions{OSCFraming::lengthPrefixed, true});
    client.connect("127.0.0.1", port);
    std::optional<std::string> line;
    const auto deadline = Clock::now() + Child::patience;
    while (!line && Clock::now() < deadline && !dump.ended()) {
        client.send(OSCMessage("/eos/out/ping", {std::int32_t{42}, "tcp"}));
        line = dump.readLine(std::min(deadline, Clock::now() + 500ms));
    }
    ASSERT_TRUE(line) << "oscdump printed nothing" << dump.err();
    EXPECT_EQ(line->substr(line->find(' ') + 1), "/eos/out/ping is 42 \"tcp\"");
}

}  // namespace
}  // namespace vorn::net
