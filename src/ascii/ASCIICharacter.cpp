#include "ascii/ASCIICharacter.h"

#include "ascii/ASCIIString.h"
#include "ascii/Graphemes.h"

namespace vorn::ascii {
namespace {

bool isASCIIByte(char c) {
    return static_cast<unsigned char>(c) < 128;
}

// The ASCII value of one user-perceived character: its scalar when that is
// below 128, and a line feed's for CR LF, the one such character made of two.
std::optional<std::uint8_t> asciiValueOf(std::string_view character) {
    if (character == "\r\n") {
        return std::uint8_t{'\n'};
    }
    if (character.size() == 1 && isASCIIByte(character.front())) {
        return static_cast<std::uint8_t>(character.front());
    }
    return std::nullopt;
}

// Empty for a surrogate or a value beyond U+10FFFF, which are no characters.
std::string utf8(char32_t scalar) {
    std::string bytes;
    if (scalar < 0x80) {
        bytes += static_cast<char>(scalar);
    } else if (scalar < 0x800) {
        bytes += static_cast<char>(0xC0 | (scalar >> 6U));
        bytes += static_cast<char>(0x80 | (scalar & 0x3FU));
    } else if (scalar < 0x10000) {
        if (scalar >= 0xD800 && scalar <= 0xDFFF) {
            return {};
        }
        bytes += static_cast<char>(0xE0 | (scalar >> 12U));
        bytes += static_cast<char>(0x80 | ((scalar >> 6U) & 0x3FU));
        bytes += static_cast<char>(0x80 | (scalar & 0x3FU));
    } else if (scalar <= 0x10FFFF) {
        bytes += static_cast<char>(0xF0 | (scalar >> 18U));
        bytes += static_cast<char>(0x80 | ((scalar >> 12U) & 0x3FU));
        bytes += static_cast<char>(0x80 | ((scalar >> 6U) & 0x3FU));
        bytes += static_cast<char>(0x80 | (scalar & 0x3FU));
    }
    return bytes;
}

// The first character of what lossy conversion makes of `character`, or "?"
// when it makes nothing of it (a lone combining mark, for one).
ASCIICharacter lossyCharacter(std::string_view character) {
    if (auto exact = ASCIICharacter::exactly(character)) {
        return *exact;
    }
    const ASCIIString converted = ASCIIString::lossy(character);
    // Lossy text is printable ASCII throughout: one byte, one character.
    return *ASCIICharacter::exactly(converted.empty() ? std::string_view("?")
                                                     : std::string_view(converted.stringValue()).substr(0, 1));
}

}  // namespace

std::optional<ASCIICharacter> ASCIICharacter::exactly(std::string_view character) {
    if (auto code = asciiValueOf(character)) {
        return ASCIICharacter(std::string(character), *code);
    }
    return std::nullopt;
}

std::optional<ASCIICharacter> ASCIICharacter::exactly(char32_t scalar) {
    if (scalar >= 128) {
        return std::nullopt;
    }
    return ASCIICharacter(std::string(1, static_cast<char>(scalar)), static_cast<std::uint8_t>(scalar));
}

std::optional<ASCIICharacter> ASCIICharacter::fromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != 1) {
        return std::nullopt;
    }
    return exactly(static_cast<char32_t>(bytes.front()));
}

ASCIICharacter ASCIICharacter::lossy(std::string_view text) {
    if (text.empty()) {
        return ASCIICharacter("?", '?');
    }
    // Two ASCII bytes never form one character, except CR LF: the first
    // character of ordinary text is found without ICU.
    if (isASCIIByte(text[0]) && (text.size() == 1 || isASCIIByte(text[1]))) {
        return lossyCharacter(text.substr(0, text.starts_with("\r\n") ? 2 : 1));
    }
    return lossyCharacter(graphemePrefix(text, 1));
}

ASCIICharacter ASCIICharacter::lossy(char32_t scalar) {
    if (auto exact = exactly(scalar)) {
        return *exact;
    }
    const std::string character = utf8(scalar);
    return character.empty() ? ASCIICharacter("?", '?') : lossyCharacter(character);
}

std::string ASCIICharacter::description() const {
    return asciiValue_ >= 32 && asciiValue_ <= 126 ? characterValue_ : std::string("?");
}

std::string ASCIICharacter::debugDescription() const {
    return "ASCIICharacter(#" + std::to_string(asciiValue_) + ", \"" + description() + "\")";
}

ASCIIString operator+(const ASCIICharacter& a, const ASCIICharacter& b) {
    return ASCIIString(ASCIIString::Trusted{}, a.characterValue() + b.characterValue());
}

ASCIIString operator+(const ASCIICharacter& a, const ASCIIString& b) {
    return ASCIIString(ASCIIString::Trusted{}, a.characterValue() + b.stringValue());
}

ASCIIString operator+(const ASCIIString& a, const ASCIICharacter& b) {
    return ASCIIString(ASCIIString::Trusted{}, a.stringValue() + b.characterValue());
}

}  // namespace vorn::ascii

// Equality compares codes alone (CR LF equals a line feed), so the hash may
// use nothing else: equal characters must hash alike.
std::size_t std::hash<vorn::ascii::ASCIICharacter>::operator()(const vorn::ascii::ASCIICharacter& c) const noexcept {
    return std::hash<std::uint8_t>{}(c.asciiValue());
}
