#pragma once

#include <stdexcept>
#include <string>

namespace vorn::osc {

// Encoding failed. `general` covers values that cannot be put on the wire
// (a blob or bundle element too long for its length field, an integer that
// does not fit the tag it is written as).
class OSCEncodeError : public std::runtime_error {
public:
    enum class Kind { general, unexpectedEncoder };

    explicit OSCEncodeError(Kind kind);

    static OSCEncodeError general() { return OSCEncodeError(Kind::general); }
    static OSCEncodeError unexpectedEncoder() { return OSCEncodeError(Kind::unexpectedEncoder); }

    Kind kind() const noexcept { return kind_; }
    // "General error." or "Unexpected encoder type."
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

// Registering a value type whose tag another type already claims.
class OSCSerializationError : public std::runtime_error {
public:
    enum class Kind { tagAlreadyRegistered };
    OSCSerializationError() : std::runtime_error("Tag already registered") {}
    Kind kind() const noexcept { return Kind::tagAlreadyRegistered; }
    std::string description() const { return what(); }
};

}  // namespace vorn::osc
