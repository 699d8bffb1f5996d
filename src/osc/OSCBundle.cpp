#include "osc/OSCBundle.h"

#include "osc/OSCErrors.h"
#include "osc/detail/OSCBundleFraming.h"

#include <cstring>
#include <limits>

namespace vorn::osc {
namespace {

constexpr std::uint8_t header[8] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0};

// The size field is a signed 32-bit integer.
constexpr auto maxElementSize = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

}  // namespace

namespace bytes {

bool startsWithBundleHeader(std::span<const std::uint8_t> bytes) noexcept {
    return bytes.size() >= sizeof header && std::memcmp(bytes.data(), header, sizeof header) == 0;
}

std::uint64_t checkBundleHeader(std::span<const std::uint8_t> bytes, int depth) {
    if (depth > maxNestingDepth) throw OSCDecodeError::malformed("Arrays and bundles nest deeper than 64 levels.");
    if (bytes.size() < 16) {
        throw OSCDecodeError::malformed("Data length too short. (Length is " + std::to_string(bytes.size()) + ")");
    }
    if (!startsWithBundleHeader(bytes)) throw OSCDecodeError::malformed("Bundle header is not present or is malformed.");
    return loadUInt64(bytes.data() + 8);
}

std::size_t countBundleElements(std::span<const std::uint8_t> bytes) noexcept {
    std::size_t count = 0;
    for (std::size_t pos = 16; bytes.size() - pos >= 4; ++count) {
        const auto size = static_cast<std::int32_t>(loadUInt32(bytes.data() + pos));
        if (size < 0 || static_cast<std::size_t>(size) > bytes.size() - pos - 4) break;
        pos += 4 + static_cast<std::size_t>(size);
    }
    return count;
}

void throwBundleEndedEarly() { throw OSCDecodeError::malformed("Data bytes ended earlier than expected."); }
void throwNegativeElementSize() { throw OSCDecodeError::malformed("Bundle element size is negative."); }
void throwUnrecognizedElement() { throw OSCDecodeError::malformed("Unrecognized bundle element encountered."); }

}  // namespace bytes

OSCBundle::OSCBundle(std::vector<OSCPacket> elements, std::optional<OSCTimeTag> timeTag)
    : timeTag_(timeTag.value_or(OSCTimeTag::immediate())), elements_(std::move(elements)) {}

OSCBundle OSCBundle::decode(SharedBytes bytes) {
    OSCBundle bundle;
    decode(std::move(bytes), 1, bundle);
    return bundle;
}

// Elements are decoded where they will live, in the list, rather than moved
// there: a bundle of small messages spends much of its time on such moves.
void OSCBundle::decode(SharedBytes bytes, int depth, OSCBundle& bundle) {
    bundle.timeTag_ = OSCTimeTag(bytes::checkBundleHeader(bytes.span(), depth), 0);
    bundle.elements_.reserve(bytes::countBundleElements(bytes.span()));
    bytes::forEachBundleElement(bytes.span(), [&](std::size_t offset, std::size_t size, bytes::BundleElementKind kind) {
        SharedBytes element = bytes.slice(offset, size);
        if (kind == bytes::BundleElementKind::bundle) {
            auto& packet = bundle.elements_.emplace_back(OSCPacket::DecodingKey(), std::in_place_type<OSCBundle>);
            decode(std::move(element), depth + 1, *packet.bundleIf());
        } else {
            auto& packet = bundle.elements_.emplace_back(OSCPacket::DecodingKey(), std::in_place_type<OSCMessage>);
            OSCMessage::decodeInto(std::move(element), *packet.messageIf());
        }
    });
    bundle.rawData_ = std::move(bytes);
}

SharedBytes OSCBundle::rawData() const {
    if (rawData_) return *rawData_;
    return bytes::encodeShared([this](std::vector<std::uint8_t>& out) { encode(out); });
}

void OSCBundle::encode(std::vector<std::uint8_t>& out) const { encode(out, 1); }

void OSCBundle::encode(std::vector<std::uint8_t>& out, int depth) const {
    if (rawData_) {
        bytes::appendBytes(out, rawData_->span());
        return;
    }
    // Deeper bundles could not be read back, by us or most peers.
    if (depth > bytes::maxNestingDepth) throw OSCEncodeError::general();
    const std::size_t start = out.size();
    try {
        out.insert(out.end(), std::begin(header), std::end(header));
        bytes::appendUInt64(out, timeTag_.rawValue());
        for (const auto& element : elements_) {
            // Kept bytes that could never be framed are refused before they are copied.
            const auto& kept = element.isMessage() ? element.message().cachedRawData() : element.bundle().cachedRawData();
            if (kept && kept->size() > maxElementSize) throw OSCEncodeError::general();
            const std::size_t sizeField = out.size();
            bytes::appendUInt32(out, 0);
            if (const auto* message = element.messageIf()) {
                message->encode(out);
            } else {
                element.bundle().encode(out, depth + 1);
            }
            const std::size_t size = out.size() - sizeField - 4;
            if (size > maxElementSize) throw OSCEncodeError::general();
            bytes::storeUInt32(out.data() + sizeField, static_cast<std::uint32_t>(size));
        }
    } catch (...) {
        out.resize(start);
        throw;
    }
}

std::string OSCBundle::description() const {
    std::string text = "OSCBundle(timeTag: " + timeTag_.description() + ", elements: [";
    for (std::size_t i = 0; i < elements_.size(); ++i) {
        if (i > 0) text += ", ";
        text += elements_[i].description();
    }
    return text + "])";
}

bool operator==(const OSCBundle& a, const OSCBundle& b) { return a.elements_ == b.elements_; }

SharedBytes OSCPacket::rawData() const {
    return isMessage() ? message().rawData() : bundle().rawData();
}

void OSCPacket::encode(std::vector<std::uint8_t>& out) const {
    if (isMessage()) {
        message().encode(out);
    } else {
        bundle().encode(out);
    }
}

std::string OSCPacket::description() const { return isMessage() ? message().description() : bundle().description(); }

std::optional<OSCObjectType> packetType(std::span<const std::uint8_t> bytes) noexcept {
    if (bytes::startsWithBundleHeader(bytes)) return OSCObjectType::bundle;
    if (!bytes.empty() && bytes[0] == '/') return OSCObjectType::message;
    return std::nullopt;
}

std::optional<OSCPacket> OSCBundle::decodePacket(SharedBytes bytes, OSCObjectType type) {
    std::optional<OSCPacket> packet;  // one object for both returns, so that neither is moved
    if (type == OSCObjectType::bundle) {
        decode(std::move(bytes), 1, *packet.emplace(OSCPacket::DecodingKey(), std::in_place_type<OSCBundle>).bundleIf());
    } else {
        // A failed packet is dropped whole: nothing to reset.
        OSCMessage::decodeInto(std::move(bytes),
                               *packet.emplace(OSCPacket::DecodingKey(), std::in_place_type<OSCMessage>).messageIf());
    }
    return packet;
}

std::optional<OSCPacket> parseOSC(SharedBytes bytes) {
    const auto type = packetType(bytes.span());
    if (!type) return std::nullopt;
    return OSCBundle::decodePacket(std::move(bytes), *type);
}

std::optional<OSCPacket> parseOSC(std::span<const std::uint8_t> bytes) {
    // Anything we would drop is not worth a copy.
    const auto type = packetType(bytes);
    if (!type) return std::nullopt;
    return OSCBundle::decodePacket(bytes::copyShared(bytes), *type);
}

}  // namespace vorn::osc

std::size_t std::hash<vorn::osc::OSCBundle>::operator()(const vorn::osc::OSCBundle& bundle) const noexcept {
    std::size_t seed = bundle.elements().size();
    for (const auto& element : bundle.elements()) {
        seed ^= std::hash<vorn::osc::OSCPacket>{}(element) + 0x9E3779B97F4A7C15ULL + (seed << 6U) + (seed >> 2U);
    }
    return seed;
}

std::size_t std::hash<vorn::osc::OSCPacket>::operator()(const vorn::osc::OSCPacket& packet) const noexcept {
    if (const auto* message = packet.messageIf()) return std::hash<vorn::osc::OSCMessage>{}(*message);
    return ~std::hash<vorn::osc::OSCBundle>{}(packet.bundle());
}
