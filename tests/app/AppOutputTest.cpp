// The desktop app's standard output is for whoever started it; a reader that
// stops reading or goes away must cost the monitor nothing. Runs the program
// itself on Qt's offscreen platform, watching vorn-osc-echo.

#include "support/ChildProcess.h"
#include "support/SocketTesting.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;
using vorn::monitor::testutil::TempDir;
using vorn::monitor::testutil::writeFile;
using vorn::testutil::ChildProcess;

// The app's settings and state under `home`, on the offscreen platform.
void useHome(const fs::path& home) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (home / "state").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", home.c_str(), 1);
    ::setenv("HOME", home.c_str(), 1);
}

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
        useHome(home.path());
        const auto receivePort = std::to_string(vorn::udp::testing::freePort());
        ChildProcess echo({VORN_OSC_ECHO_PROGRAM, "--listen-port", "0", "--reply-port", receivePort});
        const std::string listening = "vorn-osc-echo listening on port ";
        const auto line = echo.readLine();
        ASSERT_TRUE(line && line->starts_with(listening)) << echo.out() << echo.err();
        fs::create_directories(home / "config" / "vorn-osc");
        writeFile(home / "config" / "vorn-osc" / "settings.json",
                  R"({"targetIP": "127.0.0.1", "targetPort": )" + line->substr(listening.size()) +
                      R"(, "receivePort": )" + receivePort + R"(, "pingInterval": 1.0, "alarmEnabled": false})");

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
        ChildProcess app({VORN_OSC_APP_PROGRAM}, out[1]);
        ::close(out[1]);

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
    useHome(home.path());
    ::setenv("DISPLAY", (":" + std::to_string(number)).c_str(), 1);
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
