// The desktop app's standard output is for whoever started it; a reader that
// stops reading or goes away must cost the monitor nothing. Runs the program
// itself on Qt's offscreen platform, watching vorn-osc-echo.

#include "support/ChildProcess.h"
#include "support/SocketTesting.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using vorn::testutil::ChildProcess;

struct TempDir {
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "vorn-app-output-XXXXXX").string();
        path = ::mkdtemp(pattern.data()) != nullptr ? pattern : "";
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path.empty()) fs::remove_all(path, ignored);
    }
    fs::path path;
};

// The app with `out` as its standard output and its settings under `home`,
// killed and reaped with this object.
class App {
public:
    App(const fs::path& home, int out) {
        std::vector<std::string> environment = {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + (home / "config").string(),
                                                "XDG_STATE_HOME=" + (home / "state").string(),
                                                "XDG_RUNTIME_DIR=" + home.string(), "HOME=" + home.string()};
        if (const char* path = std::getenv("PATH")) environment.push_back(std::string("PATH=") + path);
        std::vector<char*> envp;
        for (auto& entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string program = VORN_OSC_APP_PROGRAM;
        char* argv[] = {program.data(), nullptr};

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        // The test's own signal dispositions must not leak into the app.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        if (::posix_spawn(&pid_, argv[0], &actions, &attributes, argv, envp.data()) != 0) pid_ = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~App() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    bool started() const { return pid_ > 0; }
    // Still running: not ended by a signal or otherwise.
    bool running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

private:
    pid_t pid_ = -1;
};

// Counts the pings the echo has answered, waiting for `count` at most.
std::size_t waitForAnswers(ChildProcess& echo, std::size_t count) {
    std::size_t answered = 0;
    echo.readUntil([&] {
        answered = 0;
        for (std::size_t at = echo.out().find("ping from "); at != std::string::npos;
             at = echo.out().find("ping from ", at + 1))
            ++answered;
        return answered >= count;
    });
    return answered;
}

// Every answer makes the app write its diagnostic line. Whether the reader
// has stopped reading with the pipe full, or has gone, the window keeps
// working: the pings go on, and the app lives.
TEST(AppOutputTest, AStuckOrGoneReaderOfStandardOutputNeitherFreezesNorEndsTheApp) {
    for (const bool readerGone : {false, true}) {
        SCOPED_TRACE(readerGone ? "reader gone" : "pipe full, nobody reading");
        TempDir home;
        ASSERT_FALSE(home.path.empty());
        const auto receivePort = std::to_string(vorn::udp::testing::freePort());
        ChildProcess echo({VORN_OSC_ECHO_PROGRAM, "--listen-port", "0", "--reply-port", receivePort});
        const std::string listening = "vorn-osc-echo listening on port ";
        const auto line = echo.readLine();
        ASSERT_TRUE(line && line->starts_with(listening)) << echo.out() << echo.err();
        fs::create_directories(home.path / "config" / "vorn-osc");
        std::ofstream(home.path / "config" / "vorn-osc" / "settings.json")
            << R"({"targetIP": "127.0.0.1", "targetPort": )" << line->substr(listening.size())
            << R"(, "receivePort": )" << receivePort << R"(, "pingInterval": 1.0, "alarmEnabled": false})";

        int out[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        if (readerGone) {
            ::close(out[0]);
        } else {
            // Filled to the brim before the app starts: its first line would
            // have to wait for a reader that never comes.
            ::fcntl(out[1], F_SETFL, O_NONBLOCK);
            const std::string block(4096, '.');
            while (::write(out[1], block.data(), block.size()) > 0) {
            }
            ::fcntl(out[1], F_SETFL, 0);
        }
        App app(home.path, out[1]);
        ::close(out[1]);
        ASSERT_TRUE(app.started());

        // The first answer comes after the first ping; four more pings show
        // that the ones after it went out.
        EXPECT_GE(waitForAnswers(echo, 5), 5u) << echo.out();
        EXPECT_TRUE(app.running());
        if (!readerGone) ::close(out[0]);
    }
}

// A display that cannot be opened, such as the one of a remote session that
// has closed, gets the same hint as no display at all, not Qt's abort.
TEST(AppOutputTest, ADeadDisplayGetsTheHintInsteadOfAnAbort) {
    int number = 4711;
    while (fs::exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
           fs::exists("/tmp/.X" + std::to_string(number) + "-lock"))
        ++number;
    TempDir home;
    ASSERT_FALSE(home.path.empty());
    ::setenv("DISPLAY", (":" + std::to_string(number)).c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home.path / "config").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (home.path / "state").c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
    for (const char* platform : {"", "xcb"}) {
        SCOPED_TRACE(std::string("QT_QPA_PLATFORM=") + platform);
        if (*platform != '\0') {
            ::setenv("QT_QPA_PLATFORM", platform, 1);
        } else {
            ::unsetenv("QT_QPA_PLATFORM");
        }
        ChildProcess app({VORN_OSC_APP_PROGRAM});
        EXPECT_EQ(app.exitCode(), std::optional(1));
        EXPECT_EQ(app.err(), "vorn-osc: cannot open display \":" + std::to_string(number) +
                                 "\". To monitor the link in a terminal, run vorn-osc-cli (see vorn-osc-cli --help).\n");
    }
    ::unsetenv("QT_QPA_PLATFORM");
}

}  // namespace
