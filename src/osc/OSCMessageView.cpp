#include "osc/OSCMessageView.h"

#include "osc/OSCErrors.h"
#include "osc/OSCValueDecoder.h"
#include "osc/detail/OSCBytes.h"
#include "osc/detail/OSCSerializationTable.h"

#include <bit>
#include <cstring>
#include <string>
#include <variant>

namespace vorn::osc {
namespace {

// Stands for a tag whose first candidate that applies is a registered type.
constexpr auto unreadable = OSCValueKind::custom;

// The kind the owned decoder reads `tag` as when it has to go through the
// candidates: the first built-in that applies (the array applies to `[`
// alone), `unreadable` for a registered type, or its errors when none does.
OSCValueKind resolve(char tag, const OSCSerialization::Table& table) {
    const auto& candidates = table.lookup(tag);
    if (candidates.empty()) {
        throw OSCDecodeError::malformed("No concrete type found to decode OSC type tag: " + std::string(1, tag));
    }
    for (const auto& type : candidates) {
        if (!type->builtin) return unreadable;
        if (*type->builtin != OSCValueKind::array || tag == '[') return *type->builtin;
    }
    throw OSCDecodeError::malformed("No decoder found to decode OSC type tag: " + std::string(1, tag));
}

// The parse walks the tags as OSCMessage::decode does, checking each
// argument's bytes in the same order and with the same texts; it differs
// only where a registered type would be asked, and there it gives up.
class Scanner {
public:
    Scanner(std::span<const std::uint8_t> bytes, std::size_t pos, const OSCSerialization::Table& table) noexcept
        : bytes_(bytes), pos_(pos), table_(table) {}

    // Whether the view can read every argument; the count is of the top
    // level.
    bool values(std::string_view tags, std::size_t& count) {
        for (std::size_t i = 0; i < tags.size();) {
            if (tags[i] == ',') {
                ++i;
                continue;
            }
            i = value(tags, i, 0);
            if (i == std::string_view::npos) return false;
            ++count;
        }
        return true;
    }

private:
    // The index past the value at tags[i], or npos to give up.
    std::size_t value(std::string_view tags, std::size_t i, int depth) {
        const char tag = tags[i];
        if (const auto kind = table_.leadingScalar(tag)) {
            scalar(*kind, tag);
            return i + 1;
        }
        const auto kind = resolve(tag, table_);
        if (kind == unreadable) return std::string_view::npos;
        if (kind != OSCValueKind::array) {
            scalar(kind, tag);
            return i + 1;
        }
        if (depth >= bytes::maxNestingDepth) {
            throw OSCDecodeError::malformed("Arrays and bundles nest deeper than 64 levels.");
        }
        for (std::size_t j = i + 1;;) {
            if (j >= tags.size()) throw OSCDecodeError::malformed("Array termination tag ']' was not found.");
            if (tags[j] == ']') return j + 1;
            j = value(tags, j, depth + 1);
            if (j == std::string_view::npos) return j;
        }
    }

    std::size_t remaining() const noexcept { return bytes_.size() - pos_; }
    void need(std::size_t count, const char* type) const {
        if (remaining() < count) OSCValueDecoder::shortRead(type);
    }

    void scalar(OSCValueKind kind, char tag) {
        switch (kind) {
        case OSCValueKind::int32: need(4, "Int32"); pos_ += 4; return;
        case OSCValueKind::float32: need(4, "Float32"); pos_ += 4; return;
        case OSCValueKind::int64: need(8, "Int64"); pos_ += 8; return;
        case OSCValueKind::float64: need(8, "Double"); pos_ += 8; return;
        case OSCValueKind::timeTag: need(8, "UInt64"); pos_ += 8; return;
        case OSCValueKind::character: {
            need(4, "Int32");
            const auto code = static_cast<std::int32_t>(bytes::loadUInt32(bytes_.data() + pos_));
            if (code < 0 || code > 127) {
                throw OSCDecodeError::malformed(
                    "Character value couldn't be read. Could not form a Unicode scalar from the value.");
            }
            pos_ += 4;
            return;
        }
        case OSCValueKind::midi:
            if (remaining() < 4) OSCValueDecoder::notEnoughBytes(4, remaining());
            pos_ += 4;
            return;
        case OSCValueKind::string:
        case OSCValueKind::stringAlt: {
            const auto chunk = bytes::scanString(bytes_.subspan(pos_));
            if (chunk.status != bytes::StringChunk::Status::ok) {
                throw OSCDecodeError::malformed(bytes::chunkError(chunk.status));
            }
            if (!chunk.ascii) throw OSCDecodeError::malformed(bytes::nonASCIIString);
            pos_ += chunk.size;
            return;
        }
        case OSCValueKind::blob: {
            const auto blob = bytes::scanBlob(bytes_.subspan(pos_));
            if (blob.error) throw OSCDecodeError::malformed(blob.error);
            pos_ += blob.size;
            return;
        }
        case OSCValueKind::boolean:
            if (tag != 'T' && tag != 'F') throw OSCDecodeError::unexpectedType(tag);
            return;
        case OSCValueKind::impulse:
        case OSCValueKind::null: return;
        case OSCValueKind::array:
        case OSCValueKind::custom: break;
        }
        throw OSCDecodeError::internalInconsistency("Not a scalar value kind for OSC type tag: " + std::string(1, tag));
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t pos_;
    const OSCSerialization::Table& table_;
};

// The bytes an argument already checked by the parse takes.
std::size_t dataSize(OSCValueKind kind, const std::uint8_t* p) noexcept {
    switch (kind) {
    case OSCValueKind::int32:
    case OSCValueKind::float32:
    case OSCValueKind::character:
    case OSCValueKind::midi: return 4;
    case OSCValueKind::int64:
    case OSCValueKind::float64:
    case OSCValueKind::timeTag: return 8;
    case OSCValueKind::string:
    case OSCValueKind::stringAlt: return bytes::paddedStringSize(std::strlen(reinterpret_cast<const char*>(p)));
    case OSCValueKind::blob: return 4 + bytes::paddedBlobSize(bytes::loadUInt32(p));
    default: return 0;
    }
}

// The kind the parse read `tag` as; it found no errors there.
OSCValueKind kindOf(char tag, const OSCSerialization::Table* table) noexcept {
    if (const auto kind = table->leadingScalar(tag)) return *kind;
    try {
        return resolve(tag, *table);
    } catch (...) {
        return unreadable;  // not reached: the parse threw already
    }
}

// Moves past the value at `tag`, and past its elements for an array.
void skip(const char*& tag, const std::uint8_t*& data, const OSCSerialization::Table* table) noexcept {
    const auto kind = kindOf(*tag, table);
    ++tag;
    if (kind != OSCValueKind::array) {
        data += dataSize(kind, data);
        return;
    }
    while (*tag != ']') skip(tag, data, table);
    ++tag;
}

}  // namespace

// ---------------------------------------------------------------------------
// The message

std::optional<OSCMessageView> OSCMessageView::parse(std::span<const std::uint8_t> bytes,
                                                    const OSCSerialization* context) {
    if (bytes.size() % 4 != 0) throw OSCDecodeError::malformed("Length not a multiple of 4 bytes.");
    if (bytes.empty() || bytes[0] != '/') throw OSCDecodeError::malformed("Does not start with an address pattern.");
    const auto address = bytes::scanString(bytes);
    if (address.status != bytes::StringChunk::Status::ok || !address.ascii) {
        throw OSCDecodeError::malformed("Address pattern string could not be parsed.");
    }
    const auto rest = bytes.subspan(address.size);
    const auto tags = bytes::scanString(rest);
    if (tags.status != bytes::StringChunk::Status::ok || !tags.ascii) {
        throw OSCDecodeError::malformed("Couldn't extract OSC-type chunk.");
    }

    OSCMessageView view;
    view.bytes_ = bytes;
    view.address_ = {reinterpret_cast<const char*>(bytes.data()), address.length};
    view.tags_ = {reinterpret_cast<const char*>(rest.data()), tags.length};
    view.data_ = rest.data() + tags.size;
    // A ping has nothing more to check, and no argument to look up a kind for.
    if (tags.length == 1 && view.tags_[0] == ',') return view;
    view.table_ = &(context ? context : &OSCSerialization::shared())->table();
    Scanner scanner(bytes, address.size + tags.size, *view.table_);
    if (!scanner.values(view.tags_, view.count_)) return std::nullopt;
    return view;
}

std::vector<OSCValue> OSCMessageView::values() const {
    std::vector<OSCValue> result;
    result.reserve(count_);
    for (const auto argument : arguments()) result.push_back(argument.value());
    return result;
}

// ---------------------------------------------------------------------------
// Walking the arguments

OSCArgumentIterator::OSCArgumentIterator(const char* tag, const char* end, const std::uint8_t* data,
                                         const OSCSerialization::Table* table) noexcept
    : tag_(tag), end_(end), data_(data), table_(table) {
    skipCommas();
}

OSCArgumentView OSCArgumentIterator::operator*() const noexcept {
    const auto kind = kindOf(*tag_, table_);
    return {*tag_, kind, data_, tag_ + 1, table_};
}

OSCArgumentIterator& OSCArgumentIterator::operator++() noexcept {
    skip(tag_, data_, table_);
    skipCommas();
    return *this;
}

// ---------------------------------------------------------------------------
// Reading one argument

void OSCArgumentView::expect(OSCValueKind kind) const {
    if (kind_ != kind) throw std::bad_variant_access();
}

std::int32_t OSCArgumentView::int32() const {
    expect(OSCValueKind::int32);
    return static_cast<std::int32_t>(bytes::loadUInt32(data_));
}

float OSCArgumentView::float32() const {
    expect(OSCValueKind::float32);
    return std::bit_cast<float>(bytes::loadUInt32(data_));
}

std::int64_t OSCArgumentView::int64() const {
    expect(OSCValueKind::int64);
    return static_cast<std::int64_t>(bytes::loadUInt64(data_));
}

double OSCArgumentView::float64() const {
    expect(OSCValueKind::float64);
    return std::bit_cast<double>(bytes::loadUInt64(data_));
}

std::string_view OSCArgumentView::string() const {
    if (kind_ != OSCValueKind::stringAlt) expect(OSCValueKind::string);
    return reinterpret_cast<const char*>(data_);
}

std::span<const std::uint8_t> OSCArgumentView::blob() const {
    expect(OSCValueKind::blob);
    return {data_ + 4, bytes::loadUInt32(data_)};
}

bool OSCArgumentView::boolean() const {
    expect(OSCValueKind::boolean);
    return tag_ == 'T';
}

char32_t OSCArgumentView::character() const {
    expect(OSCValueKind::character);
    return static_cast<char32_t>(bytes::loadUInt32(data_));
}

OSCMIDIValue OSCArgumentView::midi() const {
    expect(OSCValueKind::midi);
    return {data_[0], data_[1], data_[2], data_[3]};
}

OSCTimeTag OSCArgumentView::timeTag() const {
    expect(OSCValueKind::timeTag);
    return OSCTimeTag(bytes::loadUInt64(data_), 0);
}

OSCArgumentRange OSCArgumentView::elements() const {
    expect(OSCValueKind::array);
    // An array's elements end at its `]`, which the parse found.
    return OSCArgumentIterator(inner_, nullptr, data_, table_);
}

OSCValue OSCArgumentView::value() const {
    switch (kind_) {
    case OSCValueKind::int32: return int32();
    case OSCValueKind::float32: return float32();
    case OSCValueKind::string: return OSCValue(std::in_place_type<std::string>, string());
    case OSCValueKind::stringAlt: return OSCStringAltValue{std::string(string())};
    case OSCValueKind::blob: return SharedBytes::copy(blob());
    case OSCValueKind::boolean: return boolean();
    case OSCValueKind::character: return character();
    case OSCValueKind::float64: return float64();
    case OSCValueKind::int64: return int64();
    case OSCValueKind::impulse: return OSCImpulseValue{};
    case OSCValueKind::midi: return midi();
    case OSCValueKind::null: return OSCNullValue{};
    case OSCValueKind::timeTag: return timeTag();
    case OSCValueKind::array: {
        OSCArrayValue array;
        for (const auto element : elements()) array.elements.push_back(element.value());
        return array;
    }
    case OSCValueKind::custom: break;
    }
    throw std::bad_variant_access();
}

}  // namespace vorn::osc
