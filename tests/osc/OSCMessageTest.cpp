#include "osc/OSCMessage.h"

#include "PacketBytes.h"
#include "osc/OSCErrors.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <string>

namespace vorn::osc {
namespace {

using namespace std::string_literals;
using namespace test;

struct Golden {
    const char* name;
    OSCMessage message;
    Bytes expected;
};

OSCValue nested(int depth) {
    OSCValue value = std::int32_t{1};
    for (int i = 0; i < depth; ++i) value = OSCArrayValue{{value}};
    return value;
}

TEST(OSCMessage, EncodesTheWireLayout) {
    const std::vector<Golden> cases = {
        {"ping", OSCMessage("/eos/ping"), hex("2F 65 6F 73 2F 70 69 6E 67 00 00 00 2C 00 00 00")},
        {"four-character address", OSCMessage("/abc"), raw("/abc\0\0\0\0,\0\0\0"s)},
        {"text", OSCMessage("/a", {"abc"}), raw("/a\0\0,s\0\0abc\0"s)},
        {"four-letter text", OSCMessage("/a", {"abcd"}), raw("/a\0\0,s\0\0abcd\0\0\0\0"s)},
        {"tab in text", OSCMessage("/a", {"a\tb"}), raw("/a\0\0,s\0\0"s) + hex("61 3F 62 00")},
        {"accented text", OSCMessage("/a", {"café"}), raw("/a\0\0,s\0\0cafe\0\0\0\0"s)},
        {"empty text", OSCMessage("/a", {""}), raw("/a\0\0,s\0\0\0\0\0\0"s)},
        {"blob of 5", OSCMessage("/a", {Bytes{1, 2, 3, 4, 5}}),
         raw("/a\0\0,b\0\0"s) + hex("00 00 00 05 01 02 03 04 05 00 00 00")},
        {"blob of 4", OSCMessage("/a", {Bytes{1, 2, 3, 4}}), raw("/a\0\0,b\0\0"s) + hex("00 00 00 04 01 02 03 04")},
        {"empty blob", OSCMessage("/a", {Bytes{}}), raw("/a\0\0,b\0\0"s) + hex("00 00 00 00")},
        {"int, true, text", OSCMessage("/a", {std::int32_t{1}, true, "x"}),
         raw("/a\0\0,iTs\0\0\0\0"s) + hex("00 00 00 01") + raw("x\0\0\0"s)},
        {"true, false", OSCMessage("/a", {true, false}), raw("/a\0\0,TF\0"s)},
        {"8-bit unsigned", OSCMessage("/a", {std::uint8_t{200}}), raw("/a\0\0,i\0\0"s) + hex("00 00 00 C8")},
        {"16-bit signed", OSCMessage("/a", {std::int16_t{-2}}), raw("/a\0\0,i\0\0"s) + hex("FF FF FF FE")},
        {"32-bit unsigned", OSCMessage("/a", {std::uint32_t{4000000000u}}),
         raw("/a\0\0,h\0\0"s) + hex("00 00 00 00 EE 6B 28 00")},
        {"negative int64", OSCMessage("/a", {std::int64_t{-1}}),
         raw("/a\0\0,h\0\0"s) + hex("FF FF FF FF FF FF FF FF")},
        {"floats", OSCMessage("/a", {0.5f, 2.0}),
         raw("/a\0\0,fd\0"s) + hex("3F 00 00 00 40 00 00 00 00 00 00 00")},
        {"characters", OSCMessage("/a", {'A', U'é'}), raw("/a\0\0,cc\0"s) + hex("00 00 00 41 00 00 00 65")},
        {"midi", OSCMessage("/a", {OSCMIDIValue{1, 0x90, 60, 127}}), raw("/a\0\0,m\0\0"s) + hex("01 90 3C 7F")},
        {"time tag", OSCMessage("/a", {OSCTimeTag(0x0102030405060708u, 3)}),
         raw("/a\0\0,t\0\0"s) + hex("01 02 03 04 05 06 07 08")},
        {"no-data tags", OSCMessage("/a", {OSCNullValue{}, OSCImpulseValue{}}), raw("/a\0\0,NI\0"s)},
        {"string alt", OSCMessage("/a", {OSCStringAltValue{"hi"}}), raw("/a\0\0,S\0\0hi\0\0"s)},
        {"nested arrays", OSCMessage("/a", {OSCArrayValue{{std::int32_t{1}, OSCArrayValue{{"x"}}}}}),
         raw("/a\0\0,[i[s]]\0"s) + hex("00 00 00 01") + raw("x\0\0\0"s)},
        {"empty array", OSCMessage("/a", {OSCArrayValue{}}), raw("/a\0\0,[]\0"s)},
        {"accented address", OSCMessage("/café"), raw("/cafe\0\0\0,\0\0\0"s)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.message.rawData().toVector(), c.expected) << c.name;
        Bytes appended = {0xAA};
        c.message.encode(appended);
        EXPECT_EQ(appended, Bytes{0xAA} + c.expected) << c.name;
    }
}

TEST(OSCMessage, AddressIsKeptExactOrMadeASCII) {
    EXPECT_EQ(OSCAddressPattern("/eos/ping").rawAddress(), "/eos/ping");
    EXPECT_EQ(OSCAddressPattern("/Zürich/ß").rawAddress(), "/Zurich/ss");
    const OSCAddressPattern lossy("/a😀");
    EXPECT_EQ(lossy.rawAddress(), "/a?");
    EXPECT_EQ(Bytes(lossy.rawData().begin(), lossy.rawData().end()), raw("/a?"));
}

TEST(OSCMessage, DecodedMessageReEncodesItsOwnBytesUntilChanged) {
    // No leading comma, accepted on the way in, kept on the way out.
    const Bytes unusual = raw("/a\0\0i\0\0\0"s) + hex("00 00 00 07");
    OSCMessage message = OSCMessage::decode(unusual);
    EXPECT_EQ(message.rawData().toVector(), unusual);
    EXPECT_EQ(message.rawData().data(), message.cachedRawData()->data());

    message.setValues({std::int32_t{8}});
    EXPECT_FALSE(message.cachedRawData());
    EXPECT_EQ(message.rawData().toVector(), raw("/a\0\0,i\0\0"s) + hex("00 00 00 08"));

    OSCMessage renamed = OSCMessage::decode(unusual);
    renamed.setAddressPattern("/b");
    EXPECT_EQ(renamed.rawData().toVector(), raw("/b\0\0,i\0\0"s) + hex("00 00 00 07"));
}

TEST(OSCMessage, EqualityIgnoresCachedBytes) {
    const OSCMessage built("/a", {std::int32_t{7}});
    const OSCMessage decoded = OSCMessage::decode(raw("/a\0\0i\0\0\0"s) + hex("00 00 00 07"));
    EXPECT_EQ(built, decoded);
    EXPECT_NE(built, OSCMessage("/a", {std::int64_t{7}}));
    EXPECT_NE(built, OSCMessage("/b", {std::int32_t{7}}));
    EXPECT_NE(built, OSCMessage("/a"));
}

TEST(OSCMessage, Descriptions) {
    EXPECT_EQ(OSCMessage("/eos/ping").description(), "OSCMessage(/eos/ping)");
    EXPECT_EQ(OSCMessage("/a", {std::int32_t{1}, "x y", true, OSCArrayValue{{0.5f}}}).description(),
              "OSCMessage(/a, values: [1, \"x y\", true, [0.5]])");
}

TEST(OSCMessage, ArraysNestAtMost64Deep) {
    EXPECT_NO_THROW(OSCMessage("/a", {nested(64)}).rawData());
    try {
        OSCMessage("/a", {nested(65)}).rawData();
        FAIL() << "65 levels encoded";
    } catch (const OSCEncodeError& e) {
        EXPECT_EQ(e.kind(), OSCEncodeError::Kind::general);
    }
}

TEST(OSCMessage, FailedEncodingLeavesTheBufferAsItWas) {
    Bytes out = {1, 2, 3};
    EXPECT_THROW(OSCMessage("/a", {"fine", nested(65)}).encode(out), OSCEncodeError);
    EXPECT_EQ(out, (Bytes{1, 2, 3}));
}

TEST(OSCMessage, BlobTooLongForItsLengthFieldIsRefused) {
    // Address space only: the pages are never touched, as the length is
    // checked before any byte is copied.
    constexpr std::size_t size = std::size_t{1} << 31;
    void* pages = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    std::shared_ptr<void> owner(pages, [](void* p) { munmap(p, size); });
    const auto blob = SharedBytes::view(owner, {static_cast<const std::uint8_t*>(pages), size});

    try {
        OSCMessage("/a", {blob}).rawData();
        FAIL() << "a 2 GiB blob encoded";
    } catch (const OSCEncodeError& e) {
        EXPECT_EQ(e.kind(), OSCEncodeError::Kind::general);
    }
}

}  // namespace
}  // namespace vorn::osc
