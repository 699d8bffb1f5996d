#include "ascii/ASCIIArchive.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace vorn::ascii {
namespace {

using nlohmann::json;

template <class T>
void expectDecodingError(const json& archived, DecodingError::Kind kind, const std::string& description) {
    SCOPED_TRACE(archived.dump());
    try {
        (void)archived.get<T>();
        ADD_FAILURE() << "decoded without an error";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind(), kind);
        if (!description.empty()) {
            EXPECT_EQ(error.description(), description);
        }
    }
}

TEST(ASCIIArchive, ValuesArchiveAsStringsAndComeBack) {
    const ASCIICharacter crlf = *ASCIICharacter::exactly("\r\n");
    const json archived = {{"tag", ASCIICharacter(U'f')}, {"line", crlf}, {"address", ASCIIString("/a\tb")}};
    EXPECT_EQ(archived.dump(), R"({"address":"/a\tb","line":"\r\n","tag":"f"})");

    const json reread = json::parse(archived.dump());
    EXPECT_EQ(reread["tag"].get<ASCIICharacter>(), ASCIICharacter(U'f'));
    EXPECT_EQ(reread["line"].get<ASCIICharacter>().characterValue(), "\r\n");
    EXPECT_EQ(reread["address"].get<ASCIIString>(), "/a\tb");

    const std::vector<ASCIICharacter> tags = {ASCIICharacter(U','), ASCIICharacter(U'i')};
    EXPECT_EQ(json(tags).get<std::vector<ASCIICharacter>>(), tags);
}

TEST(ASCIIArchive, DecodingRejectsWhatIsNotASCII) {
    const std::string notCharacter = "Value was not valid ASCII character number.";
    for (const json& archived : {json("AB"), json(""), json("\xC3\xA9"), json("e\xCC\x81")}) {
        expectDecodingError<ASCIICharacter>(archived, DecodingError::Kind::dataCorrupted, notCharacter);
    }
    expectDecodingError<ASCIIString>(json("\xC3\xBC"), DecodingError::Kind::dataCorrupted,
                                     "Encoded string is not a valid ASCII string.");

    for (const json& archived : {json(65), json(nullptr), json::array({"A"}), json::object()}) {
        expectDecodingError<ASCIICharacter>(archived, DecodingError::Kind::typeMismatch, "");
        expectDecodingError<ASCIIString>(archived, DecodingError::Kind::typeMismatch, "");
    }
    expectDecodingError<ASCIIString>(json(1.5), DecodingError::Kind::typeMismatch,
                                     "Expected a string but found a number.");
}

}  // namespace
}  // namespace vorn::ascii
