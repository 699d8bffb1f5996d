#include "osc/OSCValueMask.h"

#include <memory>

namespace vorn::osc {
namespace {

constexpr std::string_view tokenNames[oscValueTokenCount] = {
    "blob",
    "float32",
    "int32",
    "string",
    "array",
    "boolean",
    "character",
    "float64",
    "int64",
    "impulse",
    "midi",
    "null",
    "stringAlt",
    "timeTag",
    "number",
    "numberOrBool",
    "blobOptional",
    "float32Optional",
    "int32Optional",
    "stringOptional",
    "arrayOptional",
    "booleanOptional",
    "characterOptional",
    "float64Optional",
    "int64Optional",
    "impulseOptional",
    "midiOptional",
    "nullOptional",
    "stringAltOptional",
    "timeTagOptional",
    "numberOptional",
    "numberOrBoolOptional",
};

constexpr bool isNumber(OSCValueToken token) {
    return token == OSCValueToken::float32 || token == OSCValueToken::int32 || token == OSCValueToken::float64 ||
           token == OSCValueToken::int64;
}

// Whether a value whose own token is `own` may stand at a position that asks
// for `wanted` (a plain token).
constexpr bool accepts(OSCValueToken wanted, OSCValueToken own) {
    switch (wanted) {
    case OSCValueToken::number:
        return isNumber(own);
    case OSCValueToken::numberOrBool:
        return isNumber(own) || own == OSCValueToken::boolean || own == OSCValueToken::numberOrBool;
    default:
        return own == wanted;
    }
}

const char* maskDescription(OSCValueMaskError::Kind kind) {
    switch (kind) {
    case OSCValueMaskError::Kind::invalidCount:
        return "Invalid argument count";
    case OSCValueMaskError::Kind::mismatchedTypes:
        return "Mismatched types";
    }
    return "Mismatched types";
}

}  // namespace

std::string_view name(OSCValueToken token) noexcept {
    const auto index = static_cast<std::size_t>(token);
    return index < oscValueTokenCount ? tokenNames[index] : std::string_view("unknown");
}

std::string AnyOSCNumberValue::description() const {
    return std::visit([](auto v) { return OSCValue(v).description(); }, base);
}

std::optional<OSCValueToken> oscValueToken(const OSCValue& value) noexcept {
    return std::visit(
        [](const auto& v) -> std::optional<OSCValueToken> {
            using V = std::remove_cvref_t<decltype(v)>;
            if constexpr (OSCValueMaskable<V>) {
                return oscValueToken<V>();
            } else {
                return std::nullopt;
            }
        },
        value.storage());
}

OSCValueMaskError::OSCValueMaskError(Kind kind) : std::runtime_error(maskDescription(kind)), kind_(kind) {}

bool OSCValueMask::matches(std::span<const OSCValue> values) const noexcept {
    if (values.size() > tokens_.size()) return false;
    for (std::size_t i = 0; i < tokens_.size(); ++i) {
        const OSCValueToken token = tokens_[i];
        if (i >= values.size()) {
            if (!isOptional(token)) return false;
            continue;
        }
        const auto own = oscValueToken(values[i]);
        if (!own || !accepts(requiredForm(token), *own)) return false;
    }
    return true;
}

namespace detail {

void throwMismatchedTypes() {
    throw OSCValueMaskError::mismatchedTypes();
}

}  // namespace detail
}  // namespace vorn::osc
