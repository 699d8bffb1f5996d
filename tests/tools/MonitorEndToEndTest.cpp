// The two shipped programs against each other over loopback: vorn-osc-echo
// answers the pings of vorn-osc-cli until it is killed, and the monitor's
// output and exit status are what a user would see.

#include "monitor/JsonSettingsStore.h"

#include "../monitor/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using vorn::monitor::testutil::TempDir;

// Generous: these only keep a broken build from hanging the suite.
constexpr auto patience = std::chrono::seconds(15);

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// A program started with its standard output and error captured.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        std::array<int, 2> out{};
        std::array<int, 2> err{};
        if (::pipe2(out.data(), O_CLOEXEC) != 0 || ::pipe2(err.data(), O_CLOEXEC) != 0) {
            fail("pipe2");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (spawned != 0) {
            errno = spawned;
            fail("posix_spawn");
        }
    }

    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    const std::string& out() const { return outText_; }
    const std::string& err() const { return errText_; }

    // Reads both streams until `done` holds or the time is up.
    bool readUntil(const std::function<bool()>& done) {
        const auto deadline = Clock::now() + patience;
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) {
                return done();
            }
        }
        return true;
    }

    bool waitForOut(const std::string& text) {
        return readUntil([&] { return outText_.find(text) != std::string::npos; });
    }

    bool waitForErr(const std::string& text) {
        return readUntil([&] { return errText_.find(text) != std::string::npos; });
    }

    void signal(int number) { ::kill(pid_, number); }

    // The exit code once the program has closed both streams and ended;
    // nothing when it has not done so in time or ended by a signal.
    std::optional<int> exitCode() {
        readUntil([&] { return outClosed_ && errClosed_; });
        if (!(outClosed_ && errClosed_)) {
            return std::nullopt;
        }
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_) {
            return std::nullopt;
        }
        pid_ = -1;
        if (!WIFEXITED(status)) {
            return std::nullopt;
        }
        return WEXITSTATUS(status);
    }

private:
    // False once both streams are closed or the wait timed out.
    bool readSome(int timeoutMs) {
        std::array<pollfd, 2> fds{{{outClosed_ ? -1 : out_, POLLIN, 0}, {errClosed_ ? -1 : err_, POLLIN, 0}}};
        if (outClosed_ && errClosed_) {
            return false;
        }
        const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
        if (ready < 0 && errno == EINTR) {
            return true;
        }
        if (ready <= 0) {
            return false;
        }
        drain(fds[0], out_, outText_, outClosed_);
        drain(fds[1], err_, errText_, errClosed_);
        return true;
    }

    static void drain(const pollfd& polled, int fd, std::string& text, bool& closed) {
        if (polled.fd < 0 || polled.revents == 0) {
            return;
        }
        std::array<char, 4096> buffer{};
        const auto n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            text.append(buffer.data(), static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            closed = true;
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string outText_;
    std::string errText_;
    bool outClosed_ = false;
    bool errClosed_ = false;
};

// A UDP port that nobody held a moment ago.
std::uint16_t freeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail("socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        fail("bind");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}


TEST(MonitorEndToEndTest, LinkGoesAliveWithTheEchoAndDeadWithoutItAndSigtermEndsTheMonitorCleanly) {
    TempDir config;
    const auto receivePort = std::to_string(freeUdpPort());

    Child echo({VORN_OSC_ECHO_PROGRAM, "--listen-port", "0", "--reply-port", receivePort});
    ASSERT_TRUE(echo.waitForOut("\n")) << echo.err();
    const std::string listening = "vorn-osc-echo listening on port ";
    ASSERT_EQ(echo.out().rfind(listening, 0), 0) << echo.out();
    const std::string echoPort = echo.out().substr(listening.size(), echo.out().find('\n') - listening.size());
    ASSERT_NE(std::stoi(echoPort), 0) << echo.out();

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
                   std::to_string(freeUdpPort()), "--target", "127.0.0.1", "--target-port",
                   std::to_string(freeUdpPort())});
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
