// The JSON of the inspector's reports and of the test vectors file: nlohmann's JSON with object
// members kept in insertion order, written in the one layout both use.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace velkor::inspect {

using Json = nlohmann::ordered_json;

// Neither an array nor an object.
inline bool IsScalar(const Json& value) {
  return !value.is_array() && !value.is_object();
}

// The member `key` of an object; null when `value` is no object or has no such member.
const Json* Find(const Json& value, std::string_view key);
inline const Json* Find(const Json* value, std::string_view key) {
  return value != nullptr ? Find(*value, key) : nullptr;
}

// Writes `value` as JSON. `indent` > 0 pretty-prints with that many spaces per level, with
// arrays of scalars on one line; 0 writes it on one line without blanks. Text that is not
// UTF-8 is written with U+FFFD in place of the bytes that are not.
std::string WriteJson(const Json& value, int indent = 2);

// Reads one JSON text of at most `max_bytes`. On failure returns nothing and sets `error` to
// the reason and byte offset.
std::optional<Json> ReadJson(std::string_view text, std::string& error,
                             std::size_t max_bytes = 64u << 20);

}  // namespace velkor::inspect
