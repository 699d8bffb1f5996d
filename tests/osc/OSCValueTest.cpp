#include "ascii/DecodingError.h"
#include "osc/OSCArchive.h"
#include "osc/OSCBundle.h"
#include "osc/OSCMessage.h"
#include "osc/OSCSerialization.h"
#include "osc/OSCTimeTag.h"
#include "osc/OSCValue.h"
#include "osc/OSCValueMask.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_set>
#include <vector>

namespace vorn::osc {
namespace {

using namespace std::chrono;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

TEST(OSCValue, EqualityNeedsTheSameTag) {
    const std::pair<OSCValue, OSCValue> differing[] = {
        {std::int32_t{1}, std::int64_t{1}}, {0.5f, 0.5}, {"x", OSCStringAltValue{"x"}}, {"x", 'x'},
        {OSCArrayValue{{std::int32_t{1}}}, OSCArrayValue{{std::int32_t{1}, "a"}}}, {OSCTimeTag(5, 1), OSCTimeTag(5, 0)},
    };
    for (const auto& [a, b] : differing) EXPECT_NE(a, b) << a.description();
    const auto buffer = SharedBytes::copy(std::vector<std::uint8_t>{9, 1, 2});
    EXPECT_EQ(OSCValue(buffer.slice(1, 2)), OSCValue(std::vector<std::uint8_t>{1, 2}));

    // Bundles compare their elements, not their time tags.
    const OSCBundle bundle({OSCMessage("/a"), OSCBundle({OSCMessage("/b")})}, OSCTimeTag(100));
    EXPECT_EQ(bundle, OSCBundle({OSCMessage("/a"), OSCBundle({OSCMessage("/b")})}));
    EXPECT_NE(bundle, OSCBundle({OSCMessage("/a"), OSCMessage("/b")}));
}

TEST(OSCValue, Descriptions) {
    EXPECT_EQ(OSCValue("say \"hi\"").description(), "say \"hi\"");  // quoted only in lists
    const std::vector<OSCValue> values = {1.0f, -std::numeric_limits<double>::infinity(), "say \"hi\"\n", U'é',
                                          Bytes{1, 2, 3}, OSCArrayValue{{1, OSCNullValue{}, OSCArrayValue{{false}}}}};
    EXPECT_EQ(OSCBundle({OSCMessage("/a", values), OSCBundle({}, OSCTimeTag(5, 2))}).description(),
              "OSCBundle(timeTag: 1 (immediate), elements: [OSCMessage(/a, values: [1.0, -inf, \"say \\\"hi\\\"\\n\", "
              "\"é\", 3 bytes, [1, Null, [false]]]), OSCBundle(timeTag: 5-era:2, elements: [])])");
}

// The kind and text of the error that reading `text` as a T raises.
template <class T>
std::pair<ascii::DecodingError::Kind, std::string> archiveError(const char* text) {
    try {
        (void)json::parse(text).get<T>();
    } catch (const ascii::DecodingError& e) {
        return {e.kind(), e.description()};
    }
    return {};
}

TEST(OSCArchive, ArchivedFormsAndTheirErrors) {
    const auto reread = [](const auto& value, const std::string& text) {
        EXPECT_EQ(json(value).dump(), text);
        return json::parse(text).get<std::decay_t<decltype(value)>>();
    };
    EXPECT_EQ(reread(OSCImpulseValue{}, "{}"), OSCImpulseValue{});
    EXPECT_EQ(reread(OSCMIDIValue{1, 144, 60, 255}, R"({"bytes":[1,144,60,255]})"), (OSCMIDIValue{1, 144, 60, 255}));
    EXPECT_EQ(reread(OSCStringAltValue{"Cue \xE2\x80\x94 go"}, "{\"string\":\"Cue \xE2\x80\x94 go\"}"),
              OSCStringAltValue{"Cue \xE2\x80\x94 go"});
    EXPECT_EQ(reread(OSCTimeTag(UINT64_MAX, 3), "18446744073709551615"), OSCTimeTag(UINT64_MAX));  // no era

    using E = std::pair<ascii::DecodingError::Kind, std::string>;
    using enum ascii::DecodingError::Kind;
    const auto midi = archiveError<OSCMIDIValue>;
    const std::string count = "Found unexpected number of values when decoding MIDI bytes.";
    EXPECT_EQ(midi(R"({"bytes":[1,2,3]})"), E(dataCorrupted, count));
    EXPECT_EQ(midi(R"({"bytes":[1,2,3,4,5]})"), E(dataCorrupted, count));
    EXPECT_EQ(midi(R"({"bytes":[1,2,3,256]})"), E(dataCorrupted, "Number 256 does not fit in a MIDI byte."));
    EXPECT_EQ(midi(R"({"byte":[1,2,3,4]})"), E(keyNotFound, "No value associated with key \"bytes\"."));
    EXPECT_EQ(midi("[1,2,3,4]"), E(typeMismatch, "Expected an object but found an array."));
    EXPECT_EQ(archiveError<OSCTimeTag>("\"5\""), E(typeMismatch, "Expected an integer but found a string."));
    EXPECT_EQ(archiveError<OSCTimeTag>("-1").first, dataCorrupted);
    EXPECT_EQ(archiveError<OSCNullValue>("null").first, typeMismatch);
}

constexpr std::uint64_t oneSecond = 1ULL << 32U;

OSCTimeTag::Clock::time_point utc(year_month_day day, nanoseconds sinceMidnight = {}) {
    return time_point_cast<OSCTimeTag::Clock::duration>(sys_days(day) + sinceMidnight);
}

void checkKnownDates() {
    const std::pair<OSCTimeTag::Clock::time_point, std::uint64_t> known[] = {
        {utc(1970y / January / 1), 2208988800ULL << 32U},
        {utc(2000y / January / 1, 12h), (3155673600ULL + 43200) << 32U},
        {utc(1900y / January / 1, 500ms), oneSecond / 2},
        {utc(2036y / February / 7, 6h + 28min + 15s), 4294967295ULL << 32U},  // the last second of era 0
    };
    for (const auto& [date, rawValue] : known) {
        EXPECT_EQ(OSCTimeTag::fromDate(date), OSCTimeTag(rawValue, 0)) << rawValue;
        EXPECT_EQ(OSCTimeTag(rawValue).date(), date) << rawValue;
    }
    EXPECT_EQ(OSCTimeTag::fromDate(utc(2036y / February / 7, 6h + 28min + 16s)), OSCTimeTag(oneSecond, 1));
}

// Time tags count from 1900 in UTC, whatever the machine's own zone.
TEST(OSCTimeTag, DatesConvertInUTCWhateverTheLocalZone) {
    checkKnownDates();
    // Fourteen hours ahead, spelled out so that no zone database is needed.
    const char* previous = std::getenv("TZ");
    const std::string saved = previous != nullptr ? previous : "";
    setenv("TZ", "<+14>-14", 1);
    tzset();
    checkKnownDates();
    if (previous != nullptr) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(OSCTimeTag, SecondsFollowTheEraRuleAndExtremesSaturate) {
    const struct {
        double seconds;
        OSCTimeTag expected;
    } cases[] = {
        {-5, OSCTimeTag(0, 0)},
        {std::nan(""), OSCTimeTag(0, 0)},
        {1.25, OSCTimeTag(oneSecond + oneSecond / 4, 0)},
        {4294967295.0, OSCTimeTag(4294967295ULL << 32U, 0)},
        {2 * 4294967295.0 + 10.5, OSCTimeTag(10 * oneSecond + oneSecond / 2, 2)},
    };
    for (const auto& c : cases) EXPECT_EQ(OSCTimeTag::fromSecondsSinceEpoch(c.seconds), c.expected) << c.seconds;

    // Extremes saturate rather than overflow.
    const auto huge = std::numeric_limits<std::int64_t>::max();
    using Clock = OSCTimeTag::Clock;
    EXPECT_EQ(OSCTimeTag::fromDate(Clock::time_point::min()), OSCTimeTag(0, 0));
    EXPECT_GT(OSCTimeTag::fromDate(Clock::time_point::max()).era(), 0);
    EXPECT_EQ(OSCTimeTag(5, huge).date(), Clock::time_point::max());
    EXPECT_EQ(OSCTimeTag::fromSecondsFromNow(-1e20), OSCTimeTag(0, 0));
    EXPECT_TRUE(OSCTimeTag::fromSecondsFromNow(10).isFuture());
    EXPECT_FALSE(OSCTimeTag::immediate().isFuture());
}

// Tags on the wire carry no era. Once the 32-bit seconds wrap, a tag a few
// seconds ahead has a smaller raw value than one a few seconds back; both
// questions about the future take it in the era nearest now.
TEST(OSCTimeTag, DifferencesSurviveTheEraWrap) {
    const auto reference = OSCTimeTag::fromDate(utc(2036y / February / 7, 6h + 28min + 20s));
    ASSERT_EQ(reference.era(), 1);
    const auto wire = [](OSCTimeTag::Clock::time_point date) {
        return OSCTimeTag(OSCTimeTag::fromDate(date).rawValue(), 0);
    };
    EXPECT_NEAR(wire(utc(2036y / February / 7, 6h + 28min + 25s)).secondsAfter(reference), 5, 1e-6);
    EXPECT_NEAR(wire(utc(2036y / February / 7, 6h + 28min + 10s)).secondsAfter(reference), -10, 1e-6);
    EXPECT_NEAR(wire(utc(2036y / February / 7, 6h + 28min + 30s)).secondsAfter(wire(utc(2036y / February / 7, 6h))),
                1710, 1e-6);
    // A tag that knows its era counts in it.
    EXPECT_NEAR(OSCTimeTag(5 * oneSecond, 2).secondsAfter(reference), 4294967295.0, 1e-3);

    // Seen from today, a wire tag early in era 0 is one early in era 1.
    const OSCTimeTag early(5 * oneSecond);
    EXPECT_GT(early.secondsFromNow(), 0);
    EXPECT_TRUE(early.isFuture());
    // All zeros, as sent by a peer that never set the tag, is never held.
    EXPECT_FALSE(OSCTimeTag(0).isFuture());
    EXPECT_LT(OSCTimeTag(0).secondsFromNow(), 0);
    for (const double seconds : {-3600.0, -0.5, 0.5, 3600.0}) {
        const auto tag = OSCTimeTag::fromSecondsFromNow(seconds);
        EXPECT_NEAR(tag.secondsFromNow(), seconds, 0.25) << seconds;
        EXPECT_EQ(tag.isFuture(), seconds > 0) << seconds;
    }
}

// Equal values hash alike, so that they work as keys.
TEST(OSCValue, HashesAgreeWithEquality) {
    const auto blob = SharedBytes::copy(Bytes{1, 2, 3});
    const std::vector<OSCValue> values = {1, std::int64_t{1}, 1.0f, 1.0, "x", OSCStringAltValue{"x"}, blob, true,
                                          U'x', OSCImpulseValue{}, OSCNullValue{}, OSCMIDIValue{1, 2, 3, 4},
                                          OSCTimeTag(5), OSCArrayValue{{1, "x"}}, OSCArrayValue{}};
    std::unordered_set<OSCValue> set(values.begin(), values.end());
    EXPECT_EQ(set.size(), values.size());
    // Equal copies made another way are found.
    for (const OSCValue& copy : {OSCValue(std::string("x")), OSCValue(Bytes{1, 2, 3}), OSCValue(std::int16_t{1}),
                                 OSCValue(OSCArrayValue{{std::int8_t{1}, std::string_view("x")}})}) {
        EXPECT_EQ(set.count(copy), 1u) << copy.debugDescription();
    }
    EXPECT_EQ(std::hash<OSCValue>{}(0.0), std::hash<OSCValue>{}(-0.0));

    const std::unordered_set<OSCValueTagIdentity> identities = {
        OSCValueTagIdentity::atomic('i'), OSCValueTagIdentity::variable({'T', 'F'}),
        OSCValueTagIdentity::variadic(2, std::nullopt), OSCValueTagIdentity::atomic('i')};
    EXPECT_EQ(identities.size(), 3u);

    // Bundles by their elements alone; a decoded message like a built one.
    const OSCMessage message("/a/b", {1, "x"});
    const OSCBundle now({message}, OSCTimeTag(7));
    const OSCBundle later({OSCMessage::decode(message.rawData())}, OSCTimeTag(9));
    std::unordered_set<OSCBundle> bundles = {now, later, OSCBundle({OSCMessage("/a/b")}),
                                            OSCBundle(std::vector<OSCPacket>{now})};
    EXPECT_EQ(bundles.size(), 3u);
    EXPECT_EQ(std::hash<OSCBundle>{}(now), std::hash<OSCBundle>{}(later));
}

using Token = OSCValueToken;

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
const std::vector<OSCValue> oneOfEach = {
    std::vector<std::uint8_t>{1, 2}, 0.5f, 1, "x", OSCArrayValue{{1}}, true, U'c', 0.25, std::int64_t{2},
    OSCImpulseValue{}, OSCMIDIValue{1, 144, 60, 127}, OSCNullValue{}, OSCStringAltValue{"alt"}, OSCTimeTag(5),
};

// The description of the error extraction throws, or nothing when it succeeds.
template <class... Ts>
std::optional<std::string> failure(const std::vector<OSCValue>& values) {
    try {
        extract<Ts...>(values);
    } catch (const OSCValueMaskError& e) {
        return e.description();
    }
    return std::nullopt;
}

const std::string invalidCount = "Invalid argument count";
const std::string mismatched = "Mismatched types";

// The value as T, or nothing when it does not convert.
template <class T>
std::optional<T> as(const OSCValue& value) {
    if (failure<T>({value})) return std::nullopt;
    return std::get<0>(extract<T>(std::vector{value}));
}

TEST(OSCValueMask, EachTokenAcceptsItsOwnTypesOnly) {
    for (std::size_t t = 0; t < 16; ++t) {
        const Token plain = allOSCValueTokens[t];
        EXPECT_EQ(optionalForm(plain), allOSCValueTokens[t + 16]);
        for (std::size_t v = 0; v < oneOfEach.size(); ++v) {
            const Token own = allOSCValueTokens[v];
            const bool number = own == Token::int32 || own == Token::int64 || own == Token::float32 ||
                                own == Token::float64;
            const bool fits = plain == Token::number         ? number
                              : plain == Token::numberOrBool ? number || own == Token::boolean
                                                             : t == v;
            const std::vector<OSCValue> one{oneOfEach[v]};
            EXPECT_EQ(OSCValueMask{plain}.matches(one), fits) << name(plain) << " " << oneOfEach[v].description();
            EXPECT_EQ(OSCValueMask{optionalForm(plain)}.matches(one), fits) << name(plain);
        }
    }
    for (std::size_t v = 0; v < oneOfEach.size(); ++v) EXPECT_EQ(oscValueToken(oneOfEach[v]), allOSCValueTokens[v]);
    EXPECT_EQ(oscValueToken(OSCValue(std::make_shared<Opaque>())), std::nullopt);
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
        {"nothing against optionals only", {Token::int32Optional, Token::stringOptional}, {}, true},
        {"a value of a registered type", {Token::numberOrBool}, {std::make_shared<Opaque>()}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.mask.matches(c.values), c.matches) << c.name;
}

TEST(OSCValueMask, ExtractionAppliesTheCountRuleThenThePositionRule) {
    const auto& v = oneOfEach;
    EXPECT_EQ((extract<SharedBytes, float, std::int32_t, std::string, OSCArrayValue, bool, char32_t, double,
                       std::int64_t, OSCImpulseValue>(std::span(v).first(10))),
              std::make_tuple(v[0].get<SharedBytes>(), 0.5f, 1, std::string("x"), OSCArrayValue{{1}}, true, U'c', 0.25,
                              std::int64_t{2}, OSCImpulseValue{}));
    const OSCValue opaque(std::make_shared<Opaque>());
    EXPECT_EQ((extract<OSCMIDIValue, OSCNullValue, OSCStringAltValue, OSCTimeTag, OSCValue>(
                  std::vector<OSCValue>{v[10], v[11], v[12], v[13], opaque})),
              std::make_tuple(OSCMIDIValue{1, 144, 60, 127}, OSCNullValue{}, OSCStringAltValue{"alt"}, OSCTimeTag(5),
                              opaque));

    // Two required and two optional: two to four values.
    using I = std::int32_t;
    using O = std::optional<std::int32_t>;
    using Values = std::vector<OSCValue>;
    EXPECT_EQ((failure<I, I, O, O>({I{1}})), invalidCount);
    EXPECT_EQ((failure<I, I>({I{1}, I{2}, I{3}})), invalidCount);
    EXPECT_EQ((extract<I, I, O, O>(Values{I{1}, I{2}})), std::make_tuple(1, 2, O(), O()));
    EXPECT_EQ((extract<I, I, O, O>(Values{I{1}, I{2}, I{3}})), std::make_tuple(1, 2, O(3), O()));
    EXPECT_EQ((failure<I, I>({"x"})), invalidCount);  // the count is checked before any type
    EXPECT_EQ((failure<I, std::string>({"x", I{1}})), mismatched);
    EXPECT_EQ((failure<I, std::optional<std::string>>({I{1}, I{2}})), mismatched);
    EXPECT_EQ((extract<I, std::optional<std::string>>(Values{I{7}})), std::make_tuple(7, std::optional<std::string>()));
    EXPECT_EQ((OSCMessage("/m", {I{3}, "lead"}).extract<std::uint8_t, std::string, std::optional<bool>>()),
              std::make_tuple(std::uint8_t{3}, std::string("lead"), std::optional<bool>()));
}

TEST(OSCValueMask, IntegersConvertOnlyWhenTheyFitExactlyAndNothingElseConverts) {
    EXPECT_EQ(as<std::int8_t>(std::int32_t{-128}), -128);
    EXPECT_EQ(as<std::int8_t>(std::int32_t{128}), std::nullopt);
    EXPECT_EQ(as<std::uint8_t>(std::int32_t{-1}), std::nullopt);
    EXPECT_EQ(as<std::int32_t>(std::int64_t{2147483648}), std::nullopt);
    EXPECT_EQ(as<std::uint32_t>(std::int64_t{4000000000}), 4000000000u);
    EXPECT_EQ(as<std::uint64_t>(std::int64_t{-1}), std::nullopt);

    EXPECT_EQ(as<double>(0.5f), std::nullopt);
    EXPECT_EQ(as<std::int32_t>(true), std::nullopt);
    EXPECT_EQ(as<std::string>(OSCStringAltValue{"x"}), std::nullopt);

    // Any number keeps the family of the value.
    EXPECT_EQ(as<AnyOSCNumberValue>(std::int32_t{-3}), AnyOSCNumberValue(std::int64_t{-3}));
    EXPECT_EQ(as<AnyOSCNumberValue>(0.5f), AnyOSCNumberValue(0.5));
    EXPECT_EQ(as<AnyOSCNumberValue>(false), AnyOSCNumberValue(false));
    EXPECT_NE(AnyOSCNumberValue(1.0), AnyOSCNumberValue(1));
}

// Requests that do not compile: no types, more than ten, a required type
// after an optional one, a type no argument converts to.
static_assert(OSCExtractableTypes<std::int32_t, std::optional<bool>, std::optional<std::string>>);
static_assert(!OSCExtractableTypes<>);
static_assert(!OSCExtractableTypes<int, int, int, int, int, int, int, int, int, int, int>);
static_assert(!OSCExtractableTypes<std::optional<bool>, std::int32_t>);
static_assert(!OSCExtractableTypes<std::optional<std::optional<bool>>>);
static_assert(!OSCExtractableTypes<char>);

}  // namespace
}  // namespace vorn::osc
