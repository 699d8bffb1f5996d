#include "osc/OSCBundle.h"

#include "PacketBytes.h"
#include "osc/OSCErrors.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace vorn::osc {
namespace {

using namespace std::string_literals;
using namespace test;

const Bytes header = raw("#bundle\0"s);
const Bytes immediate = hex("00 00 00 00 00 00 00 01");
const Bytes messageA = raw("/a\0\0,\0\0\0"s);

Bytes element(const Bytes& bytes) {
    const auto n = static_cast<std::uint32_t>(bytes.size());
    return Bytes{static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                 static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)} +
           bytes;
}

Bytes nestedBundles(int depth) {
    Bytes bytes = header + immediate + element(messageA);
    for (int i = 1; i < depth; ++i) bytes = header + immediate + element(bytes);
    return bytes;
}

std::string packetDecodeError(const Bytes& bytes) {
    try {
        parseOSC(bytes);
    } catch (const OSCDecodeError& e) {
        return e.description();
    }
    return "(decoded)";
}

TEST(OSCBundle, EncodesTheWireLayout) {
    const OSCBundle bundle({OSCMessage("/a")});
    const Bytes expected = hex("23 62 75 6E 64 6C 65 00  00 00 00 00 00 00 00 01  00 00 00 08  2F 61 00 00 2C 00 00 00");
    EXPECT_EQ(bundle.rawData().toVector(), expected);

    const OSCBundle nested({OSCMessage("/a"), OSCBundle({}, OSCTimeTag(0x0102030405060708u, 7))},
                           OSCTimeTag(5));
    EXPECT_EQ(nested.rawData().toVector(), header + hex("00 00 00 00 00 00 00 05") + element(messageA) +
                                               element(header + hex("01 02 03 04 05 06 07 08")));
}

TEST(OSCBundle, MalformedBundlesReportWhatIsWrong) {
    const std::string endedEarly = "Data bytes ended earlier than expected.";
    const struct {
        const char* name;
        Bytes input;
        std::string expected;
    } cases[] = {
        {"15 bytes", header + hex("00 00 00 00 00 00 01"), "Data length too short. (Length is 15)"},
        {"last letter differs", raw("#bundlf\0"s) + immediate, "Bundle header is not present or is malformed."},
        {"size beyond the end", header + immediate + hex("00 00 00 0C") + messageA, endedEarly},
        {"stray bytes after the last element", header + immediate + element(messageA) + hex("00 00"), endedEarly},
        {"negative size", header + immediate + hex("FF FF FF F8") + messageA, "Bundle element size is negative."},
        {"unrecognised element", header + immediate + element(raw("xyz\0"s)), "Unrecognized bundle element encountered."},
        {"empty element", header + immediate + element({}), "Unrecognized bundle element encountered."},
        {"65 nested bundles", nestedBundles(65), "Arrays and bundles nest deeper than 64 levels."},
        {"bad message inside", header + immediate + element(raw("/a\0\0,i\0\0"s)),
         "Not enough bytes while reading Int32 data chunk."},
        {"short bundle inside", header + immediate + element(header), "Data length too short. (Length is 8)"},
    };
    for (const auto& c : cases) {
        const std::string expected = "Malformed data: " + c.expected;
        if (packetType(c.input) == OSCObjectType::bundle) {
            EXPECT_EQ(packetDecodeError(c.input), expected) << c.name;
        }
        try {
            OSCBundle::decode(SharedBytes::copy(c.input));
            ADD_FAILURE() << c.name << ": decoded";
        } catch (const OSCDecodeError& e) {
            EXPECT_EQ(e.description(), expected) << c.name;
        }
    }
}

TEST(OSCBundle, DecodesImmediateEmptyBundle) {
    const auto packet = parseOSC(header + immediate);
    ASSERT_TRUE(packet && packet->isBundle());
    EXPECT_TRUE(packet->bundle().timeTag().isImmediate());
    EXPECT_EQ(packet->bundle().timeTag().era(), 0);
    EXPECT_TRUE(packet->bundle().elements().empty());
}

TEST(OSCBundle, NestingIsKeptAndBytesAreShared) {
    const Bytes inner = header + hex("00 00 00 00 00 00 00 09") + element(raw("/c\0\0,i\0\0"s) + hex("00 00 00 03"));
    const Bytes middle = header + hex("00 00 00 00 00 00 00 08") + element(raw("/b\0\0,\0\0\0"s)) + element(inner);
    const SharedBytes datagram = SharedBytes::copy(header + immediate + element(messageA) + element(middle));

    const auto packet = parseOSC(datagram);
    ASSERT_TRUE(packet && packet->isBundle());
    const OSCBundle& outer = packet->bundle();
    ASSERT_EQ(outer.elements().size(), 2u);
    EXPECT_EQ(outer.elements()[0].message().addressPattern().rawAddress(), "/a");
    const OSCBundle& b = outer.elements()[1].bundle();
    EXPECT_EQ(b.timeTag(), OSCTimeTag(8));
    ASSERT_EQ(b.elements().size(), 2u);
    EXPECT_EQ(b.elements()[0].message().addressPattern().rawAddress(), "/b");
    const OSCBundle& c = b.elements()[1].bundle();
    EXPECT_EQ(c.timeTag(), OSCTimeTag(9));
    EXPECT_EQ(c.elements().at(0).message(), OSCMessage("/c", {std::int32_t{3}}));

    // Every element is a slice of the one datagram, and comes back as it was.
    const auto* c0 = c.elements()[0].message().cachedRawData()->data();
    EXPECT_TRUE(c0 > datagram.data() && c0 < datagram.data() + datagram.size());
    EXPECT_EQ(outer.rawData().data(), datagram.data());
    EXPECT_EQ(b.rawData().toVector(), middle);
    EXPECT_EQ(OSCBundle(outer.elements(), outer.timeTag()).rawData(), datagram);
}

TEST(OSCBundle, Bundles64DeepDecode) {
    auto packet = parseOSC(nestedBundles(64));
    ASSERT_TRUE(packet);
    int depth = 1;
    const OSCBundle* bundle = &packet->bundle();
    while (const OSCBundle* inner = bundle->elements().at(0).bundleIf()) {
        bundle = inner;
        ++depth;
    }
    EXPECT_EQ(depth, 64);
}

TEST(OSCBundle, PacketKindIsToldByTheFirstBytes) {
    const struct {
        const char* name;
        Bytes input;
        std::optional<OSCObjectType> type;
    } cases[] = {
        {"bundle", header + immediate, OSCObjectType::bundle},
        {"message", messageA, OSCObjectType::message},
        {"# without the full header", raw("#bundl\0\0"s) + immediate, std::nullopt},
        {"# alone", raw("#"), std::nullopt},
        {"other byte", raw("xa\0\0,\0\0\0"s), std::nullopt},
        {"empty", Bytes{}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(packetType(c.input), c.type) << c.name;
        const auto packet = parseOSC(c.input);
        EXPECT_EQ(packet.has_value(), c.type.has_value()) << c.name;
        if (packet) {
            EXPECT_EQ(packet->type(), *c.type) << c.name;
        }
    }
}

TEST(OSCBundle, EqualityIgnoresTheTimeTag) {
    const OSCBundle a({OSCMessage("/a"), OSCBundle({OSCMessage("/b")})}, OSCTimeTag(100));
    EXPECT_EQ(a, OSCBundle({OSCMessage("/a"), OSCBundle({OSCMessage("/b")})}));
    EXPECT_NE(a, OSCBundle({OSCMessage("/a")}));
    EXPECT_NE(a, OSCBundle({OSCMessage("/a"), OSCMessage("/b")}));
    EXPECT_NE(a, OSCBundle({OSCBundle({OSCMessage("/a")}), OSCBundle({OSCMessage("/b")})}));
}

TEST(OSCBundle, Description) {
    const OSCBundle bundle({OSCMessage("/a", {std::int32_t{1}}), OSCBundle({}, OSCTimeTag(5, 2))});
    EXPECT_EQ(bundle.description(),
              "OSCBundle(timeTag: 1 (immediate), elements: [OSCMessage(/a, values: [1]), "
              "OSCBundle(timeTag: 5-era:2, elements: [])])");
}

TEST(OSCBundle, EncodingRefusesWhatCannotBeFramed) {
    OSCBundle deep({OSCMessage("/a")});
    for (int i = 1; i < 65; ++i) deep = OSCBundle(std::vector<OSCPacket>{deep});
    EXPECT_THROW(deep.rawData(), OSCEncodeError);
    EXPECT_NO_THROW(deep.elements()[0].bundle().rawData());

    // A message that keeps more than 2 GiB of received bytes cannot be an
    // element. Its pages are reserved, and only the first is ever written.
    constexpr std::size_t size = std::size_t{1} << 31;
    void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    std::shared_ptr<void> owner(pages, [](void* p) { munmap(p, size); });
    std::memcpy(pages, messageA.data(), messageA.size());
    const auto huge = OSCMessage::decode(SharedBytes::view(owner, {static_cast<const std::uint8_t*>(pages), size}));

    Bytes out = {1, 2};
    try {
        OSCBundle({OSCMessage("/a"), huge}).encode(out);
        FAIL() << "a 2 GiB element was framed";
    } catch (const OSCEncodeError& e) {
        EXPECT_EQ(e.kind(), OSCEncodeError::Kind::general);
    }
    EXPECT_EQ(out, (Bytes{1, 2}));
}

}  // namespace
}  // namespace vorn::osc
