#include "osc/OSCBuiltinCoding.h"

#include "osc/OSCErrors.h"
#include "osc/OSCValueDecoder.h"
#include "osc/detail/OSCBytes.h"
#include "osc/detail/OSCSerializationTable.h"

#include <bit>
#include <limits>
#include <string>

namespace vorn::osc::builtin {
namespace {

// Text goes out through the lossy conversion; printable ASCII comes out of it
// unchanged, so only other text pays for the conversion.
void appendText(const std::string& text, std::vector<std::uint8_t>& out) {
    bool printable = true;
    for (char c : text) {
        if (c < 32 || c > 126) {
            printable = false;
            break;
        }
    }
    if (printable) {
        bytes::appendPaddedString(out, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    } else {
        bytes::appendPaddedString(out, ascii::ASCIIString::lossy(text).rawData());
    }
}

std::uint32_t characterCode(char32_t c) {
    return c < 128 ? static_cast<std::uint32_t>(c) : ascii::ASCIICharacter::lossy(c).asciiValue();
}

}  // namespace

char scalarTag(const OSCValue& value) noexcept {
    switch (value.kind()) {
    case OSCValueKind::int32: return 'i';
    case OSCValueKind::float32: return 'f';
    case OSCValueKind::string: return 's';
    case OSCValueKind::blob: return 'b';
    case OSCValueKind::boolean: return value.get<bool>() ? 'T' : 'F';
    case OSCValueKind::character: return 'c';
    case OSCValueKind::float64: return 'd';
    case OSCValueKind::int64: return 'h';
    case OSCValueKind::impulse: return 'I';
    case OSCValueKind::midi: return 'm';
    case OSCValueKind::null: return 'N';
    case OSCValueKind::stringAlt: return 'S';
    case OSCValueKind::timeTag: return 't';
    case OSCValueKind::array:
    case OSCValueKind::custom: break;
    }
    return '?';
}

void appendScalar(const OSCValue& value, std::vector<std::uint8_t>& out) {
    switch (value.kind()) {
    case OSCValueKind::int32:
        bytes::appendUInt32(out, static_cast<std::uint32_t>(value.get<std::int32_t>()));
        return;
    case OSCValueKind::float32:
        bytes::appendUInt32(out, std::bit_cast<std::uint32_t>(value.get<float>()));
        return;
    case OSCValueKind::string:
        appendText(value.get<std::string>(), out);
        return;
    case OSCValueKind::blob: {
        const auto& blob = value.get<SharedBytes>();
        // The length field is a signed 32-bit integer.
        if (blob.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
            throw OSCEncodeError::general();
        }
        bytes::appendUInt32(out, static_cast<std::uint32_t>(blob.size()));
        bytes::appendBytes(out, blob.span());
        bytes::appendNulls(out, bytes::paddedBlobSize(blob.size()) - blob.size());
        return;
    }
    case OSCValueKind::character:
        bytes::appendUInt32(out, characterCode(value.get<char32_t>()));
        return;
    case OSCValueKind::float64:
        bytes::appendUInt64(out, std::bit_cast<std::uint64_t>(value.get<double>()));
        return;
    case OSCValueKind::int64:
        bytes::appendUInt64(out, static_cast<std::uint64_t>(value.get<std::int64_t>()));
        return;
    case OSCValueKind::midi: {
        const auto& m = value.get<OSCMIDIValue>();
        out.insert(out.end(), {m.portID, m.status, m.data1, m.data2});
        return;
    }
    case OSCValueKind::stringAlt:
        appendText(value.get<OSCStringAltValue>().string, out);
        return;
    case OSCValueKind::timeTag:
        bytes::appendUInt64(out, value.get<OSCTimeTag>().rawValue());
        return;
    case OSCValueKind::boolean:
    case OSCValueKind::impulse:
    case OSCValueKind::null:
        return;
    case OSCValueKind::array:
    case OSCValueKind::custom:
        break;
    }
    throw OSCEncodeError::unexpectedEncoder();
}

namespace {

// Reads one scalar and hands it to `make`, which builds the value where the
// caller wants it: from the value, or from std::in_place_type and the
// arguments that make it.
template <class Make>
[[gnu::always_inline]] inline auto readScalar(OSCValueKind kind, char tag, OSCValueDecoder& decoder, Make&& make) {
    switch (kind) {
    case OSCValueKind::int32: return make(decoder.readInt32());
    case OSCValueKind::float32: return make(decoder.readFloat32());
    case OSCValueKind::string:
    case OSCValueKind::stringAlt: {
        bool ascii = false;
        const auto chunk = decoder.readNullTerminated(ascii);
        if (!ascii) {
            throw OSCDecodeError::malformed(bytes::nonASCIIString);
        }
        const auto* text = reinterpret_cast<const char*>(chunk.data());
        if (kind == OSCValueKind::stringAlt) {
            return make(std::in_place_type<OSCStringAltValue>, OSCStringAltValue{std::string(text, chunk.size())});
        }
        return make(std::in_place_type<std::string>, text, chunk.size());
    }
    case OSCValueKind::blob: return make(decoder.readBlob());
    case OSCValueKind::boolean:
        if (tag == 'T') return make(true);
        if (tag == 'F') return make(false);
        throw OSCDecodeError::unexpectedType(tag);
    case OSCValueKind::character: {
        const std::int32_t code = decoder.readInt32();
        if (code < 0 || code > 127) {
            throw OSCDecodeError::malformed(
                "Character value couldn't be read. Could not form a Unicode scalar from the value.");
        }
        return make(static_cast<char32_t>(code));
    }
    case OSCValueKind::float64: return make(decoder.readFloat64());
    case OSCValueKind::int64: return make(decoder.readInt64());
    case OSCValueKind::impulse: return make(OSCImpulseValue{});
    case OSCValueKind::midi: {
        const auto b = decoder.readSpan(4);
        return make(OSCMIDIValue{b[0], b[1], b[2], b[3]});
    }
    case OSCValueKind::null: return make(OSCNullValue{});
    case OSCValueKind::timeTag: return make(OSCTimeTag(decoder.readUInt64(), 0));
    case OSCValueKind::array:
    case OSCValueKind::custom: break;
    }
    throw OSCDecodeError::internalInconsistency("Not a scalar value kind for OSC type tag: " + std::string(1, tag));
}

}  // namespace

OSCValue decodeScalar(OSCValueKind kind, char tag, OSCValueDecoder& decoder) {
    return readScalar(kind, tag, decoder, [](auto&&... args) { return OSCValue(std::forward<decltype(args)>(args)...); });
}

void decodeScalarInto(OSCValueKind kind, char tag, OSCValueDecoder& decoder, std::vector<OSCValue>& out) {
    readScalar(kind, tag, decoder, [&out](auto&&... args) { out.emplace_back(std::forward<decltype(args)>(args)...); });
}

namespace {

// Appends the value whose first tag is tags[0] and returns how many tags it
// took. The built-in scalars are read right here, which is most of the work
// of decoding a message; arrays and registered types take the cursor's
// general path.
[[gnu::always_inline]] inline std::size_t decodeNext(std::span<const char> tags, OSCValueDecoder& decoder,
                                                     std::vector<OSCValue>& out) {
    const char tag = tags.front();
    if (const auto kind = decoder.table().leadingScalar(tag)) {
        readScalar(*kind, tag, decoder, [&out](auto&&... args) { out.emplace_back(std::forward<decltype(args)>(args)...); });
        return 1;
    }
    return decoder.decodeValue(tags, out);
}

}  // namespace

void decodeValues(std::span<const char> tags, OSCValueDecoder& decoder, std::vector<OSCValue>& out) {
    out.clear();
    // Room for a value per tag but the usual leading comma: too much only
    // for arrays and stray commas, and no pass over the tags to count them.
    out.reserve(tags.size() - (!tags.empty() && tags.front() == ','));
    for (std::size_t index = 0; index < tags.size();) {
        if (tags[index] == ',') {
            ++index;
            continue;
        }
        index += decodeNext(tags.subspan(index), decoder, out);
    }
}

std::optional<OSCValueVariadicDecoder::Result> decodeArray(std::span<const char> tags, OSCValueDecoder& decoder) {
    if (tags.empty() || tags.front() != '[') return std::nullopt;
    OSCArrayValue array;
    std::size_t index = 1;
    while (true) {
        if (index >= tags.size()) throw OSCDecodeError::malformed("Array termination tag ']' was not found.");
        if (tags[index] == ']') return OSCValueVariadicDecoder::Result{index + 1, OSCValue(std::move(array))};
        index += decodeNext(tags.subspan(index), decoder, array.elements);
    }
}

}  // namespace vorn::osc::builtin
