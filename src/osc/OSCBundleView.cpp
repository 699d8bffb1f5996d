#include "osc/OSCBundleView.h"

#include "osc/detail/OSCBundleFraming.h"

namespace vorn::osc {

std::optional<OSCBundleView> OSCBundleView::parse(std::span<const std::uint8_t> bytes,
                                                  const OSCSerialization* context) {
    OSCBundleView view;
    const bool complete = view.read(bytes, 1, context);
    if (!complete) return std::nullopt;
    // The header passed, or read() would have thrown.
    view.timeTag_ = OSCTimeTag(bytes::loadUInt64(bytes.data() + 8), 0);
    return view;
}

// False when a message needs a registered type; the framing of the rest is
// still checked, so that bytes the owned decoder refuses throw here too.
bool OSCBundleView::read(std::span<const std::uint8_t> bytes, int depth, const OSCSerialization* context) {
    const OSCTimeTag timeTag(bytes::checkBundleHeader(bytes, depth), 0);
    // Sized once for the common bundle of messages; nested ones grow it.
    if (depth == 1) messages_.reserve(bytes::countBundleElements(bytes));
    bool complete = true;
    bytes::forEachBundleElement(bytes, [&](std::size_t offset, std::size_t size, bytes::BundleElementKind kind) {
        const auto element = bytes.subspan(offset, size);
        if (kind == bytes::BundleElementKind::bundle) {
            complete = read(element, depth + 1, context) && complete;
        } else if (auto message = OSCMessageView::parse(element, context)) {
            messages_.push_back({*message, timeTag});
        } else {
            complete = false;
        }
    });
    return complete;
}

}  // namespace vorn::osc
