#pragma once

#include "base/SharedBytes.h"
#include "osc/OSCSerialization.h"
#include "osc/OSCValue.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vorn::osc {

// A read cursor over the bytes of one message. Every read checks what is left
// before it touches a byte and throws OSCDecodeError with the exact text of
// the failed check; a successful read moves past what it consumed.
class OSCValueDecoder {
public:
    // Decodes with the types that `context` (the shared registry when null)
    // holds now; later registrations do not affect this cursor.
    OSCValueDecoder(SharedBytes data, const OSCSerialization* context)
        : data_(std::move(data)),
          context_(context ? context : &OSCSerialization::shared()),
          table_(&context_->table()) {}

    const OSCSerialization* context() const noexcept { return context_; }
    const SharedBytes& data() const noexcept { return data_; }
    std::size_t position() const noexcept { return pos_; }
    std::size_t remainingCount() const noexcept { return data_.size() - pos_; }
    std::span<const std::uint8_t> remaining() const noexcept { return data_.span().subspan(pos_); }

    // Reads `count` bytes as a slice of the message's buffer (no copy).
    SharedBytes read(std::int64_t count);
    // The same as a plain view, valid while the buffer is.
    std::span<const std::uint8_t> readSpan(std::int64_t count);
    void advance(std::int64_t count);

    // The fixed-size reads are inline: they are most of what a message holds.
    std::int32_t readInt32() {
        if (remainingCount() < 4) shortRead("Int32");
        return static_cast<std::int32_t>(take32());
    }
    float readFloat32() {
        if (remainingCount() < 4) shortRead("Float32");
        return std::bit_cast<float>(take32());
    }
    std::int64_t readInt64() {
        if (remainingCount() < 8) shortRead("Int64");
        return static_cast<std::int64_t>(take64());
    }
    std::uint64_t readUInt64() {
        if (remainingCount() < 8) shortRead("UInt64");
        return take64();
    }
    double readFloat64() {
        if (remainingCount() < 8) shortRead("Double");
        return std::bit_cast<double>(take64());
    }

    // The bytes before the terminating null, then past the padding.
    std::span<const std::uint8_t> readNullTerminated();
    // The same, also telling whether the text is all 7-bit ASCII.
    std::span<const std::uint8_t> readNullTerminated(bool& ascii);
    // A null-terminated chunk of 7-bit ASCII; any failure, whatever its cause,
    // throws OSCDecodeError::malformed(failure).
    std::span<const std::uint8_t> readASCIIText(const char* failure);
    // A null-terminated chunk that is all 7-bit ASCII; nothing when it is not
    // (the caller picks the error text). Chunk errors still throw.
    std::optional<std::string> readASCIIString();
    // A length-prefixed blob, as a slice of the message's buffer.
    SharedBytes readBlob();

    // Decodes the value whose first tag is tags[0] with the registry's
    // candidates for that tag; `tags` runs to the end of the type-tag string.
    // Variadic types (arrays) call this for their elements.
    OSCValueVariadicDecoder::Result decodeValue(std::span<const char> tags);
    // The same, appending the value to `out`; returns how many tags it took.
    // Values of the built-in types are made in place.
    std::size_t decodeValue(std::span<const char> tags, std::vector<OSCValue>& out);

    // The built-in kind that decodes `tag` first, unless that is an array
    // or a registered type.
    std::optional<OSCValueKind> leadingScalar(char tag) const noexcept;
    // The registry's state this cursor decodes with.
    const OSCSerialization::Table& table() const noexcept { return *table_; }

    // The errors of a read cut short, shared with OSCMessageView.
    [[noreturn, gnu::cold]] static void shortRead(const char* type);
    [[noreturn, gnu::cold]] static void notEnoughBytes(std::size_t count, std::size_t remaining);

private:
    friend class OSCMessage;  // takes the bytes back when decoding succeeds

    [[noreturn, gnu::cold]] static void badText(const char* failure);
    // Big-endian, read byte by byte: the compiler makes one load and a swap.
    std::uint32_t take32() noexcept {
        const std::uint8_t* p = data_.data() + pos_;
        pos_ += 4;
        return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
    }
    std::uint64_t take64() noexcept {
        const std::uint64_t high = take32();
        return high << 32 | take32();
    }
    // Kept out of line: the common tags never need it.
    [[gnu::noinline]] OSCValueVariadicDecoder::Result decodeWithCandidates(std::span<const char> tags);

    SharedBytes data_;
    std::size_t pos_ = 0;
    const OSCSerialization* context_;
    const OSCSerialization::Table* table_;
    int depth_ = 0;  // variadic values open around the cursor
};

}  // namespace vorn::osc
