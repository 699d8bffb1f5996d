#include "osc/OSCErrors.h"
#include "osc/OSCMessage.h"
#include "osc/OSCSerialization.h"
#include "osc/OSCValueDecoder.h"

#include "PacketBytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

namespace vorn::osc {
namespace {

using namespace std::string_literals;
using namespace test;

Bytes nestedArrays(int depth) {
    const std::string tags = "," + std::string(depth, '[') + "i" + std::string(depth, ']');
    Bytes message = raw("/a\0\0"s) + raw(tags) + Bytes(4 - tags.size() % 4, 0);
    return message + hex("00 00 00 01");
}

TEST(OSCDecoding, MalformedMessagesReportWhatIsWrong) {
    const std::string chunkTooShort = "Not enough bytes in 4-byte aligned null-terminated data chunk.";
    const std::string notTerminated =
        "4-byte aligned null-terminated data chunk does not terminate in null bytes as expected.";
    const std::string blobLength =
        "Failed to read Int32 length chunk at start of 4-byte aligned null-terminated blob data chunk.";
    const Bytes a = raw("/a\0\0"s);

    const struct {
        const char* name;
        Bytes input;
        std::string expected;
    } cases[] = {
        {"13 bytes", raw("/eos/ping\0\0\0,"s), "Length not a multiple of 4 bytes."},
        {"13 bytes, not an address", raw("#bundle\0\0\0\0\0\0"s), "Length not a multiple of 4 bytes."},
        {"starts with #", raw("#bundle\0\0\0\0\0"s), "Does not start with an address pattern."},
        {"empty", Bytes{}, "Does not start with an address pattern."},
        {"address not ASCII", raw("/a\xC3\xA9\0\0\0\0,\0\0\0"s), "Address pattern string could not be parsed."},
        {"address without null", raw("/abc"), "Address pattern string could not be parsed."},
        // Non-ASCII early, the terminating null in a later block of the scan.
        {"long address not ASCII", raw("/\xC3\xA9" + std::string(37, 'a') + "\0\0\0\0,\0\0\0"s),
         "Address pattern string could not be parsed."},
        {"no type tags", raw("/eos/ping\0\0\0"s), "Couldn't extract OSC-type chunk."},
        {"type tags not ASCII", a + raw(",\xC3\xA9\0"s), "Couldn't extract OSC-type chunk."},
        {"tag r", a + raw(",r\0\0"s), "No decoder found to decode OSC type tag: r"},
        {"stray ]", a + raw(",]\0\0"s), "No decoder found to decode OSC type tag: ]"},
        {"comma in array", a + raw(",[,]\0\0\0\0"s), "No decoder found to decode OSC type tag: ,"},
        {"array not closed", a + raw(",[i\0"s) + hex("00 00 00 01"), "Array termination tag ']' was not found."},
        {"65 nested arrays", nestedArrays(65), "Arrays and bundles nest deeper than 64 levels."},
        {"i without data", a + raw(",i\0\0"s), "Not enough bytes while reading Int32 data chunk."},
        {"f without data", a + raw(",f\0\0"s), "Not enough bytes while reading Float32 data chunk."},
        {"h short", a + raw(",h\0\0"s) + hex("00 00 00 01"), "Not enough bytes while reading Int64 data chunk."},
        {"t short", a + raw(",t\0\0"s) + hex("00 00 00 01"), "Not enough bytes while reading UInt64 data chunk."},
        {"d short", a + raw(",d\0\0"s) + hex("00 00 00 01"), "Not enough bytes while reading Double data chunk."},
        {"b without length", a + raw(",b\0\0"s), blobLength},
        {"blob of 65,507", a + raw(",b\0\0"s) + hex("00 00 FF E3") + Bytes(65508, 0), blobLength},
        {"negative blob length", a + raw(",b\0\0"s) + hex("FF FF FF FC 00 00 00 00"), "Blob length is negative."},
        {"blob longer than data", a + raw(",b\0\0"s) + hex("00 00 00 08 01 02 03 04"),
         "Encoded blob chunk length is greater than the available data length."},
        {"blob padding not null", a + raw(",b\0\0"s) + hex("00 00 00 01 01 02 00 00"),
         "Expected 4-byte null terminated data but expected null bytes were not found."},
        {"s without data", a + raw(",s\0\0"s), chunkTooShort},
        {"s padding not null", a + raw(",s\0\0ab\0x"s), notTerminated},
        {"s without null", a + raw(",s\0\0abcd"s), notTerminated},
        {"s not ASCII", a + raw(",s\0\0\xC3\xA9\0\0"s),
         "Failed to form valid ASCII string from 4-byte aligned null-terminated ASCII string chunk. "
         "Non-ASCII characters may be present or the data is malformed."},
        {"long s not ASCII", a + raw(",s\0\0\xFF"s) + raw(std::string(38, 'b') + "\0"s),
         "Failed to form valid ASCII string from 4-byte aligned null-terminated ASCII string chunk. "
         "Non-ASCII characters may be present or the data is malformed."},
        {"S not ASCII", a + raw(",S\0\0\xFF\0\0\0"s),
         "Failed to form valid ASCII string from 4-byte aligned null-terminated ASCII string chunk. "
         "Non-ASCII characters may be present or the data is malformed."},
        {"c of 200", a + raw(",c\0\0"s) + hex("00 00 00 C8"),
         "Character value couldn't be read. Could not form a Unicode scalar from the value."},
        {"c of -1", a + raw(",c\0\0"s) + hex("FF FF FF FF"),
         "Character value couldn't be read. Could not form a Unicode scalar from the value."},
        {"m without data", a + raw(",m\0\0"s),
         "Not enough bytes remain in data stream. Attempted to read 4 bytes but only 0 bytes remain."},
    };
    for (const auto& c : cases) EXPECT_EQ(messageDecodeError(c.input), "Malformed data: " + c.expected) << c.name;
}

TEST(OSCDecoding, CursorChecksEveryRead) {
    const auto cursor = [](const Bytes& bytes) { return OSCValueDecoder(SharedBytes::copy(bytes), nullptr); };
    const struct {
        const char* name;
        Bytes input;
        std::function<void(OSCValueDecoder&)> read;
        std::string expected;
    } cases[] = {
        {"negative read", hex("01 02 03 04"), [](auto& d) { d.read(-1); },
         "Internal inconsistency: Negative byte count requested: -1"},
        {"read past the end", hex("01 02 03 04"), [](auto& d) { d.read(5); },
         "Malformed data: Not enough bytes remain in data stream. Attempted to read 5 bytes but only 4 bytes remain."},
        {"advance past the end", hex("01 02 03 04"), [](auto& d) { d.advance(5); },
         "Malformed data: Attempted to advance byte read position past end of available bytes. 4 bytes remain but 5 "
         "were advanced."},
        {"chunk padding cut off", raw("abcdef\0"s), [](auto& d) { d.readNullTerminated(); },
         "Malformed data: Not enough bytes in 4-byte aligned null-terminated data chunk."},
        {"blob padding cut off", hex("00 00 00 03 61 62 63"), [](auto& d) { d.readBlob(); },
         "Malformed data: Not enough bytes in 4-byte aligned null-terminated blob data chunk."},
        {"empty tags", Bytes{}, [](auto& d) { d.decodeValue({}); },
         "Internal inconsistency: No type tag to decode."},
    };
    for (const auto& c : cases) {
        auto decoder = cursor(c.input);
        try {
            c.read(decoder);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const OSCDecodeError& e) {
            EXPECT_EQ(e.description(), c.expected) << c.name;
            EXPECT_EQ(decoder.position(), 0u) << c.name << ": a failed read moved the cursor";
        }
    }

    auto decoder = cursor(raw("ab\0\0cd\0\0"s) + hex("00 00 00 01 7A 00 00 00"));
    const auto chunk = decoder.readNullTerminated();
    EXPECT_EQ(std::string(chunk.begin(), chunk.end()), "ab");
    EXPECT_EQ(decoder.readASCIIString(), "cd");
    EXPECT_EQ(toBytes(decoder.readBlob()), Bytes{0x7A});
    EXPECT_EQ(decoder.remainingCount(), 0u);
}

TEST(OSCDecoding, ThePingDecodes) {
    const Bytes ping = hex("2F 65 6F 73 2F 70 69 6E 67 00 00 00 2C 00 00 00");
    const OSCMessage message = OSCMessage::decode(ping);
    EXPECT_EQ(message.addressPattern().rawAddress(), "/eos/ping");
    EXPECT_TRUE(message.values().empty());
    EXPECT_EQ(message.cachedRawData()->toVector(), ping);
}

TEST(OSCDecoding, EveryBuiltInTypeDecodes) {
    const Bytes input = raw("/all\0\0\0\0,ifsbTFcdhImNSt[i[]]\0\0\0\0"s) + hex("FF FF FF FE") + hex("3F 00 00 00") +
                        raw("hi\0\0"s) + hex("00 00 00 02 AB CD 00 00") + hex("00 00 00 41") +
                        hex("40 00 00 00 00 00 00 00") + hex("80 00 00 00 00 00 00 00") + hex("01 90 3C 7F") +
                        raw("alt\0"s) + hex("00 00 00 00 00 00 00 01") + hex("00 00 00 09");
    const OSCMessage message = OSCMessage::decode(input);
    const std::vector<OSCValue> expected = {
        std::int32_t{-2}, 0.5f, "hi", Bytes{0xAB, 0xCD}, true, false, 'A', 2.0, INT64_MIN, OSCImpulseValue{},
        OSCMIDIValue{1, 0x90, 60, 127}, OSCNullValue{}, OSCStringAltValue{"alt"}, OSCTimeTag::immediate(),
        OSCArrayValue{{std::int32_t{9}, OSCArrayValue{}}}};
    EXPECT_EQ(message.addressPattern().rawAddress(), "/all");
    EXPECT_EQ(message.values(), expected);
    EXPECT_EQ(OSCMessage("/all", expected).rawData().toVector(), input);
}

TEST(OSCDecoding, LenientLayoutsAreAccepted) {
    const Bytes one = hex("00 00 00 01");
    const Bytes two = hex("00 00 00 02");
    const struct {
        const char* name;
        Bytes input;
    } cases[] = {
        {"no leading comma", raw("/a\0\0ii\0\0"s) + one + two},
        {"commas anywhere", raw("/a\0\0,i,i\0\0\0\0"s) + one + two},
        {"bytes after the last argument", raw("/a\0\0,ii\0"s) + one + two + hex("DE AD BE EF")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OSCMessage::decode(c.input).values(), (std::vector<OSCValue>{std::int32_t{1}, std::int32_t{2}}))
            << c.name;
    }
}

TEST(OSCDecoding, ArraysNest64Deep) {
    OSCValue value = OSCMessage::decode(nestedArrays(64)).values().at(0);
    int depth = 0;
    while (const auto* array = value.getIf<OSCArrayValue>()) {
        ++depth;
        const OSCValue inner = array->elements.at(0);
        value = inner;
    }
    EXPECT_EQ(depth, 64);
    EXPECT_EQ(value, OSCValue(std::int32_t{1}));
}

TEST(OSCDecoding, BlobsAndMessagesShareTheReceivedBuffer) {
    const SharedBytes received = SharedBytes::copy(raw("/a\0\0,b\0\0"s) + hex("00 00 00 03 01 02 03 00"));
    const OSCMessage message = OSCMessage::decode(received);
    const auto& blob = message.values().at(0).get<SharedBytes>();
    EXPECT_EQ(blob.data(), received.data() + 12);
    EXPECT_EQ(blob.size(), 3u);
    EXPECT_EQ(message.rawData().data(), received.data());
}

TEST(OSCDecoding, DecodingIntoAMessageReplacesItWhole) {
    OSCMessage message("/old/address/that/is/long", {std::int32_t{1}, "x", true});
    OSCMessage::decode(SharedBytes::copy(raw("/a\0\0,f\0\0"s) + hex("3F 80 00 00")), message);
    EXPECT_EQ(message, OSCMessage("/a", {1.0f}));
    EXPECT_EQ(message.rawData().toVector(), raw("/a\0\0,f\0\0"s) + hex("3F 80 00 00"));

    EXPECT_THROW(OSCMessage::decode(SharedBytes::copy(raw("/b\0\0,ii\0"s) + hex("00 00 00 01")), message),
                 OSCDecodeError);
    EXPECT_EQ(message, OSCMessage());
    EXPECT_FALSE(message.cachedRawData());
}

TEST(OSCDecoding, BooleanDecoderRefusesOtherTags) {
    const auto& boolean = OSCSerialization::shared().builtin(OSCValueKind::boolean);
    const auto& decode = std::get<OSCValueVariableDecoder>(boolean.decoder).block;
    OSCValueDecoder decoder(SharedBytes(), nullptr);
    EXPECT_EQ(decode('T', decoder), OSCValue(true));
    EXPECT_EQ(decode('F', decoder), OSCValue(false));
    try {
        decode('x', decoder);
        FAIL() << "x decoded as a Boolean";
    } catch (const OSCDecodeError& e) {
        EXPECT_EQ(e.kind(), OSCDecodeError::Kind::unexpectedType);
        EXPECT_EQ(e.description(), "Unexpected OSC Type Tag: x");
    }
}

}  // namespace
}  // namespace vorn::osc
