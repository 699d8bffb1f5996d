// Whatever decodes must encode again: a decoded packet gives back exactly the
// bytes it came from, and the same values encoded from scratch decode to
// equal values and encode to the same bytes a second time.
//
// Encoding is lossy for text: control characters in s, S and c arguments
// become "?". Floats are compared bit for bit, so NaN payloads and the sign
// of zero must survive too.

#include "ascii/ASCIICharacter.h"
#include "ascii/ASCIIString.h"
#include "osc/OSCBundle.h"
#include "osc/OSCErrors.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace {

using namespace vorn::osc;
using vorn::SharedBytes;

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz-roundtrip: %s\n%s\n", what, detail.c_str());
    std::abort();
}

// The same packet with no cached bytes anywhere, so that encoding it runs
// the encoder instead of handing back the input.
OSCPacket rebuilt(const OSCPacket& packet) {
    if (const auto* message = packet.messageIf()) {
        OSCMessage copy = *message;
        copy.setValues(message->values());
        return copy;
    }
    const auto& bundle = packet.bundle();
    std::vector<OSCPacket> elements;
    elements.reserve(bundle.elements().size());
    for (const auto& element : bundle.elements()) elements.push_back(rebuilt(element));
    return OSCBundle(std::move(elements), bundle.timeTag());
}

// What a decoded value turns into once encoded and decoded again.
OSCValue afterEncoding(const OSCValue& value) {
    if (const auto* text = value.getIf<std::string>()) return vorn::ascii::ASCIIString::lossy(*text).stringValue();
    if (const auto* alt = value.getIf<OSCStringAltValue>())
        return OSCStringAltValue{vorn::ascii::ASCIIString::lossy(alt->string).stringValue()};
    if (const auto* character = value.getIf<char32_t>())
        return static_cast<char32_t>(vorn::ascii::ASCIICharacter::lossy(*character).asciiValue());
    if (const auto* array = value.getIf<OSCArrayValue>()) {
        OSCArrayValue result;
        for (const auto& element : array->elements) result.elements.push_back(afterEncoding(element));
        return result;
    }
    return value;
}

bool same(const OSCValue& a, const OSCValue& b) {
    if (a.kind() != b.kind()) return false;
    if (const auto* x = a.getIf<float>()) return std::bit_cast<std::uint32_t>(*x) == std::bit_cast<std::uint32_t>(b.get<float>());
    if (const auto* x = a.getIf<double>()) return std::bit_cast<std::uint64_t>(*x) == std::bit_cast<std::uint64_t>(b.get<double>());
    if (const auto* x = a.getIf<OSCArrayValue>()) {
        const auto& y = b.get<OSCArrayValue>();
        if (x->elements.size() != y.elements.size()) return false;
        for (std::size_t i = 0; i < x->elements.size(); ++i)
            if (!same(x->elements[i], y.elements[i])) return false;
        return true;
    }
    return a == b;
}

// `decoded` is the packet from the input, `redecoded` the one from its fresh
// encoding.
bool sameAfterEncoding(const OSCPacket& decoded, const OSCPacket& redecoded) {
    if (decoded.type() != redecoded.type()) return false;
    if (const auto* m = decoded.messageIf()) {
        const auto& n = redecoded.message();
        if (m->addressPattern() != n.addressPattern() || m->values().size() != n.values().size()) return false;
        for (std::size_t i = 0; i < m->values().size(); ++i)
            if (!same(afterEncoding(m->values()[i]), n.values()[i])) return false;
        return true;
    }
    const auto& b = decoded.bundle();
    const auto& c = redecoded.bundle();
    if (b.timeTag() != c.timeTag() || b.elements().size() != c.elements().size()) return false;
    for (std::size_t i = 0; i < b.elements().size(); ++i)
        if (!sameAfterEncoding(b.elements()[i], c.elements()[i])) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = SharedBytes::copy(std::span<const std::uint8_t>(data, size));
    std::optional<OSCPacket> decoded;
    try {
        decoded = parseOSC(input);
    } catch (const OSCDecodeError&) {
        return 0;
    }
    if (!decoded) return 0;

    if (!(decoded->rawData() == input)) fail("cached bytes differ from the input", decoded->description());

    SharedBytes fresh;
    std::optional<OSCPacket> redecoded;
    try {
        fresh = rebuilt(*decoded).rawData();
        redecoded = parseOSC(fresh);
    } catch (const std::exception& e) {
        fail(e.what(), decoded->description());
    }
    if (!redecoded) fail("fresh encoding is not a packet", decoded->description());
    if (!sameAfterEncoding(*decoded, *redecoded))
        fail("fresh encoding decodes to other values", decoded->description() + "\n" + redecoded->description());

    SharedBytes again;
    try {
        again = rebuilt(*redecoded).rawData();
    } catch (const std::exception& e) {
        fail(e.what(), redecoded->description());
    }
    if (!(again == fresh)) fail("second fresh encoding differs from the first", redecoded->description());
    return 0;
}
