#include "ascii/ASCIICharacter.h"

#include "ascii/ASCIIString.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace vorn::ascii {
namespace {

TEST(ASCIICharacter, ExactNeedsOneCharacterWithAnASCIIValue) {
    // -1: no character.
    const std::vector<std::pair<std::string, int>> cases = {
        {"A", 65}, {std::string(1, '\0'), 0}, {"\x7F", 127}, {"\r\n", 10},  // CR LF: one character, two scalars
        {"", -1}, {"AB", -1}, {"\r\r", -1}, {"\xC3\xA9", -1}, {"e\xCC\x81", -1}, {"\x80", -1}, {"\xC0\xB1", -1},
    };
    for (const auto& [text, code] : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        const auto character = ASCIICharacter::exactly(text);
        ASSERT_EQ(character.has_value(), code >= 0);
        if (character) {
            EXPECT_EQ(character->asciiValue(), code);
            EXPECT_EQ(character->characterValue(), text);
        }
    }
    EXPECT_FALSE(ASCIICharacter::exactly(char32_t{128}));

    const std::vector<std::uint8_t> letter = {0x41}, high = {0x80}, two = {0x41, 0x42};
    EXPECT_EQ(ASCIICharacter::fromBytes(letter)->characterValue(), "A");
    EXPECT_FALSE(ASCIICharacter::fromBytes(high));
    EXPECT_FALSE(ASCIICharacter::fromBytes(two));
    EXPECT_FALSE(ASCIICharacter::fromBytes({}));
}

TEST(ASCIICharacter, LossyTakesTheFirstCharacterAndNeverFails) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "?"},
        {"\tX", "\t"},  // ASCII controls are kept
        {"\r\nX", "\r\n"},
        {"\xC3\xA9t\xC3\xA9", "e"},  // été
        {"A\xCC\x81", "A"},          // decomposed Á
        {"\xC3\x86sop", "A"},        // Æ gives AE
        {"\xE4\xB8\xAD", "?"},       // no Latin form
        {"\xCC\x81", "?"},           // a lone accent transliterates to nothing
        {"\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7!", "?"},  // a flag is one character
        {"\xFF" "A", "?"},
    };
    for (const auto& [text, character] : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(ASCIICharacter::lossy(text).characterValue(), character);
    }
    EXPECT_EQ(ASCIICharacter(U'\n').asciiValue(), 10);
    EXPECT_EQ(ASCIICharacter(U'\u00DF').characterValue(), "s");  // ß
    // Not characters at all.
    for (const char32_t scalar : {char32_t{0xD800}, char32_t{0x110000}, char32_t{0xFFFFFFFF}}) {
        EXPECT_EQ(ASCIICharacter(scalar).characterValue(), "?");
    }
}

TEST(ASCIICharacter, DescriptionsShowOnlyPrintableCharacters) {
    EXPECT_EQ(ASCIICharacter(U'A').debugDescription(), "ASCIICharacter(#65, \"A\")");
    EXPECT_EQ(ASCIICharacter(U' ').description(), " ");
    EXPECT_EQ(ASCIICharacter(U'\n').debugDescription(), "ASCIICharacter(#10, \"?\")");
    EXPECT_EQ(ASCIICharacter(char32_t{127}).description(), "?");
    EXPECT_EQ(ASCIICharacter::exactly("\r\n")->description(), "?");
    EXPECT_EQ(ASCIICharacter::exactly("\r\n")->rawData(), "\n");
}

TEST(ASCIICharacter, EqualityIsByCodeAndHashingAgrees) {
    const ASCIICharacter crlf = *ASCIICharacter::exactly("\r\n");
    const ASCIICharacter lf(U'\n');
    EXPECT_EQ(crlf, lf);
    EXPECT_NE(ASCIICharacter(U'a'), ASCIICharacter(U'A'));
    EXPECT_TRUE(crlf == "\r\n");  // against text, the stored character counts
    EXPECT_FALSE(crlf == "\n");

    const std::unordered_set<ASCIICharacter> set = {crlf, lf, ASCIICharacter(U'a'), ASCIICharacter(U'A')};
    EXPECT_EQ(set.size(), 3U);
}

TEST(ASCIICharacter, ConcatenationJoinsTextsAndBytes) {
    EXPECT_EQ(ASCIICharacter(U'a') + ASCIICharacter(U'b'), "ab");
    EXPECT_EQ(ASCIICharacter(U'/') + ASCIIString("path"), "/path");
    const ASCIIString line = ASCIIString("x") + *ASCIICharacter::exactly("\r\n");
    EXPECT_EQ(line, "x\r\n");
    EXPECT_EQ(line.rawData().size(), 3U);
}

}  // namespace
}  // namespace vorn::ascii
