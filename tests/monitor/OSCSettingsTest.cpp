// The settings store, in memory and in a real file in a fresh folder, and the
// settings on top of it.

#include "monitor/OSCSettings.h"

#include "support/TempDir.h"
#include "monitor/JsonSettingsStore.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
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

long lineCount(const string& text) { return std::count(text.begin(), text.end(), '\n'); }

TEST(JsonSettingsStore, FirstWriteMakesTheFolderAndEachWriteReplacesTheWholeFile) {
    TempDir dir;
    const auto file = dir / "vorn-osc" / "settings.json";
    {
        JsonSettingsStore store(file);
        EXPECT_TRUE(dir.names().empty());
        for (int i = 0; i < 10; ++i) store.setObject(string(static_cast<std::size_t>(i) * 100, 'x'), "title");
        store.setObject(std::int64_t{9}, "targetPort");
        store.setObject(2.0, "pingInterval");
        store.setObject(false, "alarmEnabled");
    }
    // No temporary file left beside it; the lock file stays, for the next writer.
    std::set<string> names;
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) names.insert(entry.path().filename());
    EXPECT_EQ(names, (std::set<string>{"settings.json", ".settings.json.lock"}));
    const Json json = Json::parse(readFile(file));
    EXPECT_EQ(json,
              Json({{"targetPort", 9}, {"title", string(900, 'x')}, {"pingInterval", 2.0}, {"alarmEnabled", false}}));
    // A whole double must stay a double, or it would come back as an integer.
    EXPECT_TRUE(json["pingInterval"].is_number_float());

    JsonSettingsStore reloaded(file);
    EXPECT_EQ(reloaded.objectForKey("pingInterval"), SettingsValue{2.0});
    EXPECT_EQ(reloaded.objectForKey("targetPort"), SettingsValue{std::int64_t{9}});
    EXPECT_EQ(reloaded.objectForKey("alarmEnabled"), SettingsValue{false});
}

TEST(JsonSettingsStore, UnreadableFileIsMovedAsideAndSaidOnce) {
    struct Case {
        string content;
        bool bad;
    };
    for (const auto& [content, bad] : {Case{"{\"targetPort\": 80", true}, Case{"[1, 2, 3]", true},
                                       Case{"{\"a\": \"\xFF\"}", true}, Case{" \n", false}}) {
        SCOPED_TRACE(content);
        TempDir dir;
        const auto file = dir / "settings.json";
        // Twice: each bad file keeps a name of its own, even within one second.
        for (std::size_t round = 1; round <= 2; ++round) {
            writeFile(file, content);
            ::testing::internal::CaptureStderr();
            JsonSettingsStore store(file, "vorn-osc-cli");
            const string said = ::testing::internal::GetCapturedStderr();
            EXPECT_FALSE(store.objectForKey("targetPort"));
            store.setObject(std::int64_t{8000}, "targetPort");
            EXPECT_EQ(Json::parse(readFile(file)), Json({{"targetPort", 8000}}));

            auto names = dir.names();
            names.erase(".settings.json.lock");
            ASSERT_EQ(names.size(), bad ? round + 1 : 1);
            EXPECT_EQ(lineCount(said), bad ? 1 : 0) << said;
            // Told by the program that prints it.
            EXPECT_TRUE(!bad || said.starts_with("vorn-osc-cli: the settings file ")) << said;
            for (const auto& name : names) {
                if (name == "settings.json") continue;
                EXPECT_TRUE(name.starts_with("settings.json.bad-")) << name;
                EXPECT_EQ(readFile(dir / name), content);
                EXPECT_TRUE(round == 2 || said.find((dir / name).string()) != string::npos) << said;
            }
        }
    }
}

TEST(JsonSettingsStore, FailedWritesKeepValuesInMemoryAndAreSaidOnce) {
    TempDir dir;
    // A regular file where the folder should be stops even root.
    writeFile(dir / "blocker", "not a folder");
    JsonSettingsStore store(dir / "blocker" / "settings.json");
    ::testing::internal::CaptureStderr();
    EXPECT_NO_THROW(store.setObject(std::int64_t{7000}, "targetPort"));
    EXPECT_NO_THROW(store.setObject(string("kept"), "title"));
    const string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(store.objectForKey("targetPort"), SettingsValue{std::int64_t{7000}});
    EXPECT_EQ(lineCount(said), 1) << said;
    EXPECT_NE(said.find((dir / "blocker" / "settings.json").string()), string::npos) << said;
}

// ctest runs each test in a process of its own: nothing else sees this environment.
TEST(JsonSettingsStore, DefaultPathFollowsTheXdgConfigHome) {
    ::setenv("HOME", "/home/stage", 1);
    ::setenv("XDG_CONFIG_HOME", "/srv/config", 1);
    EXPECT_EQ(JsonSettingsStore::defaultPath(), "/srv/config/vorn-osc/settings.json");
    ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(JsonSettingsStore::defaultPath(), "/home/stage/.config/vorn-osc/settings.json");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(JsonSettingsStore::defaultPath(), "/home/stage/.config/vorn-osc/settings.json");
}

// Remembers every write, in order, on top of another store.
class RecordingStore final : public SettingsStore {
public:
    explicit RecordingStore(std::shared_ptr<SettingsStore> inner = std::make_shared<MemorySettingsStore>())
        : inner_(std::move(inner)) {}
    std::optional<SettingsValue> objectForKey(std::string_view key) const override { return inner_->objectForKey(key); }
    void setObject(SettingsValue value, std::string_view key) override {
        writes.emplace_back(string(key), value);
        inner_->setObject(std::move(value), key);
    }
    std::vector<std::pair<string, SettingsValue>> writes;

private:
    std::shared_ptr<SettingsStore> inner_;
};

TEST(OSCSettings, LoadingFallsBackOnZeroPortsAndNonNumbersClampsRangesAndWritesNothing) {
    struct Case {
        const char* json;
        std::int64_t targetPort, receivePort;
        double pingInterval, opacity;
        bool alarmEnabled, alwaysOnTop;
    };
    const Case cases[] = {
        {nullptr, 8000, 8001, 2.0, 1.0, true, false},  // no file at all
        {"{}", 8000, 8001, 2.0, 1.0, true, false},
        {R"({"targetPort": 0, "receivePort": 0, "pingInterval": 0.5, "opacity": 0.1, "alarmEnabled": "false"})",
         8000, 8001, 1.0, 0.2, true, false},
        {R"({"targetPort": -5, "receivePort": 70000, "pingInterval": 45, "opacity": 3, "alarmEnabled": 0})",
         -5, 70000, 30.0, 1.0, true, false},
        {R"({"targetPort": "9000", "pingInterval": "5", "opacity": "0.5", "alarmEnabled": false, "alwaysOnTop": true})",
         9000, 8001, 2.0, 1.0, false, true},
        {R"({"pingInterval": 7.25, "opacity": 0.35, "alwaysOnTop": "YES"})", 8000, 8001, 7.25, 0.35, true, true},
        // Integers a double cannot hold exactly are not taken as numbers.
        {R"({"pingInterval": 9223372036854775807, "opacity": 9007199254740993})", 8000, 8001, 2.0, 1.0, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json ? c.json : "no file");
        TempDir dir;
        if (c.json) writeFile(dir / "settings.json", c.json);
        OSCSettings settings(std::make_shared<JsonSettingsStore>(dir / "settings.json"));
        EXPECT_EQ(settings.targetPort.get(), c.targetPort);
        EXPECT_EQ(settings.receivePort.get(), c.receivePort);
        EXPECT_EQ(settings.pingInterval.get(), c.pingInterval);
        EXPECT_EQ(settings.opacity.get(), c.opacity);
        EXPECT_EQ(settings.alarmEnabled.get(), c.alarmEnabled);
        EXPECT_EQ(settings.alwaysOnTop.get(), c.alwaysOnTop);
        EXPECT_EQ(dir.names().size(), c.json ? 1U : 0U);
        if (c.json) {
            EXPECT_EQ(readFile(dir / "settings.json"), c.json);
        } else {
            EXPECT_EQ(std::vector<string>({settings.targetIP.get(), settings.pingMessage.get(),
                                           settings.desiredReply.get(), settings.title.get()}),
                      std::vector<string>({"localhost", "/eos/ping", "/eos/out/ping", ""}));
        }
    }
}

TEST(OSCSettings, OutOfRangeAssignmentsAreSeenRawThenSanitisedAndObserversAreToldFirst) {
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

    settings.pingInterval = 60.0;
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
    string twenty;
    for (int i = 0; i < 10; ++i) twenty += eAcute + thumbsUp;  // 90 bytes
    const string twentyFive = twenty + thumbsUp + thumbsUp + eAcute + eAcute + thumbsUp;

    TempDir dir;
    const auto file = dir / "settings.json";
    writeFile(file, Json({{"title", twentyFive}}).dump());
    OSCSettings settings(std::make_shared<JsonSettingsStore>(file));
    EXPECT_EQ(settings.title.get(), twentyFive);

    std::vector<string> seen;
    auto subscription = settings.title.subscribe([&](const string& value) { seen.push_back(value); });
    settings.title = twentyFive;
    EXPECT_EQ(seen, (std::vector<string>{twentyFive, twentyFive, twenty}));
    EXPECT_EQ(Json::parse(readFile(file))["title"], twenty);
}

// An unchanged value is written all the same, under its key, as its type.
TEST(OSCSettings, EveryAssignmentWritesItsTypedValueEvenIfUnchanged) {
    auto store = std::make_shared<RecordingStore>();
    OSCSettings settings(store);
    int told = 0;
    auto changes = settings.objectWillChange.connect([&] { ++told; });

    settings.targetIP = settings.targetIP.get();
    settings.targetPort = 3032;
    settings.pingInterval = settings.pingInterval.get();
    settings.passive = true;
    const std::vector<std::pair<string, SettingsValue>> expected = {
        {"targetIP", string("localhost")}, {"targetPort", std::int64_t{3032}}, {"pingInterval", 2.0},
        {"passive", true}};
    EXPECT_EQ(store->writes, expected);
    EXPECT_EQ(told, 4);
    OSCSettings fresh(std::make_shared<MemorySettingsStore>());
    EXPECT_TRUE(fresh.listenOnPingPort.get() && !fresh.passive.get())
        << "answers to the ping's port are heard by default";
}

// Files from before TCP have no transport and mean UDP; so does a value the
// monitor does not know, on loading and on assignment alike.
TEST(OSCSettings, TransportIsUDPUnlessAKnownTCPVariantIsStored) {
    const std::vector<std::pair<const char*, string>> cases = {
        {R"({"targetPort": 3032})", "udp"},   {R"({"transport": "tcp"})", "tcp"},
        {R"({"transport": "tcp-slip"})", "tcp-slip"}, {R"({"transport": "TCP"})", "udp"},
        {R"({"transport": 1})", "udp"},
    };
    for (const auto& [json, transport] : cases) {
        SCOPED_TRACE(json);
        TempDir dir;
        writeFile(dir / "settings.json", json);
        OSCSettings settings(std::make_shared<JsonSettingsStore>(dir / "settings.json"));
        EXPECT_EQ(settings.transport.get(), transport);
        EXPECT_EQ(readFile(dir / "settings.json"), json) << "loading writes nothing";
    }
    OSCSettings settings(std::make_shared<MemorySettingsStore>());
    settings.transport = "sctp";
    EXPECT_EQ(settings.transport.get(), "udp");
}

TEST(OSCSettingsDeathTest, KeyLookupStopsOnAPropertyThatIsNotASetting) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    OSCSettings settings(std::make_shared<MemorySettingsStore>());
    EXPECT_EQ(settings.key(settings.title), "title");
    dispatch::Published<double> stray(1.0);
    EXPECT_DEATH((void)settings.key(stray), "Unexpected key path: Published<double>");
}

// The alarm settings: a file from before them loads with today's behaviour,
// values out of range come back to the nearest end, on load and on
// assignment, and what is assigned is written under its key.
TEST(OSCSettingsAlarms, OldFilesLoadWithDefaultsAndRangesHold) {
    auto old = std::make_shared<MemorySettingsStore>();
    old->setObject(std::string("desk"), "targetIP");
    const OSCSettings before(old);
    EXPECT_EQ(before.missesBeforeDead.get(), 2);
    EXPECT_EQ(before.repliesBeforeAlive.get(), 1);
    EXPECT_EQ(before.slowRoundTripMs.get(), 0);
    EXPECT_EQ(before.deadReminderMinutes.get(), 0);
    EXPECT_TRUE(before.alarmSound.get());
    EXPECT_EQ(before.onDeadCommand.get(), "");
    EXPECT_EQ(before.stateMessage.get(), "");

    auto store = std::make_shared<MemorySettingsStore>();
    store->setObject(std::int64_t{500}, "missesBeforeDead");
    store->setObject(std::int64_t{-3}, "slowRoundTripMs");
    store->setObject(std::string("3"), "repliesBeforeAlive");
    store->setObject(std::int64_t{99999}, "deadReminderMinutes");
    store->setObject(std::string("sh -c 'x'"), "onAliveCommand");
    OSCSettings settings(store);
    EXPECT_EQ(settings.missesBeforeDead.get(), 100);
    EXPECT_EQ(settings.slowRoundTripMs.get(), 0);
    EXPECT_EQ(settings.repliesBeforeAlive.get(), 1) << "a text is no count";
    EXPECT_EQ(settings.deadReminderMinutes.get(), 1440);
    EXPECT_EQ(settings.onAliveCommand.get(), "sh -c 'x'");
    EXPECT_EQ(store->integerForKey("missesBeforeDead"), 500) << "loading writes nothing";

    settings.missesBeforeDead = 0;
    EXPECT_EQ(settings.missesBeforeDead.get(), 1);
    EXPECT_EQ(store->integerForKey("missesBeforeDead"), 1);
    settings.stateMessage = "127.0.0.1:53000/cue/1/go";
    EXPECT_EQ(store->stringForKey("stateMessage"), "127.0.0.1:53000/cue/1/go");
}

}  // namespace
}  // namespace vorn::monitor
