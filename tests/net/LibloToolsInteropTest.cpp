// Our transport against a peer we did not write: liblo's command-line tools.
// oscsend sends to our OSCServer; oscdump prints what our OSCClient sends.
// Each tool runs as a child process on 127.0.0.1.

#include "net/OSCClient.h"
#include "net/OSCServer.h"
#include "osc/OSCBundle.h"
#include "osc/OSCMessage.h"
#include "osc/OSCTimeTag.h"
#include "osc/OSCValue.h"

#include "../tools/ChildProcess.h"
#include "../udp/SocketTesting.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::net {
namespace {

using namespace std::chrono_literals;
using osc::OSCBundle;
using osc::OSCMessage;
using osc::OSCPacket;
using osc::OSCTimeTag;
using osc::OSCValue;
using Clock = std::chrono::steady_clock;

constexpr auto patience = testutil::ChildProcess::patience;

bool onPath(std::string_view program) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "/usr/bin:/bin";
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const auto dir = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        const auto candidate = std::filesystem::path(dir.empty() ? "." : dir) / program;
        if (::access(candidate.c_str(), X_OK) == 0) return true;
    }
    return false;
}

using Child = testutil::ChildProcess;

class LibloToolsInteropTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"oscsend", "oscdump"}) {
            if (!onPath(tool)) GTEST_SKIP() << tool << " is not installed (Debian package liblo-tools)";
        }
    }
};

// ---------------------------------------------------------------- oscsend → OSCServer

struct Received {
    OSCMessage message;
    OSCTimeTag timeTag;
    std::string host;
    std::uint16_t port = 0;
};

// What the server's handler hands over, for the test thread to wait for.
class Inbox {
public:
    OSCMessageHandler handler() {
        return [this](const OSCMessage& message, const OSCTimeTag& timeTag, const std::string& host,
                      std::uint16_t port) {
            std::lock_guard lock(mutex_);
            received_.push_back({message, timeTag, host, port});
            arrived_.notify_all();
        };
    }

    std::optional<Received> next() {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, patience, [this] { return !received_.empty(); })) return std::nullopt;
        auto first = std::move(received_.front());
        received_.pop_front();
        return first;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Received> received_;
};

// The range the kernel picks a sending socket's port from when the socket
// was never bound, which is how oscsend sends.
std::pair<unsigned, unsigned> ephemeralPortRange() {
    std::ifstream file("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned low = 1, high = 65535;
    file >> low >> high;
    return {low, high};
}

TEST_F(LibloToolsInteropTest, OscsendReachesServerWithAddressArgumentsAndSender) {
    struct Case {
        std::string types;
        std::vector<std::string> arguments;
        std::vector<OSCValue> values;
    };
    const std::vector<Case> cases = {
        {"ifsdh",
         {"42", "2.5", "hello world", "3.25", "1234567890123"},
         {std::int32_t{42}, 2.5f, "hello world", 3.25, std::int64_t{1234567890123}}},
        {"TFNI", {}, {true, false, osc::OSCNullValue{}, osc::OSCImpulseValue{}}},
        {"ifh", {"-7", "-0.125", "-9000000000"}, {std::int32_t{-7}, -0.125f, std::int64_t{-9000000000}}},
        {"sScm",
         {"", "symbol", "x", "01903c7f"},
         {"", osc::OSCStringAltValue{"symbol"}, char32_t{'x'}, osc::OSCMIDIValue{1, 0x90, 0x3c, 0x7f}}},
        {"", {}, {}},
    };

    Inbox inbox;
    auto server = OSCServer::create(0, OSCTimeTagMode::osc1_0, nullptr, inbox.handler());
    server->start();
    const auto port = server->boundPort();
    ASSERT_NE(port, 0);
    const auto [lowest, highest] = ephemeralPortRange();

    for (const auto& c : cases) {
        SCOPED_TRACE("types \"" + c.types + "\"");
        const std::string address = "/vorn/interop/" + (c.types.empty() ? std::string("none") : c.types);
        std::vector<std::string> command = {"oscsend", "127.0.0.1", std::to_string(port), address, c.types};
        command.insert(command.end(), c.arguments.begin(), c.arguments.end());
        ASSERT_EQ(Child(command).exitCode(), 0);

        const auto received = inbox.next();
        ASSERT_TRUE(received) << "nothing reached the server";
        const OSCMessage expected(address, c.values);
        EXPECT_EQ(received->message, expected)
            << "received " << received->message.description() << ", sent " << expected.description();
        EXPECT_EQ(received->timeTag, OSCTimeTag::immediate());
        EXPECT_EQ(received->host, "127.0.0.1");
        EXPECT_NE(received->port, port);
        EXPECT_GE(received->port, lowest);
        EXPECT_LE(received->port, highest);
    }
}

// ---------------------------------------------------------------- OSCClient → oscdump

// One line of oscdump: the time tag as two hex words, then the address, the
// type tags and the arguments as liblo prints them.
struct DumpLine {
    std::string timeTag;
    std::string rest;
};

DumpLine split(const std::string& line) {
    const auto space = line.find(' ');
    if (space == std::string::npos) return {line, {}};
    return {line.substr(0, space), line.substr(space + 1)};
}

std::string hexTimeTag(const OSCTimeTag& tag) {
    char text[24];
    std::snprintf(text, sizeof text, "%08x.%08x", static_cast<unsigned>(tag.rawValue() >> 32),
                  static_cast<unsigned>(tag.rawValue() & 0xffffffffu));
    return text;
}

constexpr std::string_view probeAddress = "/vorn/probe";

// oscdump listening on a port of its own, its output on a pipe.
class Dump {
public:
    // oscdump says nothing once it has bound, so a probe is sent until one
    // comes out; an early exit (the port was taken meanwhile) tries another.
    bool start(OSCClient& client) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            port_ = udp::testing::freePort();
            child_.emplace(std::vector<std::string>{"oscdump", "-L", std::to_string(port_)});
            const auto deadline = Clock::now() + patience;
            while (Clock::now() < deadline) {
                client.send(OSCMessage(probeAddress), "127.0.0.1", port_);
                const auto line = child_->readLine(std::min(deadline, Clock::now() + 100ms));
                if (line && split(*line).rest.starts_with(probeAddress)) return true;
                if (child_->ended()) break;
            }
        }
        return false;
    }

    std::uint16_t port() const { return port_; }

    // The next line that is not a late probe.
    std::optional<DumpLine> next() {
        const auto deadline = Clock::now() + patience;
        while (auto line = child_->readLine(deadline)) {
            auto parts = split(*line);
            if (parts.rest.starts_with(probeAddress)) continue;
            return parts;
        }
        return std::nullopt;
    }

private:
    std::optional<Child> child_;
    std::uint16_t port_ = 0;
};

TEST_F(LibloToolsInteropTest, ClientMessagesAndBundlesArriveAtOscdump) {
    OSCClient client;
    Dump dump;
    ASSERT_TRUE(dump.start(client)) << "oscdump printed none of our probes";

    const std::vector<std::uint8_t> blob = {1, 2, 3};
    const OSCMessage everyType("/eos/out/param/intensity",
                               {std::int32_t{42}, -0.125f, "hello world", 3.25, std::int64_t{-1234567890123}, true,
                                false, osc::OSCNullValue{}, osc::OSCImpulseValue{}, char32_t{'x'},
                                osc::OSCMIDIValue{1, 0x90, 0x3c, 0x7f}, blob, OSCTimeTag(0xe000000000000007)});
    client.send(everyType, "127.0.0.1", dump.port());
    auto line = dump.next();
    ASSERT_TRUE(line) << "oscdump printed nothing for the message";
    EXPECT_EQ(line->rest,
              "/eos/out/param/intensity ifsdhTFNIcmbt 42 -0.125000 \"hello world\" 3.250000 -1234567890123 #T #F "
              "Nil Infinitum 'x' MIDI [0x01 0x90 0x3c 0x7f] [3b 0x1 0x2 0x3] e0000000.00000007");

    // Dated in the past, so liblo hands the messages over at once; each line
    // shows the tag of the bundle that holds the message, nested ones
    // included.
    const OSCTimeTag outerTag(0xe000000000000005), innerTag(0xe000000100000009);
    const OSCBundle bundle({OSCMessage("/first", {std::int32_t{1}}), OSCMessage("/second", {"two"}),
                            OSCBundle({OSCMessage("/third", {3.0f})}, innerTag)},
                           outerTag);
    client.send(bundle, "127.0.0.1", dump.port());
    const std::vector<std::pair<OSCTimeTag, std::string>> expected = {
        {outerTag, "/first i 1"}, {outerTag, "/second s \"two\""}, {innerTag, "/third f 3.000000"}};
    for (const auto& [tag, rest] : expected) {
        SCOPED_TRACE(rest);
        line = dump.next();
        ASSERT_TRUE(line) << "oscdump printed nothing for the bundle";
        EXPECT_EQ(line->timeTag, hexTimeTag(tag));
        EXPECT_EQ(line->rest, rest);
    }
}

}  // namespace
}  // namespace vorn::net
