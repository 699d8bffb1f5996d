#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace vorn::monitor {
class SessionLog;
}

namespace vorn::tools {

// Prints the monitor's log lines on a descriptor (standard output) from a
// thread of its own, so that a reader who stops reading (a paused terminal,
// a slow pipe, ssh back-pressure) never stops the monitor.
//
// Lines wait in a buffer of `limit` bytes. When it is full, further lines are
// counted rather than kept, and once the reader has caught up one line says
// how many it missed and where the whole log is:
// "… N lines not shown (output was blocked); see <session file>".
// A line is printed once the session file holds it, so that whatever a
// reader has seen survives a kill (a disk that takes more than a second is
// not waited for).
//
// When the descriptor refuses for good (the reader has gone: EPIPE) nothing
// more is printed and `onGone` is called once, from the printer's thread,
// with the error. SIGPIPE is blocked on that thread, so the write fails
// instead of killing the process whatever the program's signal handling.
class LinePrinter {
public:
    static constexpr std::size_t defaultLimit = 256 * 1024;
    using GoneHandler = std::function<void(int error)>;

    LinePrinter(int fd, std::shared_ptr<const monitor::SessionLog> session, GoneHandler onGone,
                std::size_t limit = defaultLimit);
    // finish() with a second's patience.
    ~LinePrinter();

    LinePrinter(const LinePrinter&) = delete;
    LinePrinter& operator=(const LinePrinter&) = delete;

    // Queues line number `index` of the log (its number in the session
    // file). Never waits for the reader.
    void print(std::uint64_t index, std::string_view line);

    // Prints what is queued for at most `patience`, then stops: a reader
    // that does not read is not waited for at exit. `onGone` is not called
    // after this returns.
    void finish(std::chrono::milliseconds patience);

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace vorn::tools
