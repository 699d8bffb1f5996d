#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

extern char** environ;

namespace vorn::testutil {

// A program started as a shell would start it (a name without a slash is
// looked up on PATH), its standard output and error read through pipes. It is
// killed and reaped with this object, so a failed assertion never leaves it
// running. Given `stdoutFd`, its standard output goes there instead (out()
// stays empty).
class ChildProcess {
public:
    using Clock = std::chrono::steady_clock;
    // Generous: it only keeps a broken build from hanging the suite.
    static constexpr auto patience = std::chrono::seconds(20);

    explicit ChildProcess(std::vector<std::string> args, int stdoutFd = -1) {
        int out[2] = {-1, -1};
        int err[2] = {-1, -1};
        if ((stdoutFd < 0 && ::pipe2(out, O_CLOEXEC) != 0) || ::pipe2(err, O_CLOEXEC) != 0)
            throw std::system_error(errno, std::generic_category(), "pipe2");
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, stdoutFd < 0 ? out[1] : stdoutFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        // The test's threads may block signals; the program must not inherit that.
        sigset_t none, stops;
        sigemptyset(&none);
        sigemptyset(&stops);
        sigaddset(&stops, SIGINT);
        sigaddset(&stops, SIGTERM);
        sigaddset(&stops, SIGPIPE);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &stops);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int spawned = ::posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (out[1] >= 0) ::close(out[1]);
        ::close(err[1]);
        streams_[0].fd = out[0];
        streams_[1].fd = err[0];
        if (spawned != 0) {
            pid_ = -1;
            throw std::system_error(spawned, std::generic_category(), "cannot run " + args[0]);
        }
    }

    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (const auto& stream : streams_)
            if (stream.fd >= 0) ::close(stream.fd);
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    const std::string& out() const { return streams_[0].text; }
    const std::string& err() const { return streams_[1].text; }
    // Both streams are closed: the program has ended, or is about to.
    bool ended() const { return streams_[0].fd < 0 && streams_[1].fd < 0; }
    // Not ended yet, by a signal or otherwise.
    bool running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
    void signal(int number) const { ::kill(pid_, number); }

    // Reads both streams until `done` holds; false when the deadline passes
    // or the streams end first.
    bool readUntil(const std::function<bool()>& done, Clock::time_point deadline = Clock::now() + patience) {
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || !readSome(static_cast<int>(left))) return done();
        }
        return true;
    }
    bool waitForOut(const std::string& text) {
        return readUntil([&] { return out().find(text) != std::string::npos; });
    }
    bool waitForErr(const std::string& text) {
        return readUntil([&] { return err().find(text) != std::string::npos; });
    }

    // The next line of standard output, without its line feed.
    std::optional<std::string> readLine(Clock::time_point deadline = Clock::now() + patience) {
        if (!readUntil([&] { return out().find('\n', lineStart_) != std::string::npos; }, deadline))
            return std::nullopt;
        const auto start = std::exchange(lineStart_, out().find('\n', lineStart_) + 1);
        return out().substr(start, lineStart_ - 1 - start);
    }

    // The exit code once the program has ended; none when it does not end in
    // time or a signal ended it.
    std::optional<int> exitCode() {
        int status = 0;
        if (!readUntil([&] { return ended(); }) || ::waitpid(std::exchange(pid_, -1), &status, 0) < 0 ||
            !WIFEXITED(status))
            return std::nullopt;
        return WEXITSTATUS(status);
    }

private:
    struct Stream {
        int fd = -1;
        std::string text;
    };

    // False once both streams have ended or nothing came in time.
    bool readSome(int timeoutMs) {
        if (ended()) return false;
        std::array<pollfd, 2> fds{{{streams_[0].fd, POLLIN, 0}, {streams_[1].fd, POLLIN, 0}}};
        const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
        if (ready < 0 && errno == EINTR) return true;
        if (ready <= 0) return false;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const auto n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0)
                streams_[i].text.append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                ::close(std::exchange(streams_[i].fd, -1));
        }
        return true;
    }

    pid_t pid_ = -1;
    std::array<Stream, 2> streams_;
    std::size_t lineStart_ = 0;
};

// How often `part` occurs in `text`, say in what a program has printed so far.
inline std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

}  // namespace vorn::testutil
