#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace vorn::monitor {

// The show's log on disk: one file per start of a program, written line by
// line as the log grows, so that a crash, a kill or a power cut loses at most
// the lines of the last moment, and so that the log in memory can stay small.
//
// Lines are queued by whoever appends them and written by a thread of the
// log's own, so a slow or stuck disk never holds up the monitor. Each line
// reaches the kernel as soon as the thread gets to it (a kill loses nothing
// already written); the data is synced to the disk at most once a second.
//
// The file always holds the first lines of the log, in order, one per line:
// line k of the file is line k of the log. When it cannot take a line (the
// disk is full or unwritable, or the queue overflows because the disk has
// stopped keeping up) it stops for the rest of the session rather than leave
// a gap, and says so once through the failure handler. Nothing here throws
// once the log exists.
class SessionLog {
public:
    using Clock = std::chrono::system_clock;
    // Called at most once, from any thread, with a log line that says why
    // the file stopped.
    using FailureHandler = std::function<void(std::string line)>;

    // Files older than this are removed when a session starts.
    static constexpr auto retention = std::chrono::hours(24 * 30);
    // What may wait for the disk. At a chatty console's hundred lines a
    // second this is most of an hour of lines: a queue this full means the
    // disk has stopped.
    static constexpr std::size_t queueLimitBytes = 8 * 1024 * 1024;

    // $XDG_STATE_HOME/vorn-osc, where $XDG_STATE_HOME (when absolute)
    // defaults to ~/.local/state.
    static std::filesystem::path defaultDirectory();

    // Removes the session files in `directory` last written before
    // `now - retention`; anything else there stays. Returns how many went.
    static std::size_t prune(const std::filesystem::path& directory, Clock::time_point now);

    // Creates `directory` if needed, prunes it and opens a new file named
    // after `now` (session-YYYYmmdd-HHMMSS.log in local time, with -2, -3, …
    // when a file of that name exists: another file is never overwritten).
    // When no file can be made, the log exists all the same, stopped, and
    // `onFailure` has been called.
    static std::shared_ptr<SessionLog> start(const std::filesystem::path& directory, FailureHandler onFailure,
                                             Clock::time_point now = Clock::now());

    ~SessionLog();
    SessionLog(const SessionLog&) = delete;
    SessionLog& operator=(const SessionLog&) = delete;

    // The file, or empty when none could be made.
    const std::filesystem::path& path() const noexcept { return path_; }

    // Any thread. Queues one line (a line feed inside it is written as
    // "\x0A", so that the file keeps one log line per line). Never waits for
    // the disk.
    void write(std::string_view line);

    // Lines that are in the file.
    std::uint64_t linesWritten() const;
    // True once the file has stopped taking lines.
    bool stopped() const;

    // Waits until `count` lines are in the file, the file has stopped or
    // `timeout` has passed; true when the lines are there.
    bool waitUntilWritten(std::uint64_t count, std::chrono::milliseconds timeout) const;

    // Writes what is queued, syncs, and ends the writing thread; later lines
    // are dropped and the failure handler is never called again. Call before
    // whatever the handler reaches goes away.
    void close();

    // Reads back the first `count` lines of the file, joined by line feeds
    // with none after the last, and hands them to `sink` in pieces. Returns
    // how many lines it found (fewer than `count` when the file stopped
    // early). Any thread.
    std::uint64_t readLines(std::uint64_t count, const std::function<void(std::string_view)>& sink) const;

private:
    struct Key {};

public:
    SessionLog(Key, std::filesystem::path path, int fd, FailureHandler onFailure);

private:
    void run();
    void fail(std::string reason);

    const std::filesystem::path path_;
    int fd_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string pending_;
    std::uint64_t pendingLines_ = 0;
    std::uint64_t written_ = 0;
    bool stopped_ = false;
    bool closing_ = false;
    FailureHandler onFailure_;
    std::thread writer_;
};

}  // namespace vorn::monitor
