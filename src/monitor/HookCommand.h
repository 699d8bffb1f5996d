#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::monitor {

// A command as the user typed it, split into the program and its arguments
// without a shell. Words are separated by spaces and tabs. Inside '…'
// everything is taken as it is; inside "…" a backslash keeps only a
// following " or \ from its usual meaning; elsewhere a backslash takes the
// next character as it is. Nothing else is special: no variables, no
// wildcards, no pipes or redirections, so `sh -c '…'` is how to ask for a
// shell. None (and `error` says why) for an unterminated quote or a
// trailing backslash; an empty list for a blank command.
std::optional<std::vector<std::string>> splitCommand(std::string_view command, std::string* error = nullptr);

// Where the message about a change of state goes: "HOST:PORT/ADDRESS", an
// IPv6 host in brackets ("[::1]:53000/cue/1/go"). The address is an OSC
// address: "/" first, then printable ASCII without spaces.
struct StateMessageTarget {
    std::string host;
    std::uint16_t port = 0;
    std::string address;
};
std::optional<StateMessageTarget> parseStateMessage(std::string_view text, std::string* error = nullptr);

// Runs the commands of the state-change hooks, each on a thread of its own
// that reads the command's output and waits for its end, so that the monitor
// never waits for a command. Each command gets its own process group,
// standard input from /dev/null, the program's environment plus the given
// variables, and default signal handling.
//
// Every line it has to say goes to `sink`, from the runner's threads:
// "▶️ Running on-dead command: …", up to `maxOutputLines` lines of the
// command's output (standard output and error together, each line as
// "   on-dead: …", escaped as network text is, long lines cut at
// `maxLineBytes`), "… on-dead output cut after 20 lines" when there was more,
// and "⏹ on-dead command ended with exit code N" (or "… ended by signal N").
// A command that cannot start says "‼️ on-dead command could not start: …".
//
// At most `maxRunning` commands run at once; a state change beyond that runs
// nothing and says "‼️ on-dead command not run: 4 commands still running".
// A command still running after `timeLimit` is ended (SIGTERM to its group,
// SIGKILL 5 s later); so is one still running when the runner goes.
class HookRunner {
public:
    static constexpr std::size_t maxRunning = 4;
    static constexpr std::size_t maxOutputLines = 20;
    static constexpr std::size_t maxLineBytes = 1000;
    static constexpr std::chrono::seconds timeLimit{60};

    struct Kind {
        std::string_view event;  // "hookStarted", "hookOutput", "hookEnded", "hookFailed"
        std::string_view hook;   // "on-dead", "on-alive"
    };
    using LineSink = std::function<void(Kind kind, std::string line)>;
    using Environment = std::vector<std::pair<std::string, std::string>>;

    explicit HookRunner(LineSink sink);
    ~HookRunner();

    HookRunner(const HookRunner&) = delete;
    HookRunner& operator=(const HookRunner&) = delete;

    // Starts `argv` (not empty) on a thread of its own; `hook` names it in
    // the lines ("on-dead"). Returns at once.
    void run(std::string_view hook, std::vector<std::string> argv, Environment environment);

    // Commands running now.
    std::size_t running() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace vorn::monitor
