#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vorn::ascii {

class ASCIIString;

// One character that is guaranteed to be 7-bit ASCII.
//
// `characterValue` is the character as text (one user-perceived character,
// UTF-8) and `asciiValue` its code, 0 to 127. The one two-scalar character
// with an ASCII value is CR LF, kept as such with the code of a line feed.
class ASCIICharacter {
public:
    // Exact constructions: nothing unless the character has an ASCII value.
    static std::optional<ASCIICharacter> exactly(std::string_view character);
    static std::optional<ASCIICharacter> exactly(char32_t scalar);
    // Exactly one byte that decodes as ASCII, else nothing.
    static std::optional<ASCIICharacter> fromBytes(std::span<const std::uint8_t> bytes);

    // Lossy constructions never fail: a character without an ASCII value is
    // transliterated ("é" gives "e"), anything left over becomes "?". From a
    // string, the first character is taken; an empty string gives "?".
    static ASCIICharacter lossy(std::string_view text);
    static ASCIICharacter lossy(char32_t scalar);

    // Character literals go the lossy way, as in ASCIICharacter('A').
    explicit ASCIICharacter(char32_t scalar) : ASCIICharacter(lossy(scalar)) {}

    const std::string& characterValue() const noexcept { return characterValue_; }
    std::uint8_t asciiValue() const noexcept { return asciiValue_; }
    std::string rawData() const { return std::string(1, static_cast<char>(asciiValue_)); }

    // The character when printable (32 to 126), else "?".
    std::string description() const;
    // ASCIICharacter(#65, "A")
    std::string debugDescription() const;

    // Characters are equal when their codes are; CR LF equals a line feed.
    friend bool operator==(const ASCIICharacter& a, const ASCIICharacter& b) noexcept {
        return a.asciiValue_ == b.asciiValue_;
    }
    // Against text, the stored character is compared.
    bool operator==(std::string_view character) const { return characterValue_ == character; }

private:
    ASCIICharacter(std::string character, std::uint8_t code) : characterValue_(std::move(character)), asciiValue_(code) {}

    std::string characterValue_;
    std::uint8_t asciiValue_ = 0;
};

ASCIIString operator+(const ASCIICharacter& a, const ASCIICharacter& b);
ASCIIString operator+(const ASCIICharacter& a, const ASCIIString& b);
ASCIIString operator+(const ASCIIString& a, const ASCIICharacter& b);

}  // namespace vorn::ascii

template <>
struct std::hash<vorn::ascii::ASCIICharacter> {
    std::size_t operator()(const vorn::ascii::ASCIICharacter& c) const noexcept;
};
