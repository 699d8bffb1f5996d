#pragma once

#include "monitor/SettingsStore.h"

#include <filesystem>
#include <memory>
#include <mutex>

namespace vorn::monitor {

// The per-user defaults store: one JSON object in one file.
//
// The file is read once, when the store is made; from then on the store is
// the source of truth and every setObject() replaces the whole file
// atomically, so a crash or a full disk leaves either the old file or the new
// one, never a mix. Keys this program does not know, and values of kinds it
// does not read, are written back as they were found.
//
// Nothing here throws once the store exists. A file that is not a JSON object
// is moved aside (never deleted) and the store starts empty; a write that
// fails keeps the value in memory. Each of these is told once, on standard
// error.
class JsonSettingsStore final : public SettingsStore {
public:
    explicit JsonSettingsStore(std::filesystem::path file);
    ~JsonSettingsStore() override;

    // $XDG_CONFIG_HOME/vorn-osc/settings.json, where $XDG_CONFIG_HOME defaults
    // to ~/.config.
    static std::filesystem::path defaultPath();

    const std::filesystem::path& path() const noexcept { return path_; }

    std::optional<SettingsValue> objectForKey(std::string_view key) const override;
    void setObject(SettingsValue value, std::string_view key) override;

private:
    struct Document;

    void load();
    void save();

    const std::filesystem::path path_;
    mutable std::mutex mutex_;
    std::unique_ptr<Document> document_;
    // Set when an unreadable file could not be moved aside: writing would
    // destroy it, so changes stay in memory.
    bool mustNotWrite_ = false;
    bool writeFailureReported_ = false;
};

}  // namespace vorn::monitor
