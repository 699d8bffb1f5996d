// One settings file shared by two programs (the desktop app and the terminal
// monitor), and a settings file reached through a symbolic link.

#include "monitor/JsonSettingsStore.h"
#include "monitor/OSCSettings.h"

#include "support/TempDir.h"
#include "dispatch/ManualMainLoop.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace vorn::monitor {
namespace {

namespace fs = std::filesystem;
using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;
using Json = nlohmann::json;
using std::string;
using namespace std::chrono_literals;

// A link to a file that does not exist yet, then to one that does.
TEST(SharedSettingsFile, ADanglingLinkIsWrittenThroughToItsTargetAndStaysALink) {
    TempDir dir;
    // Relative, into a folder that does not exist yet: dotfiles kept elsewhere.
    fs::create_symlink(fs::path("dotfiles") / "vorn.json", dir / "settings.json");
    JsonSettingsStore store(dir / "settings.json");
    store.setObject(std::int64_t{9000}, "targetPort");
    store.setObject(string("FOH"), "title");  // now through a link to a file that exists

    EXPECT_TRUE(fs::is_symlink(dir / "settings.json"));
    EXPECT_EQ(Json::parse(readFile(dir / "dotfiles" / "vorn.json")), Json({{"targetPort", 9000}, {"title", "FOH"}}));
    EXPECT_EQ(JsonSettingsStore(dir / "settings.json").stringForKey("title"), "FOH");
}

TEST(SharedSettingsFile, EachWriteKeepsWhatTheOtherProgramWroteAndRefreshTakesItIn) {
    TempDir dir;
    const auto file = dir / "settings.json";
    // What neither program reads stays as it is, whatever its type.
    const Json original = {{"targetIP", "desk.local"}, {"nested", {{"list", {1, 2}}}}, {"nothing", nullptr}};
    writeFile(file, original.dump());
    JsonSettingsStore app(file);
    JsonSettingsStore cli(file, "vorn-osc-cli");

    cli.setObject(string("10.0.0.7"), "targetIP");
    app.setObject(0.5, "opacity");  // the app has not looked at the file since it started
    Json expected = original;
    expected["targetIP"] = "10.0.0.7";
    expected["opacity"] = 0.5;
    EXPECT_EQ(Json::parse(readFile(file)), expected);

    EXPECT_EQ(app.stringForKey("targetIP"), "desk.local");
    EXPECT_TRUE(app.refresh());
    EXPECT_EQ(app.stringForKey("targetIP"), "10.0.0.7");
    EXPECT_EQ(app.objectForKey("opacity"), SettingsValue{0.5});
    EXPECT_FALSE(app.refresh());
    EXPECT_TRUE(cli.refresh());
    EXPECT_EQ(cli.objectForKey("opacity"), SettingsValue{0.5});

    // Writers at the same moment take turns, so no change is lost between
    // one's reading the file and its replacing it.
    constexpr int writes = 20;
    const auto writeKeys = [&](JsonSettingsStore& store, const string& prefix) {
        for (int i = 0; i < writes; ++i) store.setObject(std::int64_t{i}, prefix + std::to_string(i));
    };
    std::thread other([&] { writeKeys(cli, "cli"); });
    writeKeys(app, "app");
    other.join();
    const Json merged = Json::parse(readFile(file));
    for (int i = 0; i < writes; ++i) {
        EXPECT_TRUE(merged.contains("app" + std::to_string(i)) && merged.contains("cli" + std::to_string(i))) << i;
    }
}

// Forwards to a store and counts what is written through it.
class CountingStore final : public SettingsStore {
public:
    explicit CountingStore(std::shared_ptr<SettingsStore> inner) : inner_(std::move(inner)) {}
    std::optional<SettingsValue> objectForKey(std::string_view key) const override { return inner_->objectForKey(key); }
    void setObject(SettingsValue value, std::string_view key) override {
        ++writes;
        inner_->setObject(std::move(value), key);
    }
    bool refresh() override { return inner_->refresh(); }
    int writes = 0;

private:
    std::shared_ptr<SettingsStore> inner_;
};

TEST(SharedSettingsFile, WhatAnotherProgramSavesReachesThePublishedSettingsOnTheMainLoopAndIsNotWrittenBack) {
    TempDir dir;
    const auto file = dir / "settings.json";
    dispatch::ManualMainLoop loop;
    auto store = std::make_shared<CountingStore>(std::make_shared<JsonSettingsStore>(file));
    OSCSettings app(store);
    app.followStore(loop, 1s);
    std::vector<string> targets;
    auto watching = app.targetIP.subscribe([&](const string& value) { targets.push_back(value); });
    app.opacity = 0.5;

    {
        OSCSettings cli(std::make_shared<JsonSettingsStore>(file, "vorn-osc-cli"));
        cli.targetIP = "10.0.0.7";
        cli.pingInterval = 60.0;  // stored as 30
        cli.defaults().setObject(string("left alone"), "someoneElsesKey");
    }
    EXPECT_EQ(app.targetIP.get(), "localhost");
    loop.advance(1s);
    EXPECT_EQ(targets, (std::vector<string>{"localhost", "10.0.0.7"}));
    EXPECT_EQ(app.pingInterval.get(), 30.0);
    EXPECT_EQ(app.opacity.get(), 0.5);

    const string saved = readFile(file);
    loop.advance(5s);
    EXPECT_EQ(targets.size(), 2U);
    EXPECT_EQ(store->writes, 1);  // the app's own opacity, nothing it took in
    EXPECT_EQ(readFile(file), saved);
    EXPECT_EQ(Json::parse(saved)["someoneElsesKey"], "left alone");
}

}  // namespace
}  // namespace vorn::monitor
