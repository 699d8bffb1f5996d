#include "osc/OSCAddressPattern.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace vorn::osc {
namespace {

using Component = OSCAddressPattern::Component;
using Token = OSCAddressPattern::Token;
using Group = OSCAddressPattern::CharacterGroup;

Group single(char c) { return Group::single(c); }
Group range(char start, char end) { return Group::asciiRange(start, end); }

TEST(OSCAddressPatternTest, SplitDropsOneSlashAtEachEndAndKeepsEmptyInnerParts) {
    struct Case {
        std::string_view address;
        std::vector<std::string_view> parts;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"/", {}},
        {"//", {}},
        {"/a", {"a"}},
        {"a/b", {"a", "b"}},
        {"/a/b/", {"a", "b"}},
        {"/a//b", {"a", "", "b"}},
        {"/a//", {"a", ""}},
        {"///", {"", ""}},
    };
    for (const auto& test : cases) EXPECT_EQ(OSCAddressPattern::split(test.address), test.parts) << test.address;
}

TEST(OSCAddressPatternTest, TokenizeReadsWildcardsBracketsAndBraces) {
    struct Case {
        std::string_view part;
        std::vector<Token> tokens;
    };
    const auto star = Token::zeroOrMoreWildcard();
    const auto any = Token::singleCharWildcard();
    const auto lit = [](std::string text) { return Token::literal(std::move(text)); };
    const std::vector<Case> cases = {
        {"", {}},
        {"ping", {lit("ping")}},
        {"a**b***", {lit("a"), star, lit("b"), star}},
        {"??", {any, any}},
        {"*{}*", {star, Token::strings({}), star}},
        {"x[a-z0-9_]y",
         {lit("x"), Token::singleChar(false, {range('a', 'z'), range('0', '9'), single('_')}), lit("y")}},
        {"[-ab]", {Token::singleChar(false, {single('a'), single('b'), single('-')})}},
        {"[ab-]", {Token::singleChar(false, {single('a'), single('b'), single('-')})}},
        {"[!0-9]", {Token::singleChar(true, {range('0', '9')})}},
        {"[]", {Token::singleChar(false, {})}},
        {"[!]", {Token::singleChar(true, {})}},
        // Left of a range characters wait their turn: a starts the second range.
        {"[ab-c-d]", {Token::singleChar(false, {range('b', 'c'), range('a', 'd')})}},
        {"[a--]", {Token::singleChar(false, {range('a', '-')})}},
        {"[--]", {Token::singleChar(false, {single('-')})}},
        {"{foo,bar}", {Token::strings({"foo", "bar"})}},
        {"{,a,,}", {Token::strings({"a"})}},
        {"{,}", {Token::strings({})}},
        {"[ab", {lit("[ab")}},
        {"x{ab", {lit("x{ab")}},
        {"[a,b}", {Token::strings({"a", "b"})}},
        {"[a}]", {Token::singleChar(false, {single('a'), single('}')})}},
        {"{a]b}", {Token::strings({"a]b"})}},
        {"],}!-", {lit("],}!-")}},
    };
    for (const auto& test : cases) {
        const auto component = OSCAddressPattern::tokenize(test.part);
        const Component expected{test.tokens};
        EXPECT_EQ(component, expected) << test.part << " gave " << component.description() << ", expected "
                                       << expected.description();
    }
}

TEST(OSCAddressPatternTest, ComponentsAreEqualAndHashAlikeWhenTheirTokensAre) {
    const auto a = OSCAddressPattern::tokenize("x**[b-a]{q,p}");
    const auto b = OSCAddressPattern::tokenize("x*[b-a]{p,q,p}");
    const auto c = OSCAddressPattern::tokenize("x*[a-b]{p,q}");
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    const std::unordered_set<Component> set = {a, b, c};
    EXPECT_EQ(set.size(), 2u);
    EXPECT_EQ(std::hash<Component>{}(a), std::hash<Component>{}(b));
}

TEST(OSCAddressPatternTest, MatchesLocalAddresses) {
    struct Case {
        std::string_view pattern;
        std::vector<std::string_view> matching;
        std::vector<std::string_view> other;
    };
    const std::vector<Case> cases = {
        {"/eos/ping", {"/eos/ping", "eos/ping", "/eos/ping/"}, {"/eos/pin", "/eos/ping/x", "/EOS/PING"}},
        {"/eos/*", {"/eos/ping", "/eos/out", "/eos//"}, {"/eos/out/ping", "/eos", "/eos/"}},
        {"/eos/*/ping", {"/eos/out/ping", "/eos//ping"}, {"/eos/ping"}},
        {"/a/*", {"/a//"}, {"/a/"}},
        {"/*", {"/x", "x", "/x/"}, {"//", "/", "", "/x/y"}},
        {"/ab*c", {"/abc", "/abxc", "/abxxc"}, {"/ab", "/abcx", "/xabc"}},
        {"/a*b*c", {"/aXbYc", "/abc", "/abbcc", "/acbc"}, {"/acb", "/aXbY"}},
        {"/a?c", {"/abc", "/a?c"}, {"/ac", "/abbc"}},
        {"/*?", {"/x", "/xyz"}, {"/"}},
        {"/[a-c]x", {"/bx", "/ax", "/cx"}, {"/dx", "/x"}},
        {"/[!a-c]x", {"/dx", "/-x"}, {"/ax", "/x"}},
        {"/[-a]", {"/-", "/a"}, {"/b", "/"}},
        {"/[z-a]", {}, {"/z", "/a", "/m"}},
        {"/[]", {}, {"/", "/a", "/]"}},
        {"/[!]", {"/a", "/]"}, {"/", "/ab"}},
        {"/{foo,bar}", {"/foo", "/bar"}, {"/foobar", "/fo", "/"}},
        {"/{}x", {"/x"}, {"/ax"}},
        {"/{a,}", {"/a"}, {"/"}},
        {"/[ab", {"/[ab"}, {"/a", "/b"}},
        {"/[a,b}", {"/a", "/b"}, {"/[a", "/ab"}},
        // Alternatives are tried in lexicographic order and only the first
        // that fits is taken: a fits, and then c does not follow.
        {"/{a,ab}c", {"/ac"}, {"/abc"}},
        {"/{ab,b}*", {"/abx", "/b"}, {"/a"}},
        {"/", {}, {"/", ""}},
        {"", {}, {"", "/"}},
    };
    for (const auto& test : cases) {
        const OSCAddressPattern pattern(test.pattern);
        for (const auto address : test.matching) {
            EXPECT_TRUE(pattern.matches(address)) << test.pattern << " should match " << address;
        }
        for (const auto address : test.other) {
            EXPECT_FALSE(pattern.matches(address)) << test.pattern << " should not match " << address;
        }
    }
}

// Characters are bytes: bytes outside ASCII in a local address are single
// characters that only wildcards and exclusions take.
TEST(OSCAddressPatternTest, NonASCIIBytesAreSingleCharacters) {
    const std::string_view high = "\xC3\xA9";
    EXPECT_TRUE(OSCAddressPattern("/??").matches("/" + std::string(high)));
    EXPECT_FALSE(OSCAddressPattern("/?").matches("/" + std::string(high)));
    EXPECT_TRUE(OSCAddressPattern("/[!a-z][!a]").matches("/" + std::string(high)));
    // A range is of ASCII codes only, whatever a signed char would say.
    const Component anyASCII{{Token::singleChar(false, {range('\0', '\x7f')})}};
    EXPECT_TRUE(anyASCII.matches("a"));
    EXPECT_FALSE(anyASCII.matches("\xFF"));
    const Component highRange{{Token::singleChar(false, {range('\x80', '\xFF')})}};
    EXPECT_FALSE(highRange.matches("\xC3"));
}

// Patterns that make a plain backtracking matcher try every way of sharing
// the part among the asterisks. With the asterisks a backtracking matcher
// would not finish before the test's time-out.
TEST(OSCAddressPatternTest, ManyAsterisksAgainstALongPartAnswerCorrectly) {
    std::string pattern = "/";
    for (int i = 0; i < 20; ++i) pattern += "*a";
    const std::string as(200, 'a');
    EXPECT_TRUE(OSCAddressPattern(pattern).matches("/" + as));
    EXPECT_FALSE(OSCAddressPattern(pattern + "*b").matches("/" + as));
    EXPECT_FALSE(OSCAddressPattern(pattern).matches("/" + as + "b"));
    EXPECT_FALSE(OSCAddressPattern(pattern).matches("/" + std::string(19, 'a')));

    std::string mixed = "/";
    for (int i = 0; i < 500; ++i) mixed += "*?{}[!b]";
    EXPECT_TRUE(OSCAddressPattern(mixed).matches("/" + std::string(2000, 'a')));
    EXPECT_FALSE(OSCAddressPattern(mixed).matches("/" + std::string(999, 'a')));
    EXPECT_FALSE(OSCAddressPattern(mixed + "b").matches("/" + std::string(2000, 'a')));
}

// A datagram can carry 64 KiB of address; brackets and braces that never
// close must not make tokenizing quadratic, and nothing may recurse per token.
TEST(OSCAddressPatternTest, LongHostileParts) {
    const std::string brackets(60000, '[');
    const auto component = OSCAddressPattern::tokenize(brackets);
    ASSERT_EQ(component.tokens.size(), 1u);
    EXPECT_EQ(component.tokens[0], Token::literal(brackets));
    EXPECT_TRUE(OSCAddressPattern("/" + brackets).matches("/" + brackets));

    std::string dashes = "[";
    dashes += std::string(60000, '-');
    dashes += "]";
    EXPECT_EQ(OSCAddressPattern::tokenize(dashes), Component{{Token::singleChar(false, {single('-')})}});

    const std::string questions(60000, '?');
    EXPECT_TRUE(OSCAddressPattern::tokenize(questions).matches(std::string(60000, 'x')));
    EXPECT_FALSE(OSCAddressPattern::tokenize(questions).matches(std::string(59999, 'x')));
}

TEST(OSCAddressPatternTest, ComponentsOfAPattern) {
    const OSCAddressPattern pattern("/eos/*/{a,b}/");
    const auto components = pattern.components();
    ASSERT_EQ(components.size(), 3u);
    EXPECT_EQ(components[0], OSCAddressPattern::tokenize("eos"));
    EXPECT_EQ(components[1], Component{{Token::zeroOrMoreWildcard()}});
    EXPECT_EQ(components[2].description(), "{a,b}");
}

}  // namespace
}  // namespace vorn::osc
