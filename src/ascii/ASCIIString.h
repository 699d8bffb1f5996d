#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vorn::ascii {

class ASCIICharacter;

// Text that is guaranteed to be 7-bit ASCII, with its bytes.
//
// Because every character is ASCII, the text's UTF-8 bytes are its ASCII
// bytes: `rawData()` views the same storage as `stringValue()`.
class ASCIIString {
public:
    ASCIIString() = default;

    // Nothing unless every character of `text` has an ASCII value.
    static std::optional<ASCIIString> exactly(std::string_view text);

    // Transliterates to Latin ASCII and replaces every character outside the
    // printable range 32 to 126 (tabs and line feeds included) with "?".
    static ASCIIString lossy(std::string_view text);

    // Exact when possible, lossy otherwise; never fails. String literals go
    // this way.
    ASCIIString(std::string_view text);          // NOLINT: literals convert implicitly
    ASCIIString(const char* text) : ASCIIString(std::string_view(text)) {}  // NOLINT
    ASCIIString(const std::string& text) : ASCIIString(std::string_view(text)) {}  // NOLINT

    const std::string& stringValue() const noexcept { return value_; }
    std::span<const std::uint8_t> rawData() const noexcept {
        return {reinterpret_cast<const std::uint8_t*>(value_.data()), value_.size()};
    }
    bool empty() const noexcept { return value_.empty(); }
    std::size_t size() const noexcept { return value_.size(); }

    const std::string& description() const noexcept { return value_; }
    // ASCIIString("text")
    std::string debugDescription() const;

    friend bool operator==(const ASCIIString& a, const ASCIIString& b) noexcept { return a.value_ == b.value_; }
    // Against text, only the text is compared: "é" is not equal to the "e"
    // it would convert to. The overloads for C strings and std::string keep
    // the implicit conversion to ASCIIString out of the way.
    friend bool operator==(const ASCIIString& a, std::string_view b) noexcept { return a.value_ == b; }
    friend bool operator==(const ASCIIString& a, const char* b) noexcept { return a.value_ == b; }
    friend bool operator==(const ASCIIString& a, const std::string& b) noexcept { return a.value_ == b; }

private:
    struct Trusted {};
    ASCIIString(Trusted, std::string value) : value_(std::move(value)) {}
    friend class ASCIICharacter;
    friend ASCIIString operator+(const ASCIICharacter&, const ASCIICharacter&);
    friend ASCIIString operator+(const ASCIICharacter&, const ASCIIString&);
    friend ASCIIString operator+(const ASCIIString&, const ASCIICharacter&);

    std::string value_;
};

}  // namespace vorn::ascii

template <>
struct std::hash<vorn::ascii::ASCIIString> {
    std::size_t operator()(const vorn::ascii::ASCIIString& s) const noexcept;
};
