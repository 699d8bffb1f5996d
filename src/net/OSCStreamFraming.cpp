#include "net/OSCStreamFraming.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace vorn::net {

namespace {

std::string hexByte(std::uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(byte));
    return text;
}

}  // namespace

std::string_view framingName(OSCFraming framing) {
    return framing == OSCFraming::slip ? "SLIP framing" : "OSC 1.0 framing";
}

void OSCStreamDecoder::feed(std::span<const std::uint8_t> bytes, const PacketSink& sink) {
    if (error_) {
        throw OSCFramingError(*error_);
    }
    try {
        decode(bytes, sink);
    } catch (const OSCFramingError& error) {
        error_ = error.what();
        throw;
    }
}

void OSCStreamDecoder::reset() {
    error_.reset();
}

std::unique_ptr<OSCStreamDecoder> OSCStreamDecoder::make(OSCFraming framing, std::size_t maxFrameSize) {
    if (framing == OSCFraming::slip) {
        return std::make_unique<OSCSLIPDecoder>(maxFrameSize);
    }
    return std::make_unique<OSCLengthPrefixedDecoder>(maxFrameSize);
}

// ---------------------------------------------------------------------------
// OSC 1.0: size, then bytes

OSCLengthPrefixedDecoder::OSCLengthPrefixedDecoder(std::size_t maxFrameSize) : OSCStreamDecoder(maxFrameSize) {}

void OSCLengthPrefixedDecoder::reset() {
    OSCStreamDecoder::reset();
    header_.clear();
    body_.clear();
    expected_ = 0;
    inBody_ = false;
}

std::vector<std::uint8_t> OSCLengthPrefixedDecoder::frame(std::span<const std::uint8_t> packet) const {
    return encode(packet);
}

std::vector<std::uint8_t> OSCLengthPrefixedDecoder::encode(std::span<const std::uint8_t> packet) {
    if (packet.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::length_error("OSC packet too large for a 32-bit size");
    }
    const auto size = static_cast<std::uint32_t>(packet.size());
    std::vector<std::uint8_t> framed;
    framed.reserve(4 + packet.size());
    framed.push_back(static_cast<std::uint8_t>(size >> 24));
    framed.push_back(static_cast<std::uint8_t>(size >> 16));
    framed.push_back(static_cast<std::uint8_t>(size >> 8));
    framed.push_back(static_cast<std::uint8_t>(size));
    framed.insert(framed.end(), packet.begin(), packet.end());
    return framed;
}

void OSCLengthPrefixedDecoder::decode(std::span<const std::uint8_t> bytes, const PacketSink& sink) {
    while (!bytes.empty()) {
        if (!inBody_) {
            // A whole packet inside this piece goes to the sink straight from
            // it, without a copy: the common case of one read, one packet.
            if (header_.empty() && bytes.size() >= 4) {
                header_.assign(bytes.begin(), bytes.begin() + 4);
                bytes = bytes.subspan(4);
            } else {
                const auto take = std::min<std::size_t>(4 - header_.size(), bytes.size());
                header_.insert(header_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
                bytes = bytes.subspan(take);
                if (header_.size() < 4) {
                    return;
                }
            }
            const std::uint32_t raw = (std::uint32_t{header_[0]} << 24) | (std::uint32_t{header_[1]} << 16) |
                                      (std::uint32_t{header_[2]} << 8) | std::uint32_t{header_[3]};
            header_.clear();
            const auto size = static_cast<std::int32_t>(raw);
            if (size < 0) {
                throw OSCFramingError("Bad OSC 1.0 frame: negative packet size " + std::to_string(size));
            }
            if (static_cast<std::size_t>(size) > maxFrameSize()) {
                throw OSCFramingError("Bad OSC 1.0 frame: packet size " + std::to_string(size) +
                                      " exceeds the limit of " + std::to_string(maxFrameSize()) + " bytes");
            }
            if (size == 0) {
                continue;
            }
            expected_ = static_cast<std::size_t>(size);
            if (bytes.size() >= expected_) {
                const auto packet = bytes.first(expected_);
                bytes = bytes.subspan(expected_);
                sink(packet);
                continue;
            }
            inBody_ = true;
            body_.reserve(expected_);
        }
        const auto take = std::min(expected_ - body_.size(), bytes.size());
        body_.insert(body_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
        bytes = bytes.subspan(take);
        if (body_.size() == expected_) {
            inBody_ = false;
            // Moved out first: the sink may throw, and the next packet must
            // still start clean.
            const auto packet = std::move(body_);
            body_.clear();
            sink(packet);
        }
    }
}

// ---------------------------------------------------------------------------
// SLIP

OSCSLIPDecoder::OSCSLIPDecoder(std::size_t maxFrameSize) : OSCStreamDecoder(maxFrameSize) {}

void OSCSLIPDecoder::reset() {
    OSCStreamDecoder::reset();
    body_.clear();
    escaped_ = false;
}

std::vector<std::uint8_t> OSCSLIPDecoder::frame(std::span<const std::uint8_t> packet) const {
    return encode(packet);
}

std::vector<std::uint8_t> OSCSLIPDecoder::encode(std::span<const std::uint8_t> packet) {
    std::vector<std::uint8_t> framed;
    framed.reserve(packet.size() + packet.size() / 32 + 2);
    // The leading END ends whatever line noise came before, as RFC 1055
    // suggests; the reader skips the empty frame it makes.
    framed.push_back(end);
    for (const auto byte : packet) {
        if (byte == end) {
            framed.push_back(esc);
            framed.push_back(escEnd);
        } else if (byte == esc) {
            framed.push_back(esc);
            framed.push_back(escEsc);
        } else {
            framed.push_back(byte);
        }
    }
    framed.push_back(end);
    return framed;
}

void OSCSLIPDecoder::decode(std::span<const std::uint8_t> bytes, const PacketSink& sink) {
    for (const auto byte : bytes) {
        if (escaped_) {
            escaped_ = false;
            if (byte == escEnd) {
                body_.push_back(end);
            } else if (byte == escEsc) {
                body_.push_back(esc);
            } else {
                throw OSCFramingError("Bad SLIP frame: escape byte 0xDB followed by " + hexByte(byte) +
                                      ", not 0xDC or 0xDD");
            }
        } else if (byte == esc) {
            escaped_ = true;
            continue;
        } else if (byte == end) {
            if (!body_.empty()) {
                const auto packet = std::move(body_);
                body_.clear();
                sink(packet);
            }
            continue;
        } else {
            body_.push_back(byte);
        }
        if (body_.size() > maxFrameSize()) {
            throw OSCFramingError("Bad SLIP frame: packet exceeds the limit of " + std::to_string(maxFrameSize()) +
                                  " bytes");
        }
    }
}

}  // namespace vorn::net
