#include "osc/OSCValueMask.h"

#include "osc/OSCMessage.h"
#include "osc/OSCSerialization.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace vorn::osc {
namespace {

using Token = OSCValueToken;
using Kind = OSCValueMaskError::Kind;

// A value of a registered type; no token stands for it.
struct Opaque final : OSCCustomValue {
    const OSCValueType& type() const override {
        static const OSCValueType type{"opaque", OSCValueTagIdentity::atomic('o'), {}, {}, {}};
        return type;
    }
    bool equals(const OSCCustomValue& other) const override { return dynamic_cast<const Opaque*>(&other); }
    std::string description() const override { return "opaque"; }
};

// One value for each of the 14 plain tokens, at the token's index.
std::vector<OSCValue> oneOfEach() {
    return {
        std::vector<std::uint8_t>{1, 2},
        0.5f,
        std::int32_t{1},
        "x",
        OSCArrayValue{{std::int32_t{1}}},
        true,
        U'c',
        0.25,
        std::int64_t{2},
        OSCImpulseValue{},
        OSCMIDIValue{1, 144, 60, 127},
        OSCNullValue{},
        OSCStringAltValue{"alt"},
        OSCTimeTag(5),
    };
}

// The kind of error extraction throws, or nothing when it succeeds.
template <class... Ts>
std::optional<Kind> failure(const std::vector<OSCValue>& values) {
    try {
        extract<Ts...>(values);
    } catch (const OSCValueMaskError& e) {
        return e.kind();
    }
    return std::nullopt;
}

// The value as T, or nothing when it does not convert.
template <class T>
std::optional<T> as(const OSCValue& value) {
    if (failure<T>({value})) return std::nullopt;
    return std::get<0>(extract<T>(std::vector{value}));
}

TEST(OSCValueMask, TokenOrderPairsEachPlainTokenWithItsOptionalForm) {
    ASSERT_EQ(allOSCValueTokens.size(), 32u);
    EXPECT_EQ(name(allOSCValueTokens[0]), "blob");
    EXPECT_EQ(name(allOSCValueTokens[15]), "numberOrBool");
    for (std::size_t i = 0; i < 16; ++i) {
        const Token plain = allOSCValueTokens[i];
        const Token optional = allOSCValueTokens[i + 16];
        EXPECT_FALSE(isOptional(plain));
        EXPECT_TRUE(isOptional(optional));
        EXPECT_EQ(optionalForm(plain), optional);
        EXPECT_EQ(requiredForm(optional), plain);
        EXPECT_EQ(std::string(name(plain)) + "Optional", name(optional));
    }
}

TEST(OSCValueMask, EveryValueReportsItsOwnToken) {
    const auto values = oneOfEach();
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(oscValueToken(values[i]), allOSCValueTokens[i]) << values[i].description();
    }
    EXPECT_EQ(oscValueToken(OSCValue(false)), Token::boolean);
    EXPECT_EQ(oscValueToken<AnyOSCNumberValue>(), Token::numberOrBool);
    EXPECT_EQ(oscValueToken(OSCValue(std::make_shared<Opaque>())), std::nullopt);
}

TEST(OSCValueMask, EachPlainTokenAcceptsItsOwnTypeOnly) {
    const auto values = oneOfEach();
    for (std::size_t t = 0; t < 14; ++t) {
        for (std::size_t v = 0; v < values.size(); ++v) {
            const Token token = allOSCValueTokens[t];
            const std::vector<OSCValue> one{values[v]};
            EXPECT_EQ(OSCValueMask{token}.matches(one), t == v) << name(token) << " " << values[v].description();
            EXPECT_EQ(OSCValueMask{optionalForm(token)}.matches(one), t == v) << name(token);
        }
    }
}

TEST(OSCValueMask, NumberTokensTakeAnyNumberAndNumberOrBoolTakesBooleansToo) {
    const auto values = oneOfEach();
    for (std::size_t v = 0; v < values.size(); ++v) {
        const Token own = allOSCValueTokens[v];
        const bool number = own == Token::int32 || own == Token::int64 || own == Token::float32 || own == Token::float64;
        const std::vector<OSCValue> one{values[v]};
        EXPECT_EQ(OSCValueMask{Token::number}.matches(one), number) << name(own);
        EXPECT_EQ(OSCValueMask{Token::numberOptional}.matches(one), number) << name(own);
        EXPECT_EQ(OSCValueMask{Token::numberOrBool}.matches(one), number || own == Token::boolean) << name(own);
        EXPECT_EQ(OSCValueMask{Token::numberOrBoolOptional}.matches(one), number || own == Token::boolean)
            << name(own);
    }
}

TEST(OSCValueMask, ListsAgainstMasks) {
    const std::vector<OSCValue> intAndText{std::int32_t{1}, "x"};
    const struct {
        const char* name;
        OSCValueMask mask;
        std::vector<OSCValue> values;
        bool matches;
    } cases[] = {
        {"a missing optional at the end", {Token::int32, Token::string, Token::booleanOptional}, intAndText, true},
        {"more values than tokens", {Token::int32}, intAndText, false},
        {"a missing required value", {Token::int32, Token::string, Token::boolean}, intAndText, false},
        {"the right types in the wrong order", {Token::string, Token::int32}, intAndText, false},
        {"an optional that is present must fit", {Token::int32, Token::float32Optional}, intAndText, false},
        {"nothing against nothing", {}, {}, true},
        {"nothing against optionals only", {Token::int32Optional, Token::stringOptional}, {}, true},
        {"a value of a registered type", {Token::numberOrBool}, {std::make_shared<Opaque>()}, false},
        {"nested arrays are one value", {Token::array}, {OSCArrayValue{{OSCArrayValue{}}}}, true},
    };
    for (const auto& c : cases) EXPECT_EQ(c.mask.matches(c.values), c.matches) << c.name;
}

TEST(OSCValueMask, ErrorsHaveFixedDescriptions) {
    EXPECT_EQ(OSCValueMaskError::invalidCount().description(), "Invalid argument count");
    EXPECT_EQ(OSCValueMaskError::mismatchedTypes().description(), "Mismatched types");
}

TEST(OSCValueMask, ExtractsEveryTypeAsItIs) {
    const auto values = oneOfEach();
    const auto first = extract<SharedBytes, float, std::int32_t, std::string, OSCArrayValue, bool, char32_t, double,
                               std::int64_t, OSCImpulseValue>(std::span(values).first(10));
    EXPECT_EQ(first, std::make_tuple(values[0].get<SharedBytes>(), 0.5f, 1, std::string("x"),
                                     OSCArrayValue{{std::int32_t{1}}}, true, U'c', 0.25, std::int64_t{2},
                                     OSCImpulseValue{}));

    const OSCValue opaque(std::make_shared<Opaque>());
    const std::vector<OSCValue> rest{values[10], values[11], values[12], values[13], opaque};
    EXPECT_EQ((extract<OSCMIDIValue, OSCNullValue, OSCStringAltValue, OSCTimeTag, OSCValue>(rest)),
              std::make_tuple(OSCMIDIValue{1, 144, 60, 127}, OSCNullValue{}, OSCStringAltValue{"alt"}, OSCTimeTag(5),
                              opaque));
}

TEST(OSCValueMask, CountMustLieBetweenRequiredAndRequested) {
    using I = std::int32_t;
    using O = std::optional<std::int32_t>;
    // Two required and two optional.
    const std::vector<OSCValue> five{I{1}, I{2}, I{3}, I{4}, I{5}};
    for (std::size_t count = 0; count <= five.size(); ++count) {
        const std::vector<OSCValue> values(five.begin(), five.begin() + static_cast<std::ptrdiff_t>(count));
        if (count < 2 || count > 4) {
            EXPECT_EQ((failure<I, I, O, O>(values)), Kind::invalidCount) << count;
            continue;
        }
        const auto [a, b, c, d] = extract<I, I, O, O>(values);
        EXPECT_EQ(a + b, 3);
        EXPECT_EQ(c, count > 2 ? O(3) : std::nullopt) << count;
        EXPECT_EQ(d, count > 3 ? O(4) : std::nullopt) << count;
    }
    EXPECT_EQ((failure<I, I>({I{1}, I{2}, I{3}})), Kind::invalidCount);
    EXPECT_EQ((failure<O>({})), std::nullopt);
    // The count is checked before any type.
    EXPECT_EQ((failure<I, I>({"x"})), Kind::invalidCount);
}

TEST(OSCValueMask, FirstValueOfTheWrongTypeFails) {
    EXPECT_EQ((failure<std::int32_t, std::string>({"x", std::int32_t{1}})), Kind::mismatchedTypes);
    EXPECT_EQ((failure<std::int32_t, std::optional<std::string>>({std::int32_t{1}, std::int32_t{2}})),
              Kind::mismatchedTypes);

    const auto [number, text] = extract<std::int32_t, std::optional<std::string>>(std::vector<OSCValue>{7});
    EXPECT_EQ(number, 7);
    EXPECT_EQ(text, std::nullopt);
}

TEST(OSCValueMask, IntegersConvertOnlyWhenTheyFitExactly) {
    constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(as<std::int8_t>(std::int32_t{-128}), -128);
    EXPECT_EQ(as<std::int8_t>(std::int32_t{128}), std::nullopt);
    EXPECT_EQ(as<std::uint8_t>(std::int32_t{255}), 255);
    EXPECT_EQ(as<std::uint8_t>(std::int32_t{-1}), std::nullopt);
    EXPECT_EQ(as<std::uint16_t>(std::int64_t{65535}), 65535);
    EXPECT_EQ(as<std::int16_t>(std::int64_t{-32769}), std::nullopt);
    EXPECT_EQ(as<std::int32_t>(std::int64_t{2147483647}), 2147483647);
    EXPECT_EQ(as<std::int32_t>(std::int64_t{2147483648}), std::nullopt);
    EXPECT_EQ(as<std::uint32_t>(std::int64_t{4000000000}), 4000000000u);
    EXPECT_EQ(as<std::uint32_t>(std::int32_t{-1}), std::nullopt);
    EXPECT_EQ(as<std::int64_t>(std::int32_t{-5}), -5);
    EXPECT_EQ(as<std::uint64_t>(std::int64_t{int64Max}), static_cast<std::uint64_t>(int64Max));
    EXPECT_EQ(as<std::uint64_t>(std::int64_t{-1}), std::nullopt);
    EXPECT_EQ(as<long long>(std::int32_t{3}), 3);
}

TEST(OSCValueMask, OtherTypesNeverConvert) {
    EXPECT_EQ(as<double>(0.5f), std::nullopt);
    EXPECT_EQ(as<float>(0.5), std::nullopt);
    EXPECT_EQ(as<double>(std::int32_t{1}), std::nullopt);
    EXPECT_EQ(as<std::int32_t>(1.0f), std::nullopt);
    EXPECT_EQ(as<std::int32_t>(true), std::nullopt);
    EXPECT_EQ(as<std::int32_t>(U'1'), std::nullopt);
    EXPECT_EQ(as<std::string>(OSCStringAltValue{"x"}), std::nullopt);
    EXPECT_EQ(as<OSCTimeTag>(std::int64_t{1}), std::nullopt);
}

TEST(OSCValueMask, AnyNumberKeepsTheFamilyOfTheValue) {
    EXPECT_EQ(as<AnyOSCNumberValue>(std::int32_t{-3}), AnyOSCNumberValue(std::int64_t{-3}));
    EXPECT_EQ(as<AnyOSCNumberValue>(std::int64_t{1} << 40), AnyOSCNumberValue(std::int64_t{1} << 40));
    EXPECT_EQ(as<AnyOSCNumberValue>(0.5f), AnyOSCNumberValue(0.5));
    EXPECT_EQ(as<AnyOSCNumberValue>(0.25), AnyOSCNumberValue(0.25));
    EXPECT_EQ(as<AnyOSCNumberValue>(false), AnyOSCNumberValue(false));
    EXPECT_EQ(as<AnyOSCNumberValue>("1"), std::nullopt);
    EXPECT_EQ(as<AnyOSCNumberValue>(U'1'), std::nullopt);

    const AnyOSCNumberValue one(1);
    EXPECT_EQ(one.intValue(), 1);
    EXPECT_EQ(one.floatValue(), std::nullopt);
    EXPECT_EQ(one.boolValue(), std::nullopt);
    EXPECT_EQ(one.description(), "1");
    EXPECT_EQ(AnyOSCNumberValue(1.0).description(), "1.0");
    EXPECT_NE(AnyOSCNumberValue(1.0), one);
}

TEST(OSCValueMask, MessagesExtractTheirOwnValues) {
    const OSCMessage message("/mixer/fader", {std::int32_t{3}, "lead", true});
    EXPECT_EQ((message.extract<std::uint8_t, std::string, std::optional<bool>>()),
              std::make_tuple(std::uint8_t{3}, std::string("lead"), std::optional<bool>(true)));
}

// Requests that do not compile: no types, more than ten, a required type
// after an optional one, a type no argument converts to.
static_assert(OSCExtractableTypes<std::int32_t, std::optional<bool>, std::optional<std::string>>);
static_assert(OSCExtractableTypes<std::optional<AnyOSCNumberValue>>);
static_assert(!OSCExtractableTypes<>);
static_assert(!OSCExtractableTypes<int, int, int, int, int, int, int, int, int, int, int>);
static_assert(!OSCExtractableTypes<std::optional<bool>, std::int32_t>);
static_assert(!OSCExtractableTypes<std::int32_t, std::optional<bool>, std::string>);
static_assert(!OSCExtractableTypes<std::optional<std::optional<bool>>>);
static_assert(!OSCExtractableTypes<char>);
static_assert(!OSCExtractableTypes<std::vector<std::uint8_t>>);

}  // namespace
}  // namespace vorn::osc
