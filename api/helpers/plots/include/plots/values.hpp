#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace plots {

// Records keep their key order, and so do the schedule entries built from them.
using Json = nlohmann::ordered_json;

// Identifier equality without conversion: numbers compare by value (12 equals 12.0), a text
// never equals a number (the text "12" does not match 12).
bool identifiers_equal(const Json& a, const Json& b);

// The text a person reads for a value: text unchanged, integers as 12, reals in their shortest
// exact form (12.5, 1234.5, 45.0).
std::string default_text(const Json& value);

// A number with two decimals ("12.30"); `what` names the value in the error for a non-number.
std::string two_decimals(const Json& number, std::string_view what);

// The value under `key`, or InputError naming the record (`record_name`, e.g. "parcel record 3")
// and the key.
const Json& required_field(const Json& record, std::string_view key, std::string_view record_name);

// The value under `key`, or nullptr when the record has no such key.
const Json* optional_field(const Json& record, std::string_view key);

}  // namespace plots
