// The views and the writer against the owned codec as the plain reference:
// the views accept what the owned decoders accept, fail with their texts and
// read the same values; the writer writes the bytes OSCMessage encodes to.

#include "osc/OSCBundle.h"
#include "osc/OSCBundleView.h"
#include "osc/OSCErrors.h"
#include "osc/OSCMessage.h"
#include "osc/OSCMessageView.h"
#include "osc/OSCMessageWriter.h"
#include "support/PacketGenerator.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vorn::osc {
namespace {

constexpr std::uint64_t seed = 0x5EED0F0C0DULL;
constexpr int caseCount = 10000;

using test::same;

// What a decoder made of some bytes: its messages, each an address, the
// time tag of the bundle around it and values, or an error text.
struct Read {
    std::string address;
    OSCTimeTag timeTag;
    std::vector<OSCValue> values;
};
struct Outcome {
    std::string error;
    std::vector<Read> messages;
};

void flatten(const OSCPacket& packet, const OSCTimeTag& timeTag, std::vector<Read>& out) {
    if (const auto* bundle = packet.bundleIf()) {
        for (const auto& element : bundle->elements()) flatten(element, bundle->timeTag(), out);
    } else {
        out.push_back({std::string(packet.message().addressPattern().rawAddress()), timeTag, packet.message().values()});
    }
}

bool isBundle(const std::vector<std::uint8_t>& bytes) { return packetType(bytes) == OSCObjectType::bundle; }

Outcome owned(const std::vector<std::uint8_t>& bytes) {
    Outcome outcome;
    try {
        if (isBundle(bytes)) {
            flatten(OSCBundle::decode(SharedBytes::copy(bytes)), OSCTimeTag::immediate(), outcome.messages);
        } else {
            flatten(OSCMessage::decode(std::span<const std::uint8_t>(bytes)), OSCTimeTag::immediate(), outcome.messages);
        }
    } catch (const OSCDecodeError& e) {
        return {e.what(), {}};
    }
    return outcome;
}

Read read(const OSCMessageView& view, const OSCTimeTag& timeTag) {
    auto values = view.values();
    // A count that disagrees with the walk shows as a value missing or extra.
    if (values.size() != view.size()) values.emplace_back("size() differs from the arguments walked");
    return {std::string(view.address()), timeTag, std::move(values)};
}

std::optional<Outcome> viewed(const std::vector<std::uint8_t>& bytes) {
    try {
        Outcome outcome;
        if (isBundle(bytes)) {
            const auto view = OSCBundleView::parse(bytes);
            if (!view) return std::nullopt;
            for (const auto& element : view->messages()) outcome.messages.push_back(read(element.message, element.timeTag));
        } else {
            const auto view = OSCMessageView::parse(bytes);
            if (!view) return std::nullopt;
            outcome.messages.push_back(read(*view, OSCTimeTag::immediate()));
        }
        return outcome;
    } catch (const OSCDecodeError& e) {
        return Outcome{e.what(), {}};
    }
}

testing::AssertionResult agree(const std::vector<std::uint8_t>& bytes) {
    const auto reference = owned(bytes);
    const auto view = viewed(bytes);
    if (!view) return testing::AssertionFailure() << "the view refused a packet of built-in types";
    if (view->error != reference.error)
        return testing::AssertionFailure() << "view: \"" << view->error << "\", owned: \"" << reference.error << "\"";
    if (view->messages.size() != reference.messages.size())
        return testing::AssertionFailure() << view->messages.size() << " messages";
    for (std::size_t m = 0; m < view->messages.size(); ++m) {
        const auto& got = view->messages[m];
        const auto& expected = reference.messages[m];
        if (got.address != expected.address) return testing::AssertionFailure() << "address " << got.address;
        if (got.timeTag != expected.timeTag) return testing::AssertionFailure() << "time tag of " << got.address;
        bool equal = got.values.size() == expected.values.size();
        for (std::size_t i = 0; equal && i < got.values.size(); ++i) equal = same(got.values[i], expected.values[i]);
        if (!equal) return testing::AssertionFailure() << "values " << description(got.values);
    }
    return testing::AssertionSuccess();
}

// Messages and bundles nested up to three deep, whole and damaged.
TEST(OSCMessageView, ReadsRandomAndDamagedPacketsAsTheOwnedDecoderDoes) {
    test::PacketGenerator generator(seed);
    int accepted = 0;
    for (int i = 0; i < caseCount; ++i) {
        auto bytes = generator.packet().rawData().toVector();
        ASSERT_TRUE(agree(bytes)) << "case " << i;
        for (auto n = 1 + generator.below(3); n > 0; --n) test::damage(bytes, generator);
        ASSERT_TRUE(agree(bytes)) << "damaged case " << i;
        accepted += owned(bytes).error.empty();
    }
    // Both sides of the checks must come up.
    EXPECT_GT(accepted, caseCount / 10);
    EXPECT_LT(accepted, caseCount * 9 / 10);
}

TEST(OSCMessageView, OddFramingFailsOrPassesAsTheOwnedDecoderDecides) {
    const std::vector<std::vector<std::uint8_t>> cases = {
        {'/', 'a', 0, 0, 'i', 'f', 0, 0, 0, 0, 0, 1, 0, 0, 0, 2},  // tags without a comma
        {'/', 'a', 0, 0, 0, 0, 0, 0},                                // an empty tag string
        {'/', 'a', 0, 0, ',', 'i', ',', 0, 0, 0, 0, 1, 9, 9, 9, 9},  // a stray comma, trailing bytes
        {'/', 'a', 0, 0, ',', '[', 'i', 0, 0, 0, 0, 1},              // an array left open
        {'/', 'a', 0, 0, ',', '[', ',', ']', 0, 0, 0, 0},            // a comma inside an array
        {'/', 'a', 0, 0, ',', ']', 0, 0},                            // a bracket closing nothing
        {'/', 'a', 0, 0, ',', 'c', 0, 0, 0, 0, 0, 200},              // a character outside ASCII
        {'/', 'a', 0, 0, ',', 'm', 0, 0, 1, 2},                      // MIDI cut short
        {'/', 'a', 0, 0, ',', 'b', 0, 0, 0, 0, 0, 2, 1, 2, 3, 0},    // blob padding not null
        {'/', 'a', 0, 0, ',', 'x', 0, 0},                            // a tag nobody knows
        {'/', 0xC3, 0xA9, 0, ',', 0, 0, 0},                          // an address outside ASCII
    };
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_TRUE(agree(cases[i])) << "case " << i;

    // 64 arrays deep is read; one more is refused with the owned text.
    for (const int depth : {64, 65}) {
        std::vector<std::uint8_t> bytes = {'/', 'a', 0, 0, ','};
        bytes.insert(bytes.end(), static_cast<std::size_t>(depth), '[');
        bytes.insert(bytes.end(), static_cast<std::size_t>(depth), ']');
        const std::size_t tags = bytes.size() - 4;
        bytes.resize(4 + tags + 4 - tags % 4, 0);
        EXPECT_TRUE(agree(bytes)) << depth;
    }
}

TEST(OSCMessageView, TypedReadsComeStraightFromTheDatagram) {
    const auto bytes =
        OSCMessage("/mix/1", {7, OSCArrayValue{{std::string("in"), 2.5}}, SharedBytes::copy(std::string_view("xyz")), true})
            .rawData();
    const auto view = OSCMessageView::parse(bytes.span());
    ASSERT_TRUE(view);
    EXPECT_EQ(view->typeTags(), ",i[sd]bT");
    auto it = view->begin();
    EXPECT_EQ((*it).int32(), 7);
    EXPECT_THROW((void)(*it).float32(), std::bad_variant_access);
    const auto array = *++it;
    auto element = array.elements().begin();
    const auto text = (*element).string();
    EXPECT_EQ(text, "in");
    EXPECT_GE(reinterpret_cast<const std::uint8_t*>(text.data()), bytes.data());  // in place, not copied
    EXPECT_EQ((*++element).float64(), 2.5);
    EXPECT_TRUE(++element == array.elements().end());
    const auto blob = (*++it).blob();
    EXPECT_EQ(std::string(blob.begin(), blob.end()), "xyz");
    EXPECT_TRUE((*++it).boolean());
    EXPECT_TRUE(++it == view->end());
}

// ---------------------------------------------------------------------------
// The writer

template <class... Args>
testing::AssertionResult writesAsOwned(std::string_view address, const Args&... args) {
    std::vector<std::uint8_t> written = {0xAA};
    OSCMessageWriter::append(written, address, args...);
    std::vector<std::uint8_t> expected = {0xAA};
    OSCMessage(OSCAddressPattern(address), {OSCValue(args)...}).encode(expected);
    if (written != expected) return testing::AssertionFailure() << "other bytes for " << address;
    return testing::AssertionSuccess();
}

TEST(OSCMessageWriter, WritesTheBytesOfTheOwnedEncoder) {
    test::PacketGenerator g(seed + 1);
    for (int i = 0; i < 2000; ++i) {
        std::string text(g.below(14), 'x');
        for (auto& c : text) c = static_cast<char>(1 + g.below(127));  // control characters take the owned path
        std::vector<std::uint8_t> blob(g.below(14));
        for (auto& b : blob) b = g.byte();
        const auto i32 = static_cast<std::int32_t>(g.byte() * 0x01010101u);
        const auto f = std::bit_cast<float>(i32);
        const auto i64 = static_cast<std::int64_t>(i32) << 17;
        const bool flag = g.chance(50);
        const auto address = "/w/" + std::to_string(i);
        std::vector<std::uint8_t> expected;
        OSCMessage(address, {i32, f, text, SharedBytes::copy(blob), i64, double(f), flag}).encode(expected);
        std::vector<std::uint8_t> written;
        OSCMessageWriter::append(written, address, i32, f, std::string_view(text), OSCBlobRef{blob}, i64, double(f),
                                 flag);
        ASSERT_EQ(written, expected) << "case " << i;
    }
    EXPECT_TRUE(writesAsOwned("/every/type", std::int32_t{-3}, 1.5f, "text", SharedBytes::copy(std::string_view("ab")),
                              false, char32_t{'q'}, -2.25, std::int64_t{1} << 40, OSCImpulseValue{},
                              OSCMIDIValue{1, 2, 3, 4}, OSCNullValue{}, OSCStringAltValue{"alt"}, OSCTimeTag(99)));
    EXPECT_TRUE(writesAsOwned("/", std::string("na\xC3\xAFve"), char32_t{0xE9}));  // converted the owned way
    EXPECT_TRUE(writesAsOwned("/caf\xC3\xA9", 1));
    EXPECT_TRUE(writesAsOwned("/none"));
}

TEST(OSCMessageWriter, ReusesTheBufferAndWritesBundlesAsOSCBundleDoes) {
    std::vector<std::uint8_t> out;
    OSCMessageWriter::appendBundleHeader(out, OSCTimeTag::immediate());
    OSCMessageWriter::appendElement(out, "/a", 1, "one");
    OSCMessageWriter::appendElement(out, "/b");
    EXPECT_EQ(out, OSCBundle({OSCMessage("/a", {1, "one"}), OSCMessage("/b")}).rawData().toVector());

    // Once grown, the buffer takes the next messages where it is.
    const auto* storage = out.data();
    for (int i = 0; i < 100; ++i) {
        out.clear();
        OSCMessageWriter::append(out, "/eos/out/param/intensity", i, 0.5f, "hello world");
    }
    EXPECT_EQ(out.data(), storage);

    // A null in the address fails as the owned encoder does, leaving the buffer.
    out.assign({1, 2});
    EXPECT_THROW(OSCMessageWriter::append(out, std::string_view("/a\0b", 4), 1), OSCEncodeError);
    EXPECT_THROW(OSCMessageWriter::appendElement(out, std::string_view("/a\0b", 4)), OSCEncodeError);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 2}));
}

// Last: the registration lasts for the rest of the process.
TEST(OSCMessageView, RefusesATagOnlyARegisteredTypeDecodes) {
    auto type = std::make_shared<OSCValueType>();
    type->name = "view test";
    type->identity = OSCValueTagIdentity::atomic('z');
    type->decoder = OSCValueAtomicDecoder{[](OSCValueDecoder&) { return OSCValue(0); }};
    OSCSerialization::shared().registerType(type);
    const std::vector<std::uint8_t> bytes = {'/', 'a', 0, 0, ',', 'i', 'z', 0, 0, 0, 0, 1};
    EXPECT_FALSE(OSCMessageView::parse(bytes));
    EXPECT_TRUE(owned(bytes).error.empty());
    // A message the view can read is still read, and errors before the tag still throw.
    EXPECT_TRUE(agree({'/', 'a', 0, 0, ',', 'i', 0, 0, 0, 0, 0, 1}));
    EXPECT_THROW(OSCMessageView::parse(std::vector<std::uint8_t>{'/', 'a', 0, 0, ',', 'i', 'z', 0}), OSCDecodeError);
}

}  // namespace
}  // namespace vorn::osc
