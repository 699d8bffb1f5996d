#include "monitor/SessionLog.h"

#include "support/TempDir.h"
#include "monitor/LogLines.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vorn::monitor {
namespace {

using namespace std::chrono_literals;
using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;
namespace fs = std::filesystem;

// 14 March 2026, 09:26:53 local time.
SessionLog::Clock::time_point showStart() {
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 2;
    local.tm_mday = 14;
    local.tm_hour = 9;
    local.tm_min = 26;
    local.tm_sec = 53;
    local.tm_isdst = -1;
    return SessionLog::Clock::from_time_t(std::mktime(&local));
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) text += (i == 0 ? "" : "\n") + lines[i];
    return text;
}

std::string exported(const LogSnapshot& snapshot) {
    std::string text;
    snapshot.write([&text](std::string_view piece) { text.append(piece); });
    return text;
}

TEST(SessionLogTest, OneFilePerStartNamedAfterItsTimeNeverOverwritingAndEveryLineWritten) {
    TempDir state;
    const fs::path directory = state / "nested" / "vorn-osc";
    std::vector<std::string> failures;
    auto first = SessionLog::start(directory, [&](std::string line) { failures.push_back(line); }, showStart());
    auto second = SessionLog::start(directory, [&](std::string line) { failures.push_back(line); }, showStart());
    EXPECT_EQ(first->path(), directory / "session-20260314-092653.log");
    EXPECT_EQ(second->path(), directory / "session-20260314-092653-2.log");
    EXPECT_EQ(fs::status(directory).permissions() & fs::perms::all, fs::perms::owner_all);

    first->write("🔁 OSC server restarted on port 8001");
    first->write("← Received “/a\nforged”");
    first->write("");
    ASSERT_TRUE(first->waitUntilWritten(3, 20s));
    // On disk as soon as it is written: no close, no flush needed to read it.
    EXPECT_EQ(readFile(first->path()), "🔁 OSC server restarted on port 8001\n← Received “/a\\x0Aforged”\n\n");
    std::string firstTwo;
    EXPECT_EQ(first->readLines(2, [&](std::string_view piece) { firstTwo.append(piece); }), 2u);
    EXPECT_EQ(firstTwo, "🔁 OSC server restarted on port 8001\n← Received “/a\\x0Aforged”");
    std::string asked;
    EXPECT_EQ(first->readLines(10, [&](std::string_view piece) { asked.append(piece); }), 3u);
    EXPECT_EQ(asked, firstTwo + "\n");
    first->close();
    first->write("after close");
    EXPECT_EQ(first->linesWritten(), 3u);
    EXPECT_EQ(readFile(second->path()), "");
    EXPECT_TRUE(failures.empty());
}

TEST(SessionLogTest, StartRemovesOnlySessionFilesOlderThanThirtyDays) {
    TempDir state;
    const auto now = showStart();
    const auto age = [&](const std::string& name, std::chrono::hours hours) {
        writeFile(state / name, "old\n");
        fs::last_write_time(state / name, std::chrono::file_clock::from_sys(now - hours));
    };
    age("session-20260201-200000.log", 24h * 31);
    age("session-20260212-200000.log", 24h * 29);
    age("notes.log", 24h * 400);
    age("session-20250101-000000.txt", 24h * 400);
    fs::create_directory(state / "session-old.log");
    fs::last_write_time(state / "session-old.log", std::chrono::file_clock::from_sys(now - 24h * 400));

    const auto log = SessionLog::start(state.path(), nullptr, now);
    EXPECT_EQ(state.names(), (std::set<std::string>{"session-20260212-200000.log", "notes.log",
                                                    "session-20250101-000000.txt", "session-old.log",
                                                    log->path().filename().string()}));
    // A month later the first run's file goes too.
    EXPECT_EQ(SessionLog::prune(state.path(), now + 24h * 2), 1u);
    EXPECT_FALSE(fs::exists(state / "session-20260212-200000.log"));
}

TEST(SessionLogTest, AFolderThatCannotHoldTheFileIsSaidOnceAndNothingElseChanges) {
    TempDir state;
    writeFile(state / "vorn-osc", "a file where the folder should be");
    std::vector<std::string> failures;
    const auto log = SessionLog::start(state / "vorn-osc", [&](std::string line) { failures.push_back(line); });
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_TRUE(failures[0].starts_with("⚠️ Session log stopped: " + (state / "vorn-osc").string() + ": "))
        << failures[0];
    EXPECT_TRUE(log->stopped());
    EXPECT_TRUE(log->path().empty());
    log->write("line");
    EXPECT_FALSE(log->waitUntilWritten(1, 0ms));
    EXPECT_EQ(failures.size(), 1u);
}

TEST(LogLinesTest, MemoryKeepsTheNewestLinesAndAnExportReadsTheRestBackFromTheFile) {
    TempDir state;
    LogLines log;
    std::vector<std::size_t> indices;
    auto watch = log.subscribe([&](std::size_t index, const std::string&) { indices.push_back(index); });
    log.append("before the file");
    log.recordTo(SessionLog::start(state.path(), nullptr));
    log.setMemoryLimit(4);

    std::vector<std::string> all = {"before the file"};
    for (int i = 1; i < 25; ++i) {
        all.push_back("← Received “/eos/out/" + std::to_string(i) + "”");
        log.append(all.back());
    }
    EXPECT_EQ(log.size(), 4u);
    EXPECT_EQ(log.firstIndex(), 21u);
    EXPECT_EQ(log.count(), 25u);
    EXPECT_EQ(log[0], all[21]);
    EXPECT_EQ(indices.back(), 24u);
    EXPECT_EQ(exported(log.snapshot()), joined(all));

    // Without memory at all the file still has everything.
    log.setMemoryLimit(0);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(exported(log.snapshot()), joined(all));
}

TEST(LogLinesTest, AnExportSaysHowManyLinesNoFileKept) {
    TempDir state;
    LogLines log;
    log.setMemoryLimit(2);
    for (const char* line : {"a", "b", "c"}) log.append(line);
    EXPECT_EQ(exported(log.snapshot()), "… 1 line missing: the session log did not keep them\nb\nc");

    // A file that stopped holds only the lines before it stopped.
    std::vector<std::string> failures;
    auto session = SessionLog::start(state.path(), [&](std::string line) { failures.push_back(line); });
    log.recordTo(session);
    log.append("d");
    ASSERT_TRUE(session->waitUntilWritten(3, 20s));
    session->close();
    for (const char* line : {"e", "f", "g"}) log.append(line);
    EXPECT_EQ(exported(log.snapshot()),
              "… 1 line missing: the session log did not keep them\nb\nc\nd\n"
              "… 1 line missing: the session log did not keep them\nf\ng");
}

}  // namespace
}  // namespace vorn::monitor
