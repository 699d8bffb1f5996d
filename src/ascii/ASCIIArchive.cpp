#include "ascii/ASCIIArchive.h"

#include <nlohmann/json.hpp>

#include <string>

namespace vorn::ascii {
namespace {

const std::string& archivedText(const nlohmann::json& json) {
    if (!json.is_string()) {
        throw typeMismatch("a string", json);
    }
    return json.get_ref<const std::string&>();
}

std::string_view describedType(const nlohmann::json& json) {
    switch (json.type()) {
        case nlohmann::json::value_t::null: return "null";
        case nlohmann::json::value_t::object: return "an object";
        case nlohmann::json::value_t::array: return "an array";
        case nlohmann::json::value_t::string: return "a string";
        case nlohmann::json::value_t::boolean: return "a Boolean";
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned:
        case nlohmann::json::value_t::number_float: return "a number";
        case nlohmann::json::value_t::binary: return "binary data";
        case nlohmann::json::value_t::discarded: break;
    }
    return "nothing";
}

}  // namespace

DecodingError typeMismatch(std::string_view expected, const nlohmann::json& found) {
    std::string text = "Expected ";
    text += expected;
    text += " but found ";
    text += describedType(found);
    text += '.';
    return DecodingError(DecodingError::Kind::typeMismatch, text);
}

void to_json(nlohmann::json& json, const ASCIICharacter& character) {
    json = character.characterValue();
}

void from_json(const nlohmann::json& json, ASCIICharacter& character) {
    character = nlohmann::adl_serializer<ASCIICharacter>::from_json(json);
}

void to_json(nlohmann::json& json, const ASCIIString& string) {
    json = string.stringValue();
}

void from_json(const nlohmann::json& json, ASCIIString& string) {
    auto decoded = ASCIIString::exactly(archivedText(json));
    if (!decoded) {
        throw DecodingError::dataCorrupted("Encoded string is not a valid ASCII string.");
    }
    string = std::move(*decoded);
}

}  // namespace vorn::ascii

vorn::ascii::ASCIICharacter nlohmann::adl_serializer<vorn::ascii::ASCIICharacter>::from_json(const nlohmann::json& json) {
    // Exact construction accepts one character only: "" and "AB" fail here.
    auto decoded = vorn::ascii::ASCIICharacter::exactly(vorn::ascii::archivedText(json));
    if (!decoded) {
        throw vorn::ascii::DecodingError::dataCorrupted("Value was not valid ASCII character number.");
    }
    return *decoded;
}
