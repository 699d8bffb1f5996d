#include "monitor/HookCommand.h"

#include "ascii/VisibleText.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vorn::monitor {

std::optional<std::vector<std::string>> splitCommand(std::string_view command, std::string* error) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    const auto fail = [&](const char* why) -> std::optional<std::vector<std::string>> {
        if (error != nullptr) {
            *error = why;
        }
        return std::nullopt;
    };
    for (std::size_t i = 0; i < command.size(); ++i) {
        const char c = command[i];
        if (c == ' ' || c == '\t') {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == '\'') {
            const auto close = command.find('\'', i + 1);
            if (close == std::string_view::npos) {
                return fail("a ' is not closed");
            }
            word.append(command.substr(i + 1, close - i - 1));
            i = close;
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i >= command.size()) {
                    return fail("a \" is not closed");
                }
                if (command[i] == '"') {
                    break;
                }
                if (command[i] == '\\' && i + 1 < command.size() &&
                    (command[i + 1] == '"' || command[i + 1] == '\\')) {
                    ++i;
                }
                word.push_back(command[i]);
            }
        } else if (c == '\\') {
            if (++i >= command.size()) {
                return fail("it ends in a backslash");
            }
            word.push_back(command[i]);
        } else {
            word.push_back(c);
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

std::optional<StateMessageTarget> parseStateMessage(std::string_view text, std::string* error) {
    const auto fail = [&](const char* why) -> std::optional<StateMessageTarget> {
        if (error != nullptr) {
            *error = why;
        }
        return std::nullopt;
    };
    StateMessageTarget target;
    std::string_view rest = text;
    if (rest.starts_with('[')) {
        const auto close = rest.find(']');
        if (close == std::string_view::npos) {
            return fail("the [ of an IPv6 host is not closed");
        }
        target.host = rest.substr(1, close - 1);
        rest.remove_prefix(close + 1);
        if (!rest.starts_with(':')) {
            return fail("a port must follow the host, as in HOST:PORT/ADDRESS");
        }
    } else {
        const auto colon = rest.find(':');
        if (colon == std::string_view::npos || rest.find('/') < colon) {
            return fail("a port must follow the host, as in HOST:PORT/ADDRESS");
        }
        target.host = rest.substr(0, colon);
        rest.remove_prefix(colon);
    }
    rest.remove_prefix(1);
    const auto slash = rest.find('/');
    if (target.host.empty()) {
        return fail("the host is empty");
    }
    if (slash == std::string_view::npos) {
        return fail("an OSC address must follow the port, as in HOST:PORT/ADDRESS");
    }
    const std::string_view port = rest.substr(0, slash);
    unsigned value = 0;
    for (const char c : port) {
        if (c < '0' || c > '9' || value > 65535) {
            return fail("the port must be a whole number from 1 to 65535");
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (port.empty() || value < 1 || value > 65535) {
        return fail("the port must be a whole number from 1 to 65535");
    }
    target.port = static_cast<std::uint16_t>(value);
    target.address = rest.substr(slash);
    for (const unsigned char c : target.address) {
        if (c <= ' ' || c > '~') {
            return fail("the OSC address must be printable ASCII without spaces");
        }
    }
    return target;
}

namespace {

constexpr auto killGrace = std::chrono::seconds(5);

std::string exitText(int status) {
    if (WIFEXITED(status)) {
        return "ended with exit code " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return "ended by signal " + std::to_string(WTERMSIG(status));
    }
    return "ended";
}

}  // namespace

struct HookRunner::State {
    LineSink sink;
    mutable std::mutex mutex;
    std::list<std::thread> threads;
    std::list<std::thread::id> finished;
    std::size_t running = 0;
    // Written once when the runner goes: every command thread wakes and ends
    // its command.
    int stopPipe[2] = {-1, -1};

    void say(std::string_view event, std::string_view hook, std::string line) {
        sink(Kind{event, hook}, std::move(line));
    }

    void watch(std::string hook, std::vector<std::string> argv, Environment environment);
};

HookRunner::HookRunner(LineSink sink) : state_(std::make_shared<State>()) {
    state_->sink = std::move(sink);
    if (::pipe2(state_->stopPipe, O_CLOEXEC) != 0) {
        state_->stopPipe[0] = state_->stopPipe[1] = -1;
    }
}

HookRunner::~HookRunner() {
    if (state_->stopPipe[1] >= 0) {
        ::close(state_->stopPipe[1]);
    }
    std::list<std::thread> threads;
    {
        std::lock_guard lock(state_->mutex);
        threads.swap(state_->threads);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    if (state_->stopPipe[0] >= 0) {
        ::close(state_->stopPipe[0]);
    }
}

std::size_t HookRunner::running() const {
    std::lock_guard lock(state_->mutex);
    return state_->running;
}

void HookRunner::run(std::string_view hook, std::vector<std::string> argv, Environment environment) {
    std::lock_guard lock(state_->mutex);
    // Threads that have ended are joined here, so that a long show does not
    // collect them.
    for (const auto id : state_->finished) {
        for (auto thread = state_->threads.begin(); thread != state_->threads.end(); ++thread) {
            if (thread->get_id() == id) {
                thread->join();
                state_->threads.erase(thread);
                break;
            }
        }
    }
    state_->finished.clear();
    if (state_->running >= maxRunning) {
        state_->say("hookFailed", hook,
                    "\xE2\x80\xBC\xEF\xB8\x8F " + std::string(hook) + " command not run: " +
                        std::to_string(state_->running) + " commands still running");
        return;
    }
    ++state_->running;
    state_->threads.emplace_back([state = state_, hook = std::string(hook), argv = std::move(argv),
                                  environment = std::move(environment)]() mutable {
        state->watch(hook, std::move(argv), std::move(environment));
        std::lock_guard lock(state->mutex);
        --state->running;
        state->finished.push_back(std::this_thread::get_id());
    });
}

void HookRunner::State::watch(std::string hook, std::vector<std::string> argv, Environment environment) {
    std::string shown;
    for (const auto& word : argv) {
        shown += (shown.empty() ? "" : " ") + word;
    }
    say("hookStarted", hook, "\xE2\x96\xB6\xEF\xB8\x8F Running " + hook + " command: " + ascii::visibleText(shown));

    int output[2] = {-1, -1};
    if (::pipe2(output, O_CLOEXEC) != 0) {
        say("hookFailed", hook,
            "\xE2\x80\xBC\xEF\xB8\x8F " + hook + " command could not start: " + std::strerror(errno));
        return;
    }
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        bool replaced = false;
        for (const auto& [name, value] : environment) {
            replaced = replaced || (text.starts_with(name) && text.size() > name.size() && text[name.size()] == '=');
        }
        if (!replaced) {
            variables.emplace_back(text);
        }
    }
    for (const auto& [name, value] : environment) {
        variables.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (auto& word : argv) {
        args.push_back(word.data());
    }
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
    // The monitor blocks or ignores signals of its own; the command starts
    // as a shell would start it, in a group of its own that a Ctrl-C in the
    // monitor's terminal does not reach and a time-out can end whole.
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int number : {SIGPIPE, SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD}) {
        sigaddset(&defaults, number);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    if (spawned != 0) {
        ::close(output[0]);
        say("hookFailed", hook, "\xE2\x80\xBC\xEF\xB8\x8F " + hook + " command could not start: " + std::strerror(spawned));
        return;
    }
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));

    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + timeLimit;
    bool terminated = false;
    bool killed = false;
    bool exited = false;
    int status = 0;
    std::size_t linesSaid = 0;
    bool cut = false;
    std::string pending;
    const auto sayOutput = [&](std::string_view line) {
        if (linesSaid < maxOutputLines) {
            ++linesSaid;
            say("hookOutput", hook, "   " + hook + ": " + ascii::visibleText(line));
        } else {
            cut = true;
        }
    };
    int outputFd = output[0];
    bool stopSeen = false;
    while (!exited || outputFd >= 0) {
        pollfd fds[3] = {{outputFd, POLLIN, 0}, {pidfd, POLLIN, 0}, {stopSeen ? -1 : stopPipe[0], POLLIN, 0}};
        if (exited) {
            fds[1].fd = -1;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        // Without a pidfd (an old kernel) the end is looked for every 100 ms.
        const auto wait = std::max<long long>(left, 0);
        const int timeout = static_cast<int>(pidfd < 0 ? std::min<long long>(wait, 100) : wait);
        const int ready = ::poll(fds, 3, exited ? 0 : timeout);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (outputFd >= 0 && (fds[0].revents != 0 || (exited && ready == 0))) {
            char buffer[4096];
            const ssize_t n = ready == 0 ? 0 : ::read(outputFd, buffer, sizeof buffer);
            if (n > 0) {
                pending.append(buffer, static_cast<std::size_t>(n));
                std::size_t start = 0;
                for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
                    sayOutput(std::string_view(pending).substr(start, std::min(end - start, maxLineBytes)));
                }
                pending.erase(0, start);
                if (pending.size() >= maxLineBytes) {
                    sayOutput(std::string_view(pending).substr(0, maxLineBytes));
                    pending.clear();
                }
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                // The end of the output, or, once the command has ended,
                // nothing more waiting: what its own children still write is
                // not waited for.
                ::close(outputFd);
                outputFd = -1;
            }
        }
        if (!exited && (pidfd < 0 || fds[1].revents != 0)) {
            exited = ::waitpid(pid, &status, WNOHANG) == pid;
        }
        const bool stopping = !stopSeen && fds[2].revents != 0;
        stopSeen = stopSeen || stopping;
        if (!exited && (stopping || Clock::now() >= deadline)) {
            if (!terminated) {
                terminated = true;
                ::kill(-pid, SIGTERM);
                if (!stopping) {
                    say("hookFailed", hook,
                        "\xE2\x80\xBC\xEF\xB8\x8F " + hook + " command still running after " +
                            std::to_string(timeLimit.count()) + " s; ending it");
                }
                deadline = Clock::now() + (stopping ? std::chrono::seconds(1) : killGrace);
            } else if (!killed) {
                killed = true;
                ::kill(-pid, SIGKILL);
                deadline = Clock::now() + killGrace;
            } else {
                // Not even SIGKILL has taken it yet; wait in the kernel.
                ::waitpid(pid, &status, 0);
                exited = true;
            }
        }
    }
    if (!pending.empty()) {
        sayOutput(pending);
    }
    if (outputFd >= 0) {
        ::close(outputFd);
    }
    if (pidfd >= 0) {
        ::close(pidfd);
    }
    if (cut) {
        say("hookOutput", hook, "\xE2\x80\xA6 " + hook + " output cut after " + std::to_string(maxOutputLines) + " lines");
    }
    say("hookEnded", hook, "\xE2\x8F\xB9 " + hook + " command " + exitText(status));
}

}  // namespace vorn::monitor
