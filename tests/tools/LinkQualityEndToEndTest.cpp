// The terminal monitor's figures against the echo peer with a known delay
// and a known loss, over loopback, read from its --json output.

#include "support/TempDir.h"
#include "support/SocketTesting.h"
#include "support/ChildProcess.h"

#include "osc/OSCMessage.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <string>
#include <string_view>
#include <vector>

namespace vorn::tools {
namespace {

using Child = testutil::ChildProcess;
using Json = nlohmann::json;
using monitor::testutil::TempDir;
using Args = std::vector<std::string>;

std::string freeUdpPort() { return std::to_string(udp::testing::freePort()); }

// Whether `text` starts with `shape`, where 'd' stands for any digit and
// every other character for itself. (No <regex>: GCC 12 warns inside it.)
bool startsWithShape(std::string_view text, std::string_view shape) {
    if (text.size() < shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return false;
    }
    return true;
}

struct Pair {
    explicit Pair(Args echoOptions, Args cliOptions) {
        echoOptions.insert(echoOptions.begin(), {VORN_OSC_ECHO_PROGRAM, "--listen-port", echoPort, "--reply-port",
                                                 receivePort});
        echo.emplace(echoOptions);
        EXPECT_EQ(echo->readLine(), "vorn-osc-echo listening on port " + echoPort);
        cliOptions.insert(cliOptions.begin(),
                          {VORN_OSC_CLI_PROGRAM, "--config-dir", config.path().string(), "--interval", "1",
                           "--receive-port", receivePort, "--target", "127.0.0.1", "--target-port", echoPort});
        cli.emplace(cliOptions);
    }
    // Every line so far, each parsed: a line that is not JSON fails here.
    std::vector<Json> events() {
        std::vector<Json> parsed;
        std::size_t start = 0;
        for (auto end = cli->out().find('\n'); end != std::string::npos; end = cli->out().find('\n', start)) {
            const auto line = cli->out().substr(start, end - start);
            start = end + 1;
            const auto json = Json::parse(line, nullptr, false);
            EXPECT_TRUE(json.is_object()) << line;
            parsed.push_back(json);
        }
        return parsed;
    }
    std::size_t countOf(const std::string& event) {
        std::size_t n = 0;
        for (const auto& json : events()) n += json.value("event", "") == event;
        return n;
    }

    TempDir config;
    const std::string echoPort = freeUdpPort();
    const std::string receivePort = freeUdpPort();
    std::optional<Child> echo;
    std::optional<Child> cli;
};

// A 50 ms delay gives round trips of at least 50 ms (the reply leaves 50 ms
// after the ping came) and well under the 1 s interval: a reply paired with
// the wrong ping would be a whole interval off. How far above 50 ms depends
// on the machine, so no tighter bound is asserted. Every fourth ping dropped
// gives that loss.
TEST(LinkQualityEndToEndTest, JsonShowsTheRoundTripOfADelayedPeerAndTheLossOfADroppingOne) {
    Pair run({"--delay", "50", "--drop-every", "4"}, {"--json"});
    ASSERT_TRUE(run.cli->readUntil([&] { return run.countOf("received") >= 6; })) << run.cli->out() << run.cli->err();
    // A message no one would send on purpose, to show the escaping holds.
    udp::testing::Peer stranger(AF_INET);
    ASSERT_TRUE(stranger.sendTo(static_cast<std::uint16_t>(std::stoi(run.receivePort)),
                                udp::testing::text(osc::OSCMessage("/x\x1B]0;t\x07\"\\\r\n/y").rawData())));
    ASSERT_TRUE(run.cli->waitForOut("/x\\\\x1B")) << run.cli->out();
    run.cli->signal(SIGUSR1);
    ASSERT_TRUE(run.cli->readUntil([&] { return run.countOf("muted") == 1; })) << run.cli->out();
    run.cli->signal(SIGTERM);
    EXPECT_EQ(run.cli->exitCode(), 0) << run.cli->err();

    const auto events = run.events();
    std::size_t timed = 0;
    for (const auto& event : events) {
        const std::string time = event.value("time", "");
        ASSERT_TRUE(time.size() == 24 && startsWithShape(time, "dddd-dd-ddTdd:dd:dd.dddZ")) << event;
        ASSERT_TRUE(event.contains("line") || event["event"] == "summary") << event;
        if (event["event"] == "received" && event.contains("rttMs")) {
            ++timed;
            EXPECT_GE(event["rttMs"].get<double>(), 45) << event;
            EXPECT_LT(event["rttMs"].get<double>(), 1000) << event;
            EXPECT_EQ(event["from"]["address"], "127.0.0.1");
            EXPECT_EQ(event["line"], "\xE2\x86\x90 Received \xE2\x80\x9C/eos/out/ping\xE2\x80\x9D");
        }
        if (event["event"] == "state") {
            EXPECT_EQ(event["state"], "ALIVE");
            EXPECT_EQ(event["line"], "\xF0\x9F\x94\x84 State changed to ALIVE");
        }
    }
    EXPECT_GE(timed, 6u);
    EXPECT_EQ(run.countOf("restart"), 1u);
    EXPECT_EQ(run.countOf("listening"), 1u);
    EXPECT_EQ(run.countOf("state"), 1u);
    std::size_t strange = 0;
    for (const auto& event : events) {
        const auto line = event.value("line", "");
        if (line.find("/x") == std::string::npos) continue;
        ++strange;
        EXPECT_EQ(line.find('\x1B'), std::string::npos) << line;
        EXPECT_NE(line.find("\\x1B"), std::string::npos) << line;
    }
    EXPECT_EQ(strange, 1u);

    ASSERT_FALSE(events.empty());
    const auto& summary = events.back();
    ASSERT_EQ(summary["event"], "summary") << summary;
    const auto& rolling = summary["rolling"];
    // The window holds the first pings: every fourth of them unanswered.
    const auto pings = rolling["pings"].get<std::size_t>();
    ASSERT_GE(pings, 6u);
    EXPECT_EQ(rolling["answered"].get<std::size_t>(), pings - pings / 4) << summary;
    EXPECT_DOUBLE_EQ(rolling["lossPercent"].get<double>(), 100.0 * static_cast<double>(pings / 4) / pings);
    EXPECT_GE(rolling["minMs"].get<double>(), 45);
    EXPECT_LT(rolling["p95Ms"].get<double>(), 1000);
    EXPECT_EQ(summary["state"], "ALIVE");
    EXPECT_EQ(summary["outageCount"], 0);
    EXPECT_DOUBLE_EQ(summary["availabilityPercent"].get<double>(), 100.0);
}

// The hooks and plain lines with their local time before them.
TEST(LinkQualityEndToEndTest, HooksRunOnEachChangeAndTimestampsPrefixThePlainLines) {
    Pair run({}, {"--timestamps", "--on-alive", "sh -c 'echo \"$VORN_STATE $VORN_TARGET\"'", "--on-dead",
                 "printf '%s\\n' gone"});
    ASSERT_TRUE(run.cli->waitForOut("on-alive command ended with exit code 0\n")) << run.cli->out();
    run.echo->signal(SIGTERM);
    ASSERT_TRUE(run.cli->waitForOut("on-dead command ended with exit code 0\n")) << run.cli->out();
    run.cli->signal(SIGTERM);
    EXPECT_EQ(run.cli->exitCode(), 0);
    const std::string& out = run.cli->out();
    EXPECT_NE(out.find("   on-alive: ALIVE 127.0.0.1:" + run.echoPort + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("   on-dead: gone\n"), std::string::npos) << out;
    // Every line stamped with the local time.
    ASSERT_TRUE(out.ends_with('\n')) << out;
    for (std::size_t start = 0; start < out.size(); start = out.find('\n', start) + 1) {
        EXPECT_TRUE(startsWithShape(std::string_view(out).substr(start), "dddd-dd-dd dd:dd:dd.ddd  ")) << out;
    }
}

}  // namespace
}  // namespace vorn::tools
