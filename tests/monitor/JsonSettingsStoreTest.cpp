#include "monitor/JsonSettingsStore.h"

#include "TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace vorn::monitor {
namespace {

using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;
using Json = nlohmann::json;
using std::string;

std::size_t lineCount(const string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(JsonSettingsStore, CreatesFolderOnFirstWriteAndReplacesTheFileWithoutLeftovers) {
    TempDir dir;
    const auto file = dir / "vorn-osc" / "settings.json";
    {
        JsonSettingsStore store(file);
        EXPECT_FALSE(store.objectForKey("targetIP"));
        EXPECT_TRUE(dir.names().empty());
        for (int i = 0; i < 10; ++i) {
            store.setObject(std::int64_t{i}, "targetPort");
            store.setObject(string(static_cast<std::size_t>(i) * 100, 'x'), "title");
        }
        store.setObject(2.0, "pingInterval");
        store.setObject(false, "alarmEnabled");
    }
    EXPECT_EQ(testutil::names(file.parent_path()), std::set<string>{"settings.json"});
    const Json json = Json::parse(readFile(file));
    EXPECT_EQ(json, Json({{"targetPort", 9}, {"title", string(900, 'x')}, {"pingInterval", 2.0}, {"alarmEnabled", false}}));
    // A whole double must stay a double, or it would come back as an integer.
    EXPECT_TRUE(json["pingInterval"].is_number_float());

    JsonSettingsStore reloaded(file);
    EXPECT_EQ(reloaded.objectForKey("pingInterval"), SettingsValue{2.0});
    EXPECT_EQ(reloaded.objectForKey("targetPort"), SettingsValue{std::int64_t{9}});
    EXPECT_EQ(reloaded.objectForKey("alarmEnabled"), SettingsValue{false});
}

TEST(JsonSettingsStore, KeepsWhatItDoesNotReadAcrossRewrites) {
    TempDir dir;
    const auto file = dir / "settings.json";
    const Json original = {
        {"VornOSC2.windowFrame", "10 20 300 200"}, {"nested", {{"list", {1, 2}}}}, {"nothing", nullptr},
        {"huge", 18446744073709551615ULL},         {"targetPort", 1234},
    };
    writeFile(file, original.dump());

    JsonSettingsStore store(file);
    EXPECT_FALSE(store.objectForKey("nested"));
    EXPECT_FALSE(store.objectForKey("nothing"));
    EXPECT_EQ(store.objectForKey("huge"), SettingsValue{18446744073709551615.0});

    store.setObject(std::int64_t{4321}, "targetPort");
    Json expected = original;
    expected["targetPort"] = 4321;
    EXPECT_EQ(Json::parse(readFile(file)), expected);
}

TEST(JsonSettingsStore, WritesThroughASymbolicLinkAndKeepsTheLink) {
    TempDir dir;
    writeFile(dir / "dotfiles.json", R"({"title": "show"})");
    std::filesystem::create_symlink(dir / "dotfiles.json", dir / "settings.json");

    JsonSettingsStore(dir / "settings.json").setObject(true, "alwaysOnTop");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "settings.json"));
    EXPECT_EQ(Json::parse(readFile(dir / "dotfiles.json")), Json({{"title", "show"}, {"alwaysOnTop", true}}));
}

TEST(JsonSettingsStore, UnreadableContentIsMovedAsideOnceAndTheStoreStartsEmpty) {
    for (const string bad : {"{\"targetPort\": 80", "[1, 2, 3]", "\"text\"", "{\"a\": \"\xFF\"}"}) {
        SCOPED_TRACE(bad);
        TempDir dir;
        const auto file = dir / "settings.json";
        for (std::size_t round = 1; round <= 2; ++round) {
            writeFile(file, bad);
            ::testing::internal::CaptureStderr();
            JsonSettingsStore store(file);
            const string said = ::testing::internal::GetCapturedStderr();
            EXPECT_FALSE(store.objectForKey("targetPort"));
            store.setObject(std::int64_t{8000}, "targetPort");
            EXPECT_EQ(Json::parse(readFile(file)), Json({{"targetPort", 8000}}));

            // Each bad file keeps a name of its own, even within one second.
            const auto names = dir.names();
            ASSERT_EQ(names.size(), round + 1);
            EXPECT_EQ(lineCount(said), 1U) << said;
            EXPECT_NE(said.find(file.string()), string::npos) << said;
            for (const auto& name : names) {
                if (name != "settings.json") {
                    EXPECT_EQ(name.rfind("settings.json.bad-", 0), 0U) << name;
                    EXPECT_EQ(readFile(dir / name), bad);
                    EXPECT_TRUE(round == 2 || said.find((dir / name).string()) != string::npos) << said;
                }
            }
        }
    }
}

TEST(JsonSettingsStore, BlankFileIsAnEmptyStoreWithoutComplaint) {
    TempDir dir;
    writeFile(dir / "settings.json", " \n");
    ::testing::internal::CaptureStderr();
    JsonSettingsStore store(dir / "settings.json");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(dir.names(), std::set<string>{"settings.json"});
}

TEST(JsonSettingsStore, FailedWritesKeepValuesInMemoryAndAreReportedOnce) {
    TempDir dir;
    // A regular file where the folder should be stops even root.
    writeFile(dir / "blocker", "not a folder");
    const auto file = dir / "blocker" / "settings.json";
    JsonSettingsStore store(file);

    ::testing::internal::CaptureStderr();
    EXPECT_NO_THROW(store.setObject(std::int64_t{7000}, "targetPort"));
    EXPECT_NO_THROW(store.setObject(string("kept"), "title"));
    const string said = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(store.objectForKey("targetPort"), SettingsValue{std::int64_t{7000}});
    EXPECT_EQ(store.stringForKey("title"), "kept");
    EXPECT_EQ(lineCount(said), 1U) << said;
    EXPECT_NE(said.find(file.string()), string::npos) << said;
    EXPECT_EQ(readFile(dir / "blocker"), "not a folder");
}

TEST(JsonSettingsStore, DefaultPathFollowsTheXdgConfigHome) {
    const auto saved = [](const char* name) -> std::optional<string> {
        const char* value = std::getenv(name);
        return value ? std::optional<string>(value) : std::nullopt;
    };
    const auto oldHome = saved("HOME");
    const auto oldConfig = saved("XDG_CONFIG_HOME");

    ::setenv("HOME", "/home/stage", 1);
    ::setenv("XDG_CONFIG_HOME", "/srv/config", 1);
    EXPECT_EQ(JsonSettingsStore::defaultPath(), "/srv/config/vorn-osc/settings.json");
    for (const char* unusable : {"", "relative/config"}) {
        ::setenv("XDG_CONFIG_HOME", unusable, 1);
        EXPECT_EQ(JsonSettingsStore::defaultPath(), "/home/stage/.config/vorn-osc/settings.json");
    }
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(JsonSettingsStore::defaultPath(), "/home/stage/.config/vorn-osc/settings.json");

    for (const auto& [name, value] : {std::pair{"HOME", oldHome}, std::pair{"XDG_CONFIG_HOME", oldConfig}}) {
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
}

}  // namespace
}  // namespace vorn::monitor
