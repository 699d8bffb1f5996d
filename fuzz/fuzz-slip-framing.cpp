// Whatever a TCP peer sends is cut into packets by the SLIP framing: any
// bytes, in any pieces, give packets within the bound or an OSCFramingError,
// and the same packets however the bytes were split.

#include "FramingFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vorn::net::testing::fuzzDecoder(vorn::net::OSCFraming::slip, data, size);
    return 0;
}
