#include "osc/OSCMessageWriter.h"

#include "osc/OSCErrors.h"
#include "osc/OSCMessage.h"
#include "osc/detail/OSCBytes.h"

#include <limits>

namespace vorn::osc {

void OSCMessageWriter::appendOwned(std::vector<std::uint8_t>& out, std::string_view address,
                                   std::vector<OSCValue> values) {
    OSCMessage(OSCAddressPattern(address), std::move(values)).encode(out);
}

void OSCMessageWriter::appendBundleHeader(std::vector<std::uint8_t>& out, OSCTimeTag timeTag) {
    static constexpr std::uint8_t header[] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0};
    out.insert(out.end(), std::begin(header), std::end(header));
    bytes::appendUInt64(out, timeTag.rawValue());
}

void OSCMessageWriter::finishElement(std::vector<std::uint8_t>& out, std::size_t sizeField) {
    const std::size_t size = out.size() - sizeField - 4;
    // The size field is a signed 32-bit integer, as OSCBundle refuses too.
    if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        out.resize(sizeField);
        throw OSCEncodeError::general();
    }
    bytes::storeUInt32(out.data() + sizeField, static_cast<std::uint32_t>(size));
}

}  // namespace vorn::osc
