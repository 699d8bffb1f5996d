#include "monitor/OSCSettings.h"

#include "TempDir.h"
#include "monitor/JsonSettingsStore.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace vorn::monitor {
namespace {

using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;
using Json = nlohmann::json;
using std::string;

// Remembers every write, in order, on top of another store.
class RecordingStore final : public SettingsStore {
public:
    explicit RecordingStore(std::shared_ptr<SettingsStore> inner = std::make_shared<MemorySettingsStore>())
        : inner_(std::move(inner)) {}
    std::optional<SettingsValue> objectForKey(std::string_view key) const override {
        return inner_->objectForKey(key);
    }
    void setObject(SettingsValue value, std::string_view key) override {
        writes.emplace_back(string(key), value);
        inner_->setObject(std::move(value), key);
    }

    std::vector<std::pair<string, SettingsValue>> writes;

private:
    std::shared_ptr<SettingsStore> inner_;
};

string repeat(const string& piece, int times) {
    string result;
    while (times-- > 0) result += piece;
    return result;
}

TEST(OSCSettings, EmptyOrMissingStoreLoadsTheDefaultsAndWritesNothing) {
    TempDir dir;
    const auto file = dir / "settings.json";
    for (bool exists : {false, true}) {
        if (exists) writeFile(file, "{}");
        OSCSettings settings(std::make_shared<JsonSettingsStore>(file));
        EXPECT_EQ(settings.targetIP.get(), "localhost");
        EXPECT_EQ(settings.targetPort.get(), 8000);
        EXPECT_EQ(settings.receivePort.get(), 8001);
        EXPECT_EQ(settings.pingMessage.get(), "/eos/ping");
        EXPECT_EQ(settings.desiredReply.get(), "/eos/out/ping");
        EXPECT_EQ(settings.pingInterval.get(), 2.0);
        EXPECT_FALSE(settings.alwaysOnTop.get());
        EXPECT_EQ(settings.opacity.get(), 1.0);
        EXPECT_TRUE(settings.alarmEnabled.get());
        EXPECT_EQ(settings.title.get(), "");
        EXPECT_EQ(dir.names().size(), exists ? 1U : 0U);
    }
    EXPECT_EQ(readFile(file), "{}");
}

TEST(OSCSettings, LoadingFallsBackOnZeroPortsAndNonNumbersAndClampsRanges) {
    struct Case {
        const char* json;
        std::int64_t targetPort, receivePort;
        double pingInterval, opacity;
        bool alarmEnabled, alwaysOnTop;
    };
    const Case cases[] = {
        {R"({"targetPort": 0, "receivePort": 0, "pingInterval": 0.5, "opacity": 0.1, "alarmEnabled": "false"})",
         8000, 8001, 1.0, 0.2, true, false},
        {R"({"targetPort": -5, "receivePort": 70000, "pingInterval": 45, "opacity": 3, "alarmEnabled": 0})",
         -5, 70000, 30.0, 1.0, true, false},
        {R"({"targetPort": "9000", "pingInterval": "5", "opacity": "0.5", "alarmEnabled": false, "alwaysOnTop": true})",
         9000, 8001, 2.0, 1.0, false, true},
        {R"({"pingInterval": true, "opacity": false, "alarmEnabled": null, "alwaysOnTop": "YES"})",
         8000, 8001, 2.0, 1.0, true, true},
        {R"({"pingInterval": 7.25, "opacity": 0.35, "alwaysOnTop": 0})", 8000, 8001, 7.25, 0.35, true, false},
        {R"({"pingInterval": 30.0000001, "opacity": -1e308})", 8000, 8001, 30.0, 0.2, true, false},
        // Integers a double cannot hold exactly are not taken as numbers.
        {R"({"pingInterval": 9223372036854775807, "opacity": 9007199254740993})", 8000, 8001, 2.0, 1.0, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        TempDir dir;
        writeFile(dir / "settings.json", c.json);
        OSCSettings settings(std::make_shared<JsonSettingsStore>(dir / "settings.json"));
        EXPECT_EQ(settings.targetPort.get(), c.targetPort);
        EXPECT_EQ(settings.receivePort.get(), c.receivePort);
        EXPECT_EQ(settings.pingInterval.get(), c.pingInterval);
        EXPECT_EQ(settings.opacity.get(), c.opacity);
        EXPECT_EQ(settings.alarmEnabled.get(), c.alarmEnabled);
        EXPECT_EQ(settings.alwaysOnTop.get(), c.alwaysOnTop);
        EXPECT_EQ(readFile(dir / "settings.json"), c.json);
    }
}

TEST(OSCSettings, OutOfRangeAssignmentsAreSeenRawThenCorrected) {
    auto store = std::make_shared<RecordingStore>();
    OSCSettings settings(store);
    std::vector<double> handed;
    std::vector<double> readWhileTold;
    auto values = settings.pingInterval.subscribe([&](double v) { handed.push_back(v); });
    auto changes = settings.objectWillChange.connect([&] { readWhileTold.push_back(settings.pingInterval.get()); });
    handed.clear();

    settings.pingInterval = 0.5;
    EXPECT_EQ(handed, (std::vector<double>{0.5, 1.0}));
    EXPECT_EQ(readWhileTold, (std::vector<double>{2.0, 0.5}));  // told before the value is stored
    EXPECT_EQ(store->writes.back(), std::make_pair(string("pingInterval"), SettingsValue{1.0}));

    handed.clear();
    settings.pingInterval = 60.0;
    EXPECT_EQ(handed, (std::vector<double>{60.0, 30.0}));
    EXPECT_EQ(store->objectForKey("pingInterval"), SettingsValue{30.0});

    settings.opacity = 0.05;
    EXPECT_EQ(store->objectForKey("opacity"), SettingsValue{0.2});
    settings.opacity = 1.5;
    EXPECT_EQ(store->objectForKey("opacity"), SettingsValue{1.0});

    // NaN is neither below nor above a range; no timer or window can use it.
    settings.pingInterval = std::nan("");
    settings.opacity = std::nan("");
    EXPECT_EQ(settings.pingInterval.get(), 2.0);
    EXPECT_EQ(settings.opacity.get(), 1.0);
}

TEST(OSCSettings, TitleIsCutToTwentyUserPerceivedCharactersOnlyWhenAssigned) {
    const string eAcute = "e\xCC\x81";
    const string thumbsUp = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";
    const string twenty = repeat(eAcute, 10) + repeat(thumbsUp, 10);  // 90 bytes
    const string twentyFive = twenty + repeat(thumbsUp, 5);

    TempDir dir;
    const auto file = dir / "settings.json";
    writeFile(file, Json({{"title", twentyFive}}).dump());
    OSCSettings settings(std::make_shared<JsonSettingsStore>(file));
    EXPECT_EQ(settings.title.get(), twentyFive);

    std::vector<string> seen;
    auto subscription = settings.title.subscribe([&](const string& value) { seen.push_back(value); });
    settings.title = twentyFive;
    EXPECT_EQ(seen, (std::vector<string>{twentyFive, twentyFive, twenty}));
    EXPECT_EQ(settings.title.get(), twenty);
    EXPECT_EQ(Json::parse(readFile(file))["title"], twenty);

    settings.title = twenty;
    EXPECT_EQ(seen.back(), twenty);
    EXPECT_EQ(seen.size(), 4U);
}

TEST(OSCSettings, EveryAssignmentWritesItsTypedValueEvenIfUnchangedAndSurvivesAReload) {
    TempDir dir;
    const auto file = dir / "vorn-osc" / "settings.json";
    auto store = std::make_shared<RecordingStore>(std::make_shared<JsonSettingsStore>(file));
    OSCSettings settings(store);
    int told = 0;
    auto changes = settings.objectWillChange.connect([&] { ++told; });

    settings.targetIP = settings.targetIP.get();
    settings.targetPort = 3032;
    settings.receivePort = 3033;
    settings.pingMessage = "/ping";
    settings.desiredReply = "/pong";
    settings.pingInterval = settings.pingInterval.get();
    settings.alwaysOnTop = true;
    settings.opacity = 0.75;
    settings.alarmEnabled = true;
    settings.title = "Main stage";

    const std::vector<std::pair<string, SettingsValue>> expected = {
        {"targetIP", string("localhost")}, {"targetPort", std::int64_t{3032}}, {"receivePort", std::int64_t{3033}},
        {"pingMessage", string("/ping")},  {"desiredReply", string("/pong")},  {"pingInterval", 2.0},
        {"alwaysOnTop", true},             {"opacity", 0.75},                  {"alarmEnabled", true},
        {"title", string("Main stage")},
    };
    EXPECT_EQ(store->writes, expected);
    EXPECT_EQ(told, 10);

    JsonSettingsStore reloaded(file);
    for (const auto& [key, value] : expected) EXPECT_EQ(reloaded.objectForKey(key), value) << key;
    OSCSettings again(std::make_shared<JsonSettingsStore>(file));
    EXPECT_EQ(again.targetPort.get(), 3032);
    EXPECT_EQ(again.opacity.get(), 0.75);
    EXPECT_EQ(again.title.get(), "Main stage");
}

TEST(OSCSettings, MemberwiseConstructionTakesValuesAsGivenWithoutWriting) {
    auto store = std::make_shared<RecordingStore>();
    OSCSettings settings("h", 0, -1, "/a", "/b", 0.01, true, 7.0, false, repeat("t", 30), store);
    EXPECT_EQ(settings.targetPort.get(), 0);
    EXPECT_EQ(settings.pingInterval.get(), 0.01);
    EXPECT_EQ(settings.opacity.get(), 7.0);
    EXPECT_EQ(settings.title.get(), repeat("t", 30));
    EXPECT_TRUE(store->writes.empty());
}

TEST(OSCSettingsDeathTest, KeyLookupStopsOnAPropertyThatIsNotASetting) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    OSCSettings settings(std::make_shared<MemorySettingsStore>());
    EXPECT_EQ(settings.key(settings.title), "title");
    dispatch::Published<double> stray(1.0);
    EXPECT_DEATH((void)settings.key(stray), "Unexpected key path: Published<double>");
}

}  // namespace
}  // namespace vorn::monitor
