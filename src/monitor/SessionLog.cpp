#include "monitor/SessionLog.h"

#include "monitor/detail/UserDirectories.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vorn::monitor {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view stoppedPrefix = "\xE2\x9A\xA0\xEF\xB8\x8F Session log stopped: ";
constexpr std::string_view filePrefix = "session-";
constexpr std::string_view fileSuffix = ".log";
constexpr auto syncPeriod = std::chrono::seconds(1);

std::string describe(const fs::path& path, int error) {
    return path.string() + ": " + std::strerror(error);
}

std::string stamp(SessionLog::Clock::time_point now) {
    const std::time_t seconds = SessionLog::Clock::to_time_t(now);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    std::array<char, 32> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y%m%d-%H%M%S", &local);
    return {text.data(), length};
}

bool isSessionFile(const fs::path& path) {
    const std::string name = path.filename().string();
    return name.size() > filePrefix.size() + fileSuffix.size() && name.starts_with(filePrefix) &&
           name.ends_with(fileSuffix);
}

// Writes all of `bytes`; 0 or the errno of the failure.
int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

}  // namespace

fs::path SessionLog::defaultDirectory() {
    return detail::programDirectory("XDG_STATE_HOME", fs::path(".local") / "state");
}

std::size_t SessionLog::prune(const fs::path& directory, Clock::time_point now) {
    std::size_t removed = 0;
    std::error_code error;
    fs::directory_iterator entries(directory, error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        const fs::directory_entry& entry = *entries;
        std::error_code ignored;
        if (!isSessionFile(entry.path()) || !entry.is_regular_file(ignored)) {
            continue;
        }
        const auto written = entry.last_write_time(ignored);
        if (ignored) {
            continue;
        }
        if (std::chrono::file_clock::to_sys(written) < now - retention && fs::remove(entry.path(), ignored)) {
            ++removed;
        }
    }
    return removed;
}

std::shared_ptr<SessionLog> SessionLog::start(const fs::path& directory, FailureHandler onFailure,
                                              Clock::time_point now) {
    std::error_code error;
    fs::create_directories(directory, error);
    if (!error) {
        // Logs hold addresses of the show's network: the owner's alone.
        fs::permissions(directory, fs::perms::owner_all, fs::perm_options::replace, error);
        error.clear();
        prune(directory, now);
    }
    const std::string base = std::string(filePrefix) + stamp(now);
    fs::path path;
    int fd = -1;
    int failure = error ? error.value() : 0;
    for (int attempt = 1; !error && attempt <= 100; ++attempt) {
        path = directory / (base + (attempt == 1 ? "" : "-" + std::to_string(attempt)) + std::string(fileSuffix));
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) {
            failure = fd >= 0 ? 0 : errno;
            break;
        }
        failure = EEXIST;
    }
    if (fd < 0) {
        auto log = std::make_shared<SessionLog>(Key{}, fs::path(), -1, nullptr);
        if (onFailure) {
            onFailure(std::string(stoppedPrefix) + describe(error ? directory : path, failure));
        }
        return log;
    }
    return std::make_shared<SessionLog>(Key{}, std::move(path), fd, std::move(onFailure));
}

SessionLog::SessionLog(Key, fs::path path, int fd, FailureHandler onFailure)
    : path_(std::move(path)), fd_(fd), stopped_(fd < 0), onFailure_(std::move(onFailure)) {
    if (fd_ >= 0) {
        writer_ = std::thread([this] { run(); });
    }
}

SessionLog::~SessionLog() {
    close();
}

void SessionLog::close() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
    std::lock_guard lock(mutex_);
    onFailure_ = nullptr;
    if (fd_ >= 0) {
        ::close(std::exchange(fd_, -1));
    }
}

void SessionLog::write(std::string_view line) {
    std::unique_lock lock(mutex_);
    if (stopped_ || closing_) {
        return;
    }
    if (pending_.size() + line.size() + 1 > queueLimitBytes) {
        lock.unlock();
        fail(path_.string() + ": the disk has not taken a line for too long");
        return;
    }
    for (std::size_t at = 0;;) {
        const std::size_t feed = line.find('\n', at);
        if (feed == std::string_view::npos) {
            pending_.append(line.substr(at));
            break;
        }
        pending_.append(line.substr(at, feed - at)).append("\\x0A");
        at = feed + 1;
    }
    pending_.push_back('\n');
    ++pendingLines_;
    lock.unlock();
    changed_.notify_all();
}

std::uint64_t SessionLog::linesWritten() const {
    std::lock_guard lock(mutex_);
    return written_;
}

bool SessionLog::stopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

bool SessionLog::waitUntilWritten(std::uint64_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return written_ >= count || stopped_ || fd_ < 0; });
    return written_ >= count;
}

void SessionLog::fail(std::string reason) {
    FailureHandler handler;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
        pending_.clear();
        pending_.shrink_to_fit();
        pendingLines_ = 0;
        handler = std::exchange(onFailure_, nullptr);
    }
    changed_.notify_all();
    if (handler) {
        handler(std::string(stoppedPrefix) + reason);
    }
}

void SessionLog::run() {
    auto lastSync = std::chrono::steady_clock::now();
    bool unsynced = false;
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait_for(lock, syncPeriod, [this] { return !pending_.empty() || closing_; });
        if (!pending_.empty()) {
            std::string batch;
            batch.swap(pending_);
            const std::uint64_t lines = std::exchange(pendingLines_, 0);
            lock.unlock();
            const int error = writeAll(fd_, batch);
            if (error != 0) {
                fail(describe(path_, error));
                return;
            }
            lock.lock();
            written_ += lines;
            unsynced = true;
            changed_.notify_all();
        }
        const bool finishing = closing_ && pending_.empty();
        const auto now = std::chrono::steady_clock::now();
        if (unsynced && (finishing || now - lastSync >= syncPeriod)) {
            lock.unlock();
            // For a power cut; a crash or a kill loses nothing once the
            // write above has returned.
            ::fdatasync(fd_);
            lock.lock();
            unsynced = false;
            lastSync = now;
        }
        if (finishing) {
            return;
        }
    }
}

std::uint64_t SessionLog::readLines(std::uint64_t count, const std::function<void(std::string_view)>& sink) const {
    if (count == 0 || path_.empty()) {
        return 0;
    }
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    std::vector<char> buffer(64 * 1024);
    std::uint64_t found = 0;
    // The start of a line that the last read cut off.
    std::string carry;
    bool first = true;
    while (found < count) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        const char* begin = buffer.data();
        const char* end = begin + n;
        // The line feed that ends the last whole line wanted from this piece.
        const char* last = nullptr;
        for (const char* at = begin; found < count;) {
            const void* feed = std::memchr(at, '\n', static_cast<std::size_t>(end - at));
            if (feed == nullptr) {
                break;
            }
            last = static_cast<const char*>(feed);
            at = last + 1;
            ++found;
        }
        if (last == nullptr) {
            carry.append(begin, end);
            continue;
        }
        if (!first) {
            sink("\n");
        }
        first = false;
        if (!carry.empty()) {
            sink(carry);
            carry.clear();
        }
        sink(std::string_view(begin, static_cast<std::size_t>(last - begin)));
        if (found < count) {
            carry.assign(last + 1, end);
        }
    }
    ::close(fd);
    return found;
}

}  // namespace vorn::monitor
