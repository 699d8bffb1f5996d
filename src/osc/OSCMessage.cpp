#include "osc/OSCMessage.h"

#include "osc/OSCBuiltinCoding.h"
#include "osc/OSCErrors.h"
#include "osc/OSCMessageEncoder.h"
#include "osc/OSCSerialization.h"
#include "osc/OSCValueDecoder.h"
#include "osc/detail/OSCBytes.h"

namespace vorn::osc {

OSCMessage OSCMessage::decode(SharedBytes bytes) {
    OSCMessage message;
    decode(std::move(bytes), message);
    return message;
}

void OSCMessage::decode(SharedBytes bytes, OSCMessage& into) {
    try {
        decodeInto(std::move(bytes), into);
    } catch (...) {
        into = OSCMessage();
        throw;
    }
}

void OSCMessage::decodeInto(SharedBytes bytes, OSCMessage& into) {
    if (bytes.size() % 4 != 0) throw OSCDecodeError::malformed("Length not a multiple of 4 bytes.");
    if (bytes.empty() || bytes[0] != '/') throw OSCDecodeError::malformed("Does not start with an address pattern.");

    OSCValueDecoder decoder(std::move(bytes), &OSCSerialization::shared());
    const auto address = decoder.readASCIIText("Address pattern string could not be parsed.");
    const auto tags = decoder.readASCIIText("Couldn't extract OSC-type chunk.");

    // The address is ASCII already: it needs no conversion, and a long one
    // views the datagram instead of copying it.
    into.addressPattern_.assignDecoded(
        decoder.data_, std::string_view(reinterpret_cast<const char*>(address.data()), address.size()));
    if (tags.size() == 1 && tags[0] == ',') {
        into.values_.clear();  // no arguments, as in a ping: nothing to set up
    } else {
        builtin::decodeValues({reinterpret_cast<const char*>(tags.data()), tags.size()}, decoder, into.values_);
    }
    into.rawData_ = std::move(decoder.data_);
}

OSCMessage OSCMessage::decode(std::span<const std::uint8_t> bytes) { return decode(bytes::copyShared(bytes)); }

SharedBytes OSCMessage::rawData() const {
    if (rawData_) return *rawData_;
    return bytes::encodeShared([this](std::vector<std::uint8_t>& out) { encode(out); });
}

void OSCMessage::encode(std::vector<std::uint8_t>& out) const {
    if (rawData_) {
        bytes::appendBytes(out, rawData_->span());
        return;
    }
    OSCMessageEncoder::encode(addressPattern_.rawData(), values_, out);
}

std::string OSCMessage::description() const {
    std::string text = "OSCMessage(" + std::string(addressPattern_.rawAddress());
    if (!values_.empty()) text += ", values: " + osc::description(values_);
    return text + ")";
}

}  // namespace vorn::osc

std::size_t std::hash<vorn::osc::OSCMessage>::operator()(const vorn::osc::OSCMessage& message) const noexcept {
    std::size_t seed = std::hash<std::string_view>{}(message.addressPattern().rawAddress());
    for (const auto& value : message.values()) {
        seed ^= std::hash<vorn::osc::OSCValue>{}(value) + 0x9E3779B97F4A7C15ULL + (seed << 6U) + (seed >> 2U);
    }
    return seed;
}
