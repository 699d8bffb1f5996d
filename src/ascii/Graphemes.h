#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace vorn::ascii {

// User-perceived characters (extended grapheme clusters) of UTF-8 text: an
// "e" with a combining accent, a flag or a family emoji joined with ZWJ each
// count as one. Ill-formed bytes never fail; each one counts as a replacement
// character of its own.

std::size_t graphemeCount(std::string_view utf8);

// The first `count` user-perceived characters of `utf8`, byte for byte as they
// were given; the whole text when it holds no more than `count`.
std::string graphemePrefix(std::string_view utf8, std::size_t count);

// Calls `visit` with each user-perceived character of `utf8` in order, as a
// view of the bytes it was given.
void forEachGrapheme(std::string_view utf8, const std::function<void(std::string_view)>& visit);

}  // namespace vorn::ascii
