#pragma once

#include "ascii/ASCIICharacter.h"
#include "ascii/ASCIIString.h"
#include "ascii/DecodingError.h"

#include <nlohmann/json_fwd.hpp>

#include <string_view>

namespace vorn::ascii {

// Both types archive as a single JSON string. Reading one back throws
// DecodingError: typeMismatch for any JSON value other than a string,
// dataCorrupted for text that is not ASCII ("Encoded string is not a valid
// ASCII string.") or, for a character, not exactly one ASCII character
// ("Value was not valid ASCII character number.").
void to_json(nlohmann::json& json, const ASCIICharacter& character);
void from_json(const nlohmann::json& json, ASCIICharacter& character);
void to_json(nlohmann::json& json, const ASCIIString& string);
void from_json(const nlohmann::json& json, ASCIIString& string);

// The error for an archived value of the wrong JSON type; `expected` names
// what was wanted, as in "a string" or "an object".
DecodingError typeMismatch(std::string_view expected, const nlohmann::json& found);

}  // namespace vorn::ascii

// A character has no empty state to decode into, so `json.get<ASCIICharacter>()`
// constructs it here rather than through default construction and from_json.
template <>
struct nlohmann::adl_serializer<vorn::ascii::ASCIICharacter> {
    static vorn::ascii::ASCIICharacter from_json(const nlohmann::json& json);
    static void to_json(nlohmann::json& json, const vorn::ascii::ASCIICharacter& character) {
        vorn::ascii::to_json(json, character);
    }
};
