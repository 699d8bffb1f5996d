#include "ascii/ASCIIString.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace vorn::ascii {
namespace {

const std::string family = "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";

TEST(ASCIIString, ExactAcceptsAnyASCIIIncludingControls) {
    for (const std::string& text : {std::string(), std::string("a\tb\r\n"), std::string("nul\0inside", 10)}) {
        const auto string = ASCIIString::exactly(text);
        ASSERT_TRUE(string);
        EXPECT_EQ(std::string(string->rawData().begin(), string->rawData().end()), text);
    }
    for (const std::string& text : {std::string("caf\xC3\xA9"), std::string("ok\xFF"), family}) {
        EXPECT_FALSE(ASCIIString::exactly(text));
    }
    // Construction is exact when it can be.
    EXPECT_EQ(ASCIIString("a\tb").stringValue(), "a\tb");
    EXPECT_EQ(ASCIIString("r\xC3\xB6" "d").stringValue(), "rod");
}

TEST(ASCIIString, LossyTransliteratesAndReplacesEachCharacterOnce) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"/eos/out/ping", "/eos/out/ping"},
        {"a\tb", "a?b"},
        {"x\r\ny\r\r\n", "x?y??"},  // CR LF is one character
        {"cafe\xCC\x81 Stra\xC3\x9F" "e", "cafe Strasse"},
        {"\xE2\x80\x9Cquoted\xE2\x80\x9D", "\"quoted\""},
        {"\xE4\xB8\xAD\xE6\x96\x87", "??"},  // two CJK ideographs
        {"(" + family + ")", "(?)"},         // a ZWJ sequence is one character
        {"\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", "??"},  // two flags
        {"\xC3\xA9\t", "e?"},  // controls are replaced after transliteration too
        {"x\x80y", "x?y"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(ASCIIString::lossy(text), expected);
    }
}

// Whatever bytes arrive, conversion gives ASCII, and lossy conversion
// printable ASCII.
TEST(ASCIIString, ArbitraryBytesNeverEscapeTheRange) {
    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 2000; ++round) {
        std::string text(static_cast<std::size_t>(round % 24), '\0');
        std::generate(text.begin(), text.end(), [&] { return static_cast<char>(byte(random)); });
        const std::string lossy = ASCIIString::lossy(text).stringValue();
        ASSERT_TRUE(std::all_of(lossy.begin(), lossy.end(), [](char c) { return c >= ' ' && c <= '~'; }))
            << testing::PrintToString(text);
        ASSERT_TRUE(ASCIIString::exactly(ASCIIString(text).stringValue()));
    }
}

TEST(ASCIIString, ThreadsConvertIndependently) {
    const std::string text = "Bj\xC3\xB6rk \xE2\x80\x94 J\xC3\xB3hannsd\xC3\xB3ttir\t" + family;
    std::vector<std::string> results(4);
    std::vector<std::thread> threads;
    for (std::string& result : results) {
        threads.emplace_back([&text, &result] {
            for (int i = 0; i < 50; ++i) result = ASCIIString::lossy(text).stringValue();
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const std::string& result : results) EXPECT_EQ(result, "Bjork - Johannsdottir??");
}

TEST(ASCIIString, ComparisonWithTextUsesTheTextAsItIs) {
    const ASCIIString ping("/ping");
    EXPECT_TRUE("/ping" == ping);
    EXPECT_TRUE(ping != std::string("/pong"));
    EXPECT_EQ(ASCIIString("\xC3\xA9"), ASCIIString("e"));
    EXPECT_FALSE(ASCIIString("e") == "\xC3\xA9");
    EXPECT_EQ(ping.debugDescription(), "ASCIIString(\"/ping\")");

    const std::unordered_set<ASCIIString> set = {ping, ASCIIString("/ping"), ASCIIString("/pong")};
    EXPECT_EQ(set.size(), 2U);
}

}  // namespace
}  // namespace vorn::ascii
