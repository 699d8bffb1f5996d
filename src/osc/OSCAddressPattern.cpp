#include "osc/OSCAddressPattern.h"

#include "ascii/ASCIIString.h"

#include <algorithm>

namespace vorn::osc {

OSCAddressPattern::OSCAddressPattern(std::string_view text) {
    const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 128; });
    // ASCII text is kept as it is; anything else goes through the lossy
    // conversion.
    if (ascii) {
        owned_.assign(text);
    } else {
        owned_ = ascii::ASCIIString::lossy(text).stringValue();
    }
}

void OSCAddressPattern::assignDecoded(const SharedBytes& bytes, std::string_view ascii) {
    // Text that fits the string's storage as it is (its small buffer, or what
    // an earlier decode into this pattern left) is copied: that costs less
    // than sharing the datagram, an atomic count on each copy and release.
    if (ascii.size() <= owned_.capacity()) {
        // Cheaper than assign(), which allows for `ascii` lying inside `owned_`.
        owned_.clear();
        owned_.append(ascii);
        if (view_.data()) {
            shared_ = SharedBytes();
            view_ = {};
        }
    } else {
        owned_.clear();
        shared_ = bytes;
        view_ = ascii;
    }
}

}  // namespace vorn::osc
