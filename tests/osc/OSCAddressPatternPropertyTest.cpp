// The fast matcher against the plain backtracking one, on many random small
// patterns and addresses over an alphabet rich in pattern syntax. The
// tokenizer is checked the same way against one that cuts strings apart.
//
// Half the addresses are drawn at random, half are made from the pattern by
// filling in its wildcards, so that matches are common and both answers get
// exercised. The seed is fixed, so a failure repeats.

#include "AddressPatternReference.h"
#include "osc/OSCAddressPattern.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace vorn::osc {
namespace {

constexpr std::uint64_t seed = 0xA11CE5EED;
constexpr int caseCount = 50000;

class Generator {
public:
    explicit Generator(std::uint64_t seed) : rng_(seed) {}

    std::string pattern() {
        static constexpr std::string_view syntax = "ab-*?[]!{},/";
        return text(syntax, 12);
    }

    std::string address(const std::string& pattern) {
        if (below(4) == 0) return text("abc-!,/*", 10);
        // The pattern's ordinary characters, with its wildcards filled in.
        std::string address;
        for (const char c : pattern) {
            if (c == '*') {
                address += text("abc", 3);
            } else if (c == '?') {
                address += text("abc", 1, 1);
            } else if (c == '{' || c == '}' || c == '[' || c == ']' || c == ',') {
                if (below(3) == 0) address.push_back(c);
            } else {
                address.push_back(c);
            }
        }
        return address;
    }

private:
    std::string text(std::string_view alphabet, std::size_t maxLength, std::size_t minLength = 0) {
        std::string text(minLength + below(maxLength - minLength + 1), ' ');
        for (auto& c : text) c = alphabet[below(alphabet.size())];
        return text;
    }

    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

    std::mt19937_64 rng_;
};

TEST(OSCAddressPatternPropertyTest, TokenizingAgreesWithThePlainReading) {
    Generator generator(seed);
    for (int i = 0; i < caseCount; ++i) {
        const auto part = generator.pattern();
        const auto fast = OSCAddressPattern::tokenize(part);
        const auto plain = reference::tokenize(part);
        ASSERT_EQ(fast, plain) << "case " << i << ": \"" << part << "\" gave " << fast.description() << ", expected "
                               << plain.description();
    }
}

TEST(OSCAddressPatternPropertyTest, MatchingAgreesWithBacktracking) {
    Generator generator(seed + 1);
    int matched = 0;
    for (int i = 0; i < caseCount; ++i) {
        const auto pattern = "/" + generator.pattern();
        const auto address = "/" + generator.address(pattern.substr(1));
        const bool expected = reference::matches(pattern, address);
        ASSERT_EQ(OSCAddressPattern(pattern).matches(address), expected)
            << "case " << i << ": pattern \"" << pattern << "\", address \"" << address << "\"";
        matched += expected ? 1 : 0;
    }
    // Both answers must be common, or the comparison proves little.
    EXPECT_GT(matched, caseCount / 10);
    EXPECT_LT(matched, caseCount - caseCount / 10);
}

}  // namespace
}  // namespace vorn::osc
