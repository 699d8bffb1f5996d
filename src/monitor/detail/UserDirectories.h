#pragma once

// Where this user's files go, by the XDG base-directory rules.

#include <filesystem>

namespace vorn::monitor::detail {

// $HOME, or the password database's home when HOME is unset or empty; empty
// when neither knows.
std::filesystem::path homeDirectory();

// The folder that the XDG variable `variable` names when it holds an absolute
// path (a relative one is to be ignored, says the standard), else
// `fallback` under the home folder; with "vorn-osc" appended.
std::filesystem::path programDirectory(const char* variable, const std::filesystem::path& fallback);

}  // namespace vorn::monitor::detail
