#pragma once

#include <stdexcept>
#include <string>

namespace vorn::osc {

// Encoding failed. `general` covers values that cannot be put on the wire
// (a blob or bundle element too long for its length field, an integer that
// does not fit the tag it is written as).
class OSCEncodeError : public std::runtime_error {
public:
    enum class Kind { general, unexpectedEncoder, nullInAddress };

    explicit OSCEncodeError(Kind kind);

    static OSCEncodeError general() { return OSCEncodeError(Kind::general); }
    static OSCEncodeError unexpectedEncoder() { return OSCEncodeError(Kind::unexpectedEncoder); }
    // The address holds a null byte, which would end it early for every
    // reader, and the rest of the message would read as garbage.
    static OSCEncodeError nullInAddress() { return OSCEncodeError(Kind::nullInAddress); }

    Kind kind() const noexcept { return kind_; }
    // "General error.", "Unexpected encoder type." or "Address pattern holds
    // a null character; no peer could read the message."
    std::string description() const { return what(); }

private:
    Kind kind_;
};

// Decoding failed; nothing of the packet is returned. The description carries
// one of the prefixes "Malformed data: ", "Unexpected OSC Type Tag: " or
// "Internal inconsistency: " before the text.
class OSCDecodeError : public std::runtime_error {
public:
    enum class Kind { malformed, unexpectedType, internalInconsistency };

    static OSCDecodeError malformed(const std::string& text);
    static OSCDecodeError unexpectedType(char tag);
    static OSCDecodeError internalInconsistency(const std::string& text);

    Kind kind() const noexcept { return kind_; }
    // The text without its prefix (for unexpectedType, the tag character).
    const std::string& text() const noexcept { return text_; }
    std::string description() const { return what(); }

private:
    OSCDecodeError(Kind kind, std::string text, const std::string& description);

    Kind kind_;
    std::string text_;
};

// Registering a value type whose tag another type already claims, or whose
// tag would break the framing of the type-tag string.
class OSCSerializationError : public std::runtime_error {
public:
    enum class Kind { tagAlreadyRegistered, tagBreaksFraming };
    OSCSerializationError() : std::runtime_error("Tag already registered"), kind_(Kind::tagAlreadyRegistered) {}
    // "Tag breaks the type-tag string's framing: " and the tag's code in hex.
    static OSCSerializationError tagBreaksFraming(char tag);
    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }

private:
    OSCSerializationError(Kind kind, const std::string& description) : std::runtime_error(description), kind_(kind) {}
    Kind kind_;
};

}  // namespace vorn::osc
