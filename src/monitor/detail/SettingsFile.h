#pragma once

// The file operations behind JsonSettingsStore: reading, replacing, moving
// aside and locking one settings file, each telling why it failed rather
// than throwing.

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace vorn::monitor::detail {

// What a file is, as far as telling that it was replaced or rewritten goes:
// a rename gives a new inode, a write in place a new modification time.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    friend bool operator==(const FileIdentity& a, const FileIdentity& b) noexcept;
};

// The identity of what `path` names, through symbolic links; nothing when
// there is nothing there (or it cannot be looked at).
std::optional<FileIdentity> identityOf(const std::filesystem::path& path);

// The file that a write to `path` must replace: `path` itself, or what its
// chain of symbolic links ends at, even when that does not exist yet.
std::filesystem::path writeTarget(const std::filesystem::path& path);

// The whole contents of `path` in `text`. 0 on success, ENOENT when there is
// nothing there, EISDIR for a folder, else the errno that stopped it.
int readWhole(const std::filesystem::path& path, std::string& text);

// Writes `contents` to a new file beside `target` and renames it over
// `target`, creating the folder if need be. Returns an empty string on
// success, else why it failed.
std::string replaceAtomically(const std::filesystem::path& target, std::string_view contents);

// Renames `from` to `<from>.bad-<time>` (with a counter if that is taken) and
// returns the new name; never replaces an existing file. On failure, says why
// in `error`.
std::optional<std::filesystem::path> moveAside(const std::filesystem::path& from, std::string& error);

// An advisory lock on `.<name>.lock` beside a settings file, held for the
// life of the object, so that programs sharing the file read, change and
// replace it one after the other. Best effort: if the lock file cannot be
// made, or another holder keeps it for more than a moment, the object holds
// nothing and the caller goes ahead unlocked rather than lose its change.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& file);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool held() const noexcept { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

}  // namespace vorn::monitor::detail
