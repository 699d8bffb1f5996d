#pragma once

// Byte-level helpers shared by the encoders and decoders of this folder.

#include "base/SharedBytes.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorn::osc::bytes {

// Arrays and bundles deeper than this are refused both ways: one datagram can
// hold tens of thousands of brackets, and the codec recurses per level.
inline constexpr int maxNestingDepth = 64;

// Tags that no registered type may claim: a null ends the type-tag string,
// a comma is skipped where it stands, brackets open and close arrays, and a
// byte outside ASCII is written as some other tag. Each would shift every
// argument after it.
constexpr bool breaksFraming(char tag) noexcept {
    return tag == '\0' || tag == ',' || tag == '[' || tag == ']' || static_cast<unsigned char>(tag) >= 128;
}

// An OSC string of n bytes takes 1 to 4 nulls, so that at least one ends it.
constexpr std::size_t paddedStringSize(std::size_t n) noexcept { return n + 4 - (n % 4); }
// A blob of n bytes takes 0 to 3 nulls.
constexpr std::size_t paddedBlobSize(std::size_t n) noexcept { return (n + 3) & ~std::size_t{3}; }

inline void appendUInt32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                               static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    out.insert(out.end(), b, b + 4);
}

inline void appendUInt64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    appendUInt32(out, static_cast<std::uint32_t>(v >> 32));
    appendUInt32(out, static_cast<std::uint32_t>(v));
}

inline void storeUInt32(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

inline std::uint32_t loadUInt32(const std::uint8_t* p) noexcept {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

inline std::uint64_t loadUInt64(const std::uint8_t* p) noexcept {
    return (std::uint64_t{loadUInt32(p)} << 32) | loadUInt32(p + 4);
}

inline constexpr std::uint64_t lowBits = 0x0101010101010101u;
inline constexpr std::uint64_t highBits = 0x8080808080808080u;

inline std::uint64_t load64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// What a null-terminated chunk at the start of some bytes holds.
struct StringChunk {
    enum class Status : std::uint8_t { ok, tooShort, notTerminated };
    Status status = Status::ok;
    bool ascii = false;     // every byte before the null is 7-bit
    std::size_t length = 0; // bytes before the null
    std::size_t size = 0;   // with the padding
};

// Checks the chunk in the order the decoders report failures: fewer than
// four bytes, no null at all, padding cut short, padding that is not null.
// Addresses, type tags and strings all come through here, once per message
// or more: one pass finds the null and notes whether the text is ASCII, a
// word or sixteen bytes at a time.
[[gnu::always_inline]] inline StringChunk scanString(std::span<const std::uint8_t> bytes) noexcept {
    using Status = StringChunk::Status;
    if (bytes.size() < 4) return {Status::tooShort};
    const std::uint8_t* const p = bytes.data();
    bool ascii = true;
    std::size_t length = 0;
    bool found = false;
#if defined(__SSE2__)
    // Sixteen bytes a step: one mask of the nulls, one of the high bits.
    for (; length + 16 <= bytes.size(); length += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + length));
        const auto nulls = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
        const auto high = static_cast<unsigned>(_mm_movemask_epi8(v));
        if (nulls != 0) {
            const int index = std::countr_zero(nulls);
            // Only the bytes below the first null are text.
            if (high & ((1u << index) - 1)) ascii = false;
            length += static_cast<std::size_t>(index);
            found = true;
            break;
        }
        if (high != 0) ascii = false;
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        for (; !found && length + 8 <= bytes.size(); length += 8) {
            const std::uint64_t v = load64(p + length);
            // The lowest flagged byte is the first null; flags above it may
            // be false, and are never looked at.
            if (const std::uint64_t zero = (v - lowBits) & ~v & highBits) {
                const int index = std::countr_zero(zero) / 8;
                if (v & ((std::uint64_t{1} << (8 * index)) - 1) & highBits) ascii = false;
                length += static_cast<std::size_t>(index);
                found = true;
                break;
            }
            if (v & highBits) ascii = false;
        }
    }
    if (!found) {
        std::uint8_t any = 0;
        for (; length < bytes.size() && p[length] != 0; ++length) any |= p[length];
        if (length == bytes.size()) return {Status::notTerminated};
        if (any & 0x80) ascii = false;
    }
    const std::size_t size = paddedStringSize(length);
    if (size > bytes.size()) return {Status::tooShort};
    // The null and its padding all lie in the chunk's last four bytes.
    const std::uint32_t tail = loadUInt32(p + size - 4) & (0xFFFFFFFFu >> (8 * (length + 4 - size)));
    if (tail != 0) return {Status::notTerminated};
    return {Status::ok, ascii, length, size};
}

// The texts a failed string chunk throws with, wherever it is read.
inline constexpr const char* chunkTooShort = "Not enough bytes in 4-byte aligned null-terminated data chunk.";
inline constexpr const char* chunkNotTerminated =
    "4-byte aligned null-terminated data chunk does not terminate in null bytes as expected.";
inline constexpr const char* nonASCIIString =
    "Failed to form valid ASCII string from 4-byte aligned null-terminated ASCII string chunk. "
    "Non-ASCII characters may be present or the data is malformed.";

inline const char* chunkError(StringChunk::Status status) noexcept {
    return status == StringChunk::Status::tooShort ? chunkTooShort : chunkNotTerminated;
}

// Longest blob we accept: what fits in one UDP datagram beside the smallest
// message around it.
inline constexpr std::int32_t maxBlobLength = 65506;

// What a length-prefixed blob at the start of some bytes holds: its data
// from byte 4 on, `length` bytes, then padding up to `size` in all; or the
// text of the first check it fails, in the order the decoders report them.
struct BlobChunk {
    const char* error = nullptr;
    std::size_t length = 0;
    std::size_t size = 0;
};

inline BlobChunk scanBlob(std::span<const std::uint8_t> bytes) noexcept {
    constexpr const char* lengthUnreadable =
        "Failed to read Int32 length chunk at start of 4-byte aligned null-terminated blob data chunk.";
    if (bytes.size() < 4) return {lengthUnreadable};
    const auto length = static_cast<std::int32_t>(loadUInt32(bytes.data()));
    if (length > maxBlobLength) return {lengthUnreadable};
    if (length < 0) return {"Blob length is negative."};
    const auto count = static_cast<std::size_t>(length);
    const std::size_t available = bytes.size() - 4;
    if (count > available) return {"Encoded blob chunk length is greater than the available data length."};
    const auto padded = paddedBlobSize(count);
    if (padded > available) return {"Not enough bytes in 4-byte aligned null-terminated blob data chunk."};
    for (std::size_t i = count; i < padded; ++i) {
        if (bytes[4 + i] != 0) return {"Expected 4-byte null terminated data but expected null bytes were not found."};
    }
    return {nullptr, count, 4 + padded};
}

inline void appendBytes(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> b) {
    out.insert(out.end(), b.begin(), b.end());
}

inline void appendNulls(std::vector<std::uint8_t>& out, std::size_t count) { out.resize(out.size() + count, 0); }

// Text as an OSC string: its bytes and 1 to 4 nulls.
inline void appendPaddedString(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> text) {
    appendBytes(out, text);
    appendNulls(out, paddedStringSize(text.size()) - text.size());
}

// One copy of `b` in a buffer of its own (a single allocation).
inline SharedBytes copyShared(std::span<const std::uint8_t> b) {
    std::uint8_t* target = nullptr;
    SharedBytes result = SharedBytes::allocate(b.size(), target);
    if (!b.empty()) std::memcpy(target, b.data(), b.size());
    return result;
}

// Runs `encode(buffer)` and returns what it appended as one shared buffer of
// exactly that size. The working buffer is kept per thread, so an encoding
// costs one allocation once the buffer has grown to fit.
template <class Encode>
SharedBytes encodeShared(const Encode& encode) {
    thread_local std::vector<std::uint8_t> scratch;
    thread_local bool busy = false;

    std::vector<std::uint8_t> nested;  // for an encoder that encodes while we do
    const bool reuse = !busy;
    std::vector<std::uint8_t>& buffer = reuse ? scratch : nested;
    struct Release {
        bool reuse;
        std::vector<std::uint8_t>& buffer;
        ~Release() {
            if (!reuse) return;
            busy = false;
            // One huge blob must not pin its memory for the life of the thread.
            if (buffer.capacity() > (std::size_t{1} << 16)) std::vector<std::uint8_t>().swap(buffer);
        }
    };
    if (reuse) {
        busy = true;
        scratch.clear();
    }
    Release release{reuse, buffer};

    encode(buffer);
    return copyShared(buffer);
}

}  // namespace vorn::osc::bytes
