#pragma once

#include "osc/OSCMessageView.h"
#include "osc/OSCSerialization.h"
#include "osc/OSCTimeTag.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vorn::osc {

// One bundle read in place: every message in it and in the bundles inside
// it, depth-first in element order, each with the time tag of the bundle
// that holds it. Parsing checks the whole datagram before it gives anything,
// by the same rules and with the same error texts as OSCBundle::decode, so a
// bundle with one bad element gives none of its messages; the bytes must
// outlive the view. The one allocation is the list of messages.
class OSCBundleView {
public:
    struct Element {
        OSCMessageView message;
        OSCTimeTag timeTag;
    };

    // Throws OSCDecodeError where OSCBundle::decode would. Gives nothing when
    // a message holds a tag that only a registered type decodes, as
    // OSCMessageView::parse does.
    static std::optional<OSCBundleView> parse(std::span<const std::uint8_t> bytes,
                                              const OSCSerialization* context = nullptr);

    const OSCTimeTag& timeTag() const noexcept { return timeTag_; }
    // The messages, nested bundles flattened; an empty bundle has none.
    const std::vector<Element>& messages() const noexcept { return messages_; }

private:
    OSCBundleView() = default;
    bool read(std::span<const std::uint8_t> bytes, int depth, const OSCSerialization* context);

    OSCTimeTag timeTag_ = OSCTimeTag::immediate();
    std::vector<Element> messages_;
};

}  // namespace vorn::osc
