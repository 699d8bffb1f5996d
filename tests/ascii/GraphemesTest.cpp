#include "ascii/Graphemes.h"

#include <gtest/gtest.h>

#include <string>

namespace vorn::ascii {
namespace {

const std::string eAcute = "e\xCC\x81";                                // e + combining acute
const std::string thumbsUp = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";      // with a skin tone
const std::string family = "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
const std::string flagFR = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
const std::string flagDE = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";

TEST(Graphemes, AsciiAndCombiningMarks) {
    EXPECT_EQ(graphemeCount(""), 0U);
    EXPECT_EQ(graphemeCount(std::string("a\0b\r\n", 5)), 4U);  // NUL counts, CR LF is one
    EXPECT_EQ(graphemePrefix("hello", 3), "hel");
    EXPECT_EQ(graphemePrefix("hello", 50), "hello");
    EXPECT_EQ(graphemePrefix("hello", 0), "");

    const std::string cafes = "caf" + eAcute + "s";
    EXPECT_EQ(graphemeCount(cafes), 5U);
    EXPECT_EQ(graphemePrefix(cafes, 4), "caf" + eAcute);
    EXPECT_EQ(graphemePrefix(cafes, 3), "caf");
}

TEST(Graphemes, EmojiSequencesAndFlagsAreOneCharacterEach) {
    const std::string mixed = family + "x" + thumbsUp + flagFR + flagDE;
    EXPECT_EQ(graphemeCount(mixed), 5U);
    EXPECT_EQ(graphemePrefix(mixed, 1), family);
    EXPECT_EQ(graphemePrefix(mixed, 3), family + "x" + thumbsUp);
    EXPECT_EQ(graphemePrefix(mixed, 4), family + "x" + thumbsUp + flagFR);
}

TEST(Graphemes, IllFormedUtf8IsCountedAndCutWithoutFailing) {
    // Stray continuation, truncated sequence, overlong '/', surrogate, 0xFF.
    for (const std::string text : {"a\x80" "b", "ab\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xFF\xFE" "ok"}) {
        SCOPED_TRACE(testing::PrintToString(text));
        const std::size_t count = graphemeCount(text);
        EXPECT_GE(count, 1U);
        EXPECT_LE(count, text.size());
        for (std::size_t n = 0; n <= count; ++n) {
            const std::string prefix = graphemePrefix(text, n);
            EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0);
            EXPECT_EQ(prefix.size() == text.size(), n == count);
        }
    }
    EXPECT_EQ(graphemePrefix("a\x80" "b", 2), "a\x80");
}

}  // namespace
}  // namespace vorn::ascii
