#include "tools/CliOptions.h"
#include "tools/EchoCommandLine.h"

#include "monitor/JsonSettingsStore.h"
#include "monitor/OSCSettings.h"

#include "support/TempDir.h"
#include "support/SocketTesting.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace vorn::tools {
namespace {

namespace fs = std::filesystem;
using monitor::JsonSettingsStore;
using monitor::MemorySettingsStore;
using monitor::OSCSettings;
using monitor::SettingsValue;
using monitor::testutil::TempDir;
using Keys = OSCSettings::Keys;
using Args = std::vector<std::string>;

template <class Result>
struct Parsed {
    Result result;
    std::string out;
    std::string err;
};

// Either program's parser on `args`, as its main() hands them over.
template <class Result>
Parsed<Result> parseWith(Result (*parser)(int, const char* const[], std::ostream&, std::ostream&), Args args) {
    std::vector<const char*> argv{"vorn-osc"};
    for (const auto& arg : args) argv.push_back(arg.c_str());
    std::ostringstream out;
    std::ostringstream err;
    auto result = parser(static_cast<int>(argv.size()), argv.data(), out, err);
    return {std::move(result), out.str(), err.str()};
}

Parsed<CliParseResult> parse(Args args) { return parseWith(parseCliOptions, std::move(args)); }
Parsed<EchoParseResult> parseEcho(Args args) { return parseWith(parseEchoOptions, std::move(args)); }

TEST(CliOptionsTest, EachGivenOptionIsWrittenToTheStoreAndNothingElse) {
    struct Case {
        Args args;
        std::string_view key;  // empty: nothing written
        SettingsValue stored;
    };
    const std::vector<Case> cases = {
        {{}, "", false},
        {{"--target", "console.local"}, Keys::targetIP, std::string("console.local")},
        {{"--target-port=65535"}, Keys::targetPort, std::int64_t{65535}},
        {{"--receive-port", "1"}, Keys::receivePort, std::int64_t{1}},
        {{"--ping", "/hog/ping"}, Keys::pingMessage, std::string("/hog/ping")},
        {{"--reply", "pong"}, Keys::desiredReply, std::string("pong")},
        {{"--interval", "2.5"}, Keys::pingInterval, 2.5},
        // The settings clamp intervals themselves, as they do for the form.
        {{"--interval", "0.25"}, Keys::pingInterval, 1.0},
        {{"--no-alarm"}, Keys::alarmEnabled, false},
        {{"--no-ping-port-replies"}, Keys::listenOnPingPort, false},
        {{"--passive"}, Keys::passive, true},
        {{"--transport=udp"}, Keys::transport, std::string("udp")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const auto parsed = parse(c.args);
        ASSERT_TRUE(parsed.result.options.has_value()) << parsed.err;
        EXPECT_EQ(parsed.err, "");
        auto store = std::make_shared<MemorySettingsStore>();
        store->setObject(std::string("kept"), "unrelated");
        OSCSettings settings(store);
        parsed.result.options->applyTo(settings);
        for (const std::string_view key : {Keys::targetIP, Keys::targetPort, Keys::receivePort, Keys::pingMessage,
                                           Keys::desiredReply, Keys::pingInterval, Keys::alarmEnabled, Keys::title,
                                           Keys::listenOnPingPort, Keys::passive, Keys::transport}) {
            EXPECT_EQ(store->objectForKey(key), key == c.key ? std::optional(c.stored) : std::nullopt) << key;
        }
    }
}

// A preset fills its fields and the mode; options given beside it win, and
// the rest of the settings stay as they were. "list" shows every preset.
TEST(CliOptionsTest, PresetFillsItsFieldsAndOptionsBesideItWin) {
    const auto parsed = parse({"--target-port", "57111", "--preset", "audio-server"});
    ASSERT_TRUE(parsed.result.options.has_value()) << parsed.err;
    auto store = std::make_shared<MemorySettingsStore>();
    store->setObject(std::string("desk.local"), Keys::targetIP);
    OSCSettings settings(store);
    settings.passive = true;
    parsed.result.options->applyTo(settings);
    EXPECT_EQ(settings.targetIP.get(), "desk.local");
    EXPECT_EQ(settings.pingMessage.get(), "/status");
    EXPECT_EQ(settings.desiredReply.get(), "/status.reply");
    EXPECT_EQ(settings.targetPort.get(), 57111);
    EXPECT_TRUE(settings.listenOnPingPort.get());
    EXPECT_FALSE(settings.passive.get());
    EXPECT_EQ(monitor::matchingDevicePreset(settings), nullptr) << "an edited field is no longer the preset";
    settings.targetPort = 57110;
    EXPECT_EQ(monitor::matchingDevicePreset(settings), monitor::findDevicePreset("audio-server"));
    // A TCP variant brings its transport along, and the UDP one takes it back.
    monitor::applyDevicePreset(*monitor::findDevicePreset("lighting-console-slip"), settings);
    EXPECT_EQ(settings.transport.get(), "tcp-slip");
    EXPECT_EQ(monitor::matchingDevicePreset(settings), monitor::findDevicePreset("lighting-console-slip"));
    monitor::applyDevicePreset(*monitor::findDevicePreset("lighting-console"), settings);
    EXPECT_EQ(settings.transport.get(), "udp");

    const auto listed = parse({"--preset", "list"});
    EXPECT_FALSE(listed.result.options.has_value());
    EXPECT_EQ(listed.result.exitCode, 0);
    for (const auto& preset : monitor::devicePresets()) {
        EXPECT_NE(listed.out.find(std::string(preset.name) + " "), std::string::npos) << listed.out;
        EXPECT_NE(listed.out.find(std::string(preset.title) + "\n"), std::string::npos) << listed.out;
    }
    const auto unknown = parse({"--preset", "mixer"});
    EXPECT_EQ(unknown.result.exitCode, 2);
    EXPECT_NE(unknown.err.find("--preset must be one of lighting-console, "), std::string::npos) << unknown.err;
}

// Each refusal is one line that names the option and, for a bad value, what
// it accepts; exit code 2.
TEST(CliOptionsTest, WhatCannotBeUnderstoodExitsTwoWithOneLine) {
    struct Case {
        Args args;
        std::string_view says;
    };
    const std::vector<Case> cases = {
        {{"--target-port", "0"}, "1 to 65535"},        {{"--target-port", "65536"}, "1 to 65535"},
        {{"--target-port", "+80"}, "1 to 65535"},      {{"--receive-port", "80.5"}, "1 to 65535"},
        {{"--receive-port", "70000"}, "1 to 65535"},   {{"--interval", "0"}, "above 0"},
        {{"--interval", "nan"}, "above 0"},            {{"--interval", "2s"}, "above 0"},
        {{"--target", "   "}, "host name or address"}, {{"--config-dir", ""}, "folder"},
        {{"--no-alarm", "--alarm"}, "together"},       {{"--bogus"}, ""},
        {{"--passive", "--no-passive"}, "together"},   {{"--no-ping-port-replies", "--ping-port-replies"}, "together"},
        {{"stray-word"}, ""},                          {{"--target-port"}, ""},
        {{"--transport", "tcp-1.1"}, "udp, tcp or tcp-slip"},
        {{"--target", "a", "--target", "b"}, ""},
        // Nothing could be watched with these.
        {{"--reply", ""}, "not be empty"},             {{"--ping", ""}, "starts with \"/\""},
        {{"--ping", "eos/ping"}, "starts with \"/\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const auto parsed = parse(c.args);
        EXPECT_FALSE(parsed.result.options.has_value());
        EXPECT_EQ(parsed.result.exitCode, 2);
        EXPECT_EQ(parsed.out, "");
        EXPECT_NE(parsed.err.find(c.args.front()), std::string::npos) << parsed.err;
        EXPECT_NE(parsed.err.find(c.says), std::string::npos) << parsed.err;
        EXPECT_EQ(std::count(parsed.err.begin(), parsed.err.end(), '\n'), 1) << parsed.err;
    }
}

TEST(CliOptionsTest, ConfigDirPicksTheSettingsFileAndReadingWritesNothing) {
    TempDir folder;
    const auto dir = folder / "stage-left";
    const auto parsed = parse({"--config-dir", dir.string(), "--target", "desk.local"});
    ASSERT_TRUE(parsed.result.options.has_value()) << parsed.err;
    EXPECT_EQ(parsed.result.options->settingsFile(), dir / "settings.json");
    EXPECT_FALSE(fs::exists(dir));
    {
        OSCSettings settings(std::make_shared<JsonSettingsStore>(parsed.result.options->settingsFile()));
        parsed.result.options->applyTo(settings);
    }
    EXPECT_EQ(JsonSettingsStore(dir / "settings.json").stringForKey(Keys::targetIP), "desk.local");
}

TEST(CliOptionsTest, HelpExplainsTheProgramAndShowsTheValuesNowSaved) {
    TempDir folder;
    const auto file = folder / "settings.json";
    const std::string saved = R"({"targetIP": "desk.local", "pingInterval": 4.5, "alarmEnabled": false})";
    monitor::testutil::writeFile(file, saved);

    const auto parsed = parse({"--config-dir", folder.path().string(), "--target", "elsewhere", "--help"});
    EXPECT_FALSE(parsed.result.options.has_value());
    EXPECT_EQ(parsed.result.exitCode, 0);
    EXPECT_EQ(parsed.err, "");
    for (const std::string_view text : {"ALIVE", "DEAD", "--target HOST", "--interval SECONDS", "--config-dir DIR",
                                        "\"desk.local\"", "8001", "4.5 s", "(now: off)", "count as 1 s"}) {
        EXPECT_NE(parsed.out.find(text), std::string::npos) << text << " missing from:\n" << parsed.out;
    }
    // Asking for help assigns nothing.
    EXPECT_EQ(parsed.out.find("elsewhere"), std::string::npos);
    EXPECT_EQ(monitor::testutil::readFile(file), saved);

    // Nor does it move a file it cannot read, or leave anything beside it.
    monitor::testutil::writeFile(file, "{\"targetIP\": ");
    ::testing::internal::CaptureStderr();
    const auto broken = parse({"--config-dir", folder.path().string(), "--help"});
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(broken.result.exitCode, 0);
    EXPECT_NE(broken.out.find("(now: \"localhost\")"), std::string::npos) << broken.out;
    EXPECT_TRUE(said.starts_with("vorn-osc-cli: ")) << said;
    EXPECT_EQ(monitor::testutil::readFile(file), "{\"targetIP\": ");
    EXPECT_EQ(folder.names(), std::set<std::string>{"settings.json"});
}

TEST(EchoOptionsTest, HelpIsWrittenForAPersonAndEachErrorIsOneLineAfterTheProgramsName) {
    const auto help = parseEcho({"--help"});
    EXPECT_EQ(help.result.exitCode, 0);
    for (const std::string_view text : {"lighting console", "--listen-port N", "0 picks any", "(default: 8000)",
                                        "--ping ADDRESS", "(default: \"/eos/out/ping\")", "(default: 8001)"}) {
        EXPECT_NE(help.out.find(text), std::string::npos) << text << " missing from:\n" << help.out;
    }
    for (const std::string_view parserNotation : {"INT", "TEXT:", "[0 - 65535]", "=8000"}) {
        EXPECT_EQ(help.out.find(parserNotation), std::string::npos) << parserNotation << " in:\n" << help.out;
    }

    for (const Args& args : std::vector<Args>{{"--listen-port", "65536"},
                                              {"--reply-port", "0"},
                                              {"--ping", "eos/ping"},
                                              {"--reply", "/eos/out ping"},
                                              {"--no-such-option"},
                                              {"--reply-port"},
                                              {"--heartbeat", "0"},
                                              {"--heartbeat", "1s"},
                                              {"--reply-to-sender", "--heartbeat", "1"},
                                              {"--delay", "0"},
                                              {"--delay", "5ms"},
                                              {"--drop-every", "-1"},
                                              {"--delay", "5", "--heartbeat", "1"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const auto parsed = parseEcho(args);
        EXPECT_EQ(parsed.result.exitCode, 2);
        EXPECT_EQ(parsed.out, "");
        EXPECT_TRUE(parsed.err.starts_with("vorn-osc-echo: ")) << parsed.err;
        EXPECT_NE(parsed.err.find(args.front()), std::string::npos) << parsed.err;
        EXPECT_EQ(std::count(parsed.err.begin(), parsed.err.end(), '\n'), 1) << parsed.err;
    }
}

// The shipped monitor as a user starts it: a bad value ends it before any
// write, Ctrl-C ends it cleanly.
using Child = testutil::ChildProcess;

std::string freeUdpPort() { return std::to_string(udp::testing::freePort()); }

TEST(MonitorEndToEndTest, SigintEndsTheMonitorWithZeroAndABadValueWithTwoBeforeAnyWrite) {
    TempDir config;
    const std::string dir = config.path().string();
    const std::string saved = R"({"targetIP": "desk.local"})";
    monitor::testutil::writeFile(config / "settings.json", saved);
    Child refused({VORN_OSC_CLI_PROGRAM, "--config-dir", dir, "--target", "127.0.0.1", "--reply", ""});
    EXPECT_EQ(refused.exitCode(), 2);
    EXPECT_TRUE(refused.err().starts_with("vorn-osc-cli: --reply ")) << refused.err();
    EXPECT_EQ(std::count(refused.err().begin(), refused.err().end(), '\n'), 1) << refused.err();
    EXPECT_EQ(monitor::testutil::readFile(config / "settings.json"), saved);

    Child cli(
        {VORN_OSC_CLI_PROGRAM, "--config-dir", dir, "--receive-port", freeUdpPort(), "--target-port", freeUdpPort()});
    ASSERT_TRUE(cli.waitForOut("✅ OSC server listening on port")) << cli.out() << cli.err();
    cli.signal(SIGINT);
    EXPECT_EQ(cli.exitCode(), 0) << cli.err();
}

}  // namespace
}  // namespace vorn::tools
