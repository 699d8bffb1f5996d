// Any datagram from the network goes through parseOSC: whatever the bytes,
// it gives a packet, nothing, or an OSCDecodeError, and never anything else.
// A message or bundle view of the same bytes accepts exactly what the owned
// decoder accepts, fails with its text and reads the same values.

#include "osc/OSCBundle.h"
#include "osc/OSCBundleView.h"
#include "osc/OSCErrors.h"
#include "osc/OSCMessage.h"
#include "osc/OSCMessageView.h"
#include "support/PacketGenerator.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace vorn::osc;

[[noreturn]] void disagree(const char* what) {
    std::fprintf(stderr, "view and owned decoder disagree: %s\n", what);
    std::abort();
}

void checkMessage(const OSCMessageView& view, const OSCMessage& owned) {
    if (view.address() != owned.addressPattern().rawAddress()) disagree("address");
    const auto values = view.values();
    if (values.size() != owned.values().size() || values.size() != view.size()) disagree("argument count");
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!vorn::osc::test::same(values[i], owned.values()[i])) disagree("value");
    }
}

void flatten(const OSCPacket& packet, const OSCTimeTag& timeTag,
             std::vector<std::pair<const OSCMessage*, OSCTimeTag>>& out) {
    if (const auto* bundle = packet.bundleIf()) {
        for (const auto& element : bundle->elements()) flatten(element, bundle->timeTag(), out);
    } else {
        out.emplace_back(&packet.message(), timeTag);
    }
}

// Either view against the owned decoder of the same kind of packet.
template <class View, class Owned, class Compare>
void checkView(std::span<const std::uint8_t> bytes, Owned decodeOwned, Compare compare) {
    std::optional<decltype(decodeOwned())> owned;
    std::string ownedError;
    try {
        owned.emplace(decodeOwned());
    } catch (const OSCDecodeError& e) {
        ownedError = e.what();
    }
    std::optional<View> view;
    try {
        view = View::parse(bytes);
        if (!view) return;  // only a registered type could read it; none is
    } catch (const OSCDecodeError& e) {
        if (owned || ownedError != e.what()) disagree("error");
        return;
    }
    if (!owned) disagree("acceptance");
    compare(*view, *owned);
}

void checkViews(std::span<const std::uint8_t> bytes) {
    if (packetType(bytes) == OSCObjectType::bundle) {
        checkView<OSCBundleView>(
            bytes, [&] { return OSCBundle::decode(vorn::SharedBytes::copy(bytes)); },
            [](const OSCBundleView& view, const OSCBundle& owned) {
                std::vector<std::pair<const OSCMessage*, OSCTimeTag>> messages;
                for (const auto& element : owned.elements()) flatten(element, owned.timeTag(), messages);
                if (view.messages().size() != messages.size()) disagree("message count");
                if (view.timeTag() != owned.timeTag()) disagree("bundle time tag");
                for (std::size_t i = 0; i < messages.size(); ++i) {
                    if (view.messages()[i].timeTag != messages[i].second) disagree("time tag");
                    checkMessage(view.messages()[i].message, *messages[i].first);
                }
            });
    } else {
        checkView<OSCMessageView>(
            bytes, [&] { return OSCMessage::decode(bytes); },
            [](const OSCMessageView& view, const OSCMessage& owned) { checkMessage(view, owned); });
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    try {
        auto packet = vorn::osc::parseOSC(bytes);
        // Descriptions walk every decoded value, so they catch a value that
        // was built half way.
        if (packet) (void)packet->description();
    } catch (const vorn::osc::OSCDecodeError&) {
        // Malformed input is expected; any other exception escapes and
        // libFuzzer reports it as a crash.
    }
    checkViews(bytes);
    return 0;
}
