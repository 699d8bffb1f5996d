#include "tools/LinePrinter.h"

#include "monitor/SessionLog.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vorn::tools {

namespace {

constexpr auto sessionPatience = std::chrono::seconds(1);
// How often a writer blocked on a full reader looks whether it should stop.
constexpr int stopCheckMs = 100;

struct Entry {
    // Log lines carry their number; the note about missed lines has none.
    std::optional<std::uint64_t> index;
    std::string text;
};

}  // namespace

struct LinePrinter::State {
    int fd;
    std::shared_ptr<const monitor::SessionLog> session;
    GoneHandler onGone;
    std::size_t limit;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Entry> queue;
    // Bytes queued and being written.
    std::size_t bytes = 0;
    std::uint64_t dropped = 0;
    bool gone = false;
    bool finishing = false;
    bool done = false;
    std::chrono::steady_clock::time_point deadline;
    std::thread thread;

    std::string droppedNote() const {
        std::string note = "\xE2\x80\xA6 " + std::to_string(dropped) + " lines not shown (output was blocked)";
        if (session && !session->path().empty()) {
            note += "; see " + session->path().string();
        }
        return note;
    }

    bool abandoned() {
        std::lock_guard lock(mutex);
        return finishing && std::chrono::steady_clock::now() >= deadline;
    }

    // 0, or the errno that refused the bytes; ETIMEDOUT when the reader
    // held them past the deadline of finish().
    int writeOut(std::string_view data) {
        while (!data.empty()) {
            pollfd ready{fd, POLLOUT, 0};
            const int polled = ::poll(&ready, 1, stopCheckMs);
            if (polled < 0 && errno != EINTR) {
                return errno;
            }
            if (polled <= 0) {
                if (abandoned()) {
                    return ETIMEDOUT;
                }
                continue;
            }
            // No more than a pipe takes at once once it says it has room, so
            // that the write returns rather than waits for the reader.
            const ssize_t n = ::write(fd, data.data(), std::min<std::size_t>(data.size(), PIPE_BUF));
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) {
                    continue;
                }
                return errno;
            }
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return 0;
    }

    void run() {
        printAll();
        std::lock_guard lock(mutex);
        done = true;
        changed.notify_all();
    }

    void printAll() {
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return !queue.empty() || dropped > 0 || finishing; });
            if (queue.empty() && dropped > 0) {
                // The reader has taken everything that came before the lines
                // that did not fit.
                queue.push_back({std::nullopt, droppedNote()});
                bytes += queue.back().text.size() + 1;
                dropped = 0;
            }
            if (queue.empty()) {
                return;  // finishing, with nothing left
            }
            std::vector<Entry> batch(std::make_move_iterator(queue.begin()), std::make_move_iterator(queue.end()));
            queue.clear();
            lock.unlock();

            std::optional<std::uint64_t> last;
            std::string text;
            for (const auto& entry : batch) {
                if (entry.index) {
                    last = entry.index;
                }
                text.append(entry.text).push_back('\n');
            }
            if (last && session) {
                session->waitUntilWritten(*last + 1, sessionPatience);
            }
            const int error = writeOut(text);

            lock.lock();
            bytes -= text.size();
            if (error == ETIMEDOUT && finishing) {
                return;
            }
            if (error != 0) {
                gone = true;
                queue.clear();
                bytes = 0;
                dropped = 0;
                // Under the lock, so that once finish() has returned no call
                // is under way.
                if (auto handler = std::exchange(onGone, nullptr); handler && !finishing) {
                    handler(error);
                }
                return;
            }
        }
    }
};

LinePrinter::LinePrinter(int fd, std::shared_ptr<const monitor::SessionLog> session, GoneHandler onGone,
                         std::size_t limit)
    : state_(std::make_shared<State>()) {
    state_->fd = fd;
    state_->session = std::move(session);
    state_->onGone = std::move(onGone);
    state_->limit = limit;
    // The thread holds the state, so that one stuck in a write past finish()
    // can be left behind safely.
    state_->thread = std::thread([state = state_] { state->run(); });
}

LinePrinter::~LinePrinter() {
    finish(std::chrono::seconds(1));
}

void LinePrinter::print(std::uint64_t index, std::string_view line) {
    auto& state = *state_;
    std::unique_lock lock(state.mutex);
    if (state.gone || state.finishing) {
        return;
    }
    const std::size_t size = line.size() + 1;
    if (state.dropped > 0) {
        std::string note = state.droppedNote();
        if (state.bytes + note.size() + 1 + size > state.limit) {
            ++state.dropped;
            return;
        }
        state.bytes += note.size() + 1;
        state.queue.push_back({std::nullopt, std::move(note)});
        state.dropped = 0;
    } else if (state.bytes + size > state.limit) {
        ++state.dropped;
        return;
    }
    state.bytes += size;
    state.queue.push_back({index, std::string(line)});
    lock.unlock();
    state.changed.notify_one();
}

void LinePrinter::finish(std::chrono::milliseconds patience) {
    auto& state = *state_;
    {
        std::lock_guard lock(state.mutex);
        if (!state.thread.joinable()) {
            return;
        }
        state.finishing = true;
        state.deadline = std::chrono::steady_clock::now() + patience;
        state.onGone = nullptr;
    }
    state.changed.notify_all();
    // A write that the reader blocks gives up at the deadline; a terminal
    // that blocks inside write() itself is left to the end of the process.
    std::unique_lock lock(state.mutex);
    const bool ended = state.changed.wait_until(lock, state.deadline + std::chrono::milliseconds(2 * stopCheckMs),
                                                [&] { return state.done; });
    lock.unlock();
    if (ended) {
        state.thread.join();
    } else {
        state.thread.detach();
    }
}

}  // namespace vorn::tools
