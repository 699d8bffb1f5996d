#pragma once

#include <string>
#include <string_view>

namespace vorn::ascii {

// Text from the network made safe to print as one line of a log or a
// terminal: nothing in it can move the cursor, end the line, ring the bell or
// start a terminal command sequence.
//
// Printable ASCII and well-formed UTF-8 stay byte for byte. Each byte of a
// control character (C0 0x00 to 0x1F, DEL 0x7F, and C1 U+0080 to U+009F,
// whose UTF-8 is two bytes) and each byte that is not part of well-formed
// UTF-8 becomes a visible escape `\xHH` with two upper-case hexadecimal
// digits: ESC is `\x1B`, the C1 CSI U+009B is `\xC2\x9B`.
//
// A backslash stays as it is too, unless it would then read as the start of
// an escape: before an `x`, another backslash or an escaped byte it is written
// `\\`. So the line reads back without doubt, left to right: `\\` is one
// backslash, `\xHH` one byte, any other backslash itself; and a path such as
// `C:\show\cues` is printed unchanged.
std::string visibleText(std::string_view bytes);

}  // namespace vorn::ascii
