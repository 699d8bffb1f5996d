#include "osc/OSCErrors.h"

namespace vorn::osc {
namespace {

const char* encodeDescription(OSCEncodeError::Kind kind) {
    switch (kind) {
    case OSCEncodeError::Kind::general:
        return "General error.";
    case OSCEncodeError::Kind::unexpectedEncoder:
        return "Unexpected encoder type.";
    case OSCEncodeError::Kind::nullInAddress:
        return "Address pattern holds a null character; no peer could read the message.";
    }
    return "General error.";
}

}  // namespace

OSCEncodeError::OSCEncodeError(Kind kind) : std::runtime_error(encodeDescription(kind)), kind_(kind) {}

OSCSerializationError OSCSerializationError::tagBreaksFraming(char tag) {
    static constexpr char digits[] = "0123456789ABCDEF";
    const auto code = static_cast<unsigned char>(tag);
    return OSCSerializationError(Kind::tagBreaksFraming, std::string("Tag breaks the type-tag string's framing: 0x") +
                                                             digits[code >> 4] + digits[code & 0x0F]);
}

OSCDecodeError::OSCDecodeError(Kind kind, std::string text, const std::string& description)
    : std::runtime_error(description), kind_(kind), text_(std::move(text)) {}

OSCDecodeError OSCDecodeError::malformed(const std::string& text) {
    return OSCDecodeError(Kind::malformed, text, "Malformed data: " + text);
}

OSCDecodeError OSCDecodeError::unexpectedType(char tag) {
    std::string text(1, tag);
    return OSCDecodeError(Kind::unexpectedType, text, "Unexpected OSC Type Tag: " + text);
}

OSCDecodeError OSCDecodeError::internalInconsistency(const std::string& text) {
    return OSCDecodeError(Kind::internalInconsistency, text, "Internal inconsistency: " + text);
}

}  // namespace vorn::osc
