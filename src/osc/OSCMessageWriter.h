#pragma once

#include "base/SharedBytes.h"
#include "osc/OSCTimeTag.h"
#include "osc/OSCValue.h"

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::osc {

// A blob argument for OSCMessageWriter: bytes it copies into the message.
struct OSCBlobRef {
    std::span<const std::uint8_t> bytes;
};

// Writes messages from typed arguments straight into a buffer the caller
// keeps: once the buffer has grown to fit, a message costs no allocation.
// The bytes are those OSCMessage(address, {args...}).encode(out) appends;
// text that the owned path would convert (non-ASCII, control characters)
// and characters outside ASCII take that path, allocation and all.
//
// Arguments: std::int32_t, float, double, std::int64_t, bool, text
// (std::string_view and what converts to it), OSCStringAltValue, OSCBlobRef,
// SharedBytes, char32_t, OSCTimeTag, OSCMIDIValue, OSCImpulseValue and
// OSCNullValue. Arrays and registered types go through OSCMessage.
class OSCMessageWriter {
public:
    // Appends one message to `out`; throws OSCEncodeError as OSCMessage's
    // encode does, leaving `out` as it was.
    template <class... Args>
    static void append(std::vector<std::uint8_t>& out, std::string_view address, const Args&... args) {
        if (!addressIsPlain(address) || !(isPlain(args) && ...)) {
            appendOwned(out, address, {toValue(args)...});
            return;
        }
        constexpr std::size_t tagLength = 1 + sizeof...(Args);
        const std::size_t addressSize = paddedSize(address.size());
        const std::size_t size = addressSize + paddedSize(tagLength) + (dataSize(args) + ... + std::size_t{0});
        const std::size_t start = out.size();
        out.resize(start + size);  // zeroed: every padding byte is written already
        std::uint8_t* p = out.data() + start;
        std::memcpy(p, address.data(), address.size());
        p += addressSize;
        *p = ',';
        std::uint8_t* tag = p + 1;
        ((*tag++ = static_cast<std::uint8_t>(tagOf(args))), ...);
        p += paddedSize(tagLength);
        ((p = write(p, args)), ...);
    }

    // The header of a bundle: "#bundle" and its time tag.
    static void appendBundleHeader(std::vector<std::uint8_t>& out, OSCTimeTag timeTag);

    // Appends a message as an element of the bundle being written: its size,
    // then its bytes.
    template <class... Args>
    static void appendElement(std::vector<std::uint8_t>& out, std::string_view address, const Args&... args) {
        const std::size_t sizeField = out.size();
        out.resize(sizeField + 4);
        try {
            append(out, address, args...);
        } catch (...) {
            out.resize(sizeField);
            throw;
        }
        finishElement(out, sizeField);
    }

private:
    static constexpr std::size_t paddedSize(std::size_t n) noexcept { return n + 4 - (n % 4); }
    static constexpr std::size_t paddedBlob(std::size_t n) noexcept { return (n + 3) & ~std::size_t{3}; }

    static void appendOwned(std::vector<std::uint8_t>& out, std::string_view address, std::vector<OSCValue> values);
    static void finishElement(std::vector<std::uint8_t>& out, std::size_t sizeField);

    // Kept as it is by the owned path: ASCII without nulls.
    static bool addressIsPlain(std::string_view text) noexcept {
        for (const char c : text) {
            if (c == 0 || static_cast<unsigned char>(c) >= 128) return false;
        }
        return true;
    }
    // Written as it is by the owned path: printable ASCII.
    static bool textIsPlain(std::string_view text) noexcept {
        for (const char c : text) {
            if (c < 32 || c > 126) return false;
        }
        return true;
    }

    static std::uint8_t* put32(std::uint8_t* p, std::uint32_t v) noexcept {
        v = std::endian::native == std::endian::little ? __builtin_bswap32(v) : v;
        std::memcpy(p, &v, 4);
        return p + 4;
    }
    static std::uint8_t* put64(std::uint8_t* p, std::uint64_t v) noexcept {
        return put32(put32(p, static_cast<std::uint32_t>(v >> 32)), static_cast<std::uint32_t>(v));
    }
    static std::uint8_t* putText(std::uint8_t* p, std::string_view text) noexcept {
        std::memcpy(p, text.data(), text.size());
        return p + paddedSize(text.size());
    }
    static std::uint8_t* putBlob(std::uint8_t* p, std::span<const std::uint8_t> b) noexcept {
        p = put32(p, static_cast<std::uint32_t>(b.size()));
        if (!b.empty()) std::memcpy(p, b.data(), b.size());
        return p + paddedBlob(b.size());
    }
    static bool blobFits(std::size_t n) noexcept { return n <= std::size_t{0x7FFFFFFF}; }

    // Per type: whether the fast path writes it as the owned path would, its
    // tag, its data size, how to write it, and the owned value.
    static bool isPlain(std::int32_t) noexcept { return true; }
    static char tagOf(std::int32_t) noexcept { return 'i'; }
    static std::size_t dataSize(std::int32_t) noexcept { return 4; }
    static std::uint8_t* write(std::uint8_t* p, std::int32_t v) noexcept { return put32(p, static_cast<std::uint32_t>(v)); }
    static OSCValue toValue(std::int32_t v) { return v; }

    static bool isPlain(float) noexcept { return true; }
    static char tagOf(float) noexcept { return 'f'; }
    static std::size_t dataSize(float) noexcept { return 4; }
    static std::uint8_t* write(std::uint8_t* p, float v) noexcept { return put32(p, std::bit_cast<std::uint32_t>(v)); }
    static OSCValue toValue(float v) { return v; }

    static bool isPlain(double) noexcept { return true; }
    static char tagOf(double) noexcept { return 'd'; }
    static std::size_t dataSize(double) noexcept { return 8; }
    static std::uint8_t* write(std::uint8_t* p, double v) noexcept { return put64(p, std::bit_cast<std::uint64_t>(v)); }
    static OSCValue toValue(double v) { return v; }

    static bool isPlain(std::int64_t) noexcept { return true; }
    static char tagOf(std::int64_t) noexcept { return 'h'; }
    static std::size_t dataSize(std::int64_t) noexcept { return 8; }
    static std::uint8_t* write(std::uint8_t* p, std::int64_t v) noexcept { return put64(p, static_cast<std::uint64_t>(v)); }
    static OSCValue toValue(std::int64_t v) { return v; }

    static bool isPlain(bool) noexcept { return true; }
    static char tagOf(bool v) noexcept { return v ? 'T' : 'F'; }
    static std::size_t dataSize(bool) noexcept { return 0; }
    static std::uint8_t* write(std::uint8_t* p, bool) noexcept { return p; }
    static OSCValue toValue(bool v) { return v; }

    static bool isPlain(std::string_view v) noexcept { return textIsPlain(v); }
    static char tagOf(std::string_view) noexcept { return 's'; }
    static std::size_t dataSize(std::string_view v) noexcept { return paddedSize(v.size()); }
    static std::uint8_t* write(std::uint8_t* p, std::string_view v) noexcept { return putText(p, v); }
    static OSCValue toValue(std::string_view v) { return v; }
    // Spelled out: a pointer would otherwise take the conversion to bool.
    static bool isPlain(const char* v) noexcept { return textIsPlain(v); }
    static char tagOf(const char*) noexcept { return 's'; }
    static std::size_t dataSize(const char* v) noexcept { return dataSize(std::string_view(v)); }
    static std::uint8_t* write(std::uint8_t* p, const char* v) noexcept { return putText(p, v); }
    static OSCValue toValue(const char* v) { return v; }

    static bool isPlain(const OSCStringAltValue& v) noexcept { return textIsPlain(v.string); }
    static char tagOf(const OSCStringAltValue&) noexcept { return 'S'; }
    static std::size_t dataSize(const OSCStringAltValue& v) noexcept { return paddedSize(v.string.size()); }
    static std::uint8_t* write(std::uint8_t* p, const OSCStringAltValue& v) noexcept { return putText(p, v.string); }
    static OSCValue toValue(const OSCStringAltValue& v) { return v; }

    static bool isPlain(OSCBlobRef v) noexcept { return blobFits(v.bytes.size()); }
    static char tagOf(OSCBlobRef) noexcept { return 'b'; }
    static std::size_t dataSize(OSCBlobRef v) noexcept { return 4 + paddedBlob(v.bytes.size()); }
    static std::uint8_t* write(std::uint8_t* p, OSCBlobRef v) noexcept { return putBlob(p, v.bytes); }
    static OSCValue toValue(OSCBlobRef v) { return SharedBytes::copy(v.bytes); }

    static bool isPlain(const SharedBytes& v) noexcept { return blobFits(v.size()); }
    static char tagOf(const SharedBytes&) noexcept { return 'b'; }
    static std::size_t dataSize(const SharedBytes& v) noexcept { return 4 + paddedBlob(v.size()); }
    static std::uint8_t* write(std::uint8_t* p, const SharedBytes& v) noexcept { return putBlob(p, v.span()); }
    static OSCValue toValue(const SharedBytes& v) { return v; }

    static bool isPlain(char32_t v) noexcept { return v < 128; }
    static char tagOf(char32_t) noexcept { return 'c'; }
    static std::size_t dataSize(char32_t) noexcept { return 4; }
    static std::uint8_t* write(std::uint8_t* p, char32_t v) noexcept { return put32(p, static_cast<std::uint32_t>(v)); }
    static OSCValue toValue(char32_t v) { return v; }

    static bool isPlain(OSCTimeTag) noexcept { return true; }
    static char tagOf(OSCTimeTag) noexcept { return 't'; }
    static std::size_t dataSize(OSCTimeTag) noexcept { return 8; }
    static std::uint8_t* write(std::uint8_t* p, OSCTimeTag v) noexcept { return put64(p, v.rawValue()); }
    static OSCValue toValue(OSCTimeTag v) { return v; }

    static bool isPlain(OSCMIDIValue) noexcept { return true; }
    static char tagOf(OSCMIDIValue) noexcept { return 'm'; }
    static std::size_t dataSize(OSCMIDIValue) noexcept { return 4; }
    static std::uint8_t* write(std::uint8_t* p, OSCMIDIValue v) noexcept {
        p[0] = v.portID;
        p[1] = v.status;
        p[2] = v.data1;
        p[3] = v.data2;
        return p + 4;
    }
    static OSCValue toValue(OSCMIDIValue v) { return v; }

    static bool isPlain(OSCImpulseValue) noexcept { return true; }
    static char tagOf(OSCImpulseValue) noexcept { return 'I'; }
    static std::size_t dataSize(OSCImpulseValue) noexcept { return 0; }
    static std::uint8_t* write(std::uint8_t* p, OSCImpulseValue) noexcept { return p; }
    static OSCValue toValue(OSCImpulseValue v) { return v; }

    static bool isPlain(OSCNullValue) noexcept { return true; }
    static char tagOf(OSCNullValue) noexcept { return 'N'; }
    static std::size_t dataSize(OSCNullValue) noexcept { return 0; }
    static std::uint8_t* write(std::uint8_t* p, OSCNullValue) noexcept { return p; }
    static OSCValue toValue(OSCNullValue v) { return v; }
};

}  // namespace vorn::osc
