#include "osc/OSCArchive.h"

#include "ascii/DecodingError.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::osc {
namespace {

using ascii::DecodingError;
using nlohmann::json;

template <class T>
void expectDecodingError(const std::string& archived, DecodingError::Kind kind, const std::string& description = {}) {
    SCOPED_TRACE(archived);
    try {
        (void)json::parse(archived).get<T>();
        ADD_FAILURE() << "decoded without an error";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind(), kind);
        if (!description.empty()) {
            EXPECT_EQ(error.description(), description);
        }
    }
}

template <class T>
T reread(const T& value, const std::string& expectedText) {
    const std::string text = json(value).dump();
    EXPECT_EQ(text, expectedText);
    return json::parse(text).get<T>();
}

TEST(OSCArchive, ValuesRoundTripInTheirArchivedForms) {
    EXPECT_EQ(reread(OSCImpulseValue{}, "{}"), OSCImpulseValue{});
    EXPECT_EQ(reread(OSCNullValue{}, "{}"), OSCNullValue{});
    const OSCMIDIValue midi{1, 144, 60, 255};
    EXPECT_EQ(reread(midi, R"({"bytes":[1,144,60,255]})"), midi);
    const OSCStringAltValue alt{"Cue 1 \xE2\x80\x94 go"};
    EXPECT_EQ(reread(alt, "{\"string\":\"Cue 1 \xE2\x80\x94 go\"}"), alt);
    EXPECT_EQ(reread(OSCTimeTag(UINT64_MAX), "18446744073709551615"), OSCTimeTag(UINT64_MAX));
    // The era is not archived.
    EXPECT_EQ(reread(OSCTimeTag(5, 3), "5"), OSCTimeTag(5, 0));

    // Keys that later versions might add are ignored.
    EXPECT_EQ(json::parse(R"({"note":"x"})").get<OSCImpulseValue>(), OSCImpulseValue{});
    EXPECT_EQ(json::parse(R"({"bytes":[0,0,0,0],"x":1})").get<OSCMIDIValue>(), OSCMIDIValue{});
}

TEST(OSCArchive, MIDIBytesMustBeFourBytes) {
    const std::string count = "Found unexpected number of values when decoding MIDI bytes.";
    for (const std::string bytes : {"[]", "[1,2,3]", "[1,2,3,4,5]"}) {
        expectDecodingError<OSCMIDIValue>(R"({"bytes":)" + bytes + "}", DecodingError::Kind::dataCorrupted, count);
    }
    expectDecodingError<OSCMIDIValue>(R"({"bytes":[1,2,3,256]})", DecodingError::Kind::dataCorrupted,
                                      "Number 256 does not fit in a MIDI byte.");
    expectDecodingError<OSCMIDIValue>(R"({"bytes":[1,2,"3",4]})", DecodingError::Kind::typeMismatch);
    expectDecodingError<OSCMIDIValue>(R"({"bytes":{"0":1}})", DecodingError::Kind::typeMismatch);
    expectDecodingError<OSCMIDIValue>(R"({"byte":[1,2,3,4]})", DecodingError::Kind::keyNotFound,
                                      "No value associated with key \"bytes\".");
    expectDecodingError<OSCMIDIValue>("[1,2,3,4]", DecodingError::Kind::typeMismatch,
                                      "Expected an object but found an array.");
}

TEST(OSCArchive, WrongShapesAreTypedErrors) {
    for (const std::string archived : {"null", "[]", "0", "\"\""}) {
        expectDecodingError<OSCImpulseValue>(archived, DecodingError::Kind::typeMismatch);
        expectDecodingError<OSCNullValue>(archived, DecodingError::Kind::typeMismatch);
        expectDecodingError<OSCStringAltValue>(archived, DecodingError::Kind::typeMismatch);
    }
    expectDecodingError<OSCStringAltValue>("{}", DecodingError::Kind::keyNotFound);
    expectDecodingError<OSCStringAltValue>(R"({"string":7})", DecodingError::Kind::typeMismatch);

    expectDecodingError<OSCTimeTag>("-1", DecodingError::Kind::dataCorrupted);
    expectDecodingError<OSCTimeTag>("18446744073709551616", DecodingError::Kind::typeMismatch);  // parses as a double
    expectDecodingError<OSCTimeTag>("\"5\"", DecodingError::Kind::typeMismatch, "Expected an integer but found a string.");
}

}  // namespace
}  // namespace vorn::osc
