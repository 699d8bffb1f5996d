#include "monitor/SettingsStore.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

namespace vorn::monitor {
namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

constexpr bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::int64_t parseInteger(std::string_view text) {
    text = trimmed(text);
    if (text.size() > 1 && text.front() == '+' && text[1] != '-') {
        text.remove_prefix(1);
    }
    std::int64_t result = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
    if (error != std::errc{} || end != text.data() + text.size()) {
        return 0;
    }
    return result;
}

std::int64_t truncateToInteger(double value) {
    // 2^63 is exact as a double; every double below it and at or above -2^63
    // truncates to a representable integer. NaN fails both comparisons.
    constexpr double limit = 9223372036854775808.0;
    if (!(value >= -limit && value < limit)) {
        return 0;
    }
    return static_cast<std::int64_t>(value);
}

bool equalsIgnoringAsciiCase(std::string_view text, std::string_view lowercase) {
    return std::ranges::equal(text, lowercase, [](char a, char b) {
        return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
    });
}

}  // namespace

std::optional<std::string> SettingsStore::stringForKey(std::string_view key) const {
    auto value = objectForKey(key);
    if (!value) {
        return std::nullopt;
    }
    if (auto* text = std::get_if<std::string>(&*value)) {
        return std::move(*text);
    }
    return std::nullopt;
}

std::int64_t SettingsStore::integerForKey(std::string_view key) const {
    const auto value = objectForKey(key);
    if (!value) {
        return 0;
    }
    return std::visit(Overloaded{
                          [](bool b) -> std::int64_t { return b ? 1 : 0; },
                          [](std::int64_t i) { return i; },
                          [](double d) { return truncateToInteger(d); },
                          [](const std::string& s) { return parseInteger(s); },
                      },
                      *value);
}

bool SettingsStore::boolForKey(std::string_view key) const {
    const auto value = objectForKey(key);
    if (!value) {
        return false;
    }
    return std::visit(Overloaded{
                          [](bool b) { return b; },
                          [](std::int64_t i) { return i != 0; },
                          [](double d) { return d != 0.0 && !std::isnan(d); },
                          [](const std::string& s) {
                              return equalsIgnoringAsciiCase(s, "true") || equalsIgnoringAsciiCase(s, "yes") ||
                                     s == "1";
                          },
                      },
                      *value);
}

std::optional<SettingsValue> MemorySettingsStore::objectForKey(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    if (found == values_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void MemorySettingsStore::setObject(SettingsValue value, std::string_view key) {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(std::string(key), std::move(value));
}

}  // namespace vorn::monitor
