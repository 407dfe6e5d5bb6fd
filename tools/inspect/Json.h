// A small JSON value with an ordered object, a writer, and a bounded reader. Enough for the
// inspector's output and the test vectors file: integers only (no fractions or exponents).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velkor::inspect {

class Json {
 public:
  enum class Kind { kNull, kBool, kInt, kString, kArray, kObject };
  // How the text rendering shows an integer; JSON always carries it in decimal.
  enum class Show { kDecimal, kHexByte, kHexWord };

  Json() = default;
  static Json Bool(bool value);
  static Json Int(std::int64_t value, Show show = Show::kDecimal);
  static Json Hex8(std::int64_t value) { return Int(value, Show::kHexByte); }
  static Json Hex16(std::int64_t value) { return Int(value, Show::kHexWord); }
  static Json Text(std::string value);
  static Json Array();
  static Json Object();

  Kind kind() const { return kind_; }
  bool is_object() const { return kind_ == Kind::kObject; }
  bool is_array() const { return kind_ == Kind::kArray; }
  bool boolean() const { return bool_; }
  std::int64_t integer() const { return int_; }
  Show show() const { return show_; }
  const std::string& text() const { return text_; }

  // Arrays.
  Json& Push(Json value);
  const std::vector<Json>& items() const { return items_; }

  // Objects keep their members in insertion order; Set replaces an existing member.
  Json& Set(std::string_view key, Json value);
  const Json* Find(std::string_view key) const;
  const std::vector<std::pair<std::string, Json>>& members() const { return members_; }

  // Structural equality: object members by name in any order, array items in order. The
  // display hint is not part of the value.
  friend bool operator==(const Json& a, const Json& b);

 private:
  Kind kind_ = Kind::kNull;
  bool bool_ = false;
  std::int64_t int_ = 0;
  Show show_ = Show::kDecimal;
  std::string text_;
  std::vector<Json> items_;
  std::vector<std::pair<std::string, Json>> members_;
};

// Writes `value` as JSON. `indent` > 0 pretty-prints with that many spaces per level; arrays
// of scalars stay on one line.
std::string WriteJson(const Json& value, int indent = 2);

// Reads one JSON text. Refuses input longer than `max_bytes`, nesting deeper than `max_depth`,
// numbers that are not 64-bit integers, and trailing content. On failure returns nothing and
// sets `error` to the reason and byte offset.
std::optional<Json> ReadJson(std::string_view text, std::string& error,
                             std::size_t max_bytes = 64u << 20, int max_depth = 64);

}  // namespace velkor::inspect
