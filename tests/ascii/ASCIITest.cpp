#include "ascii/ASCIIArchive.h"
#include "ascii/ASCIICharacter.h"
#include "ascii/ASCIIString.h"
#include "ascii/Graphemes.h"
#include "ascii/VisibleText.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace vorn::ascii {
namespace {

using nlohmann::json;

const std::string family = "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
const std::string flagFR = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
const std::string thumbsUp = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // with a skin tone
const std::string eAcute = "e\xCC\x81";

TEST(ASCIICharacter, ExactNeedsOneCharacterWithAnASCIIValue) {
    // -1: no character. CR LF is one character of two scalars, with the code of LF.
    const std::vector<std::pair<std::string, int>> cases = {
        {"A", 65}, {std::string(1, '\0'), 0}, {"\x7F", 127}, {"\r\n", 10},
        {"", -1},  {"AB", -1},                {"\r\r", -1},  {"\xC3\xA9", -1}, {eAcute, -1}, {"\x80", -1},
    };
    for (const auto& [text, code] : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        const auto character = ASCIICharacter::exactly(text);
        EXPECT_EQ(character ? character->asciiValue() : -1, code);
    }
    EXPECT_FALSE(ASCIICharacter::fromBytes(std::vector<std::uint8_t>{0x80}));
    EXPECT_FALSE(ASCIICharacter::fromBytes(std::vector<std::uint8_t>{65, 66}));

    const ASCIICharacter crlf = *ASCIICharacter::exactly("\r\n");
    EXPECT_EQ(crlf, ASCIICharacter(U'\n'));
    EXPECT_FALSE(crlf == "\n");  // against text, the stored character counts
    EXPECT_EQ((std::unordered_set<ASCIICharacter>{crlf, ASCIICharacter(U'\n'), ASCIICharacter(U'a')}).size(), 2U);
    EXPECT_EQ(crlf.debugDescription(), "ASCIICharacter(#10, \"?\")");
    EXPECT_EQ(ASCIIString("x") + crlf, "x\r\n");
}

// Lossy conversion transliterates, and replaces what is left of each
// user-perceived character with one "?"; a character takes the first.
TEST(ASCIIString, LossyConversionReplacesEachCharacterOnce) {
    const struct {
        std::string text;
        std::string character;
        std::string string;
    } cases[] = {
        {"", "?", ""},
        {"\r\nX\r\r\n", "\r\n", "?X??"},  // CR LF is one character, and an ASCII one
        {"\xC3\x86sop Stra\xC3\x9F" "e caf" + eAcute, "A", "AEsop Strasse cafe"},
        {"\xE2\x80\x9Cq\xE2\x80\x9D", "\"", "\"q\""},
        {flagFR + "(" + family + ")" + flagFR, "?", "?(?)?"},
        {"\xE4\xB8\xAD" "a\tb", "?", "?a?b"},
        {"\xFF" "A\x80", "?", "?A?"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ASCIICharacter::lossy(c.text).characterValue(), c.character) << testing::PrintToString(c.text);
        EXPECT_EQ(ASCIIString::lossy(c.text), c.string) << testing::PrintToString(c.text);
    }
    for (const char32_t scalar : {char32_t{0xD800}, char32_t{0x110000}, char32_t{0xFFFFFFFF}}) {
        EXPECT_EQ(ASCIICharacter(scalar).characterValue(), "?");
    }
    EXPECT_FALSE(ASCIIString::exactly("ok\xFF"));
    EXPECT_EQ(ASCIIString("a\tb").stringValue(), "a\tb");  // construction is exact when it can be
    EXPECT_EQ(ASCIIString("\xC3\xA9"), ASCIIString("e"));
    EXPECT_FALSE(ASCIIString("e") == "\xC3\xA9");
}

// Whatever bytes arrive, conversion gives ASCII and lossy conversion
// printable ASCII, from several threads at once.
TEST(ASCIIString, ArbitraryBytesNeverEscapeTheRange) {
    std::vector<std::thread> threads;
    std::vector<std::string> failures(2);
    for (unsigned t = 0; t < failures.size(); ++t) {
        threads.emplace_back([t, &failures] {
            std::mt19937 random(20240601 + t);
            std::uniform_int_distribution<int> byte(0, 255);
            for (int round = 0; round < 1000 && failures[t].empty(); ++round) {
                std::string text(static_cast<std::size_t>(round % 24), '\0');
                std::generate(text.begin(), text.end(), [&] { return static_cast<char>(byte(random)); });
                const std::string lossy = ASCIIString::lossy(text).stringValue();
                if (!std::all_of(lossy.begin(), lossy.end(), [](char c) { return c >= ' ' && c <= '~'; }) ||
                    !ASCIIString::exactly(ASCIIString(text).stringValue())) {
                    failures[t] = testing::PrintToString(text);
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& failure : failures) EXPECT_EQ(failure, "");
}

TEST(ASCIIArchive, ArchivesAsStringsAndRejectsWhatIsNotASCII) {
    const json archived = {{"line", *ASCIICharacter::exactly("\r\n")}, {"address", ASCIIString("/a\tb")}};
    EXPECT_EQ(archived.dump(), R"({"address":"/a\tb","line":"\r\n"})");
    const json reread = json::parse(archived.dump());
    EXPECT_EQ(reread["line"].get<ASCIICharacter>().characterValue(), "\r\n");
    EXPECT_EQ(reread["address"].get<ASCIIString>(), "/a\tb");

    const auto error = [](auto decode) -> std::string {
        try {
            decode();
        } catch (const DecodingError& e) {
            return e.description();
        }
        return "(decoded)";
    };
    const std::string notCharacter = "Value was not valid ASCII character number.";
    EXPECT_EQ(error([] { return json("AB").get<ASCIICharacter>(); }), notCharacter);
    EXPECT_EQ(error([] { return json("").get<ASCIICharacter>(); }), notCharacter);
    EXPECT_EQ(error([] { return json("\xC3\xBC").get<ASCIIString>(); }), "Encoded string is not a valid ASCII string.");
    EXPECT_EQ(error([] { return json(1.5).get<ASCIIString>(); }), "Expected a string but found a number.");
    EXPECT_NE(error([] { return json(65).get<ASCIICharacter>(); }), "(decoded)");
}

TEST(Graphemes, CountAndCutByUserPerceivedCharacters) {
    const std::string mixed = "caf" + eAcute + family + thumbsUp + flagFR + "\r\n";
    EXPECT_EQ(graphemeCount(mixed), 8U);
    const std::vector<std::pair<std::size_t, std::string>> prefixes = {
        {0, ""}, {3, "caf"}, {4, "caf" + eAcute}, {5, "caf" + eAcute + family},
        {7, "caf" + eAcute + family + thumbsUp + flagFR}, {50, mixed},
    };
    for (const auto& [n, prefix] : prefixes) EXPECT_EQ(graphemePrefix(mixed, n), prefix) << n;

    // Ill-formed UTF-8 is counted and cut without failing, never past the text.
    for (const std::string text : {"a\x80" "b", "ab\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xFF\xFE" "ok"}) {
        SCOPED_TRACE(testing::PrintToString(text));
        const std::size_t count = graphemeCount(text);
        EXPECT_GE(count, 1U);
        for (std::size_t n = 0; n <= count; ++n) {
            const std::string prefix = graphemePrefix(text, n);
            EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0);
            EXPECT_EQ(prefix.size() == text.size(), n == count);
        }
    }
}

TEST(VisibleText, ControlsAndIllFormedBytesBecomeEscapesAndTheRestStays) {
    using namespace std::string_literals;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/eos/out/ping", "/eos/out/ping"},
        {" !\"#$%&'()*+,-./09:;<=>?@AZ[]^_`az{|}~", " !\"#$%&'()*+,-./09:;<=>?@AZ[]^_`az{|}~"},
        {"\x1B[8m/hidden", "\\x1B[8m/hidden"},       // ESC: a terminal command
        {"/a\a", "/a\\x07"},                           // BEL
        {"/a\rforged", "/a\\x0Dforged"},               // CR
        {"/a\n/b", "/a\\x0A/b"},                       // LF
        {"/a\t", "/a\\x09"},                           // TAB
        {"/a\x7F", "/a\\x7F"},                         // DEL
        {"/a\0b"s, "/a\\x00b"},                        // NUL
        {"\xC2\x9B" "31m", "\\xC2\\x9B31m"},           // C1 CSI
        {"\xC2\x80\xC2\x9F\xC2\xA0", "\\xC2\\x80\\xC2\\x9F\xC2\xA0"},  // C1 from first to last; NBSP stays
        {"caf\xC3\xA9 " + family, "caf\xC3\xA9 " + family},           // well-formed UTF-8 stays
        {"\x80", "\\x80"},                             // a lone continuation byte
        {"ab\xC3", "ab\\xC3"},                         // cut short
        {"\xC0\xAF", "\\xC0\\xAF"},                    // overlong '/'
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},           // a surrogate
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // past U+10FFFF
        {"\xFF\xFE" "ok", "\\xFF\\xFEok"},
        // A backslash is doubled only where it would read as an escape.
        {"C:\\show\\cues", "C:\\show\\cues"},
        {"\\x1B", "\\\\x1B"},
        {"a\\\\b", "a\\\\\\b"},
        {"\\\x1B", "\\\\\\x1B"},
        {"end\\", "end\\"},
        {"", ""},
    };
    for (const auto& [text, shown] : cases) EXPECT_EQ(visibleText(text), shown) << testing::PrintToString(text);
}

// Read back left to right, the line gives the datagram's bytes exactly, and
// nothing in it but a backslash needs escaping: one datagram, one line.
TEST(VisibleText, ReadsBackToTheSameBytesAndHoldsNothingATerminalObeys) {
    const auto readBack = [](const std::string& line) {
        std::string bytes;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '\\') {
                bytes += '\\';
                ++i;
            } else if (line[i] == '\\' && i + 3 < line.size() && line[i + 1] == 'x') {
                bytes += static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16));
                i += 3;
            } else {
                bytes += line[i];
            }
        }
        return bytes;
    };
    std::mt19937 random(13);
    // Rich in backslashes, x, controls, C1 leads and UTF-8 pieces.
    const std::string alphabet = std::string("\\\\\\xxa/\x1B\n\x7F\xC2\x9B\x80\xC3\xA9\xE2\x82\xAC\xF0\x9F\x91\x8D") +
                                 std::string(1, '\0');
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<std::size_t> length(0, 12);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (std::size_t n = length(random); n > 0; --n) text += alphabet[pick(random)];
        const std::string line = visibleText(text);
        ASSERT_EQ(readBack(line), text) << testing::PrintToString(text) << " shown as " << line;
        std::string withoutBackslashes = line;
        std::erase(withoutBackslashes, '\\');
        ASSERT_EQ(visibleText(withoutBackslashes), withoutBackslashes) << line;
    }
}

}  // namespace
}  // namespace vorn::ascii
