#include "osc/OSCMessageEncoder.h"

#include "osc/OSCBuiltinCoding.h"
#include "osc/OSCErrors.h"
#include "osc/OSCSerialization.h"
#include "osc/detail/OSCBytes.h"

#include <cstring>
#include <variant>

namespace vorn::osc {
namespace {

std::uint8_t tagCode(char tag) {
    const auto byte = static_cast<unsigned char>(tag);
    return byte < 128 ? byte : ascii::ASCIICharacter::lossy(static_cast<char32_t>(byte)).asciiValue();
}

// Runs a registered type's encoder block: its tags go to `tags`, its bytes
// to `data`.
void encodeCustom(const OSCValue& value, std::vector<std::uint8_t>& tags, std::vector<std::uint8_t>& data) {
    const OSCValueType& type = value.get<std::shared_ptr<const OSCCustomValue>>()->type();
    if (const auto* atomic = std::get_if<OSCValueAtomicEncoder>(&type.encoder); atomic && atomic->block) {
        tags.push_back(tagCode(atomic->block(value, data)));
    } else if (const auto* variable = std::get_if<OSCValueVariableEncoder>(&type.encoder); variable && variable->block) {
        tags.push_back(tagCode(variable->block(value, data)));
    } else if (const auto* variadic = std::get_if<OSCValueVariadicEncoder>(&type.encoder); variadic && variadic->block) {
        for (const auto& tag : variadic->block(value, data)) tags.push_back(tag.asciiValue());
    } else {
        throw OSCEncodeError::unexpectedEncoder();
    }
}

}  // namespace

void OSCMessageEncoder::encode(std::span<const std::uint8_t> address, const std::vector<OSCValue>& values,
                               std::vector<std::uint8_t>& out) {
    if (std::memchr(address.data(), 0, address.size()) != nullptr) throw OSCEncodeError::nullInAddress();
    const std::size_t start = out.size();
    try {
        // Enough for the usual message of scalars and short text.
        out.reserve(start + bytes::paddedStringSize(address.size()) + 8 + values.size() * 12);
        bytes::appendPaddedString(out, address);

        OSCMessageEncoder encoder;
        const std::size_t tagStart = out.size();
        out.push_back(',');
        for (const auto& value : values) encoder.appendTags(value, out, 0);
        const std::size_t tagLength = out.size() - tagStart;
        bytes::appendNulls(out, bytes::paddedStringSize(tagLength) - tagLength);

        for (const auto& value : values) encoder.appendData(value, out);
    } catch (...) {
        out.resize(start);
        throw;
    }
}

std::vector<ASCIICharacter> OSCMessageEncoder::encodeArray(const OSCValue& array, std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    OSCMessageEncoder encoder;
    std::vector<std::uint8_t> tags;
    try {
        encoder.appendTags(array, tags, 0);
        encoder.appendData(array, out);
    } catch (...) {
        out.resize(start);
        throw;
    }
    std::vector<ASCIICharacter> result;
    result.reserve(tags.size());
    for (auto tag : tags) result.push_back(ASCIICharacter(static_cast<char32_t>(tag)));
    return result;
}

void OSCMessageEncoder::appendTags(const OSCValue& value, std::vector<std::uint8_t>& tags, int depth) {
    switch (value.kind()) {
    case OSCValueKind::array:
        if (depth >= bytes::maxNestingDepth) throw OSCEncodeError::general();
        tags.push_back('[');
        for (const auto& element : value.get<OSCArrayValue>().elements) appendTags(element, tags, depth + 1);
        tags.push_back(']');
        return;
    case OSCValueKind::custom:
        // A registered variadic type may nest values as an array does, and
        // the decoder does not open one where it could not open an array.
        if (depth >= bytes::maxNestingDepth &&
            std::holds_alternative<OSCValueVariadicEncoder>(
                value.get<std::shared_ptr<const OSCCustomValue>>()->type().encoder)) {
            throw OSCEncodeError::general();
        }
        encodeCustom(value, tags, customData_.emplace_back());
        return;
    default:
        tags.push_back(static_cast<std::uint8_t>(builtin::scalarTag(value)));
    }
}

void OSCMessageEncoder::appendData(const OSCValue& value, std::vector<std::uint8_t>& out) {
    switch (value.kind()) {
    case OSCValueKind::array:
        for (const auto& element : value.get<OSCArrayValue>().elements) appendData(element, out);
        return;
    case OSCValueKind::custom:
        bytes::appendBytes(out, customData_[nextCustom_++]);
        return;
    default:
        builtin::appendScalar(value, out);
    }
}

}  // namespace vorn::osc
