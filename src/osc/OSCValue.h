#pragma once

#include "ascii/ASCIICharacter.h"
#include "ascii/ASCIIString.h"
#include "base/SharedBytes.h"
#include "osc/OSCTimeTag.h"

#include <concepts>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace vorn::osc {

using ascii::ASCIICharacter;
using ascii::ASCIIString;

class OSCValue;
struct OSCValueType;

// Tag I: an event with no data.
struct OSCImpulseValue {
    std::string description() const { return "Impulse"; }
    friend constexpr bool operator==(OSCImpulseValue, OSCImpulseValue) noexcept { return true; }
};

// Tag N: nil.
struct OSCNullValue {
    std::string description() const { return "Null"; }
    friend constexpr bool operator==(OSCNullValue, OSCNullValue) noexcept { return true; }
};

// Tag m: four MIDI bytes, in wire order.
struct OSCMIDIValue {
    std::uint8_t portID = 0;
    std::uint8_t status = 0;
    std::uint8_t data1 = 0;
    std::uint8_t data2 = 0;

    // MIDI(portID: 1, status: 144, data1: 60, data2: 127)
    std::string description() const;
    friend constexpr bool operator==(const OSCMIDIValue&, const OSCMIDIValue&) = default;
};

// Tag S: the same text as tag s, for peers that tell the two apart.
struct OSCStringAltValue {
    std::string string;
    std::string description() const { return string; }
    friend bool operator==(const OSCStringAltValue&, const OSCStringAltValue&) = default;
};

// Tags [ and ]: a list of values, nested to any depth.
struct OSCArrayValue {
    std::vector<OSCValue> elements;
    std::string description() const;
    friend bool operator==(const OSCArrayValue&, const OSCArrayValue&);
};

// A value of a type registered at run time (see OSCSerialization). Subclass
// it for each such type; `type()` names the registration that encodes it.
class OSCCustomValue {
public:
    virtual ~OSCCustomValue() = default;
    virtual const OSCValueType& type() const = 0;
    virtual bool equals(const OSCCustomValue& other) const = 0;
    virtual std::string description() const = 0;
};

// The kinds of value that a message argument can be, in registry order.
enum class OSCValueKind : std::uint8_t {
    int32,      // i
    float32,    // f
    string,     // s
    blob,       // b
    boolean,    // T, F
    character,  // c
    float64,    // d
    int64,      // h
    impulse,    // I
    midi,       // m
    null,       // N
    stringAlt,  // S
    timeTag,    // t
    array,      // [ ]
    custom,     // a registered type
};

// One argument of an OSC message.
//
// The common types are held in place: decoding a scalar argument never
// allocates. Native types without a tag of their own are written as the core
// type that holds them: 8- and 16-bit integers as i, 32-bit unsigned as h,
// 64-bit unsigned as h when it fits (otherwise OSCEncodeError::general is
// thrown at construction, since no tag can carry it).
class OSCValue {
public:
    using Storage = std::variant<std::int32_t, float, std::string, SharedBytes, bool, char32_t, double, std::int64_t,
                                 OSCImpulseValue, OSCMIDIValue, OSCNullValue, OSCStringAltValue, OSCTimeTag,
                                 OSCArrayValue, std::shared_ptr<const OSCCustomValue>>;

    OSCValue() : storage_(OSCNullValue{}) {}

    OSCValue(std::int32_t v) : storage_(v) {}                  // NOLINT: values convert implicitly
    OSCValue(float v) : storage_(v) {}                         // NOLINT
    OSCValue(double v) : storage_(v) {}                        // NOLINT
    OSCValue(std::int64_t v) : storage_(v) {}                  // NOLINT
    OSCValue(bool v) : storage_(v) {}                          // NOLINT
    OSCValue(std::string v) : storage_(std::move(v)) {}        // NOLINT
    OSCValue(std::string_view v) : storage_(std::string(v)) {} // NOLINT
    OSCValue(const char* v) : storage_(std::string(v)) {}      // NOLINT
    OSCValue(const ASCIIString& v) : storage_(v.stringValue()) {}  // NOLINT
    OSCValue(SharedBytes v) : storage_(std::move(v)) {}        // NOLINT
    OSCValue(std::vector<std::uint8_t> v) : storage_(SharedBytes::adopt(std::move(v))) {}  // NOLINT
    OSCValue(char32_t v) : storage_(v) {}                      // NOLINT
    OSCValue(char v) : storage_(static_cast<char32_t>(static_cast<unsigned char>(v))) {}  // NOLINT
    OSCValue(const ASCIICharacter& v) : storage_(static_cast<char32_t>(v.asciiValue())) {}  // NOLINT
    OSCValue(OSCImpulseValue v) : storage_(v) {}               // NOLINT
    OSCValue(OSCMIDIValue v) : storage_(v) {}                  // NOLINT
    OSCValue(OSCNullValue v) : storage_(v) {}                  // NOLINT
    OSCValue(OSCStringAltValue v) : storage_(std::move(v)) {}  // NOLINT
    OSCValue(OSCTimeTag v) : storage_(v) {}                    // NOLINT
    OSCValue(OSCArrayValue v) : storage_(std::move(v)) {}      // NOLINT
    OSCValue(std::shared_ptr<const OSCCustomValue> v);         // NOLINT: throws OSCEncodeError::general when null
    template <class T>
        requires std::derived_from<T, OSCCustomValue>
    OSCValue(std::shared_ptr<T> v) : OSCValue(std::shared_ptr<const OSCCustomValue>(std::move(v))) {}  // NOLINT

    // Builds the held value of type T in place, e.g. a string from its bytes.
    template <class T, class... Args>
    explicit OSCValue(std::in_place_type_t<T> type, Args&&... args) : storage_(type, std::forward<Args>(args)...) {}

    // Interpolated integers.
    OSCValue(std::int8_t v) : storage_(static_cast<std::int32_t>(v)) {}    // NOLINT
    OSCValue(std::int16_t v) : storage_(static_cast<std::int32_t>(v)) {}   // NOLINT
    OSCValue(std::uint8_t v) : storage_(static_cast<std::int32_t>(v)) {}   // NOLINT
    OSCValue(std::uint16_t v) : storage_(static_cast<std::int32_t>(v)) {}  // NOLINT
    OSCValue(std::uint32_t v) : storage_(static_cast<std::int64_t>(v)) {}  // NOLINT
    // long long, where it is not the type that std::int64_t names.
    template <class T>
        requires(std::same_as<T, long long> && !std::same_as<long long, std::int64_t>)
    OSCValue(T v) : storage_(static_cast<std::int64_t>(v)) {}  // NOLINT
    OSCValue(unsigned long v);       // NOLINT: h, throws OSCEncodeError::general above the int64 maximum
    OSCValue(unsigned long long v);  // NOLINT: likewise

    OSCValueKind kind() const noexcept { return static_cast<OSCValueKind>(storage_.index()); }
    const Storage& storage() const noexcept { return storage_; }

    template <class T>
    bool is() const noexcept {
        return std::holds_alternative<T>(storage_);
    }
    // The held value; throws std::bad_variant_access for another type.
    template <class T>
    const T& get() const {
        return std::get<T>(storage_);
    }
    template <class T>
    const T* getIf() const noexcept {
        return std::get_if<T>(&storage_);
    }

    // For values of a registered type: the held value, or nullptr.
    template <class T>
        requires std::derived_from<T, OSCCustomValue>
    const T* custom() const noexcept {
        auto p = std::get_if<std::shared_ptr<const OSCCustomValue>>(&storage_);
        return p ? dynamic_cast<const T*>(p->get()) : nullptr;
    }

    // The value as text: 42, 0.5, hello, 4 bytes, [1, "x"].
    std::string description() const;
    // As in a list: text and characters quoted and escaped ("hello").
    std::string debugDescription() const;

    friend bool operator==(const OSCValue& a, const OSCValue& b);

private:
    Storage storage_;
};

// A list of values as text: [1, "x", true].
std::string description(const std::vector<OSCValue>& values);

}  // namespace vorn::osc

// Hashes agree with equality, so that values work as keys of unordered
// containers. A value of a registered type hashes by its type alone: equal
// values share it, and the type says nothing more about equality.
template <>
struct std::hash<vorn::osc::OSCImpulseValue> {
    std::size_t operator()(vorn::osc::OSCImpulseValue) const noexcept { return 0x49; }
};
template <>
struct std::hash<vorn::osc::OSCNullValue> {
    std::size_t operator()(vorn::osc::OSCNullValue) const noexcept { return 0x4E; }
};
template <>
struct std::hash<vorn::osc::OSCMIDIValue> {
    std::size_t operator()(const vorn::osc::OSCMIDIValue& v) const noexcept {
        return std::hash<std::uint32_t>{}(std::uint32_t{v.portID} << 24 | std::uint32_t{v.status} << 16 |
                                          std::uint32_t{v.data1} << 8 | v.data2);
    }
};
template <>
struct std::hash<vorn::osc::OSCStringAltValue> {
    std::size_t operator()(const vorn::osc::OSCStringAltValue& v) const noexcept {
        return std::hash<std::string>{}(v.string);
    }
};
template <>
struct std::hash<vorn::osc::OSCArrayValue> {
    std::size_t operator()(const vorn::osc::OSCArrayValue& v) const noexcept;
};
template <>
struct std::hash<vorn::osc::OSCValue> {
    std::size_t operator()(const vorn::osc::OSCValue& v) const noexcept;
};
