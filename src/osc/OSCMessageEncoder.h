#pragma once

#include "osc/OSCValue.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vorn::osc {

// Writes one message in a single buffer: the padded address, then the
// type-tag string, then the argument data. Tags go out before the data they
// describe, so the values are walked twice; a value of a registered type has
// its encoder block called once, on the first walk, and its bytes are held
// until the second.
class OSCMessageEncoder {
public:
    // Appends the message to `out`; on an error `out` is left as it was.
    static void encode(std::span<const std::uint8_t> address, const std::vector<OSCValue>& values,
                       std::vector<std::uint8_t>& out);

    // The tags of an array ("[", its elements' tags, "]") and, appended to
    // `out`, its elements' bytes.
    static std::vector<ASCIICharacter> encodeArray(const OSCValue& array, std::vector<std::uint8_t>& out);

private:
    void appendTags(const OSCValue& value, std::vector<std::uint8_t>& tags, int depth);
    void appendData(const OSCValue& value, std::vector<std::uint8_t>& out);

    std::vector<std::vector<std::uint8_t>> customData_;
    std::size_t nextCustom_ = 0;
};

}  // namespace vorn::osc
