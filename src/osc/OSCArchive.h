#pragma once

#include "osc/OSCTimeTag.h"
#include "osc/OSCValue.h"

#include <nlohmann/json_fwd.hpp>

namespace vorn::osc {

// JSON forms of the value types that have no JSON form of their own:
//   OSCImpulseValue, OSCNullValue   {}
//   OSCMIDIValue                    {"bytes": [portID, status, data1, data2]}
//   OSCStringAltValue               {"string": "text"}
//   OSCTimeTag                      the raw value, an unsigned 64-bit number
// The era is not archived; a time tag read back has era 0.
//
// Reading throws ascii::DecodingError: typeMismatch for a JSON value of the
// wrong type, keyNotFound for a missing key, dataCorrupted for a value that
// does not fit ("Found unexpected number of values when decoding MIDI bytes."
// for a list of other than four).
void to_json(nlohmann::json& json, const OSCImpulseValue& value);
void from_json(const nlohmann::json& json, OSCImpulseValue& value);
void to_json(nlohmann::json& json, const OSCNullValue& value);
void from_json(const nlohmann::json& json, OSCNullValue& value);
void to_json(nlohmann::json& json, const OSCMIDIValue& value);
void from_json(const nlohmann::json& json, OSCMIDIValue& value);
void to_json(nlohmann::json& json, const OSCStringAltValue& value);
void from_json(const nlohmann::json& json, OSCStringAltValue& value);
void to_json(nlohmann::json& json, const OSCTimeTag& timeTag);
void from_json(const nlohmann::json& json, OSCTimeTag& timeTag);

}  // namespace vorn::osc
