#include "tools/CliOptions.h"

#include "monitor/JsonSettingsStore.h"
#include "monitor/OSCSettings.h"
#include "monitor/SettingsStore.h"

#include "../monitor/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::tools {
namespace {

namespace fs = std::filesystem;
using monitor::MemorySettingsStore;
using monitor::OSCSettings;
using monitor::SettingsValue;
using monitor::testutil::TempDir;
using monitor::testutil::writeFile;
using Keys = OSCSettings::Keys;

constexpr std::array<std::string_view, 10> allKeys = {
    Keys::targetIP,     Keys::targetPort,  Keys::receivePort, Keys::pingMessage,  Keys::desiredReply,
    Keys::pingInterval, Keys::alwaysOnTop, Keys::opacity,     Keys::alarmEnabled, Keys::title,
};

struct Parsed {
    CliParseResult result;
    std::string out;
    std::string err;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "vorn-osc-cli");
    std::vector<const char*> argv;
    std::transform(args.begin(), args.end(), std::back_inserter(argv), [](const auto& a) { return a.c_str(); });
    std::ostringstream out;
    std::ostringstream err;
    Parsed parsed{parseCliOptions(static_cast<int>(argv.size()), argv.data(), out, err), {}, {}};
    parsed.out = out.str();
    parsed.err = err.str();
    return parsed;
}


struct Assignment {
    std::vector<std::string> args;
    std::string_view key;
    SettingsValue stored;
};

TEST(CliOptionsTest, EachGivenOptionIsWrittenToTheStoreAndNothingElse) {
    const std::vector<Assignment> cases = {
        {{"--target", "console.local"}, Keys::targetIP, std::string("console.local")},
        {{"--target=10.0.0.7"}, Keys::targetIP, std::string("10.0.0.7")},
        {{"--target-port", "9000"}, Keys::targetPort, std::int64_t{9000}},
        {{"--target-port", "1"}, Keys::targetPort, std::int64_t{1}},
        {{"--target-port=65535"}, Keys::targetPort, std::int64_t{65535}},
        {{"--receive-port", "9001"}, Keys::receivePort, std::int64_t{9001}},
        {{"--ping", "/hog/ping"}, Keys::pingMessage, std::string("/hog/ping")},
        {{"--reply", "/hog/out"}, Keys::desiredReply, std::string("/hog/out")},
        {{"--reply", ""}, Keys::desiredReply, std::string()},
        {{"--interval", "5"}, Keys::pingInterval, 5.0},
        {{"--interval", "2.5"}, Keys::pingInterval, 2.5},
        // The settings clamp intervals themselves, as they do for the form.
        {{"--interval", "0.25"}, Keys::pingInterval, 1.0},
        {{"--interval", "45"}, Keys::pingInterval, 30.0},
        {{"--no-alarm"}, Keys::alarmEnabled, false},
        {{"--alarm"}, Keys::alarmEnabled, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args.back() : ""));
        const auto parsed = parse(c.args);
        ASSERT_TRUE(parsed.result.options.has_value()) << parsed.err;
        EXPECT_EQ(parsed.err, "");

        auto store = std::make_shared<MemorySettingsStore>();
        OSCSettings settings(store);
        parsed.result.options->applyTo(settings);

        EXPECT_EQ(store->objectForKey(c.key), std::optional<SettingsValue>(c.stored));
        for (const auto key : allKeys) {
            if (key != c.key) {
                EXPECT_FALSE(store->objectForKey(key).has_value()) << key << " was written";
            }
        }
    }
}

TEST(CliOptionsTest, NoOptionsLeaveTheStoredSettingsAlone) {
    auto store = std::make_shared<MemorySettingsStore>();
    store->setObject(std::string("desk.local"), Keys::targetIP);
    store->setObject(std::int64_t{9100}, Keys::targetPort);
    const auto parsed = parse({});
    ASSERT_TRUE(parsed.result.options.has_value());

    OSCSettings settings(store);
    parsed.result.options->applyTo(settings);

    EXPECT_EQ(settings.targetIP.get(), "desk.local");
    EXPECT_EQ(settings.targetPort.get(), 9100);
    EXPECT_FALSE(store->objectForKey(Keys::receivePort).has_value());
    EXPECT_FALSE(store->objectForKey(Keys::pingInterval).has_value());
}

struct BadValue {
    std::vector<std::string> args;
    std::string_view option;
    std::string_view range;
};

TEST(CliOptionsTest, BadValuesExitTwoWithOneLineNamingTheOptionAndWhatItAccepts) {
    const std::vector<BadValue> cases = {
        {{"--target-port", "0"}, "--target-port", "1 to 65535"},
        {{"--target-port", "65536"}, "--target-port", "1 to 65535"},
        {{"--target-port", "-80"}, "--target-port", "1 to 65535"},
        {{"--target-port", "80.5"}, "--target-port", "1 to 65535"},
        {{"--target-port", "eighty"}, "--target-port", "1 to 65535"},
        {{"--target-port", "+80"}, "--target-port", "1 to 65535"},
        {{"--target-port", " 80"}, "--target-port", "1 to 65535"},
        {{"--target-port", "99999999999999999999"}, "--target-port", "1 to 65535"},
        {{"--receive-port", "70000"}, "--receive-port", "1 to 65535"},
        {{"--receive-port", "0x1F40"}, "--receive-port", "1 to 65535"},
        {{"--interval", "0"}, "--interval", "above 0"},
        {{"--interval", "-2"}, "--interval", "above 0"},
        {{"--interval", "soon"}, "--interval", "above 0"},
        {{"--interval", "nan"}, "--interval", "above 0"},
        {{"--interval", "inf"}, "--interval", "above 0"},
        {{"--interval", "1e999"}, "--interval", "above 0"},
        {{"--interval", "2s"}, "--interval", "above 0"},
        {{"--target", ""}, "--target", "host name or address"},
        {{"--target", "   "}, "--target", "host name or address"},
        {{"--config-dir", ""}, "--config-dir", "folder"},
        {{"--no-alarm", "--alarm"}, "--no-alarm", "together"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " '" + c.args.back() + "'" : ""));
        const auto parsed = parse(c.args);
        EXPECT_FALSE(parsed.result.options.has_value());
        EXPECT_EQ(parsed.result.exitCode, 2);
        EXPECT_EQ(parsed.out, "");
        EXPECT_NE(parsed.err.find(c.option), std::string::npos) << parsed.err;
        EXPECT_NE(parsed.err.find(c.range), std::string::npos) << parsed.err;
        EXPECT_EQ(std::count(parsed.err.begin(), parsed.err.end(), '\n'), 1) << parsed.err;
    }
}

TEST(CliOptionsTest, CommandLinesThatCannotBeReadExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"stray-word"},
        {"--target-port"},
        {"--target-port="},
        {"--interval"},
        {"--target", "a", "--target", "b"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.front());
        const auto parsed = parse(args);
        EXPECT_FALSE(parsed.result.options.has_value());
        EXPECT_EQ(parsed.result.exitCode, 2);
        EXPECT_NE(parsed.err, "");
        EXPECT_EQ(std::count(parsed.err.begin(), parsed.err.end(), '\n'), 1) << parsed.err;
    }
}

TEST(CliOptionsTest, ConfigDirPicksTheSettingsFileAndTheOptionsLandInIt) {
    TempDir folder;
    const auto link = folder.path() / "stage-left";

    const auto parsed = parse({"--config-dir", link.string(), "--target", "desk.local", "--receive-port", "9101"});
    ASSERT_TRUE(parsed.result.options.has_value()) << parsed.err;
    const auto& options = *parsed.result.options;
    EXPECT_EQ(options.settingsFile(), link / "settings.json");
    // Reading the command line writes nothing.
    EXPECT_FALSE(fs::exists(link));

    {
        OSCSettings settings(std::make_shared<monitor::JsonSettingsStore>(options.settingsFile()));
        options.applyTo(settings);
    }
    const monitor::JsonSettingsStore reread(link / "settings.json");
    EXPECT_EQ(reread.stringForKey(Keys::targetIP), "desk.local");
    EXPECT_EQ(reread.integerForKey(Keys::receivePort), 9101);
    EXPECT_FALSE(reread.objectForKey(Keys::targetPort).has_value());
}

TEST(CliOptionsTest, HelpExplainsTheProgramAndShowsTheValuesNowInTheSettingsFile) {
    TempDir folder;
    const auto file = folder.path() / "settings.json";
    writeFile(file, R"({"targetIP": "desk.local", "targetPort": 9100, "pingInterval": 4.5, "alarmEnabled": false})");
    const auto before = fs::last_write_time(file);

    const auto parsed = parse({"--config-dir", folder.path().string(), "--target", "elsewhere", "--help"});

    EXPECT_FALSE(parsed.result.options.has_value());
    EXPECT_EQ(parsed.result.exitCode, 0);
    EXPECT_EQ(parsed.err, "");
    for (const std::string_view text :
         {"ALIVE", "DEAD", "bell", "--target HOST", "--target-port N", "--receive-port N", "--ping ADDRESS",
          "--reply TEXT", "--interval SECONDS", "--no-alarm", "--config-dir DIR", "\"desk.local\"", "9100", "8001",
          "\"/eos/ping\"", "\"/eos/out/ping\"", "4.5 s", "(now: off)", "count as 1 s", "as 30 s"}) {
        EXPECT_NE(parsed.out.find(text), std::string::npos) << text << " missing from:\n" << parsed.out;
    }
    // Asking for help assigns nothing.
    EXPECT_EQ(parsed.out.find("elsewhere"), std::string::npos);
    EXPECT_EQ(fs::last_write_time(file), before);
    const monitor::JsonSettingsStore reread(file);
    EXPECT_EQ(reread.stringForKey(Keys::targetIP), "desk.local");
}

}  // namespace
}  // namespace vorn::tools
