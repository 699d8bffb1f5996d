#include "osc/OSCErrors.h"

namespace vorn::osc {
namespace {

const char* encodeDescription(OSCEncodeError::Kind kind) {
    switch (kind) {
    case OSCEncodeError::Kind::general:
        return "General error.";
    case OSCEncodeError::Kind::unexpectedEncoder:
        return "Unexpected encoder type.";
    }
    return "General error.";
}

}  // namespace

OSCEncodeError::OSCEncodeError(Kind kind) : std::runtime_error(encodeDescription(kind)), kind_(kind) {}

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
