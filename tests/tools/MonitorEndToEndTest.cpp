// The two shipped programs against each other over loopback: vorn-osc-echo
// answers the pings of vorn-osc-cli until it is killed, and the monitor's
// output and exit status are what a user would see.

#include "monitor/JsonSettingsStore.h"

#include "../monitor/TempDir.h"
#include "../udp/SocketTesting.h"
#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;
using Child = vorn::testutil::ChildProcess;
using vorn::monitor::testutil::TempDir;

std::string freeUdpPort() {
    return std::to_string(vorn::udp::testing::freePort());
}

TEST(MonitorEndToEndTest, LinkGoesAliveWithTheEchoAndDeadWithoutItAndSigtermEndsTheMonitorCleanly) {
    TempDir config;
    const auto receivePort = freeUdpPort();

    Child echo({VORN_OSC_ECHO_PROGRAM, "--listen-port", "0", "--reply-port", receivePort});
    const std::string listening = "vorn-osc-echo listening on port ";
    const auto line = echo.readLine();
    ASSERT_TRUE(line && line->starts_with(listening)) << echo.out() << echo.err();
    const std::string echoPort = line->substr(listening.size());
    ASSERT_NE(std::stoi(echoPort), 0);

    Child monitor({VORN_OSC_CLI_PROGRAM, "--config-dir", config.path().string(), "--interval", "1", "--receive-port",
                   receivePort, "--target", "127.0.0.1", "--target-port", echoPort});

    ASSERT_TRUE(monitor.waitForOut("🔄 State changed to ALIVE\n")) << monitor.out() << monitor.err();
    // Lines appended before the monitor's output was hooked up are printed
    // too, first of all the restart line.
    EXPECT_EQ(monitor.out().rfind("🔁 OSC server restarted on port " + receivePort + "\n", 0), 0) << monitor.out();
    EXPECT_NE(monitor.out().find("✅ OSC server listening on port " + receivePort + "\n"), std::string::npos);
    EXPECT_NE(monitor.out().find("→ Sent ping “/eos/ping” to 127.0.0.1:" + echoPort + "\n"), std::string::npos);
    EXPECT_NE(monitor.out().find("← Received “/eos/out/ping”\n"), std::string::npos);
    EXPECT_EQ(monitor.err().find("OSC link is DEAD"), std::string::npos);

    echo.signal(SIGKILL);
    ASSERT_TRUE(monitor.waitForOut("🔄 State changed to DEAD\n")) << monitor.out();
    ASSERT_TRUE(monitor.waitForErr("Vorn OSC 2: OSC link is DEAD\n\a")) << monitor.err();

    monitor.signal(SIGTERM);
    EXPECT_EQ(monitor.exitCode(), 0) << monitor.err();

    // The options were assignments to the settings, kept in the folder given.
    const vorn::monitor::JsonSettingsStore saved(config.path() / "settings.json");
    EXPECT_EQ(saved.stringForKey("targetIP"), "127.0.0.1");
    EXPECT_EQ(saved.integerForKey("targetPort"), std::stoll(echoPort));
    EXPECT_EQ(saved.integerForKey("receivePort"), std::stoll(receivePort));
    EXPECT_EQ(saved.objectForKey("pingInterval"), std::optional<vorn::monitor::SettingsValue>(1.0));
}

TEST(MonitorEndToEndTest, SigintBeforeAnyReplyEndsTheMonitorWithExitZero) {
    TempDir config;
    Child monitor({VORN_OSC_CLI_PROGRAM, "--config-dir", config.path().string(), "--receive-port",
                   freeUdpPort(), "--target", "127.0.0.1", "--target-port", freeUdpPort()});
    ASSERT_TRUE(monitor.waitForOut("✅ OSC server listening on port")) << monitor.out() << monitor.err();
    monitor.signal(SIGINT);
    EXPECT_EQ(monitor.exitCode(), 0) << monitor.err();
}

TEST(MonitorEndToEndTest, ABadOptionValueExitsTwoBeforeTouchingTheSettings) {
    TempDir config;
    Child monitor({VORN_OSC_CLI_PROGRAM, "--config-dir", config.path().string(), "--target", "127.0.0.1",
                   "--receive-port", "70000"});
    EXPECT_EQ(monitor.exitCode(), 2);
    EXPECT_EQ(monitor.out(), "");
    EXPECT_NE(monitor.err().find("--receive-port"), std::string::npos) << monitor.err();
    EXPECT_FALSE(fs::exists(config.path() / "settings.json"));
}

}  // namespace
