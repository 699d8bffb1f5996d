#pragma once

#include "base/SharedBytes.h"
#include "osc/OSCAddressPattern.h"
#include "osc/OSCValue.h"
#include "osc/OSCValueMask.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

namespace vorn::osc {

// One OSC 1.0 message: an address pattern and its arguments.
//
// A message decoded from bytes keeps them and encodes back to exactly those
// bytes; replacing the address or the values drops them.
class OSCMessage {
public:
    OSCMessage() = default;
    OSCMessage(OSCAddressPattern address, std::vector<OSCValue> values = {})
        : addressPattern_(std::move(address)), values_(std::move(values)) {}

    // Decodes one message; throws OSCDecodeError. `bytes` is kept as is.
    static OSCMessage decode(SharedBytes bytes);
    // The same into `into`, reusing its storage; after an error `into` is
    // an empty message.
    static void decode(SharedBytes bytes, OSCMessage& into);
    // Copies `bytes` once, into the buffer the message keeps.
    static OSCMessage decode(std::span<const std::uint8_t> bytes);

    const OSCAddressPattern& addressPattern() const noexcept { return addressPattern_; }
    const std::vector<OSCValue>& values() const noexcept { return values_; }
    void setAddressPattern(OSCAddressPattern address) {
        addressPattern_ = std::move(address);
        rawData_.reset();
    }
    void setValues(std::vector<OSCValue> values) {
        values_ = std::move(values);
        rawData_.reset();
    }

    // The values as the requested types; throws OSCValueMaskError (see osc::extract).
    template <class... Ts>
    std::tuple<Ts...> extract() const {
        return osc::extract<Ts...>(values_);
    }

    // The wire bytes; throws OSCEncodeError (or what a registered type's
    // encoder throws). Cheap for a decoded message: its own bytes come back.
    SharedBytes rawData() const;
    // Appends the wire bytes to `out`, for callers that reuse a buffer.
    void encode(std::vector<std::uint8_t>& out) const;

    // The bytes the message was decoded from, if it was.
    const std::optional<SharedBytes>& cachedRawData() const noexcept { return rawData_; }

    // OSCMessage(/address, values: [1, 2])
    std::string description() const;

    // Address texts and values equal; cached bytes are not compared.
    friend bool operator==(const OSCMessage& a, const OSCMessage& b) {
        return a.addressPattern_ == b.addressPattern_ && a.values_ == b.values_;
    }

private:
    friend class OSCBundle;  // decodes packets and elements in place

    // Leaves `into` as it happens to be when it throws.
    static void decodeInto(SharedBytes bytes, OSCMessage& into);

    OSCAddressPattern addressPattern_;
    std::vector<OSCValue> values_;
    std::optional<SharedBytes> rawData_;
};

}  // namespace vorn::osc

// By address text and values, as equality.
template <>
struct std::hash<vorn::osc::OSCMessage> {
    std::size_t operator()(const vorn::osc::OSCMessage& message) const noexcept;
};
