#pragma once

// What the command-line tools share in reading option values: values are
// taken as typed and checked here, so that a bad one is told in our words,
// on one line, rather than as a conversion failure.

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

namespace vorn::tools::detail {

// Told as one line after the program's name; the parser turns it into exit
// code 2.
struct BadValue {
    std::string message;
};

// A port as the settings form takes it: a whole number from `low` to 65535,
// digits only, nothing around them.
inline std::int64_t portValue(std::string_view option, const std::string& text, std::int64_t low = 1) {
    std::int64_t value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || stop != end || value < low || value > 65535) {
        throw BadValue{std::string(option) + " must be a whole number from " + std::to_string(low) +
                       " to 65535, not \"" + text + "\""};
    }
    return value;
}

}  // namespace vorn::tools::detail
