#pragma once

#include "dispatch/Cancellable.h"
#include "dispatch/Published.h"
#include "dispatch/Signal.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::monitor {

class SessionLog;

// Everything an export needs, taken at one moment: the oldest lines are read
// back from the session file, the newest copied from memory.
struct LogSnapshot {
    std::shared_ptr<SessionLog> session;
    // The log's first lines, to be read back from `session`.
    std::uint64_t fromFile = 0;
    // Lines that went from memory before any session file took them.
    std::uint64_t lostBefore = 0;
    std::vector<std::string> inMemory;

    // The whole log as an export saves it: the lines joined by one line feed,
    // none after the last, handed to `sink` in pieces. Lines the file should
    // hold but does not (it stopped) are replaced by one line that says how
    // many are missing.
    void write(const std::function<void(std::string_view)>& sink) const;
};

// The monitor's event log: text lines, oldest first, only ever appended.
//
// Published like a property, but a view is told about each new line rather
// than handed the whole list again, so that a log of millions of lines costs
// the same per append as an empty one. Appending first tells the owner's
// observers, then the subscribers (the log does not hold the line yet), then
// stores it. Not synchronised: the owner appends and reads on one thread.
//
// Memory holds only the newest `memoryLimit()` lines; a show's whole log lives
// in the session file that `recordTo()` attaches, from which an export reads
// back what memory no longer holds. Lines keep their number in the whole log:
// `firstIndex()` is the number of the oldest line still in memory, and
// `operator[]` counts from there.
class LogLines {
public:
    // About ten megabytes of lines: far more than anyone scrolls back through
    // in the window, and a small part of a 12-hour show at a hundred lines a
    // second.
    static constexpr std::size_t defaultMemoryLimit = 100'000;

    // Called with the line's number in the whole log and the line.
    using Subscriber = std::function<void(std::size_t index, const std::string& line)>;

    explicit LogLines(dispatch::ObjectWillChange* owner = nullptr);
    ~LogLines();

    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    void append(std::string line);

    // Lines in memory.
    std::size_t size() const noexcept { return lines_.size(); }
    bool empty() const noexcept { return lines_.empty(); }
    const std::string& operator[](std::size_t index) const { return lines_[index]; }
    const std::string& back() const { return lines_.back(); }
    // The number of the oldest line in memory: how many have left it.
    std::uint64_t firstIndex() const noexcept { return firstIndex_; }
    // Lines appended since the log began.
    std::uint64_t count() const noexcept { return firstIndex_ + lines_.size(); }

    // A copy of the lines in memory, oldest first.
    std::vector<std::string> lines() const { return {lines_.begin(), lines_.end()}; }

    // The whole log, for an export.
    LogSnapshot snapshot() const;

    std::size_t memoryLimit() const noexcept { return memoryLimit_; }
    // Drops the oldest lines beyond `limit` at once and from then on; 0
    // keeps none (the lines still reach the subscribers and the file).
    void setMemoryLimit(std::size_t limit);

    // Writes the lines in memory to `session` and every later line as it is
    // appended.
    void recordTo(std::shared_ptr<SessionLog> session);
    const std::shared_ptr<SessionLog>& session() const noexcept { return session_; }

    // Calls `subscriber` for every line appended from now on, until the
    // handle is cancelled or destroyed. Lines already there are not replayed.
    [[nodiscard]] dispatch::Cancellable subscribe(Subscriber subscriber);

private:
    void trim();

    std::deque<std::string> lines_;
    std::uint64_t firstIndex_ = 0;
    std::size_t memoryLimit_ = defaultMemoryLimit;
    std::shared_ptr<SessionLog> session_;
    // The number of the line that the session file starts with.
    std::uint64_t sessionStart_ = 0;
    dispatch::ObjectWillChange* owner_;
    dispatch::Signal<std::size_t, std::string> appended_;
};

}  // namespace vorn::monitor
