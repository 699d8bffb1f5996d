#pragma once

#include "dispatch/Cancellable.h"
#include "dispatch/Published.h"
#include "dispatch/Signal.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace vorn::monitor {

// The monitor's event log: text lines, oldest first, only ever appended.
//
// Published like a property, but a view is told about each new line rather
// than handed the whole list again, so that a log of millions of lines costs
// the same per append as an empty one. The lines sit in a deque: growing never
// moves the ones already there, so no append stalls the main thread to copy
// a million lines. Appending first tells the owner's
// observers, then the subscribers (the log does not hold the line yet), then
// stores it. Not synchronised: the owner appends and reads on one thread.
class LogLines {
public:
    // Called with the position the line is about to take and the line.
    using Subscriber = std::function<void(std::size_t index, const std::string& line)>;

    explicit LogLines(dispatch::ObjectWillChange* owner = nullptr);

    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    void append(std::string line);

    std::size_t size() const noexcept { return lines_.size(); }
    bool empty() const noexcept { return lines_.empty(); }
    const std::string& operator[](std::size_t index) const { return lines_[index]; }
    const std::string& back() const { return lines_.back(); }

    // A copy of every line, oldest first: what an export writes.
    std::vector<std::string> lines() const { return {lines_.begin(), lines_.end()}; }

    // Calls `subscriber` for every line appended from now on, until the
    // handle is cancelled or destroyed. Lines already there are not replayed.
    [[nodiscard]] dispatch::Cancellable subscribe(Subscriber subscriber);

private:
    std::deque<std::string> lines_;
    dispatch::ObjectWillChange* owner_;
    dispatch::Signal<std::size_t, std::string> appended_;
};

}  // namespace vorn::monitor
