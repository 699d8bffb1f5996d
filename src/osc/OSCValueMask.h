#pragma once

#include "base/SharedBytes.h"
#include "osc/OSCTimeTag.h"
#include "osc/OSCValue.h"

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace vorn::osc {

// What a receiver expects at one argument position. The order is part of the
// interface: the 16 plain tokens, then the same 16 as optional forms, each at
// its plain token's index + 16. `boolean` and `float64` stand for the Boolean
// and 64-bit float tokens, whose natural names are C++ keywords.
enum class OSCValueToken : std::uint8_t {
    blob,
    float32,
    int32,
    string,
    array,
    boolean,
    character,
    float64,
    int64,
    impulse,
    midi,
    null,
    stringAlt,
    timeTag,
    number,        // float32, int32, float64 or int64
    numberOrBool,  // a number, a Boolean, or an AnyOSCNumberValue
    blobOptional,
    float32Optional,
    int32Optional,
    stringOptional,
    arrayOptional,
    booleanOptional,
    characterOptional,
    float64Optional,
    int64Optional,
    impulseOptional,
    midiOptional,
    nullOptional,
    stringAltOptional,
    timeTagOptional,
    numberOptional,
    numberOrBoolOptional,
};

inline constexpr std::size_t oscValueTokenCount = 32;
inline constexpr std::size_t plainOSCValueTokenCount = 16;

// Every token, in enum order.
inline constexpr std::array<OSCValueToken, oscValueTokenCount> allOSCValueTokens = [] {
    std::array<OSCValueToken, oscValueTokenCount> tokens{};
    for (std::size_t i = 0; i < tokens.size(); ++i) tokens[i] = static_cast<OSCValueToken>(i);
    return tokens;
}();

constexpr bool isOptional(OSCValueToken token) noexcept {
    return static_cast<std::size_t>(token) >= plainOSCValueTokenCount;
}
// `int32Optional` gives `int32`; a plain token gives itself.
constexpr OSCValueToken requiredForm(OSCValueToken token) noexcept {
    return isOptional(token) ? static_cast<OSCValueToken>(static_cast<std::size_t>(token) - plainOSCValueTokenCount)
                             : token;
}
// `int32` gives `int32Optional`; an optional token gives itself.
constexpr OSCValueToken optionalForm(OSCValueToken token) noexcept {
    return isOptional(token) ? token
                             : static_cast<OSCValueToken>(static_cast<std::size_t>(token) + plainOSCValueTokenCount);
}

// The case's name, e.g. "int32Optional". Not `description`: an empty brace
// list would pick this overload over the one for lists of values.
std::string_view name(OSCValueToken token) noexcept;

namespace detail {
// Integer types that a 32- or 64-bit argument may be narrowed or widened to.
// Character and Boolean types are not numbers here.
template <class T>
concept ExtractableInteger =
    std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> && !std::same_as<T, wchar_t> &&
    !std::same_as<T, char8_t> && !std::same_as<T, char16_t> && !std::same_as<T, char32_t>;
}  // namespace detail

// What a number or number-or-bool position yields when extracted: the value
// widened to the largest type of its family, so callers handle three cases
// instead of five.
struct AnyOSCNumberValue {
    using OSCNumberValueBase = std::variant<bool, std::int64_t, double>;

    OSCNumberValueBase base;

    constexpr explicit AnyOSCNumberValue(bool value) noexcept : base(value) {}
    // Only integer types that std::int64_t holds whole.
    template <detail::ExtractableInteger T>
        requires(std::is_signed_v<T> || sizeof(T) < sizeof(std::int64_t))
    constexpr explicit AnyOSCNumberValue(T value) noexcept : base(static_cast<std::int64_t>(value)) {}
    template <std::floating_point T>
    constexpr explicit AnyOSCNumberValue(T value) noexcept : base(static_cast<double>(value)) {}

    // The case held, or nothing for the other two.
    constexpr std::optional<bool> boolValue() const noexcept { return value<bool>(); }
    constexpr std::optional<std::int64_t> intValue() const noexcept { return value<std::int64_t>(); }
    constexpr std::optional<double> floatValue() const noexcept { return value<double>(); }

    // As the value would read in a message: 42, 0.5, true.
    std::string description() const;

    friend constexpr bool operator==(const AnyOSCNumberValue&, const AnyOSCNumberValue&) = default;

private:
    template <class T>
    constexpr std::optional<T> value() const noexcept {
        if (const T* v = std::get_if<T>(&base)) return *v;
        return std::nullopt;
    }
};

namespace detail {
template <class T>
inline constexpr std::optional<OSCValueToken> ownToken = std::nullopt;
template <> inline constexpr std::optional<OSCValueToken> ownToken<SharedBytes> = OSCValueToken::blob;
template <> inline constexpr std::optional<OSCValueToken> ownToken<float> = OSCValueToken::float32;
template <> inline constexpr std::optional<OSCValueToken> ownToken<std::int32_t> = OSCValueToken::int32;
template <> inline constexpr std::optional<OSCValueToken> ownToken<std::string> = OSCValueToken::string;
template <> inline constexpr std::optional<OSCValueToken> ownToken<OSCArrayValue> = OSCValueToken::array;
template <> inline constexpr std::optional<OSCValueToken> ownToken<bool> = OSCValueToken::boolean;
template <> inline constexpr std::optional<OSCValueToken> ownToken<char32_t> = OSCValueToken::character;
template <> inline constexpr std::optional<OSCValueToken> ownToken<double> = OSCValueToken::float64;
template <> inline constexpr std::optional<OSCValueToken> ownToken<std::int64_t> = OSCValueToken::int64;
template <> inline constexpr std::optional<OSCValueToken> ownToken<OSCImpulseValue> = OSCValueToken::impulse;
template <> inline constexpr std::optional<OSCValueToken> ownToken<OSCMIDIValue> = OSCValueToken::midi;
template <> inline constexpr std::optional<OSCValueToken> ownToken<OSCNullValue> = OSCValueToken::null;
template <> inline constexpr std::optional<OSCValueToken> ownToken<OSCStringAltValue> = OSCValueToken::stringAlt;
template <> inline constexpr std::optional<OSCValueToken> ownToken<OSCTimeTag> = OSCValueToken::timeTag;
template <> inline constexpr std::optional<OSCValueToken> ownToken<AnyOSCNumberValue> = OSCValueToken::numberOrBool;
}  // namespace detail

// A type that has a token of its own: the types an OSCValue holds, except
// values of registered types, and AnyOSCNumberValue.
template <class T>
concept OSCValueMaskable = detail::ownToken<T>.has_value();

template <OSCValueMaskable T>
constexpr OSCValueToken oscValueToken() noexcept {
    return *detail::ownToken<T>;
}

// The value's own token. A value of a registered type has none: no token can
// ask for it, so it fits no mask.
std::optional<OSCValueToken> oscValueToken(const OSCValue& value) noexcept;

// An argument list does not fit the requested types.
class OSCValueMaskError : public std::runtime_error {
public:
    enum class Kind { invalidCount, mismatchedTypes };

    explicit OSCValueMaskError(Kind kind);

    static OSCValueMaskError invalidCount() { return OSCValueMaskError(Kind::invalidCount); }
    static OSCValueMaskError mismatchedTypes() { return OSCValueMaskError(Kind::mismatchedTypes); }

    Kind kind() const noexcept { return kind_; }
    // "Invalid argument count" or "Mismatched types"
    std::string description() const { return what(); }

private:
    Kind kind_;
};

// The argument list a receiver expects, for checking a message before it
// reads the values. Optional tokens may go missing at the end.
class OSCValueMask {
public:
    OSCValueMask(std::initializer_list<OSCValueToken> tokens) : tokens_(tokens) {}
    explicit OSCValueMask(std::vector<OSCValueToken> tokens) : tokens_(std::move(tokens)) {}

    const std::vector<OSCValueToken>& tokens() const noexcept { return tokens_; }

    // True when every value fits the token at its position and every token
    // without a value is optional. More values than tokens never fit.
    bool matches(std::span<const OSCValue> values) const noexcept;

    friend bool operator==(const OSCValueMask&, const OSCValueMask&) = default;

private:
    std::vector<OSCValueToken> tokens_;
};

// ---- Typed extraction -------------------------------------------------------

namespace detail {

template <class T>
struct OptionalTraits {
    static constexpr bool isOptional = false;
    using Value = T;
};
template <class T>
struct OptionalTraits<std::optional<T>> {
    static constexpr bool isOptional = true;
    using Value = T;
};

template <class T>
concept ExtractableValue = ExtractableInteger<T> || std::same_as<T, OSCValue> ||
                           (OSCValueMaskable<T> && !std::same_as<T, std::int32_t> && !std::same_as<T, std::int64_t>);

template <class... Ts>
constexpr bool optionalsOnlyAtTheEnd() {
    constexpr std::array<bool, sizeof...(Ts)> optional{OptionalTraits<Ts>::isOptional...};
    bool seenOptional = false;
    for (bool isOpt : optional) {
        if (seenOptional && !isOpt) return false;
        seenOptional = seenOptional || isOpt;
    }
    return true;
}

[[noreturn]] void throwMismatchedTypes();

template <ExtractableInteger T, class From>
T narrowed(From value) {
    if (!std::in_range<T>(value)) throwMismatchedTypes();
    return static_cast<T>(value);
}

template <ExtractableValue T>
T converted(const OSCValue& value) {
    if constexpr (std::same_as<T, OSCValue>) {
        return value;
    } else if constexpr (std::same_as<T, AnyOSCNumberValue>) {
        return std::visit(
            [](const auto& v) -> AnyOSCNumberValue {
                using V = std::remove_cvref_t<decltype(v)>;
                if constexpr (std::same_as<V, std::int32_t> || std::same_as<V, std::int64_t> ||
                              std::same_as<V, float> || std::same_as<V, double> || std::same_as<V, bool>) {
                    return AnyOSCNumberValue(v);
                } else {
                    throwMismatchedTypes();
                }
            },
            value.storage());
    } else if constexpr (ExtractableInteger<T>) {
        if (const auto* v = value.getIf<std::int32_t>()) return narrowed<T>(*v);
        if (const auto* v = value.getIf<std::int64_t>()) return narrowed<T>(*v);
        throwMismatchedTypes();
    } else {
        if (const auto* v = value.getIf<T>()) return *v;
        throwMismatchedTypes();
    }
}

template <class T>
T extractedAt(std::span<const OSCValue> values, std::size_t i) {
    using Traits = OptionalTraits<T>;
    if constexpr (Traits::isOptional) {
        if (i >= values.size()) return std::nullopt;
        return T(converted<typename Traits::Value>(values[i]));
    } else {
        return converted<T>(values[i]);
    }
}

}  // namespace detail

// The request that `extract<Ts...>` accepts: 1 to 10 types, each a type listed
// at `extract` or an std::optional of one, with no required type after an
// optional one.
template <class... Ts>
concept OSCExtractableTypes =
    sizeof...(Ts) >= 1 && sizeof...(Ts) <= 10 && detail::optionalsOnlyAtTheEnd<Ts...>() &&
    (detail::ExtractableValue<typename detail::OptionalTraits<Ts>::Value> && ...);

// The values as the requested types, checked position by position:
//
//     auto [channel, name, muted] =
//         extract<std::int32_t, std::string, std::optional<bool>>(message.values());
//
// Trailing std::optional types may be missing from the values and are then
// empty. Throws OSCValueMaskError::invalidCount when there are fewer values
// than required types or more than requested types, and mismatchedTypes at
// the first value that does not convert. A value converts when it holds the
// requested type itself; an integer argument (i or h) also converts to any
// other integer type that holds it exactly. Floating-point widths and
// integers and floats never convert into each other: ask for
// AnyOSCNumberValue to take any number (or Boolean), or for OSCValue to take
// any value at all.
//
// Requestable: std::int32_t, std::int64_t and the other integer types, float,
// double, bool, std::string, SharedBytes (b), char32_t (c), OSCImpulseValue,
// OSCMIDIValue, OSCNullValue, OSCStringAltValue, OSCTimeTag, OSCArrayValue,
// AnyOSCNumberValue, OSCValue.
template <class... Ts>
std::tuple<Ts...> extract(std::span<const OSCValue> values) {
    static_assert(sizeof...(Ts) >= 1 && sizeof...(Ts) <= 10, "extract takes 1 to 10 types");
    static_assert(detail::optionalsOnlyAtTheEnd<Ts...>(),
                  "extract: a std::optional type may be followed only by other std::optional types");
    static_assert((detail::ExtractableValue<typename detail::OptionalTraits<Ts>::Value> && ...),
                  "extract: a requested type is not one a message argument converts to "
                  "(std::optional<std::optional<T>> is not one either)");

    constexpr std::size_t required = (std::size_t{0} + ... + std::size_t{!detail::OptionalTraits<Ts>::isOptional});
    if (values.size() < required || values.size() > sizeof...(Ts)) throw OSCValueMaskError::invalidCount();
    // A braced list runs left to right, so the first bad position is the one reported.
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return std::tuple<Ts...>{detail::extractedAt<Ts>(values, I)...};
    }(std::index_sequence_for<Ts...>{});
}

}  // namespace vorn::osc
