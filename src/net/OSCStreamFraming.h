#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::net {

// How OSC packets are cut out of a byte stream such as a TCP connection,
// where nothing marks where one packet ends and the next begins.
enum class OSCFraming {
    // OSC 1.0: each packet preceded by its size, a big-endian 32-bit integer.
    lengthPrefixed,
    // OSC 1.1: each packet between SLIP END bytes (RFC 1055), END and ESC
    // inside it escaped.
    slip,
};

// "OSC 1.0 framing" or "SLIP framing", for lines a user reads.
std::string_view framingName(OSCFraming framing);

// A frame that no well-behaved peer sends. The stream it came from cannot be
// trusted to find the start of the next packet again, so whoever reads it
// closes the connection; the text says what was wrong.
class OSCFramingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Cuts packets out of a stream and wraps packets for one. Bytes go in as
// they arrive, in pieces of any size: a packet split anywhere, many packets
// in one piece. What a frame may hold is bounded (`maxFrameSize`, 1 MiB by
// default), so a peer cannot make the reader buffer without end.
//
// Not synchronised: one reader feeds it.
class OSCStreamDecoder {
public:
    static constexpr std::size_t defaultMaxFrameSize = std::size_t{1} << 20;

    // Called with each whole packet, in stream order. The bytes are valid
    // only during the call.
    using PacketSink = std::function<void(std::span<const std::uint8_t> packet)>;

    virtual ~OSCStreamDecoder() = default;

    // Hands every packet that `bytes` completes to `sink`, keeping the start
    // of an unfinished one for the next call. Empty frames carry nothing and
    // are skipped. Throws OSCFramingError at a bad frame, after the packets
    // before it were handed on; from then on every call throws the same
    // error again, until reset().
    void feed(std::span<const std::uint8_t> bytes, const PacketSink& sink);

    // Forgets a partial frame and an earlier error.
    virtual void reset();

    // Bytes of an unfinished frame held back.
    virtual std::size_t buffered() const noexcept = 0;

    std::size_t maxFrameSize() const noexcept { return maxFrameSize_; }
    void setMaxFrameSize(std::size_t size) noexcept { maxFrameSize_ = size; }

    virtual OSCFraming framing() const noexcept = 0;

    // The frame for `packet`: what goes on the stream.
    virtual std::vector<std::uint8_t> frame(std::span<const std::uint8_t> packet) const = 0;

    static std::unique_ptr<OSCStreamDecoder> make(OSCFraming framing, std::size_t maxFrameSize = defaultMaxFrameSize);

protected:
    explicit OSCStreamDecoder(std::size_t maxFrameSize) : maxFrameSize_(maxFrameSize) {}

    // Does the work of feed(); throws OSCFramingError.
    virtual void decode(std::span<const std::uint8_t> bytes, const PacketSink& sink) = 0;

private:
    std::size_t maxFrameSize_;
    std::optional<std::string> error_;
};

// OSC 1.0 stream framing: a big-endian 32-bit size, then that many bytes.
// A size that is negative or above the bound is a bad frame.
class OSCLengthPrefixedDecoder final : public OSCStreamDecoder {
public:
    explicit OSCLengthPrefixedDecoder(std::size_t maxFrameSize = defaultMaxFrameSize);

    void reset() override;
    std::size_t buffered() const noexcept override { return header_.size() + body_.size(); }
    OSCFraming framing() const noexcept override { return OSCFraming::lengthPrefixed; }
    std::vector<std::uint8_t> frame(std::span<const std::uint8_t> packet) const override;

    // Throws std::length_error for a packet of 2^31 bytes or more, which the
    // size cannot express.
    static std::vector<std::uint8_t> encode(std::span<const std::uint8_t> packet);

private:
    void decode(std::span<const std::uint8_t> bytes, const PacketSink& sink) override;

    std::vector<std::uint8_t> header_;
    std::vector<std::uint8_t> body_;
    std::size_t expected_ = 0;
    bool inBody_ = false;
};

// OSC 1.1 SLIP framing (RFC 1055): END (0xC0) at both ends of a packet;
// an END inside it is sent as ESC ESC_END (0xDB 0xDC), an ESC as ESC ESC_ESC
// (0xDB 0xDD). An ESC followed by anything else, or a frame above the bound,
// is a bad frame.
class OSCSLIPDecoder final : public OSCStreamDecoder {
public:
    static constexpr std::uint8_t end = 0xC0;
    static constexpr std::uint8_t esc = 0xDB;
    static constexpr std::uint8_t escEnd = 0xDC;
    static constexpr std::uint8_t escEsc = 0xDD;

    explicit OSCSLIPDecoder(std::size_t maxFrameSize = defaultMaxFrameSize);

    void reset() override;
    std::size_t buffered() const noexcept override { return body_.size() + (escaped_ ? 1 : 0); }
    OSCFraming framing() const noexcept override { return OSCFraming::slip; }
    std::vector<std::uint8_t> frame(std::span<const std::uint8_t> packet) const override;

    static std::vector<std::uint8_t> encode(std::span<const std::uint8_t> packet);

private:
    void decode(std::span<const std::uint8_t> bytes, const PacketSink& sink) override;

    std::vector<std::uint8_t> body_;
    bool escaped_ = false;
};

}  // namespace vorn::net
