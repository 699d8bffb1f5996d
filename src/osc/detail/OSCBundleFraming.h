#pragma once

// The framing of a bundle, read by both the owned decoder (OSCBundle) and the
// in-place one (OSCBundleView), so that the two accept and refuse the same
// bytes with the same words.

#include "osc/detail/OSCBytes.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace vorn::osc::bytes {

bool startsWithBundleHeader(std::span<const std::uint8_t> bytes) noexcept;

// Checks the depth, the length and the "#bundle" header of a bundle that
// sits `depth` levels deep (1 for a datagram's own), and gives its time
// tag's raw value. Throws OSCDecodeError.
std::uint64_t checkBundleHeader(std::span<const std::uint8_t> bytes, int depth);

// How many elements the framing announces, to size a list once; after
// checkBundleHeader only.
std::size_t countBundleElements(std::span<const std::uint8_t> bytes) noexcept;

enum class BundleElementKind { message, bundle };

[[noreturn]] void throwBundleEndedEarly();
[[noreturn]] void throwNegativeElementSize();
[[noreturn]] void throwUnrecognizedElement();

// Calls `element(offset, size, kind)` for each element of a bundle whose
// header passed, in order; throws OSCDecodeError at the first element that
// is not framed as one, after the calls for those before it.
template <class Element>
void forEachBundleElement(std::span<const std::uint8_t> bytes, Element&& element) {
    std::size_t pos = 16;
    while (pos < bytes.size()) {
        if (bytes.size() - pos < 4) throwBundleEndedEarly();
        const auto size = static_cast<std::int32_t>(loadUInt32(bytes.data() + pos));
        if (size < 0) throwNegativeElementSize();
        const auto length = static_cast<std::size_t>(size);
        if (length > bytes.size() - pos - 4) throwBundleEndedEarly();
        const auto inner = bytes.subspan(pos + 4, length);
        if (startsWithBundleHeader(inner)) {
            element(pos + 4, length, BundleElementKind::bundle);
        } else if (!inner.empty() && inner[0] == '/') {
            element(pos + 4, length, BundleElementKind::message);
        } else {
            throwUnrecognizedElement();
        }
        pos += 4 + length;
    }
}

}  // namespace vorn::osc::bytes
