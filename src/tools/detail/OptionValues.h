#pragma once

// What the command-line tools share in reading option values: values are
// taken as typed and checked here, so that a bad one is told in our words,
// on one line, rather than as a conversion failure.

#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdint>
#include <optional>
#include <ostream>
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

// Reads a tool's command line into `Result` ({options, exit code}), the same
// way for every tool: --help shows `app`'s help on `out` once `beforeHelp`
// has filled in what it needs, and exits 0; anything CLI11 or `read` refuses
// is one line on `err` after the program's name, and exit code 2. `read`
// turns what was parsed into the result and throws BadValue for a bad value.
template <typename Result, typename BeforeHelp, typename Read>
Result parseCommandLine(CLI::App& app, std::string_view program, int argc, const char* const argv[],
                        std::ostream& out, std::ostream& err, BeforeHelp&& beforeHelp, Read&& read) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        beforeHelp();
        out << app.help() << std::flush;
        return {std::nullopt, 0};
    } catch (const CLI::ParseError& error) {
        err << program << ": " << error.what() << " (see --help)\n" << std::flush;
        return {std::nullopt, 2};
    }
    try {
        return read();
    } catch (const BadValue& bad) {
        err << program << ": " << bad.message << '\n' << std::flush;
        return {std::nullopt, 2};
    }
}

}  // namespace vorn::tools::detail
