#pragma once

#include "monitor/SettingsStore.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

namespace vorn::monitor {

// The per-user defaults store: one JSON object in one file, which the desktop
// app and the terminal monitor may have open at the same time.
//
// The file is read when the store is made. A write replaces only the keys
// that this program set, on top of what the file holds at that moment, under
// an advisory lock on a file beside it, so that two programs on one file keep
// each other's changes; the file is replaced atomically, so a crash or a full
// disk leaves either the old file or the new one, never a mix. refresh()
// takes in what other programs wrote since. Keys this program does not know,
// and values of kinds it does not read, are kept as they were found. A write
// through a symbolic link replaces what the link points to (creating it if
// need be), never the link.
//
// Nothing here throws once the store exists. A file that is not a JSON object
// is moved aside (never deleted) and the store starts empty; a write that
// fails keeps the value in memory and tries again with the next one. Each of
// these is told once, on standard error, after the name of the program.
class JsonSettingsStore final : public SettingsStore {
public:
    enum class Access {
        readWrite,
        // Reads, and changes only the store's memory: never writes, moves or
        // locks anything on disk. For looking at the settings, as --help does.
        readOnly,
    };

    // `program` begins every message the store prints.
    explicit JsonSettingsStore(std::filesystem::path file, std::string program = "vorn-osc",
                               Access access = Access::readWrite);
    ~JsonSettingsStore() override;

    // $XDG_CONFIG_HOME/vorn-osc/settings.json, where $XDG_CONFIG_HOME defaults
    // to ~/.config.
    static std::filesystem::path defaultPath();

    const std::filesystem::path& path() const noexcept { return path_; }

    std::optional<SettingsValue> objectForKey(std::string_view key) const override;
    void setObject(SettingsValue value, std::string_view key) override;
    bool refresh() override;

private:
    struct Document;

    void load();
    void save();
    std::string said() const;

    const std::filesystem::path path_;
    const std::string program_;
    const Access access_;
    mutable std::mutex mutex_;
    std::unique_ptr<Document> document_;
    // Set when an unreadable file could not be moved aside: writing would
    // destroy it, so changes stay in memory.
    bool mustNotWrite_ = false;
    bool writeFailureReported_ = false;
};

}  // namespace vorn::monitor
