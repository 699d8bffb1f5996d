#pragma once

// The built-in value types, coded without going through the registry's
// blocks. The blocks of the built-in registrations call these too.

#include "osc/OSCSerialization.h"
#include "osc/OSCValue.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vorn::osc {

class OSCValueDecoder;

namespace builtin {

// The tag of a built-in value that is not an array.
char scalarTag(const OSCValue& value) noexcept;

// Appends the bytes of a built-in value that is not an array.
void appendScalar(const OSCValue& value, std::vector<std::uint8_t>& out);

// Reads one value of a built-in kind other than array, for `tag`.
OSCValue decodeScalar(OSCValueKind kind, char tag, OSCValueDecoder& decoder);
// The same, made in place at the end of `out`.
void decodeScalarInto(OSCValueKind kind, char tag, OSCValueDecoder& decoder, std::vector<OSCValue>& out);

// Replaces `out` with the values of a message's type tags, `tags` being the
// type-tag string without its null; the commas in it are skipped.
void decodeValues(std::span<const char> tags, OSCValueDecoder& decoder, std::vector<OSCValue>& out);

// Reads an array when `tags` starts with "[", else nothing.
std::optional<OSCValueVariadicDecoder::Result> decodeArray(std::span<const char> tags, OSCValueDecoder& decoder);

}  // namespace builtin
}  // namespace vorn::osc
