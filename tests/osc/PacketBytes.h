#pragma once

// Byte literals for the codec tests: hex("2F 65 00") as the bytes are usually
// written down, and raw("/a\0\0"s) for packets that read better as text.

#include "dispatch/SharedBytes.h"
#include "osc/OSCErrors.h"
#include "osc/OSCMessage.h"

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::osc::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes hex(std::string_view text) {
    Bytes out;
    std::istringstream in{std::string(text)};
    unsigned value = 0;
    while (in >> std::hex >> value) out.push_back(static_cast<std::uint8_t>(value));
    return out;
}

inline Bytes raw(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes toBytes(const SharedBytes& b) { return b.toVector(); }

// The description of the error that decoding `bytes` as a message raises.
inline std::string messageDecodeError(const Bytes& bytes) {
    try {
        OSCMessage::decode(bytes);
    } catch (const OSCDecodeError& e) {
        return e.description();
    }
    return "(decoded)";
}

}  // namespace vorn::osc::test
