// The terminal monitor's output: a reader who stops reading never stops the
// monitor, one who has gone ends it cleanly, and the session file holds
// every line printed.

#include "tools/LinePrinter.h"

#include "monitor/JsonSettingsStore.h"
#include "monitor/SessionLog.h"

#include "support/TempDir.h"
#include "support/SocketTesting.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace vorn::tools {
namespace {

using namespace std::chrono_literals;
using monitor::SessionLog;
using monitor::testutil::readFile;
using monitor::testutil::TempDir;
using Child = testutil::ChildProcess;
namespace fs = std::filesystem;

constexpr auto patience = 20s;

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe2";
        read = fds[0];
        write = fds[1];
        // As small as a pipe gets, so that a few lines fill it.
        ::fcntl(write, F_SETPIPE_SZ, 4096);
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (read >= 0) ::close(std::exchange(read, -1));
    }
    void closeWrite() {
        if (write >= 0) ::close(std::exchange(write, -1));
    }
    // Fills the pipe, as a reader who has stopped reading leaves it.
    void fill() const {
        const int flags = ::fcntl(write, F_GETFL);
        ::fcntl(write, F_SETFL, flags | O_NONBLOCK);
        const std::string block(512, '.');
        while (::write(write, block.data(), block.size()) > 0) {
        }
        ::fcntl(write, F_SETFL, flags);
    }
    // Reads into `seen` until `done` holds or the patience runs out.
    void readUntil(std::string& seen, const std::function<bool()>& done) const {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{read, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            char buffer[4096];
            const auto n = ::read(read, buffer, sizeof buffer);
            if (n <= 0) break;
            seen.append(buffer, static_cast<std::size_t>(n));
        }
    }
};

TEST(LinePrinterTest, ABlockedReaderLosesLinesItIsToldAboutAndAGoneReaderIsReportedOnce) {
    TempDir state;
    const auto session = SessionLog::start(state.path(), nullptr);
    Pipe pipe;
    std::atomic<int> goneError{0};
    std::atomic<int> goneCalls{0};
    LinePrinter printer(
        pipe.write, session,
        [&](int error) {
            goneError = error;
            ++goneCalls;
        },
        1024);

    // Nobody reads while these arrive: far more than the pipe and the buffer
    // hold, and printing them never waits.
    constexpr int total = 2000;
    for (int i = 0; i < total; ++i) {
        const std::string line = "line " + std::to_string(i) + " of the show, long enough to count";
        session->write(line);
        printer.print(static_cast<std::uint64_t>(i), line);
    }
    // Every line is either shown, in order, or counted by a note that takes
    // its place once the reader has caught up.
    const std::string notePrefix = "… ";
    const std::string noteSuffix = " lines not shown (output was blocked); see " + session->path().string();
    int accounted = 0;
    int notes = 0;
    std::size_t parsed = 0;
    std::string out;
    const auto account = [&] {
        for (std::size_t feed; (feed = out.find('\n', parsed)) != std::string::npos; parsed = feed + 1) {
            const std::string line = out.substr(parsed, feed - parsed);
            if (line.starts_with(notePrefix) && line.ends_with(noteSuffix)) {
                ++notes;
                accounted += std::stoi(line.substr(notePrefix.size()));
            } else if (line == "line " + std::to_string(accounted) + " of the show, long enough to count") {
                ++accounted;
            } else {
                ADD_FAILURE() << "unexpected line: " << line;
                return true;
            }
        }
        return accounted >= total;
    };
    pipe.readUntil(out, account);
    EXPECT_EQ(accounted, total);
    EXPECT_GE(notes, 1);
    // Once it has caught up, nothing is left out.
    session->write("after");
    printer.print(total, "after");
    pipe.readUntil(out, [&] { return out.ends_with("\nafter\n"); });
    EXPECT_EQ(out.substr(parsed), "after\n");

    pipe.closeRead();
    printer.print(total + 1, "nobody reads this");
    printer.print(total + 2, "nor this");
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (goneCalls == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    printer.finish(1s);
    EXPECT_EQ(goneError, EPIPE);
    EXPECT_EQ(goneCalls, 1);
}

// The monitor's own programs, each given a state folder of its own so that
// no test writes to the real home.
class CliOutputTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("XDG_STATE_HOME", state.path().c_str(), 1); }

    // The one session file, once it holds `text`; empty when it never does.
    std::string sessionFileHolding(const std::string& text) const {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (std::chrono::steady_clock::now() < deadline) {
            std::error_code notYet;
            for (const auto& entry : fs::directory_iterator(state / "vorn-osc", notYet)) {
                if (const auto content = readFile(entry.path()); content.find(text) != std::string::npos)
                    return content;
            }
            std::this_thread::sleep_for(20ms);
        }
        return {};
    }

    // A stand-in console and the monitor watching it, with stdout as given.
    std::unique_ptr<Child> startMonitor(int stdoutFd = -1) {
        echo = std::make_unique<Child>(
            std::vector<std::string>{VORN_OSC_ECHO_PROGRAM, "--listen-port", "0", "--reply-port", receivePort});
        const std::string listening = "vorn-osc-echo listening on port ";
        const auto line = echo->readLine();
        if (!line || !line->starts_with(listening)) {
            ADD_FAILURE() << echo->out() << echo->err();
            return nullptr;
        }
        echoPort = line->substr(listening.size());
        return std::make_unique<Child>(
            std::vector<std::string>{VORN_OSC_CLI_PROGRAM, "--config-dir", config.path().string(), "--interval", "1",
                                     "--receive-port", receivePort, "--target", "127.0.0.1", "--target-port", echoPort},
            stdoutFd);
    }

    TempDir state;
    TempDir config;
    const std::string receivePort = std::to_string(udp::testing::freePort());
    std::string echoPort;
    std::unique_ptr<Child> echo;
};

// The monitor and the echo over loopback: ALIVE while the echo answers, DEAD
// once it has gone, said on standard error without a bell into a pipe. Killed, the monitor leaves every line it
// printed in its session file; the options it was given stay saved.
TEST_F(CliOutputTest, LinkGoesAliveThenDeadAndTheSessionFileHoldsEveryLinePrinted) {
    auto cli = startMonitor();
    ASSERT_TRUE(cli && cli->waitForOut("🔄 State changed to ALIVE\n")) << (cli ? cli->out() + cli->err() : "");
    ASSERT_TRUE(cli->waitForOut("← Received “/eos/out/ping”\n→ Sent ping")) << cli->out();
    // Lines appended before the output was hooked up are printed too.
    EXPECT_TRUE(cli->out().starts_with("🔁 OSC server restarted on port " + receivePort + "\n")) << cli->out();
    for (const std::string& expected : {"✅ OSC server listening on port " + receivePort + "\n",
                                        "→ Sent ping “/eos/ping” to 127.0.0.1:" + echoPort + "\n"}) {
        EXPECT_NE(cli->out().find(expected), std::string::npos) << expected;
    }
    EXPECT_EQ(cli->err(), "");
    const auto exchange = echo->readLine();
    EXPECT_TRUE(exchange && exchange->starts_with("ping from 127.0.0.1:")) << echo->out();

    echo->signal(SIGTERM);
    EXPECT_EQ(echo->exitCode(), 0);
    ASSERT_TRUE(cli->waitForOut("🔄 State changed to DEAD\n")) << cli->out();
    ASSERT_TRUE(cli->waitForErr("Vorn OSC 2: OSC link is DEAD\n")) << cli->err();
    EXPECT_EQ(cli->err().find('\a'), std::string::npos) << "no bell into a pipe";
    const monitor::JsonSettingsStore saved(config / "settings.json");
    EXPECT_EQ(saved.integerForKey("targetPort"), std::stoll(echoPort));
    EXPECT_EQ(saved.objectForKey("pingInterval"), std::optional<monitor::SettingsValue>(1.0));

    cli->signal(SIGKILL);
    EXPECT_EQ(cli->exitCode(), std::nullopt);
    const std::string printed = cli->out();
    const std::string file = sessionFileHolding("🔄 State changed to DEAD\n");
    EXPECT_TRUE(file.starts_with(printed)) << "printed:\n" << printed << "\nfile:\n" << file;
}

TEST_F(CliOutputTest, AReaderThatStopsReadingNeverStopsTheMonitor) {
    Pipe pipe;
    pipe.fill();
    auto cli = startMonitor(pipe.write);
    ASSERT_TRUE(cli);
    pipe.closeWrite();
    // Its first line could not be printed, yet it pings, hears the answers
    // and judges the link.
    EXPECT_NE(sessionFileHolding("🔄 State changed to ALIVE\n"), "");
    EXPECT_NE(sessionFileHolding("← Received “/eos/out/ping”\n→ Sent ping"), "");
    // Ending does not wait for the reader either.
    cli->signal(SIGTERM);
    EXPECT_EQ(cli->exitCode(), 0) << cli->err();
}

TEST_F(CliOutputTest, AReaderThatHasGoneEndsTheMonitorWithOneLineAndCodeThree) {
    Pipe pipe;
    pipe.closeRead();
    auto cli = startMonitor(pipe.write);
    ASSERT_TRUE(cli);
    pipe.closeWrite();
    EXPECT_EQ(cli->exitCode(), 3);
    const std::string file = sessionFileHolding("🔁 OSC server restarted on port");
    EXPECT_NE(file, "");
    ASSERT_EQ(std::count(cli->err().begin(), cli->err().end(), '\n'), 1) << cli->err();
    EXPECT_TRUE(cli->err().starts_with("vorn-osc-cli: standard output closed (Broken pipe), stopping; the log is in " +
                                       (state / "vorn-osc").string() + "/session-"))
        << cli->err();
}

}  // namespace
}  // namespace vorn::tools
