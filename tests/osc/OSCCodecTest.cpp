#include "osc/OSCBundle.h"
#include "osc/OSCErrors.h"
#include "osc/OSCMessage.h"
#include "osc/OSCSerialization.h"
#include "osc/OSCValueDecoder.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <typeinfo>
#include <vector>

namespace vorn::osc {
namespace {

using namespace std::string_literals;
using Identity = OSCValueTagIdentity;

// Byte literals: hex("2F 65 00") as the bytes are usually written down, and
// raw("/a\0\0"s) for packets that read better as text.
using Bytes = std::vector<std::uint8_t>;

Bytes hex(std::string_view text) {
    Bytes out;
    std::istringstream in{std::string(text)};
    unsigned value = 0;
    while (in >> std::hex >> value) out.push_back(static_cast<std::uint8_t>(value));
    return out;
}

Bytes raw(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The description of the error that decoding `bytes` as a packet raises.
std::string decodeError(const Bytes& bytes) {
    try {
        return parseOSC(bytes) ? "(decoded)" : "(not a packet)";
    } catch (const OSCDecodeError& e) {
        return e.description();
    }
}

const Bytes header = raw("#bundle\0"s);
const Bytes immediate = hex("00 00 00 00 00 00 00 01");
const Bytes messageA = raw("/a\0\0,\0\0\0"s);

Bytes element(const Bytes& bytes) {
    const auto n = static_cast<std::uint32_t>(bytes.size());
    return Bytes{std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)} + bytes;
}

// A message to "/a" with the type tags `tags`, padded, and then `data`.
Bytes withTags(std::string tags, const Bytes& data = {}) {
    tags.resize(tags.size() / 4 * 4 + 4, '\0');
    return raw("/a\0\0"s) + raw(tags) + data;
}

Bytes nestedArrays(int depth) {
    return withTags("," + std::string(depth, '[') + "i" + std::string(depth, ']'), hex("00 00 00 01"));
}

Bytes nestedBundles(int depth) {
    Bytes bytes = header + immediate + element(messageA);
    for (int i = 1; i < depth; ++i) bytes = header + immediate + element(bytes);
    return bytes;
}

OSCValue nestedValue(int depth) {
    OSCValue value = std::int32_t{1};
    for (int i = 0; i < depth; ++i) value = OSCArrayValue{{value}};
    return value;
}

template <class Encode>
bool failsAsGeneral(Encode encode) {
    try {
        encode();
    } catch (const OSCEncodeError& e) {
        return e.kind() == OSCEncodeError::Kind::general && e.description() == "General error.";
    }
    return false;
}

TEST(OSCCodec, GoldenBytesBothWays) {
    const struct {
        const char* name;
        OSCPacket packet;
        Bytes bytes;
    } cases[] = {
        {"ping", OSCMessage("/eos/ping"), hex("2F 65 6F 73 2F 70 69 6E 67 00 00 00 2C 00 00 00")},
        {"four-character address", OSCMessage("/abc"), raw("/abc\0\0\0\0,\0\0\0"s)},
        {"texts of 3 and 4 letters", OSCMessage("/a", {"abc", "abcd"}), raw("/a\0\0,ss\0abc\0abcd\0\0\0\0"s)},
        {"blobs of 5, 4 and 0", OSCMessage("/a", {Bytes{1, 2, 3, 4, 5}, Bytes{1, 2, 3, 4}, Bytes{}}),
         raw("/a\0\0,bbb\0\0\0\0"s) + hex("00 00 00 05 01 02 03 04 05 00 00 00  00 00 00 04 01 02 03 04  00 00 00 00")},
        {"int, true, text", OSCMessage("/a", {std::int32_t{1}, true, "x"}),
         raw("/a\0\0,iTs\0\0\0\0"s) + hex("00 00 00 01") + raw("x\0\0\0"s)},
        {"native integers take i or h",
         OSCMessage("/a", {std::uint8_t{200}, std::int16_t{-2}, std::uint32_t{4000000000u}, std::int64_t{-1}}),
         raw("/a\0\0,iihh\0\0\0"s) + hex("00 00 00 C8  FF FF FF FE  00 00 00 00 EE 6B 28 00  FF FF FF FF FF FF FF FF")},
        {"floats, character, MIDI, false", OSCMessage("/a", {0.5f, 2.0, 'A', OSCMIDIValue{1, 0x90, 60, 127}, false}),
         raw("/a\0\0,fdcmF\0\0"s) + hex("3F 00 00 00  40 00 00 00 00 00 00 00  00 00 00 41  01 90 3C 7F")},
        {"time tag, null, impulse, alt text",
         OSCMessage("/a", {OSCTimeTag(0x0102030405060708), OSCNullValue{}, OSCImpulseValue{}, OSCStringAltValue{"hi"}}),
         raw("/a\0\0,tNIS\0\0\0"s) + hex("01 02 03 04 05 06 07 08") + raw("hi\0\0"s)},
        {"nested and empty arrays", OSCMessage("/a", {OSCArrayValue{{1, OSCArrayValue{{"x"}}}}, OSCArrayValue{}}),
         raw("/a\0\0,[i[s]][]\0\0\0"s) + hex("00 00 00 01") + raw("x\0\0\0"s)},
        {"empty immediate bundle", OSCBundle(std::vector<OSCPacket>{}), header + immediate},
        {"bundle of one message", OSCBundle({OSCMessage("/a")}),
         hex("23 62 75 6E 64 6C 65 00  00 00 00 00 00 00 00 01  00 00 00 08  2F 61 00 00 2C 00 00 00")},
        {"nested bundle", OSCBundle({OSCMessage("/a"), OSCBundle({}, OSCTimeTag(0x0102030405060708u))}, OSCTimeTag(5)),
         header + hex("00 00 00 00 00 00 00 05") + element(messageA) + element(header + hex("01 02 03 04 05 06 07 08"))},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.packet.rawData().toVector(), c.bytes) << c.name;
        const auto decoded = parseOSC(c.bytes);
        ASSERT_TRUE(decoded) << c.name;
        EXPECT_EQ(*decoded, c.packet) << c.name;
        EXPECT_EQ(decoded->description(), c.packet.description()) << c.name;  // time tags too
    }
    // Only a bundle header or a slash makes a packet.
    for (const Bytes& other : {raw("#bundl\0\0"s) + immediate, raw("#"), raw("xa\0\0,\0\0\0"s), Bytes{}}) {
        EXPECT_FALSE(packetType(other));
        EXPECT_EQ(decodeError(other), "(not a packet)");
    }
    // Text that is not ASCII is converted on the way out.
    EXPECT_EQ(OSCMessage("/café", {"a\tb", U'é'}).rawData().toVector(),
              raw("/cafe\0\0\0,sc\0"s) + hex("61 3F 62 00  00 00 00 65"));
}

TEST(OSCCodec, EveryDecodingErrorText) {
    using Decode = std::function<void(const SharedBytes&)>;
    const Decode message = [](const SharedBytes& b) { OSCMessage::decode(b); };
    const Decode bundle = [](const SharedBytes& b) { OSCBundle::decode(b); };
    // A read straight from the cursor, which must stay where it was when the read fails.
    const auto cursor = [](std::function<void(OSCValueDecoder&)> read) -> Decode {
        return [read](const SharedBytes& b) {
            OSCValueDecoder decoder(b, nullptr);
            try {
                read(decoder);
            } catch (const OSCDecodeError&) {
                if (decoder.position() != 0) throw OSCDecodeError::internalInconsistency("the cursor moved");
                throw;
            }
        };
    };
    const std::string M = "Malformed data: ";
    const std::string address = M + "Address pattern string could not be parsed.";
    const std::string shortRead = M + "Not enough bytes while reading ";
    const std::string blobLength =
        M + "Failed to read Int32 length chunk at start of 4-byte aligned null-terminated blob data chunk.";
    const std::string notASCII = M +
        "Failed to form valid ASCII string from 4-byte aligned null-terminated ASCII string chunk. "
        "Non-ASCII characters may be present or the data is malformed.";
    const std::string tooDeep = M + "Arrays and bundles nest deeper than 64 levels.";
    const std::string endedEarly = M + "Data bytes ended earlier than expected.";
    const Bytes b = header + immediate;
    const Bytes word = hex("01 02 03 04");

    const struct {
        Decode decode;
        Bytes input;
        std::string expected;
    } cases[] = {
        {message, raw("/eos/ping\0\0\0,"s), M + "Length not a multiple of 4 bytes."},
        {message, raw("#bun\0\0\0\0,\0\0\0"s), M + "Does not start with an address pattern."},
        {message, raw("/a\xC3\xA9\0\0\0\0,\0\0\0"s), address},
        // Not ASCII early, the terminating null in a later block of the scan.
        {message, raw("/\xC3\xA9" + std::string(37, 'a') + "\0\0\0\0,\0\0\0"s), address},
        {message, raw("/eos/ping\0\0\0"s), M + "Couldn't extract OSC-type chunk."},
        {message, withTags(",r"), M + "No decoder found to decode OSC type tag: r"},
        {message, withTags(",]"), M + "No decoder found to decode OSC type tag: ]"},
        {message, withTags(",[i", word), M + "Array termination tag ']' was not found."},
        {message, nestedArrays(65), tooDeep},
        {message, withTags(",i"), shortRead + "Int32 data chunk."},
        {message, withTags(",f"), shortRead + "Float32 data chunk."},
        {message, withTags(",h", word), shortRead + "Int64 data chunk."},
        {message, withTags(",t", word), shortRead + "UInt64 data chunk."},
        {message, withTags(",d", word), shortRead + "Double data chunk."},
        {message, withTags(",b"), blobLength},
        {message, withTags(",b", hex("00 00 FF E3") + Bytes(65508, 0)), blobLength},
        {message, withTags(",b", hex("FF FF FF FC 00 00 00 00")), M + "Blob length is negative."},
        {message, withTags(",b", hex("00 00 00 08") + word),
         M + "Encoded blob chunk length is greater than the available data length."},
        {message, withTags(",b", hex("00 00 00 01 01 02 00 00")),
         M + "Expected 4-byte null terminated data but expected null bytes were not found."},
        {message, withTags(",s"), M + "Not enough bytes in 4-byte aligned null-terminated data chunk."},
        {message, withTags(",s", raw("ab\0x"s)),
         M + "4-byte aligned null-terminated data chunk does not terminate in null bytes as expected."},
        {message, withTags(",s", raw("\xC3\xA9\0\0"s)), notASCII},
        {message, withTags(",S", raw("\xFF" + std::string(38, 'b') + "\0"s)), notASCII},
        {message, withTags(",c", hex("00 00 00 C8")),
         M + "Character value couldn't be read. Could not form a Unicode scalar from the value."},
        {message, withTags(",m"),
         M + "Not enough bytes remain in data stream. Attempted to read 4 bytes but only 0 bytes remain."},

        {bundle, header + hex("00 00 00 00 00 00 01"), M + "Data length too short. (Length is 15)"},
        {bundle, raw("#bundlf\0"s) + immediate, M + "Bundle header is not present or is malformed."},
        {bundle, b + hex("00 00 00 0C") + messageA, endedEarly},
        {bundle, b + element(messageA) + hex("00 00"), endedEarly},
        {bundle, b + hex("FF FF FF F8") + messageA, M + "Bundle element size is negative."},
        {bundle, b + element(raw("xyz\0"s)), M + "Unrecognized bundle element encountered."},
        {bundle, nestedBundles(65), tooDeep},
        {bundle, b + element(withTags(",i")), shortRead + "Int32 data chunk."},

        {cursor([](auto& d) { d.read(-1); }), word, "Internal inconsistency: Negative byte count requested: -1"},
        {cursor([](auto& d) { d.read(5); }), word,
         M + "Not enough bytes remain in data stream. Attempted to read 5 bytes but only 4 bytes remain."},
        {cursor([](auto& d) { d.advance(5); }), word,
         M + "Attempted to advance byte read position past end of available bytes. "
             "4 bytes remain but 5 were advanced."},
        {cursor([](auto& d) { d.readBlob(); }), hex("00 00 00 03 61 62 63"),
         M + "Not enough bytes in 4-byte aligned null-terminated blob data chunk."},
        {cursor([](auto& d) { d.decodeValue({}); }), {}, "Internal inconsistency: No type tag to decode."},
        {cursor([](auto& d) {
             const auto& boolean = OSCSerialization::shared().builtin(OSCValueKind::boolean);
             std::get<OSCValueVariableDecoder>(boolean.decoder).block('x', d);
         }),
         {}, "Unexpected OSC Type Tag: x"},
    };
    for (const auto& c : cases) {
        std::string actual = "(decoded)";
        try {
            c.decode(SharedBytes::copy(c.input));
        } catch (const OSCDecodeError& e) {
            actual = e.description();
        }
        EXPECT_EQ(actual, c.expected) << testing::PrintToString(c.input);
        // What reaches a server goes through packet decoding, which must fail alike.
        if (packetType(c.input)) {
            EXPECT_EQ(decodeError(c.input), c.expected);
        }
    }
}

TEST(OSCCodec, DecodingIsLenientAndKeepsTheReceivedBytes) {
    const Bytes oneTwo = hex("00 00 00 01 00 00 00 02");
    for (const Bytes& input : {raw("/a\0\0ii\0\0"s) + oneTwo, raw("/a\0\0,i,i\0\0\0\0"s) + oneTwo,
                               raw("/a\0\0,ii\0"s) + oneTwo + hex("DE AD BE EF")}) {
        EXPECT_EQ(OSCMessage::decode(input).values(), (std::vector<OSCValue>{std::int32_t{1}, std::int32_t{2}}))
            << decodeError(input);
    }

    // An unusual layout goes out again as it came, until something changes.
    const SharedBytes unusual = SharedBytes::copy(raw("/a\0\0b\0\0\0"s) + hex("00 00 00 03 01 02 03 00"));
    OSCMessage message = OSCMessage::decode(unusual);
    EXPECT_EQ(message.rawData().data(), unusual.data());
    EXPECT_EQ(message.values().at(0).get<SharedBytes>().data(), unusual.data() + 12);  // not a copy
    OSCMessage renamed = message;
    renamed.setAddressPattern("/bc");
    EXPECT_EQ(renamed.rawData().toVector(), raw("/bc\0,b\0\0"s) + hex("00 00 00 03 01 02 03 00"));
    message.setValues({std::int32_t{8}});
    EXPECT_EQ(message.rawData().toVector(), raw("/a\0\0,i\0\0"s) + hex("00 00 00 08"));

    // Elements of nested bundles are views of the one datagram too.
    const auto datagram = SharedBytes::copy(nestedBundles(3));
    const auto nested = parseOSC(datagram);
    const auto* innermost = nested->bundle().elements()[0].bundle().elements()[0].bundle().elements()[0].messageIf();
    ASSERT_TRUE(innermost);
    EXPECT_EQ(innermost->rawData().data(), datagram.data() + 3 * (header.size() + immediate.size() + 4));

    // Decoding into a message replaces it whole, and a failure leaves it empty.
    OSCMessage::decode(SharedBytes::copy(messageA), message);
    EXPECT_EQ(message, OSCMessage("/a"));
    EXPECT_EQ(message.rawData().toVector(), messageA);
    EXPECT_THROW(OSCMessage::decode(SharedBytes::copy(raw("/b\0\0,ii\0"s) + hex("00 00 00 01")), message),
                 OSCDecodeError);
    EXPECT_EQ(message, OSCMessage());
    EXPECT_FALSE(message.cachedRawData());
}

TEST(OSCCodec, WhatNoTagOrLengthFieldCanCarryIsAnEncodeError) {
    EXPECT_TRUE(failsAsGeneral([] { (void)OSCValue(std::uint64_t{1} << 63); }));
    EXPECT_TRUE(failsAsGeneral([] { (void)OSCValue(std::shared_ptr<const OSCCustomValue>()); }));
    EXPECT_EQ(OSCValue(std::numeric_limits<std::uint64_t>::max() / 2), std::numeric_limits<std::int64_t>::max());

    // 2 GiB of address space, of which only the first page is ever written:
    // lengths are checked before any byte is copied.
    constexpr std::size_t size = std::size_t{1} << 31;
    void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    std::shared_ptr<void> owner(pages, [](void* p) { munmap(p, size); });
    std::memcpy(pages, messageA.data(), messageA.size());
    const auto huge = SharedBytes::view(owner, {static_cast<const std::uint8_t*>(pages), size});
    EXPECT_TRUE(failsAsGeneral([&] { OSCMessage("/a", {huge}).rawData(); }));
    const auto hugeMessage = OSCMessage::decode(huge);
    Bytes out = {1, 2};
    EXPECT_TRUE(failsAsGeneral([&] { OSCBundle({OSCMessage("/a"), hugeMessage}).encode(out); }));
    EXPECT_EQ(out, (Bytes{1, 2}));
}

// The shared registry lives as long as the process, so each type is
// registered once, on first use, under a tag no other test claims.
std::shared_ptr<const OSCValueType> registered(OSCValueType type) {
    auto shared = std::make_shared<const OSCValueType>(std::move(type));
    OSCSerialization::shared().registerType(shared);
    return shared;
}

// Custom values are equal when their types and descriptions are.
struct Described : OSCCustomValue {
    bool equals(const OSCCustomValue& other) const override {
        return typeid(other) == typeid(*this) && other.description() == description();
    }
};

// Tag k: an RGBA colour, four bytes. Tag r stays unknown for the codec's tests.
struct RGBA final : Described {
    RGBA(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) : bytes{r, g, b, a} {}
    std::array<std::uint8_t, 4> bytes;

    const OSCValueType& type() const override {
        static const auto type = registered(
            {"rgba", Identity::atomic('k'),
             OSCValueAtomicEncoder{[](const OSCValue& v, std::vector<std::uint8_t>& out) {
                 out.insert(out.end(), v.custom<RGBA>()->bytes.begin(), v.custom<RGBA>()->bytes.end());
                 return 'k';
             }},
             OSCValueAtomicDecoder{[](OSCValueDecoder& d) -> OSCValue {
                 const SharedBytes b = d.read(4);
                 return std::make_shared<const RGBA>(b[0], b[1], b[2], b[3]);
             }},
             std::nullopt});
        return *type;
    }
    std::string description() const override {
        std::string text = "RGBA";
        for (const auto byte : bytes) text += " " + std::to_string(byte);
        return text;
    }
};

// Tags <ii>: an integer range, written as a run of four tags.
struct Range final : Described {
    Range(std::int32_t low, std::int32_t high) : low(low), high(high) {}
    std::int32_t low, high;

    const OSCValueType& type() const override {
        static const auto type = registered(
            {"range", Identity::variadic(4, 4),
             OSCValueVariadicEncoder{[](const OSCValue& v, std::vector<std::uint8_t>& out) {
                 // Borrows the codec for its integers, encoding while an
                 // encoding is under way.
                 const auto bytes = OSCMessage("/", {v.custom<Range>()->low, v.custom<Range>()->high}).rawData();
                 out.insert(out.end(), bytes.end() - 8, bytes.end());
                 return std::vector<ASCIICharacter>{ASCIICharacter('<'), ASCIICharacter('i'), ASCIICharacter('i'),
                                                    ASCIICharacter('>')};
             }},
             OSCValueVariadicDecoder{[](std::span<const char> tags, OSCValueDecoder& d)
                                         -> std::optional<OSCValueVariadicDecoder::Result> {
                 if (std::string_view(tags.data(), tags.size()).substr(0, 4) != "<ii>") return std::nullopt;
                 const std::int32_t low = d.readInt32();
                 return OSCValueVariadicDecoder::Result{4, std::make_shared<const Range>(low, d.readInt32())};
             }},
             std::nullopt});
        return *type;
    }
    std::string description() const override { return std::to_string(low) + "..." + std::to_string(high); }
};

// A type with no blocks at all, or with an encoder only.
struct Blockless final : Described {
    explicit Blockless(const OSCValueType& type) : type_(type) {}
    const OSCValueType& type() const override { return type_; }
    std::string description() const override { return type_.name; }
    const OSCValueType& type_;
};

TEST(OSCSerialization, RegisteredTypesEncodeAndDecodeThroughTheirBlocks) {
    const OSCMessage message("/c", {std::make_shared<const RGBA>(1, 2, 3, 4), std::int32_t{5},
                                    OSCArrayValue{{std::make_shared<const RGBA>(9, 8, 7, 6)}},
                                    std::make_shared<const Range>(-1, 1)});
    const Bytes expected = raw("/c\0\0,ki[k]<ii>\0\0"s) + hex("01 02 03 04  00 00 00 05  09 08 07 06") +
                           hex("FF FF FF FF  00 00 00 01");
    EXPECT_EQ(message.rawData().toVector(), expected);
    EXPECT_EQ(message.description(), "OSCMessage(/c, values: [RGBA 1 2 3 4, 5, [RGBA 9 8 7 6], -1...1])");
    const OSCMessage decoded = OSCMessage::decode(expected);
    EXPECT_EQ(decoded, message);

    // The variadic range declines a run of tags it does not know.
    EXPECT_EQ(decodeError(raw("/c\0\0,<i>\0\0\0\0"s)), "Malformed data: No decoder found to decode OSC type tag: <");
}

TEST(OSCSerialization, RegistrationAndMissingBlocksFailCleanly) {
    for (const auto& identity : {Identity::atomic('i'), Identity::atomic('F'), Identity::variable({'q', 'S'})}) {
        try {
            registered({"late", identity, {}, {}, {}});
            ADD_FAILURE() << "registered over a claimed tag";
        } catch (const OSCSerializationError& e) {
            EXPECT_EQ(e.description(), "Tag already registered");
        }
    }

    // A tag that breaks the type-tag string would shift every later argument:
    // a null ends it, a comma is skipped, brackets frame arrays, and a byte
    // outside ASCII is written as some other tag.
    const auto typeCount = OSCSerialization::shared().types().size();
    for (const auto& identity : {Identity::atomic(','), Identity::atomic('\0'), Identity::atomic('['),
                                 Identity::variable({'x', ']'}), Identity::atomic('\xC3')}) {
        try {
            registered({"framing", identity, {}, {}, {}});
            ADD_FAILURE() << "registered tag " << int(identity.tags.back());
        } catch (const OSCSerializationError& e) {
            EXPECT_EQ(e.kind(), OSCSerializationError::Kind::tagBreaksFraming);
            if (identity.tags[0] == ',') {
                EXPECT_EQ(e.description(), "Tag breaks the type-tag string's framing: 0x2C");
            }
        }
    }
    EXPECT_EQ(OSCSerialization::shared().types().size(), typeCount);

    static const auto writeOnly = registered(
        {"writeOnly", Identity::atomic('e'),
         OSCValueAtomicEncoder{[](const OSCValue&, std::vector<std::uint8_t>&) { return 'e'; }}, {}, {}});
    EXPECT_EQ(OSCMessage("/w", {std::make_shared<const Blockless>(*writeOnly)}).rawData().toVector(),
              raw("/w\0\0,e\0\0"s));
    EXPECT_EQ(decodeError(raw("/w\0\0,e\0\0"s)), "Malformed data: No decoder is implemented for OSC type tag: e");

    static const auto opaque = registered({"opaque", Identity::atomic('o'), {}, {}, {}});
    try {
        (void)OSCMessage("/o", {std::int32_t{1}, std::make_shared<const Blockless>(*opaque)}).rawData();
        ADD_FAILURE() << "encoded a type without an encoder";
    } catch (const OSCEncodeError& e) {
        EXPECT_EQ(e.kind(), OSCEncodeError::Kind::unexpectedEncoder);
        EXPECT_EQ(e.description(), "Unexpected encoder type.");
    }

    // Tag ~ claims to take no tags at all, which would stall the decoder.
    static const auto stalling = registered(
        {"stalling", Identity::variadic(std::nullopt, std::nullopt), {},
         OSCValueVariadicDecoder{
             [](std::span<const char> tags, OSCValueDecoder&) -> std::optional<OSCValueVariadicDecoder::Result> {
                 if (tags.front() != '~') return std::nullopt;
                 return OSCValueVariadicDecoder::Result{0, OSCNullValue{}};
             }},
         std::nullopt});
    EXPECT_EQ(decodeError(raw("/s\0\0,~\0\0"s)),
              "Internal inconsistency: Decoder for OSC type tag ~ took 0 of 1 tags.");
}

// An address with a null in it would end early for every reader, ours too.
TEST(OSCCodec, AnAddressHoldingANullIsAnEncodeError) {
    const std::string address("/eos\0ping", 9);
    Bytes out = {7};
    for (const auto& encode : std::vector<std::function<void()>>{
             [&] { OSCMessage(address).rawData(); }, [&] { OSCMessage(address).encode(out); },
             [&] { OSCBundle({OSCMessage("/a"), OSCMessage(address, {1})}).rawData(); }}) {
        try {
            encode();
            ADD_FAILURE() << "encoded";
        } catch (const OSCEncodeError& e) {
            EXPECT_EQ(e.kind(), OSCEncodeError::Kind::nullInAddress);
            EXPECT_EQ(e.description(), "Address pattern holds a null character; no peer could read the message.");
        }
    }
    EXPECT_EQ(out, Bytes{7});
}

// Nesting is bounded at 64 levels, and the deepest level is the 64th both
// ways: what we write there we read, and a tag there that no type knows is
// reported as such, not as nesting.
TEST(OSCSerialization, NestingIsBoundedAt64LevelsAndEncoderAndDecoderAgreeThere) {
    EXPECT_EQ(OSCMessage::decode(nestedArrays(64)).values().at(0), nestedValue(64));
    auto packet = parseOSC(nestedBundles(64));
    ASSERT_TRUE(packet);
    int depth = 1;
    for (const OSCBundle* bundle = &packet->bundle(); (bundle = bundle->elements().at(0).bundleIf());) ++depth;
    EXPECT_EQ(depth, 64);

    EXPECT_EQ(OSCMessage("/a", {nestedValue(64)}).rawData().toVector(), nestedArrays(64));
    EXPECT_TRUE(failsAsGeneral([] { OSCMessage("/a", {nestedValue(65)}).rawData(); }));
    OSCBundle deep({OSCMessage("/a")});
    for (int i = 1; i < 65; ++i) deep = OSCBundle(std::vector<OSCPacket>{deep});
    EXPECT_TRUE(failsAsGeneral([&] { deep.rawData(); }));
    EXPECT_EQ(deep.elements()[0].rawData().toVector(), nestedBundles(64));

    // A failed encoding leaves what the buffer held.
    Bytes out = {1, 2, 3};
    EXPECT_THROW(OSCMessage("/a", {"fine", nestedValue(65)}).encode(out), OSCEncodeError);
    EXPECT_EQ(out, (Bytes{1, 2, 3}));

    const auto deepest = [](OSCValue value) {
        for (int i = 0; i < 64; ++i) value = OSCArrayValue{{value}};
        return OSCMessage("/a", {value});
    };
    const auto message = deepest(std::make_shared<const RGBA>(1, 2, 3, 4));
    EXPECT_EQ(OSCMessage::decode(message.rawData()), message);

    const Bytes unknown = withTags("," + std::string(64, '[') + "r" + std::string(64, ']'));
    EXPECT_EQ(decodeError(unknown), "Malformed data: No decoder found to decode OSC type tag: r");

    // A registered type that nests as an array does gets no 65th level either.
    EXPECT_TRUE(failsAsGeneral([&] { deepest(std::make_shared<const Range>(1, 2)).rawData(); }));
    const Bytes range = withTags("," + std::string(64, '[') + "<ii>" + std::string(64, ']'), Bytes(8, 0));
    EXPECT_EQ(decodeError(range), "Malformed data: No decoder found to decode OSC type tag: <");
    EXPECT_EQ(OSCMessage::decode(withTags(",[<ii>]", Bytes(8, 0))).values().size(), 1u);
}

TEST(OSCSerialization, RegistrationDoesNotDisturbDecoding) {
    const Bytes message = withTags(",i", hex("00 00 00 2A"));
    std::atomic<bool> failed{false};
    std::vector<std::thread> decoders;
    for (int t = 0; t < 2; ++t) {
        decoders.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (OSCMessage::decode(message).values().at(0) != OSCValue(std::int32_t{42})) failed = true;
            }
        });
    }
    for (const char tag : std::string_view("0123456789ABCDEG")) registered({"late", Identity::atomic(tag), {}, {}, {}});
    for (auto& thread : decoders) thread.join();
    EXPECT_FALSE(failed);
}

}  // namespace
}  // namespace vorn::osc
