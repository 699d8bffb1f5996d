#include "osc/OSCValue.h"

#include "osc/OSCErrors.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace vorn::osc {
namespace {

TEST(OSCValue, NativeIntegersTakeTheCoreTypeThatHoldsThem) {
    const struct {
        const char* name;
        OSCValue value;
        OSCValue expected;
    } cases[] = {
        {"int8", std::int8_t{-5}, std::int32_t{-5}},
        {"uint8", std::uint8_t{200}, std::int32_t{200}},
        {"int16", std::int16_t{-30000}, std::int32_t{-30000}},
        {"uint16", std::uint16_t{65535}, std::int32_t{65535}},
        {"uint32", std::uint32_t{4000000000u}, std::int64_t{4000000000}},
        {"long long", -7LL, std::int64_t{-7}},
        {"uint64 at the int64 maximum", std::numeric_limits<std::uint64_t>::max() / 2,
         std::numeric_limits<std::int64_t>::max()},
        {"unsigned long long", 5ULL, std::int64_t{5}},
        {"char", 'A', U'A'},
        {"byte vector", std::vector<std::uint8_t>{1, 2}, SharedBytes::copy(std::vector<std::uint8_t>{1, 2})},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value.kind(), c.expected.kind()) << c.name;
        EXPECT_EQ(c.value, c.expected) << c.name;
    }
}

TEST(OSCValue, ValuesNoTagCanCarryAreRefused) {
    const auto refused = [](auto make) {
        try {
            make();
        } catch (const OSCEncodeError& e) {
            return e.kind() == OSCEncodeError::Kind::general;
        }
        return false;
    };
    EXPECT_TRUE(refused([] { return OSCValue(std::numeric_limits<std::uint64_t>::max()); }));
    EXPECT_TRUE(refused([] { return OSCValue(std::uint64_t{1} << 63); }));
    EXPECT_TRUE(refused([] { return OSCValue(std::numeric_limits<unsigned long long>::max()); }));
    EXPECT_TRUE(refused([] { return OSCValue(std::shared_ptr<const OSCCustomValue>()); }));
}

TEST(OSCValue, Descriptions) {
    const struct {
        OSCValue value;
        std::string description;
        std::string inList;
    } cases[] = {
        {std::int32_t{42}, "42", "42"},
        {std::int64_t{-9000000000}, "-9000000000", "-9000000000"},
        {0.5f, "0.5", "0.5"},
        {1.0f, "1.0", "1.0"},
        {0.1, "0.1", "0.1"},
        {std::numeric_limits<double>::infinity(), "inf", "inf"},
        {"hello", "hello", "\"hello\""},
        {"say \"hi\"\n", "say \"hi\"\n", "\"say \\\"hi\\\"\\n\""},
        {OSCStringAltValue{"alt"}, "alt", "\"alt\""},
        {'A', "A", "\"A\""},
        {U'é', "é", "\"é\""},
        {true, "true", "true"},
        {std::vector<std::uint8_t>{1, 2, 3}, "3 bytes", "3 bytes"},
        {OSCImpulseValue{}, "Impulse", "Impulse"},
        {OSCNullValue{}, "Null", "Null"},
        {OSCMIDIValue{1, 144, 60, 127}, "MIDI(portID: 1, status: 144, data1: 60, data2: 127)",
         "MIDI(portID: 1, status: 144, data1: 60, data2: 127)"},
        {OSCTimeTag::immediate(), "1 (immediate)", "1 (immediate)"},
        {OSCArrayValue{{std::int32_t{1}, "x", OSCArrayValue{{false}}}}, "[1, \"x\", [false]]", "[1, \"x\", [false]]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value.description(), c.description);
        EXPECT_EQ(c.value.debugDescription(), c.inList);
    }
    EXPECT_EQ(description({}), "[]");
}

TEST(OSCValue, EqualityNeedsTheSameTag) {
    const std::uint8_t bytes[] = {9, 1, 2};
    const auto buffer = SharedBytes::copy(bytes);
    const struct {
        const char* name;
        OSCValue a;
        OSCValue b;
        bool equal;
    } cases[] = {
        {"i and h", std::int32_t{1}, std::int64_t{1}, false},
        {"f and d", 0.5f, 0.5, false},
        {"s and S", "x", OSCStringAltValue{"x"}, false},
        {"s and c", "x", 'x', false},
        {"true and false", true, false, false},
        {"blob slice and copy", buffer.slice(1, 2), std::vector<std::uint8_t>{1, 2}, true},
        {"blobs differ", buffer.slice(0, 2), std::vector<std::uint8_t>{1, 2}, false},
        {"arrays element by element", OSCArrayValue{{std::int32_t{1}, "a"}}, OSCArrayValue{{std::int32_t{1}, "a"}},
         true},
        {"arrays of different length", OSCArrayValue{{std::int32_t{1}}}, OSCArrayValue{{std::int32_t{1}, "a"}}, false},
        {"MIDI", OSCMIDIValue{1, 2, 3, 4}, OSCMIDIValue{1, 2, 3, 5}, false},
        {"time tags by era too", OSCTimeTag(5, 1), OSCTimeTag(5, 0), false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.a == c.b, c.equal) << c.name;
}

}  // namespace
}  // namespace vorn::osc
