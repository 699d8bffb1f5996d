#pragma once

#include "osc/OSCValue.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vorn::osc {

class OSCValueDecoder;
enum class OSCValueToken : std::uint8_t;

// How a value type shows in the type-tag string.
struct OSCValueTagIdentity {
    enum class Kind : std::uint8_t { atomic, variable, variadic };

    Kind kind = Kind::atomic;
    // atomic: the one tag; variable: the tags to choose from; variadic: empty.
    std::vector<char> tags;
    // variadic: how many tags a value takes, when bounded.
    std::optional<int> minCount;
    std::optional<int> maxCount;

    static OSCValueTagIdentity atomic(char tag) { return {Kind::atomic, {tag}, {}, {}}; }
    static OSCValueTagIdentity variable(std::vector<char> tags) { return {Kind::variable, std::move(tags), {}, {}}; }
    static OSCValueTagIdentity variadic(std::optional<int> minCount, std::optional<int> maxCount) {
        return {Kind::variadic, {}, minCount, maxCount};
    }

    friend bool operator==(const OSCValueTagIdentity&, const OSCValueTagIdentity&) = default;
};

// Encoders give the tag (or tags) of a value and append its bytes to `out`.
struct OSCValueAtomicEncoder {
    std::function<char(const OSCValue&, std::vector<std::uint8_t>& out)> block;
};
struct OSCValueVariableEncoder {
    std::function<char(const OSCValue&, std::vector<std::uint8_t>& out)> block;
};
struct OSCValueVariadicEncoder {
    std::function<std::vector<ASCIICharacter>(const OSCValue&, std::vector<std::uint8_t>& out)> block;
};
// monostate: the type has no encoder; encoding it fails with unexpectedEncoder.
using OSCValueEncoderBlock =
    std::variant<std::monostate, OSCValueAtomicEncoder, OSCValueVariableEncoder, OSCValueVariadicEncoder>;

// Decoders read one value at the cursor and advance it.
struct OSCValueAtomicDecoder {
    std::function<OSCValue(OSCValueDecoder&)> block;
};
struct OSCValueVariableDecoder {
    std::function<OSCValue(char tag, OSCValueDecoder&)> block;
};
// Given the tags from the value's first one to the end of the type-tag
// string: nothing when the type does not apply there, else how many tags the
// value took and the value.
struct OSCValueVariadicDecoder {
    struct Result {
        std::size_t tagCount;
        OSCValue value;
    };
    std::function<std::optional<Result>(std::span<const char> tags, OSCValueDecoder&)> block;
};
// monostate: the type cannot be decoded; decoding its tag fails as malformed.
using OSCValueDecoderBlock =
    std::variant<std::monostate, OSCValueAtomicDecoder, OSCValueVariableDecoder, OSCValueVariadicDecoder>;

// A codable value type, as the registry knows it. The built-in types carry
// their kind, which the codec uses to take a fast path instead of calling the
// blocks.
struct OSCValueType {
    std::string name;
    OSCValueTagIdentity identity;
    OSCValueEncoderBlock encoder;
    OSCValueDecoderBlock decoder;
    std::optional<OSCValueKind> builtin;
};

// The value types that decoding may produce, in a fixed order.
//
// The shared registry starts with the fourteen built-in types: i f s b T/F c
// d h I m N S t and arrays. More types may register at any time from any
// thread; decoding reads an immutable snapshot of the table, so it takes no
// lock.
class OSCSerialization {
public:
    static OSCSerialization& shared();

    // Appends `type`; throws OSCSerializationError ("Tag already registered")
    // when one of its tags is claimed already, leaving the registry unchanged.
    void registerType(std::shared_ptr<const OSCValueType> type);

    // The types that may decode `tag`, in registration order. Variadic types
    // are candidates for every tag; their decoders decide.
    std::vector<std::shared_ptr<const OSCValueType>> lookup(char tag) const;

    // Every registered type, in order.
    std::vector<std::shared_ptr<const OSCValueType>> types() const;

    // The registration of a built-in kind.
    const OSCValueType& builtin(OSCValueKind kind) const;

    struct Table;
    const Table& table() const noexcept;

private:
    OSCSerialization();
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vorn::osc

template <>
struct std::hash<vorn::osc::OSCValueTagIdentity> {
    std::size_t operator()(const vorn::osc::OSCValueTagIdentity& identity) const noexcept;
};
