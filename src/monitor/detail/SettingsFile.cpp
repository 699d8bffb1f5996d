#include "monitor/detail/SettingsFile.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace vorn::monitor::detail {

namespace fs = std::filesystem;

namespace {

std::string errnoText(int error) {
    return std::strerror(error);
}

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::string timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

fs::path folderOf(const fs::path& file) {
    fs::path folder = file.parent_path();
    return folder.empty() ? fs::path(".") : folder;
}

}  // namespace

bool operator==(const FileIdentity& a, const FileIdentity& b) noexcept {
    return a.device == b.device && a.inode == b.inode && a.size == b.size && sameTime(a.modified, b.modified) &&
           sameTime(a.changed, b.changed);
}

std::optional<FileIdentity> identityOf(const fs::path& path) {
    struct stat status{};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return FileIdentity{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

fs::path writeTarget(const fs::path& path) {
    fs::path target = path;
    // As many links as the kernel follows itself; a loop ends here and the
    // write then fails with the kernel's own reason.
    for (int hop = 0; hop < 40; ++hop) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(target, ec))) {
            break;
        }
        const fs::path next = fs::read_symlink(target, ec);
        if (ec) {
            break;
        }
        target = next.is_absolute() ? next : folderOf(target) / next;
    }
    return target.lexically_normal();
}

int readWhole(const fs::path& path, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    text.clear();
    char buffer[16384];
    int error = 0;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    ::close(fd);
    return error;
}

std::string replaceAtomically(const fs::path& target, std::string_view contents) {
    const fs::path folder = folderOf(target);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        return "cannot create " + folder.string() + ": " + ec.message();
    }

    mode_t mode = 0644;
    if (struct stat existing{}; ::stat(target.c_str(), &existing) == 0) {
        mode = existing.st_mode & 07777;
    }

    std::string temporary = (folder / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        return "cannot create a file in " + folder.string() + ": " + errnoText(errno);
    }
    std::string failure;
    if (!writeAll(fd, contents)) {
        failure = errnoText(errno);
    } else if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) {
        failure = errnoText(errno);
    }
    if (::close(fd) != 0 && failure.empty()) {
        failure = errnoText(errno);
    }
    if (failure.empty() && ::rename(temporary.c_str(), target.c_str()) != 0) {
        failure = errnoText(errno);
    }
    if (!failure.empty()) {
        ::unlink(temporary.c_str());
        return failure;
    }
    // Make the rename itself durable; the data is already safe either way.
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

std::optional<fs::path> moveAside(const fs::path& from, std::string& error) {
    const std::string stem = from.string() + ".bad-" + timestamp();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path to = attempt == 0 ? fs::path(stem) : fs::path(stem + "-" + std::to_string(attempt));
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
            return to;
        }
        if (errno == EEXIST) {
            continue;
        }
        if (errno != EINVAL && errno != ENOSYS) {
            error = errnoText(errno);
            return std::nullopt;
        }
        // The file system cannot refuse to replace; look before renaming.
        std::error_code ec;
        if (fs::exists(to, ec) || ec) {
            continue;
        }
        fs::rename(from, to, ec);
        if (!ec) {
            return to;
        }
        error = ec.message();
        return std::nullopt;
    }
    error = "no free name to move it to";
    return std::nullopt;
}

FileLock::FileLock(const fs::path& file) {
    const fs::path folder = folderOf(file);
    std::error_code ec;
    fs::create_directories(folder, ec);
    const fs::path lockFile = folder / ("." + file.filename().string() + ".lock");
    fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        return;
    }
    // A holder only reads, merges and renames a small file; two seconds means
    // it is stuck, and a stuck program must not freeze this one.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            held_ = true;
            return;
        }
        if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= giveUp) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) {
        // Closing releases the lock.
        ::close(fd_);
    }
}

}  // namespace vorn::monitor::detail
