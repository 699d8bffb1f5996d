#pragma once

#include "base/SharedBytes.h"
#include "osc/OSCMessage.h"
#include "osc/OSCTimeTag.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace vorn::osc {

class OSCPacket;

enum class OSCObjectType : std::uint8_t { message, bundle };

// A time tag and a list of messages and bundles, nested to any depth.
class OSCBundle {
public:
    OSCBundle() = default;
    explicit OSCBundle(std::vector<OSCPacket> elements, std::optional<OSCTimeTag> timeTag = std::nullopt);

    // Decodes one bundle; throws OSCDecodeError.
    static OSCBundle decode(SharedBytes bytes);

    const OSCTimeTag& timeTag() const noexcept { return timeTag_; }
    const std::vector<OSCPacket>& elements() const noexcept { return elements_; }

    SharedBytes rawData() const;
    void encode(std::vector<std::uint8_t>& out) const;
    const std::optional<SharedBytes>& cachedRawData() const noexcept { return rawData_; }

    // OSCBundle(timeTag: 1 (immediate), elements: [...])
    std::string description() const;

    // Elements equal; the time tags are not compared.
    friend bool operator==(const OSCBundle& a, const OSCBundle& b);

private:
    friend std::optional<OSCPacket> parseOSC(SharedBytes bytes);
    friend std::optional<OSCPacket> parseOSC(std::span<const std::uint8_t> bytes);

    // A packet of `type`, decoded where it is returned.
    static std::optional<OSCPacket> decodePacket(SharedBytes bytes, OSCObjectType type);
    // `depth` counts this bundle and the ones around it.
    static void decode(SharedBytes bytes, int depth, OSCBundle& into);
    void encode(std::vector<std::uint8_t>& out, int depth) const;

    OSCTimeTag timeTag_ = OSCTimeTag::immediate();
    std::vector<OSCPacket> elements_;
    std::optional<SharedBytes> rawData_;
};

// One OSC packet: a message or a bundle.
class OSCPacket {
    // Only the decoders can make one: they build an empty packet where it is
    // to live and decode into it, rather than moving a decoded one there.
    class DecodingKey {
        friend class OSCBundle;
        explicit DecodingKey() = default;
    };
    friend class OSCBundle;

public:
    OSCPacket(OSCMessage message) : value_(std::move(message)) {}  // NOLINT: either converts implicitly
    OSCPacket(OSCBundle bundle) : value_(std::move(bundle)) {}     // NOLINT
    template <class T>
    OSCPacket(DecodingKey, std::in_place_type_t<T> type) : value_(type) {}

    OSCObjectType type() const noexcept {
        return value_.index() == 0 ? OSCObjectType::message : OSCObjectType::bundle;
    }
    bool isMessage() const noexcept { return value_.index() == 0; }
    bool isBundle() const noexcept { return value_.index() == 1; }
    const OSCMessage& message() const { return std::get<OSCMessage>(value_); }
    const OSCBundle& bundle() const { return std::get<OSCBundle>(value_); }
    const OSCMessage* messageIf() const noexcept { return std::get_if<OSCMessage>(&value_); }
    const OSCBundle* bundleIf() const noexcept { return std::get_if<OSCBundle>(&value_); }
    OSCMessage* messageIf() noexcept { return std::get_if<OSCMessage>(&value_); }
    OSCBundle* bundleIf() noexcept { return std::get_if<OSCBundle>(&value_); }

    SharedBytes rawData() const;
    void encode(std::vector<std::uint8_t>& out) const;
    std::string description() const;

    friend bool operator==(const OSCPacket& a, const OSCPacket& b) { return a.value_ == b.value_; }

private:
    std::variant<OSCMessage, OSCBundle> value_;
};

// What kind of packet the bytes hold, without decoding them: a bundle when
// they begin with "#bundle" and a null, a message when they begin with "/",
// nothing otherwise.
std::optional<OSCObjectType> packetType(std::span<const std::uint8_t> bytes) noexcept;

// Decodes one datagram. Bytes that are neither a bundle nor a message give
// nothing (not an error); a malformed packet throws OSCDecodeError.
std::optional<OSCPacket> parseOSC(SharedBytes bytes);
// Copies `bytes` once; decoded messages and blobs are slices of that copy.
std::optional<OSCPacket> parseOSC(std::span<const std::uint8_t> bytes);

}  // namespace vorn::osc

// By elements only, as equality: the time tag is left out.
template <>
struct std::hash<vorn::osc::OSCBundle> {
    std::size_t operator()(const vorn::osc::OSCBundle& bundle) const noexcept;
};
template <>
struct std::hash<vorn::osc::OSCPacket> {
    std::size_t operator()(const vorn::osc::OSCPacket& packet) const noexcept;
};
