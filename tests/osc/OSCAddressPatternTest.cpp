#include "osc/OSCAddressPattern.h"
#include "osc/OSCAddressSpace.h"
#include "osc/OSCMessage.h"

#include "support/AddressPatternReference.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <latch>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace vorn::osc {
namespace {

using Component = OSCAddressPattern::Component;
using Token = OSCAddressPattern::Token;
using Group = OSCAddressPattern::CharacterGroup;

TEST(OSCAddressPatternTest, MatchesLocalAddresses) {
    const struct {
        std::string_view pattern;
        std::vector<std::string_view> matching;
        std::vector<std::string_view> other;
    } cases[] = {
        // What the property test below does not reach: slashes at either end,
        // empty parts, case, and addresses without parts.
        {"/eos/ping", {"eos/ping/"}, {"/eos/pin", "/EOS/PING"}},
        {"/eos/*", {"/eos/ping"}, {"/eos/out/ping", "/eos/"}},
        {"/a/*", {"/a//"}, {"/a/"}},
        {"/*", {"/x", "x"}, {"//", "/", "/x/y"}},
        // Alternatives are tried in lexicographic order and only the first
        // that fits is taken: a fits, and then c does not follow.
        {"/{a,ab}c", {"/ac"}, {"/abc"}},
        {"/", {}, {"/", ""}},
    };
    for (const auto& c : cases) {
        const OSCAddressPattern pattern(c.pattern);
        for (const auto address : c.matching) EXPECT_TRUE(pattern.matches(address)) << c.pattern << " " << address;
        for (const auto address : c.other) EXPECT_FALSE(pattern.matches(address)) << c.pattern << " " << address;
    }

}

// `?`, a bracket and each character of a literal stand for one character as
// a reader sees it, whatever its bytes: é as one code point or as e and a
// combining accent, a flag of two code points, CR LF.
TEST(OSCAddressPatternTest, CountsCharactersNotBytes) {
    const std::string composed = "caf\xC3\xA9";   // café, é as U+00E9
    const std::string decomposed = "cafe\xCC\x81";  // café, e + U+0301
    for (const auto& cafe : {composed, decomposed}) {
        SCOPED_TRACE(cafe);
        for (const auto* pattern : {"/caf?", "/caf[!a-z]", "/ca*", "/*f?", "/c?f?", "/{caf}?", "/ca[f]*"}) {
            EXPECT_TRUE(OSCAddressPattern(pattern).matches("/" + cafe)) << pattern;
        }
        for (const auto* pattern : {"/caf??", "/caf[a-z]", "/caf[!a-z]?", "/cafe", "/cafe*", "/caf?*?", "/{cafe}*"}) {
            EXPECT_FALSE(OSCAddressPattern(pattern).matches("/" + cafe)) << pattern;
        }
    }
    EXPECT_TRUE(OSCAddressPattern("/?/x").matches("/\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7/x"));  // a flag
    EXPECT_FALSE(OSCAddressPattern("/?\?/x").matches("/\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7/x"));
    EXPECT_TRUE(OSCAddressPattern("/a?b").matches("/a\r\nb"));
    EXPECT_FALSE(OSCAddressPattern("/a??b").matches("/a\r\nb"));
    EXPECT_FALSE(OSCAddressPattern("/a\r*").matches("/a\r\nb"));
    // A byte that starts no character is a character of its own.
    EXPECT_TRUE(OSCAddressPattern("/[!a-z]?").matches("/\xFF\xC3"));

    OSCAddressSpace space;
    const auto cafe = space.registerMethod("/" + decomposed + "/ping");
    EXPECT_EQ(space.methods("/caf?/*"), std::vector<MethodID>{cafe});
    EXPECT_TRUE(space.methods("/caf?\?/*").empty());
}

// A peer chooses its patterns: these make a plain backtracking matcher try
// every way of sharing the part among the asterisks, and would not finish
// before the test's time-out.
TEST(OSCAddressPatternTest, HostilePatternsAnswerCorrectly) {
    std::string pattern = "/";
    for (int i = 0; i < 20; ++i) pattern += "*a";
    const std::string as(200, 'a');
    EXPECT_TRUE(OSCAddressPattern(pattern).matches("/" + as));
    EXPECT_FALSE(OSCAddressPattern(pattern + "*b").matches("/" + as));
    EXPECT_FALSE(OSCAddressPattern(pattern).matches("/" + as + "b"));

    std::string mixed = "/";
    for (int i = 0; i < 500; ++i) mixed += "*?{}[!b]";
    EXPECT_TRUE(OSCAddressPattern(mixed).matches("/" + std::string(2000, 'a')));
    EXPECT_FALSE(OSCAddressPattern(mixed).matches("/" + std::string(999, 'a')));

    // A datagram can carry 64 KiB of address; brackets that never close must
    // not make tokenizing quadratic, and nothing may recurse per token.
    const std::string brackets(60000, '[');
    EXPECT_EQ(OSCAddressPattern::tokenize(brackets), Component{{Token::literal(brackets)}});
    EXPECT_EQ(OSCAddressPattern::tokenize("[" + std::string(60000, '-') + "]"),
              Component{{Token::singleChar(false, {Group::single('-')})}});
    const std::string questions = "/" + std::string(60000, '?');
    EXPECT_TRUE(OSCAddressPattern(questions).matches("/" + std::string(60000, 'x')));
    EXPECT_FALSE(OSCAddressPattern(questions).matches("/" + std::string(59999, 'x')));

    // Characters of several bytes keep the work bounded too.
    std::string accents = "/";
    for (int i = 0; i < 2000; ++i) accents += "e\xCC\x81";
    EXPECT_TRUE(OSCAddressPattern(mixed).matches(accents));
    EXPECT_FALSE(OSCAddressPattern(mixed).matches(accents.substr(0, 1 + 3 * 999)));
}

// Pieces of local addresses: ASCII, é in its two forms, a lone combining
// accent (which joins what comes before it) and CR and LF (which join).
const std::vector<std::string> addressPieces = {"a", "b", "c", "-", "!", ",", "*", "\xC3\xA9",
                                                "e\xCC\x81", "\xCC\x81", "\r", "\n"};
const std::vector<std::string> fillPieces = {"a", "b", "c", "\xC3\xA9", "e\xCC\x81"};

// The one tokenizer and matcher against the plain ones, on random small
// patterns and addresses over an alphabet rich in pattern syntax and in
// characters of several bytes.
TEST(OSCAddressPatternPropertyTest, AgreesWithThePlainReadingAndBacktracking) {
    constexpr std::uint64_t seed = 0xA11CE5EED;
    constexpr int caseCount = 50000;
    std::mt19937_64 rng(seed);
    const auto text = [&](std::string_view alphabet, std::size_t maxLength) {
        std::string text(rng() % (maxLength + 1), ' ');
        for (auto& c : text) c = alphabet[rng() % alphabet.size()];
        return text;
    };
    const auto pieces = [&](const std::vector<std::string>& from, std::size_t maxCount) {
        std::string text;
        for (auto count = rng() % (maxCount + 1); count > 0; --count) text += from[rng() % from.size()];
        return text;
    };
    int matched = 0;
    for (int i = 0; i < caseCount; ++i) {
        const auto part = text("ab-*?[]!{},/", 12);
        const auto tokens = OSCAddressPattern::tokenize(part);
        ASSERT_EQ(tokens, reference::tokenize(part)) << "\"" << part << "\" gave " << tokens.description();

        // Most addresses fill in the pattern's wildcards, so that both answers are common.
        std::string address = pieces(addressPieces, 10);
        if (rng() % 4 != 0) {
            address.clear();
            for (const char c : part) {
                if (c == '*') {
                    address += pieces(fillPieces, 3);
                } else if (c == '?') {
                    address += fillPieces[rng() % fillPieces.size()];
                } else if (std::string_view("{}[],").find(c) == std::string_view::npos || rng() % 3 == 0) {
                    address += c;
                    if (rng() % 16 == 0) address += "\xCC\x81";  // takes the character with it
                }
            }
        }
        const bool expected = reference::matches("/" + part, "/" + address);
        ASSERT_EQ(OSCAddressPattern("/" + part).matches("/" + address), expected)
            << "case " << i << ": pattern \"/" << part << "\", address \"/" << address << "\"";
        matched += expected ? 1 : 0;
    }
    EXPECT_GT(matched, caseCount / 10);
    EXPECT_LT(matched, caseCount - caseCount / 10);
}

// Whole addresses: plain parts before the first wildcard (compared as one
// text), slashes doubled or left out at either end, and one pattern object
// matched again and again, copied and moved once it has read its tokens.
TEST(OSCAddressPatternPropertyTest, WholeAddressesAgreeWithBacktrackingOnEveryMatch) {
    std::mt19937_64 rng(0x5A7E5EED);
    const auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
    const auto address = [&](const std::vector<std::string>& parts) {
        std::string text = pick({"", "/", "/", "//"});
        for (auto count = rng() % 5; count > 0; --count) text += pick(parts) + "/";
        if (!text.empty() && rng() % 3 != 0) text.pop_back();
        return text;
    };
    const std::vector<std::string> patternParts = {"eos", "out", "a",   "",   "*",  "?",
                                                   "{a,out}", "[a-e]*", "a*", "*?", "\xC3"};
    const std::vector<std::string> localParts = {"eos", "out", "a", "", "ab", "\xC3\xA9", "e\xCC\x81", "a\r\n"};
    std::size_t matched = 0;
    std::size_t tried = 0;
    for (int i = 0; i < 3000; ++i) {
        const auto text = address(patternParts);
        OSCAddressPattern pattern(text);
        std::vector<std::pair<std::string, bool>> expected;
        for (int j = 0; j < 12; ++j) {
            // Half the addresses are the pattern with an "a" for each character of syntax.
            auto local = address(localParts);
            if (j % 2 == 0) {
                local.clear();
                for (const char c : text) {
                    local += std::string_view("*?[]{},-").find(c) == std::string_view::npos ? c : 'a';
                }
            }
            expected.emplace_back(local, reference::matches(std::string(pattern.rawAddress()), local));
        }
        for (const auto& [local, answer] : expected) {
            ASSERT_EQ(pattern.matches(local), answer) << "pattern \"" << text << "\", address \"" << local << "\"";
            matched += answer ? 1 : 0;
            ++tried;
        }
        const OSCAddressPattern copy = pattern;
        OSCAddressPattern moved = std::move(pattern);
        pattern = copy;
        for (const auto& [local, answer] : expected) {
            ASSERT_EQ(copy.matches(local), answer) << text << " copied, " << local;
            ASSERT_EQ(moved.matches(local), answer) << text << " moved, " << local;
            ASSERT_EQ(pattern.matches(local), answer) << text << " assigned, " << local;
        }
    }
    EXPECT_GT(matched, tried / 10);
    EXPECT_LT(matched, tried - tried / 10);
}

// A pattern read into tokens on its first match gives that up when it gets
// new text: a message decoded again into the same storage, short (copied)
// or long (viewing the datagram), or given another address.
TEST(OSCAddressPatternTest, NewTextIsMatchedAfresh) {
    const std::string longPart(40, 'x');
    for (const auto& part : {std::string("p"), longPart}) {
        SCOPED_TRACE(part.size());
        const auto bytes = [&](const std::string& address) {
            std::vector<std::uint8_t> out;
            OSCMessage(address).encode(out);
            return SharedBytes::adopt(std::move(out));
        };
        OSCMessage message;
        OSCMessage::decode(bytes("/a/" + part + "/*"), message);
        EXPECT_TRUE(message.addressPattern().matches("/a/" + part + "/x"));
        OSCMessage::decode(bytes("/b/" + part + "/?"), message);
        EXPECT_FALSE(message.addressPattern().matches("/a/" + part + "/x"));
        EXPECT_TRUE(message.addressPattern().matches("/b/" + part + "/x"));
        message.setAddressPattern("/c/*");
        EXPECT_FALSE(message.addressPattern().matches("/b/" + part + "/x"));
        EXPECT_TRUE(message.addressPattern().matches("/c/x"));
    }
}

// A pattern may be matched from several threads at once, the first match
// included: each reads the tokens or takes those another thread kept.
TEST(OSCAddressPatternTest, MatchesFromSeveralThreadsAtOnce) {
    for (int round = 0; round < 50; ++round) {
        const OSCAddressPattern pattern("/mixer/" + std::to_string(round) + "/*/{gain,level}");
        const auto address = "/mixer/" + std::to_string(round) + "/ch1/level";
        std::latch start(4);
        std::atomic<bool> wrong{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                start.arrive_and_wait();
                for (int i = 0; i < 20; ++i) {
                    if (!pattern.matches(address) || pattern.matches(address + "s")) wrong = true;
                }
            });
        }
        for (auto& thread : threads) thread.join();
        ASSERT_FALSE(wrong) << round;
    }
}

// The address space's lookups take the same path: the methods a pattern
// finds are those whose addresses the plain matcher says it matches.
TEST(OSCAddressPatternPropertyTest, AddressSpaceFindsWhatBacktrackingFinds) {
    std::mt19937_64 rng(0x5BACE5EED);
    const auto pick = [&](const auto& from) { return from[rng() % from.size()]; };
    const auto address = [&](const auto& from, std::size_t maxPieces) {
        std::string text;
        for (auto parts = 1 + rng() % 3; parts > 0; --parts) {
            text += "/";
            for (auto count = rng() % (maxPieces + 1); count > 0; --count) text += pick(from);
        }
        return text;
    };
    OSCAddressSpace space;
    std::vector<std::pair<std::string, MethodID>> methods;
    for (int i = 0; i < 60; ++i) {
        auto local = address(std::vector<std::string>{"a", "b", "\xC3\xA9", "e\xCC\x81", ",", "-"}, 3);
        const auto id = space.registerMethod(local);
        methods.emplace_back(std::move(local), id);
    }
    const std::vector<std::string> syntax = {"a", "b", "e", "-", "*", "?", "[a-b]", "[!a]", "{a,b}", "{}", "[", "}"};
    std::size_t found = 0;
    for (int i = 0; i < 3000; ++i) {
        const OSCAddressPattern pattern(address(syntax, 4));
        std::set<std::string> expected;
        for (const auto& [local, id] : methods) {
            if (reference::matches(std::string(pattern.rawAddress()), local)) expected.insert(id.text());
        }
        std::vector<std::string> got;
        for (const auto& id : space.methods(pattern)) got.push_back(id.text());
        ASSERT_EQ(std::set<std::string>(got.begin(), got.end()), expected) << pattern.rawAddress();
        ASSERT_EQ(got.size(), expected.size()) << pattern.rawAddress();
        found += got.size();
    }
    EXPECT_GT(found, 1000u);
}

using IDs = std::vector<MethodID>;

TEST(OSCAddressSpaceTest, RegisterFindAndUnregister) {
    OSCAddressSpace space;
    const auto b = space.registerMethod("/a/b");
    const auto yb = space.registerMethod("/y/b");
    const auto xb = space.registerMethod("/x/b");
    const auto xa = space.registerMethod("/x/a");
    const auto empty = space.registerMethod("/a//b");
    const auto x = space.root()->children.at(2)->id;  // the container made for /x/b
    EXPECT_EQ(space.registerMethod("/x"), x);
    EXPECT_EQ(space.registerMethod("/x", [](auto&&...) {}), x);

    // Breadth first in registration order; containers are never found, and
    // an empty part is a name of its own.
    EXPECT_EQ(space.methods("/*/*"), (IDs{b, yb, xb, xa}));
    EXPECT_EQ(space.methods("/*/b"), (IDs{b, yb, xb}));
    EXPECT_EQ(space.methods("a/b/"), IDs{b});
    EXPECT_EQ(space.methods("/*"), IDs{x});
    EXPECT_EQ(space.methods("/a/*/b"), IDs{empty});
    EXPECT_TRUE(space.methods("/a/?/b").empty());
    EXPECT_TRUE(space.methods("/a").empty() && space.methods("/a/b/c").empty() && space.methods("/").empty());

    // A method with children becomes a container again; empty containers stay.
    EXPECT_TRUE(space.unregisterMethod("/x"));
    EXPECT_FALSE(space.unregisterMethod("/x"));
    EXPECT_EQ(space.methods("/x/a"), IDs{xa});
    EXPECT_FALSE(space.unregisterMethod("/a/x"));
    EXPECT_TRUE(space.unregisterMethod("/a/b/"));
    EXPECT_FALSE(space.unregisterMethod("/a/b"));
    EXPECT_TRUE(space.unregisterMethod("/a//b"));
    ASSERT_EQ(space.root()->children.size(), 3u);
    EXPECT_EQ(space.root()->children[0]->nodeType, OSCAddressSpace::NodeType::container);

    // Addresses without parts store nothing.
    EXPECT_NE(space.registerMethod("/"), space.registerMethod(""));
    EXPECT_FALSE(space.unregisterMethod("/"));
    EXPECT_EQ(space.root()->children.size(), 3u);

    space.unregisterAll();
    EXPECT_TRUE(space.methods("/*/*").empty());
    EXPECT_TRUE(space.root()->children.empty());
    EXPECT_NE(space.registerMethod("/x/b"), xb);
}

TEST(OSCAddressSpaceTest, DispatchStartsEveryBlockAndReturnsEveryMatchedMethod) {
    // Calls of the blocks, from the executor's threads, in any order.
    dispatch::testing::Recorded<std::string> calls;
    const auto block = [&](std::string method) -> OSCAddressSpace::Block {
        return [&, method](const std::vector<OSCValue>& values, const std::string& host, std::uint16_t port) {
            calls.add(method + " " + host + " " + std::to_string(port) + " " + description(values));
        };
    };
    const auto waitFor = [&](std::size_t count) {
        const auto made = calls.waitFor(count);
        return std::multiset<std::string>(made.begin(), made.end());
    };

    OSCAddressSpace space;
    const auto one = space.registerMethod("/one", block("replaced"));
    EXPECT_EQ(space.registerMethod("/one", block("one")), one);
    const auto two = space.registerMethod("/two");
    const auto three = space.registerMethod("/three", block("three"));
    space.registerMethod("/four/deeper", block("deeper"));

    EXPECT_EQ(space.dispatch(OSCMessage("/*", {std::int32_t{7}, "text"}), "::1", 9000), (IDs{one, two, three}));
    EXPECT_EQ(waitFor(2), (std::multiset<std::string>{"one ::1 9000 [7, \"text\"]", "three ::1 9000 [7, \"text\"]"}));
    EXPECT_EQ(space.dispatch(OSCMessage("/one")), IDs{one});
    EXPECT_EQ(waitFor(3).count("one  0 []"), 1u);
    EXPECT_TRUE(space.dispatch(OSCMessage("/nothing/here")).empty());
}

}  // namespace
}  // namespace vorn::osc
