#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vorn::monitor {

// A stored value keeps its type: an integer stays an integer, a double a
// double, a Boolean a Boolean and a text a string.
using SettingsValue = std::variant<bool, std::int64_t, double, std::string>;

// The per-user defaults store. Implementations keep values across runs (or
// not, in tests) and are safe to use from any thread.
class SettingsStore {
public:
    SettingsStore() = default;
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;
    virtual ~SettingsStore() = default;

    // The stored value, or nothing when the key is absent.
    virtual std::optional<SettingsValue> objectForKey(std::string_view key) const = 0;

    // Stores `value` under `key`; whether and when it is persisted is the
    // store's business, and failures never reach the caller.
    virtual void setObject(SettingsValue value, std::string_view key) = 0;

    // Takes in what other programs changed in the persisted values since the
    // last look. True when a value may read differently now. A store that no
    // other program shares has nothing to take in.
    virtual bool refresh() { return false; }

    // The text under `key`; nothing when absent or not a text.
    std::optional<std::string> stringForKey(std::string_view key) const;

    // 0 when absent. Integers as they are; doubles truncated toward zero when
    // they fit, else 0; Booleans 0 or 1; texts holding a decimal integer (blanks
    // around it allowed) that number, other texts 0.
    std::int64_t integerForKey(std::string_view key) const;

    // false when absent. Booleans as they are; numbers true when non-zero;
    // texts true when "true", "yes" or "1" in any case.
    bool boolForKey(std::string_view key) const;
};

// A store that lives only as long as the object.
class MemorySettingsStore final : public SettingsStore {
public:
    std::optional<SettingsValue> objectForKey(std::string_view key) const override;
    void setObject(SettingsValue value, std::string_view key) override;

private:
    mutable std::mutex mutex_;
    std::map<std::string, SettingsValue, std::less<>> values_;
};

}  // namespace vorn::monitor
