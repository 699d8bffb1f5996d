// Any datagram from the network goes through parseOSC: whatever the bytes,
// it gives a packet, nothing, or an OSCDecodeError, and never anything else.
// A message view of the same bytes accepts exactly what the owned decoder
// accepts, fails with its text and reads the same values.

#include "osc/OSCBundle.h"
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

namespace {

using namespace vorn::osc;

[[noreturn]] void disagree(const char* what) {
    std::fprintf(stderr, "view and owned decoder disagree: %s\n", what);
    std::abort();
}

void checkView(std::span<const std::uint8_t> bytes) {
    std::optional<OSCMessage> owned;
    std::string ownedError;
    try {
        owned = OSCMessage::decode(bytes);
    } catch (const OSCDecodeError& e) {
        ownedError = e.what();
    }
    std::optional<OSCMessageView> view;
    try {
        view = OSCMessageView::parse(bytes);
        if (!view) return;  // only a registered type could read it; none is
    } catch (const OSCDecodeError& e) {
        if (owned || ownedError != e.what()) disagree("error");
        return;
    }
    if (!owned) disagree("acceptance");
    if (view->address() != owned->addressPattern().rawAddress()) disagree("address");
    const auto values = view->values();
    if (values.size() != owned->values().size() || values.size() != view->size()) disagree("argument count");
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!vorn::osc::test::same(values[i], owned->values()[i])) disagree("value");
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
    checkView(bytes);
    return 0;
}
