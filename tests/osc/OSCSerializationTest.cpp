#include "osc/OSCSerialization.h"

#include "PacketBytes.h"
#include "osc/OSCErrors.h"
#include "osc/OSCMessage.h"
#include "osc/OSCValueDecoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

namespace vorn::osc {
namespace {

using namespace std::string_literals;
using namespace test;
using Identity = OSCValueTagIdentity;

// The shared registry lives as long as the process, so each type below is
// registered once, on first use, under a tag no other test claims.

std::shared_ptr<const OSCValueType> registered(OSCValueType type) {
    auto shared = std::make_shared<const OSCValueType>(std::move(type));
    OSCSerialization::shared().registerType(shared);
    return shared;
}

// Tag r: an RGBA colour, four bytes.
struct RGBA final : OSCCustomValue {
    std::uint8_t r, g, b, a;
    RGBA(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) : r(r), g(g), b(b), a(a) {}

    static const OSCValueType& registration() {
        static const auto type = registered({"rgba", Identity::atomic('r'),
                                             OSCValueAtomicEncoder{[](const OSCValue& v, std::vector<std::uint8_t>& out) {
                                                 const RGBA* c = v.custom<RGBA>();
                                                 out.insert(out.end(), {c->r, c->g, c->b, c->a});
                                                 return 'r';
                                             }},
                                             OSCValueAtomicDecoder{[](OSCValueDecoder& d) -> OSCValue {
                                                 const SharedBytes b = d.read(4);
                                                 return std::make_shared<const RGBA>(b[0], b[1], b[2], b[3]);
                                             }},
                                             std::nullopt});
        return *type;
    }
    const OSCValueType& type() const override { return registration(); }
    bool equals(const OSCCustomValue& other) const override {
        const auto* o = dynamic_cast<const RGBA*>(&other);
        return o && o->r == r && o->g == g && o->b == b && o->a == a;
    }
    std::string description() const override {
        return "RGBA(" + std::to_string(r) + ", " + std::to_string(g) + ", " + std::to_string(b) + ", " +
               std::to_string(a) + ")";
    }
};

// Tags <ii>: an integer range, written as a run of four tags.
struct Range final : OSCCustomValue {
    std::int32_t low, high;
    Range(std::int32_t low, std::int32_t high) : low(low), high(high) {}

    static const OSCValueType& registration() {
        static const auto type = registered(
            {"range", Identity::variadic(4, 4),
             OSCValueVariadicEncoder{[](const OSCValue& v, std::vector<std::uint8_t>& out) {
                 // Borrows the codec for its integers, encoding while an
                 // encoding is under way.
                 const Range* range = v.custom<Range>();
                 OSCMessage carrier("/", {range->low, range->high});
                 const auto bytes = carrier.rawData();
                 out.insert(out.end(), bytes.end() - 8, bytes.end());
                 return std::vector<ASCIICharacter>{ASCIICharacter('<'), ASCIICharacter('i'), ASCIICharacter('i'),
                                                    ASCIICharacter('>')};
             }},
             OSCValueVariadicDecoder{[](std::span<const char> tags, OSCValueDecoder& d)
                                         -> std::optional<OSCValueVariadicDecoder::Result> {
                 if (std::string_view(tags.data(), std::min<std::size_t>(tags.size(), 4)) != "<ii>") {
                     return std::nullopt;
                 }
                 const std::int32_t low = d.readInt32();
                 return OSCValueVariadicDecoder::Result{4, std::make_shared<const Range>(low, d.readInt32())};
             }},
             std::nullopt});
        return *type;
    }
    const OSCValueType& type() const override { return registration(); }
    bool equals(const OSCCustomValue& other) const override {
        const auto* o = dynamic_cast<const Range*>(&other);
        return o && o->low == low && o->high == high;
    }
    std::string description() const override { return std::to_string(low) + "..." + std::to_string(high); }
};

// A type whose values can be written but not read (tag e), and one that can
// be neither (tag o).
struct WriteOnly final : OSCCustomValue {
    static const OSCValueType& registration() {
        static const auto type = registered(
            {"writeOnly", Identity::atomic('e'),
             OSCValueAtomicEncoder{[](const OSCValue&, std::vector<std::uint8_t>&) { return 'e'; }}, {}, {}});
        return *type;
    }
    const OSCValueType& type() const override { return registration(); }
    bool equals(const OSCCustomValue& other) const override { return dynamic_cast<const WriteOnly*>(&other); }
    std::string description() const override { return "writeOnly"; }
};

struct Opaque final : OSCCustomValue {
    static const OSCValueType& registration() {
        static const auto type = registered({"opaque", Identity::atomic('o'), {}, {}, {}});
        return *type;
    }
    const OSCValueType& type() const override { return registration(); }
    bool equals(const OSCCustomValue&) const override { return true; }
    std::string description() const override { return "opaque"; }
};

std::vector<std::string> names(const std::vector<std::shared_ptr<const OSCValueType>>& types) {
    std::vector<std::string> out;
    for (const auto& type : types) out.push_back(type->name);
    return out;
}

// The built-in candidates for a tag; types registered by other tests here
// are variadic and come after them.
std::vector<std::string> builtinCandidates(char tag) {
    std::vector<std::string> out;
    for (const auto& type : OSCSerialization::shared().lookup(tag)) {
        if (type->builtin) out.push_back(type->name);
    }
    return out;
}

TEST(OSCSerialization, BuiltInTypesComeFirstInTheirOrder) {
    const struct {
        OSCValueKind kind;
        Identity identity;
    } expected[] = {
        {OSCValueKind::int32, Identity::atomic('i')},     {OSCValueKind::float32, Identity::atomic('f')},
        {OSCValueKind::string, Identity::atomic('s')},    {OSCValueKind::blob, Identity::atomic('b')},
        {OSCValueKind::boolean, Identity::variable({'T', 'F'})},
        {OSCValueKind::character, Identity::atomic('c')}, {OSCValueKind::float64, Identity::atomic('d')},
        {OSCValueKind::int64, Identity::atomic('h')},     {OSCValueKind::impulse, Identity::atomic('I')},
        {OSCValueKind::midi, Identity::atomic('m')},      {OSCValueKind::null, Identity::atomic('N')},
        {OSCValueKind::stringAlt, Identity::atomic('S')}, {OSCValueKind::timeTag, Identity::atomic('t')},
        {OSCValueKind::array, Identity::variadic(2, std::nullopt)},
    };
    const auto types = OSCSerialization::shared().types();
    ASSERT_GE(types.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(types[i]->builtin, expected[i].kind) << i;
        EXPECT_EQ(types[i]->identity, expected[i].identity) << i;
        EXPECT_EQ(&OSCSerialization::shared().builtin(expected[i].kind), types[i].get()) << i;
    }
    EXPECT_THROW(OSCSerialization::shared().builtin(OSCValueKind::custom), std::out_of_range);
}

TEST(OSCSerialization, LookupListsClaimingTypesBeforeArrays) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(builtinCandidates('T'), (Names{"boolean", "array"}));
    EXPECT_EQ(builtinCandidates('F'), (Names{"boolean", "array"}));
    EXPECT_EQ(builtinCandidates('i'), (Names{"int32", "array"}));
    EXPECT_EQ(builtinCandidates('['), (Names{"array"}));
    EXPECT_EQ(builtinCandidates('Z'), (Names{"array"}));
    for (const auto& type : OSCSerialization::shared().lookup('Z')) {
        EXPECT_EQ(type->identity.kind, Identity::Kind::variadic) << type->name;
    }
}

TEST(OSCSerialization, ClaimedTagsCannotBeClaimedAgain) {
    const auto before = names(OSCSerialization::shared().types());
    const Identity conflicting[] = {Identity::atomic('i'), Identity::atomic('F'), Identity::variable({'q', 'T'}),
                                    Identity::variable({'q', 'S'})};
    for (const auto& identity : conflicting) {
        try {
            OSCSerialization::shared().registerType(
                std::make_shared<const OSCValueType>(OSCValueType{"late", identity, {}, {}, {}}));
            ADD_FAILURE() << "registered over a built-in tag";
        } catch (const OSCSerializationError& e) {
            EXPECT_EQ(e.description(), "Tag already registered");
        }
    }
    EXPECT_EQ(names(OSCSerialization::shared().types()), before);
}

TEST(OSCSerialization, RegisteredTypesEncodeAndDecodeThroughTheirBlocks) {
    const OSCMessage message("/c", {std::make_shared<const RGBA>(1, 2, 3, 4), std::int32_t{5},
                                    OSCArrayValue{{std::make_shared<const RGBA>(9, 8, 7, 6)}},
                                    std::make_shared<const Range>(-1, 1)});
    const Bytes expected = raw("/c\0\0,ri[r]<ii>\0\0"s) + hex("01 02 03 04  00 00 00 05  09 08 07 06") +
                           hex("FF FF FF FF  00 00 00 01");
    EXPECT_EQ(message.rawData().toVector(), expected);
    EXPECT_EQ(message.description(), "OSCMessage(/c, values: [RGBA(1, 2, 3, 4), 5, [RGBA(9, 8, 7, 6)], -1...1])");

    const OSCMessage decoded = OSCMessage::decode(expected);
    EXPECT_EQ(decoded, message);
    EXPECT_EQ(decoded.values()[0].custom<RGBA>()->b, 3);
    EXPECT_NE(decoded, OSCMessage("/c", {std::make_shared<const RGBA>(1, 2, 3, 5), std::int32_t{5},
                                         OSCArrayValue{{std::make_shared<const RGBA>(9, 8, 7, 6)}},
                                         std::make_shared<const Range>(-1, 1)}));

    // Candidates keep registration order: the array, which declines r, comes
    // before the colour, and the variadic range is a candidate for every tag.
    const auto candidates = names(OSCSerialization::shared().lookup('r'));
    ASSERT_GE(candidates.size(), 3u);
    EXPECT_EQ(std::vector(candidates.begin(), candidates.begin() + 3),
              (std::vector<std::string>{"array", "rgba", "range"}));
    // And it declines what it does not know.
    EXPECT_EQ(messageDecodeError(raw("/c\0\0,<i>\0\0\0\0"s)), "Malformed data: No decoder found to decode OSC type tag: <");
}

TEST(OSCSerialization, TypesWithoutBlocksFailCleanly) {
    WriteOnly::registration();
    EXPECT_EQ(OSCMessage("/w", {std::make_shared<const WriteOnly>()}).rawData().toVector(), raw("/w\0\0,e\0\0"s));
    EXPECT_EQ(messageDecodeError(raw("/w\0\0,e\0\0"s)), "Malformed data: No decoder is implemented for OSC type tag: e");

    Opaque::registration();
    try {
        OSCMessage("/o", {std::int32_t{1}, std::make_shared<const Opaque>()}).rawData();
        FAIL() << "encoded a type without an encoder";
    } catch (const OSCEncodeError& e) {
        EXPECT_EQ(e.kind(), OSCEncodeError::Kind::unexpectedEncoder);
        EXPECT_EQ(e.description(), "Unexpected encoder type.");
    }
}

TEST(OSCSerialization, VariadicDecoderMustTakeItsTags) {
    // Tag ~ claims to take no tags at all, which would stall the decoder.
    static const auto stalling = registered(
        {"stalling", Identity::variadic(std::nullopt, std::nullopt), {},
         OSCValueVariadicDecoder{
             [](std::span<const char> tags, OSCValueDecoder&) -> std::optional<OSCValueVariadicDecoder::Result> {
                 if (tags.front() != '~') return std::nullopt;
                 return OSCValueVariadicDecoder::Result{0, OSCNullValue{}};
             }},
         std::nullopt});
    EXPECT_EQ(messageDecodeError(raw("/s\0\0,~\0\0"s)), "Internal inconsistency: Decoder for OSC type tag ~ took 0 of 1 tags.");
}

TEST(OSCSerialization, BuiltInBlocksMatchTheCodec) {
    auto& registry = OSCSerialization::shared();
    std::vector<std::uint8_t> out;
    const auto& encodeInt = std::get<OSCValueAtomicEncoder>(registry.builtin(OSCValueKind::int32).encoder).block;
    EXPECT_EQ(encodeInt(std::int32_t{258}, out), 'i');
    EXPECT_EQ(out, hex("00 00 01 02"));
    EXPECT_THROW(encodeInt("not an integer", out), OSCEncodeError);

    out.clear();
    const auto& encodeArray = std::get<OSCValueVariadicEncoder>(registry.builtin(OSCValueKind::array).encoder).block;
    const auto tags = encodeArray(OSCArrayValue{{std::int32_t{1}, OSCArrayValue{{"x"}}}}, out);
    std::string tagText;
    for (const auto& tag : tags) tagText += static_cast<char>(tag.asciiValue());
    EXPECT_EQ(tagText, "[i[s]]");
    EXPECT_EQ(out, hex("00 00 00 01") + raw("x\0\0\0"s));

    OSCValueDecoder decoder(SharedBytes::copy(out), nullptr);
    const auto& decodeArray = std::get<OSCValueVariadicDecoder>(registry.builtin(OSCValueKind::array).decoder).block;
    EXPECT_FALSE(decodeArray(std::span<const char>("i]", 2), decoder));
    const auto result = decodeArray(std::span<const char>("[i[s]]i", 7), decoder);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->tagCount, 6u);
    EXPECT_EQ(result->value, OSCValue(OSCArrayValue{{std::int32_t{1}, OSCArrayValue{{"x"}}}}));
}

TEST(OSCSerialization, RegistrationDoesNotDisturbDecoding) {
    const Bytes message = raw("/a\0\0,i\0\0"s) + hex("00 00 00 2A");
    std::atomic<bool> failed{false};
    std::vector<std::thread> decoders;
    for (int t = 0; t < 2; ++t) {
        decoders.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (OSCMessage::decode(message).values().at(0) != OSCValue(std::int32_t{42})) failed = true;
            }
        });
    }
    for (int tag = 0x80; tag < 0x90; ++tag) {
        registered({"late", Identity::atomic(static_cast<char>(tag)), {}, {}, {}});
    }
    for (auto& thread : decoders) thread.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(names(OSCSerialization::shared().lookup(static_cast<char>(0x85))).back(), "late");
}

}  // namespace
}  // namespace vorn::osc
