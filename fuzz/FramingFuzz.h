#pragma once

// What both framing fuzz targets check: the first input byte picks the bound
// and where the stream is cut, the rest is the stream. Read whole and read
// in pieces, it must give the same packets and the same error, every packet
// within the bound, and every packet must frame and read back unchanged.

#include "net/OSCStreamFraming.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vorn::net::testing {

struct FramingOutcome {
    std::vector<std::vector<std::uint8_t>> packets;
    std::optional<std::string> error;
};

inline FramingOutcome readStream(OSCFraming framing, std::size_t bound, std::span<const std::uint8_t> stream,
                                 std::size_t step) {
    FramingOutcome outcome;
    const auto decoder = OSCStreamDecoder::make(framing, bound);
    const auto sink = [&](std::span<const std::uint8_t> packet) {
        if (packet.empty() || packet.size() > bound) std::abort();
        outcome.packets.emplace_back(packet.begin(), packet.end());
    };
    try {
        for (std::size_t at = 0; at < stream.size(); at += step) {
            decoder->feed(stream.subspan(at, std::min(step, stream.size() - at)), sink);
        }
    } catch (const OSCFramingError& error) {
        outcome.error = error.what();
    }
    return outcome;
}

inline void fuzzDecoder(OSCFraming framing, const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    const std::size_t bound = std::size_t{16} << (data[0] & 0x0F);
    const std::size_t step = 1 + (data[0] >> 4);
    const std::span<const std::uint8_t> stream(data + 1, size - 1);
    const auto whole = readStream(framing, bound, stream, stream.size() + 1);
    const auto pieces = readStream(framing, bound, stream, step);
    if (whole.packets != pieces.packets || whole.error != pieces.error) std::abort();
    const auto decoder = OSCStreamDecoder::make(framing, bound);
    for (const auto& packet : whole.packets) {
        std::vector<std::uint8_t> back;
        decoder->feed(decoder->frame(packet), [&](std::span<const std::uint8_t> p) { back.assign(p.begin(), p.end()); });
        if (back != packet) std::abort();
    }
}

}  // namespace vorn::net::testing
