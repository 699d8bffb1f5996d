#include "osc/OSCArchive.h"

#include "ascii/ASCIIArchive.h"
#include "ascii/DecodingError.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <string>

namespace vorn::osc {
namespace {

using ascii::DecodingError;

const nlohmann::json& keyedContainer(const nlohmann::json& json) {
    if (!json.is_object()) {
        throw ascii::typeMismatch("an object", json);
    }
    return json;
}

const nlohmann::json& valueForKey(const nlohmann::json& json, const char* key) {
    const auto found = keyedContainer(json).find(key);
    if (found == json.end()) {
        throw DecodingError(DecodingError::Kind::keyNotFound,
                            std::string("No value associated with key \"") + key + "\".");
    }
    return *found;
}

// An unsigned integer of at most `maximum`. Numbers written with a fraction
// or an exponent are not integers in the archive, whatever their value.
std::uint64_t unsignedInteger(const nlohmann::json& json, std::uint64_t maximum, const char* what) {
    if (json.is_number_unsigned()) {
        const auto value = json.get<std::uint64_t>();
        if (value <= maximum) {
            return value;
        }
    } else if (!json.is_number_integer()) {
        throw ascii::typeMismatch("an integer", json);
    }
    throw DecodingError::dataCorrupted("Number " + json.dump() + " does not fit in " + what + ".");
}

}  // namespace

// The empty values keep a keyed form (an object, not null) so that a reader
// can add keys later without breaking archives written now.
void to_json(nlohmann::json& json, const OSCImpulseValue&) {
    json = nlohmann::json::object();
}

void from_json(const nlohmann::json& json, OSCImpulseValue&) {
    keyedContainer(json);
}

void to_json(nlohmann::json& json, const OSCNullValue&) {
    json = nlohmann::json::object();
}

void from_json(const nlohmann::json& json, OSCNullValue&) {
    keyedContainer(json);
}

void to_json(nlohmann::json& json, const OSCMIDIValue& value) {
    json = {{"bytes", {value.portID, value.status, value.data1, value.data2}}};
}

void from_json(const nlohmann::json& json, OSCMIDIValue& value) {
    const nlohmann::json& bytes = valueForKey(json, "bytes");
    if (!bytes.is_array()) {
        throw ascii::typeMismatch("an array", bytes);
    }
    if (bytes.size() != 4) {
        throw DecodingError::dataCorrupted("Found unexpected number of values when decoding MIDI bytes.");
    }
    std::array<std::uint8_t, 4> decoded{};
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        decoded[i] = static_cast<std::uint8_t>(unsignedInteger(bytes[i], 255, "a MIDI byte"));
    }
    value = OSCMIDIValue{decoded[0], decoded[1], decoded[2], decoded[3]};
}

void to_json(nlohmann::json& json, const OSCStringAltValue& value) {
    json = {{"string", value.string}};
}

void from_json(const nlohmann::json& json, OSCStringAltValue& value) {
    const nlohmann::json& string = valueForKey(json, "string");
    if (!string.is_string()) {
        throw ascii::typeMismatch("a string", string);
    }
    value = OSCStringAltValue{string.get<std::string>()};
}

void to_json(nlohmann::json& json, const OSCTimeTag& timeTag) {
    json = timeTag.rawValue();
}

void from_json(const nlohmann::json& json, OSCTimeTag& timeTag) {
    timeTag = OSCTimeTag(unsignedInteger(json, UINT64_MAX, "a time tag"), 0);
}

}  // namespace vorn::osc
