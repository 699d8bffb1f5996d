// Any datagram from the network goes through parseOSC: whatever the bytes,
// it gives a packet, nothing, or an OSCDecodeError, and never anything else.

#include "osc/OSCBundle.h"
#include "osc/OSCErrors.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        auto packet = vorn::osc::parseOSC(std::span<const std::uint8_t>(data, size));
        // Descriptions walk every decoded value, so they catch a value that
        // was built half way.
        if (packet) (void)packet->description();
    } catch (const vorn::osc::OSCDecodeError&) {
        // Malformed input is expected; any other exception escapes and
        // libFuzzer reports it as a crash.
    }
    return 0;
}
