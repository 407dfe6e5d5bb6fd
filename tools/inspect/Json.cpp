#include "Json.h"

#include <cstdio>
#include <limits>

namespace velkor::inspect {

Json Json::Bool(bool value) {
  Json j;
  j.kind_ = Kind::kBool;
  j.bool_ = value;
  return j;
}

Json Json::Int(std::int64_t value, Show show) {
  Json j;
  j.kind_ = Kind::kInt;
  j.int_ = value;
  j.show_ = show;
  return j;
}

Json Json::Text(std::string value) {
  Json j;
  j.kind_ = Kind::kString;
  j.text_ = std::move(value);
  return j;
}

Json Json::Array() {
  Json j;
  j.kind_ = Kind::kArray;
  return j;
}

Json Json::Object() {
  Json j;
  j.kind_ = Kind::kObject;
  return j;
}

Json& Json::Push(Json value) {
  items_.push_back(std::move(value));
  return items_.back();
}

Json& Json::Set(std::string_view key, Json value) {
  for (auto& [name, member] : members_) {
    if (name == key) {
      member = std::move(value);
      return member;
    }
  }
  members_.emplace_back(std::string(key), std::move(value));
  return members_.back().second;
}

const Json* Json::Find(std::string_view key) const {
  for (const auto& [name, member] : members_) {
    if (name == key) {
      return &member;
    }
  }
  return nullptr;
}

bool operator==(const Json& a, const Json& b) {
  if (a.kind_ != b.kind_) {
    return false;
  }
  switch (a.kind_) {
    case Json::Kind::kNull:
      return true;
    case Json::Kind::kBool:
      return a.bool_ == b.bool_;
    case Json::Kind::kInt:
      return a.int_ == b.int_;
    case Json::Kind::kString:
      return a.text_ == b.text_;
    case Json::Kind::kArray:
      return a.items_ == b.items_;
    case Json::Kind::kObject:
      // Members compare by name, in any order.
      if (a.members_.size() != b.members_.size()) {
        return false;
      }
      for (const auto& [name, member] : a.members_) {
        const Json* other = b.Find(name);
        if (other == nullptr || !(*other == member)) {
          return false;
        }
      }
      return true;
  }
  return false;
}

// ---- Writer ----

namespace {

void WriteString(std::string& out, std::string_view text) {
  out.push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

bool IsScalar(const Json& value) {
  return value.kind() != Json::Kind::kArray && value.kind() != Json::Kind::kObject;
}

void Write(std::string& out, const Json& value, int indent, int depth) {
  const auto newline = [&](int level) {
    if (indent > 0) {
      out.push_back('\n');
      out.append(static_cast<std::size_t>(indent * level), ' ');
    }
  };
  switch (value.kind()) {
    case Json::Kind::kNull:
      out += "null";
      return;
    case Json::Kind::kBool:
      out += value.boolean() ? "true" : "false";
      return;
    case Json::Kind::kInt:
      out += std::to_string(value.integer());
      return;
    case Json::Kind::kString:
      WriteString(out, value.text());
      return;
    case Json::Kind::kArray: {
      bool flat = true;
      for (const Json& item : value.items()) {
        flat = flat && IsScalar(item);
      }
      out.push_back('[');
      bool first = true;
      for (const Json& item : value.items()) {
        if (!first) {
          out.push_back(',');
          if (flat && indent > 0) {
            out.push_back(' ');
          }
        }
        first = false;
        if (!flat) {
          newline(depth + 1);
        }
        Write(out, item, indent, depth + 1);
      }
      if (!flat && !value.items().empty()) {
        newline(depth);
      }
      out.push_back(']');
      return;
    }
    case Json::Kind::kObject: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : value.members()) {
        if (!first) {
          out.push_back(',');
        }
        first = false;
        newline(depth + 1);
        WriteString(out, key);
        out += indent > 0 ? ": " : ":";
        Write(out, member, indent, depth + 1);
      }
      if (!value.members().empty()) {
        newline(depth);
      }
      out.push_back('}');
      return;
    }
  }
}

// ---- Reader ----

constexpr std::size_t kMaxMembers = 4096;

class Reader {
 public:
  Reader(std::string_view text, int max_depth) : text_(text), max_depth_(max_depth) {}

  std::optional<Json> Document(std::string& error) {
    std::optional<Json> value = Value(0);
    if (value) {
      SkipSpace();
      if (pos_ != text_.size()) {
        Fail("unexpected content after the value");
        value.reset();
      }
    }
    if (!value) {
      error = error_ + " at byte " + std::to_string(pos_);
    }
    return value;
  }

 private:
  std::optional<Json> Fail(const char* what) {
    if (error_.empty()) {
      error_ = what;
    }
    return std::nullopt;
  }

  void SkipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool Literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) == word) {
      pos_ += word.size();
      return true;
    }
    return false;
  }

  std::optional<Json> Value(int depth) {
    if (depth > max_depth_) {
      return Fail("nesting too deep");
    }
    SkipSpace();
    if (pos_ >= text_.size()) {
      return Fail("unexpected end of input");
    }
    const char c = text_[pos_];
    if (c == '{') {
      return ObjectValue(depth);
    }
    if (c == '[') {
      return ArrayValue(depth);
    }
    if (c == '"') {
      std::optional<std::string> s = String();
      if (!s) {
        return std::nullopt;
      }
      return Json::Text(std::move(*s));
    }
    if (Literal("true")) {
      return Json::Bool(true);
    }
    if (Literal("false")) {
      return Json::Bool(false);
    }
    if (Literal("null")) {
      return Json();
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      return Number();
    }
    return Fail("unexpected character");
  }

  std::optional<Json> Number() {
    bool negative = false;
    if (text_[pos_] == '-') {
      negative = true;
      ++pos_;
    }
    if (pos_ >= text_.size() || text_[pos_] < '0' || text_[pos_] > '9') {
      return Fail("digit expected");
    }
    if (text_[pos_] == '0' && pos_ + 1 < text_.size() && text_[pos_ + 1] >= '0' &&
        text_[pos_ + 1] <= '9') {
      return Fail("leading zero");
    }
    // Accumulate as a negative number so that the most negative 64-bit value fits.
    std::int64_t value = 0;
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      const int digit = text_[pos_] - '0';
      if (value < (kMin + digit) / 10) {
        return Fail("integer out of range");
      }
      value = value * 10 - digit;
      ++pos_;
    }
    if (pos_ < text_.size() && (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E')) {
      return Fail("only integers are read");
    }
    if (!negative) {
      if (value == kMin) {
        return Fail("integer out of range");
      }
      value = -value;
    }
    return Json::Int(value);
  }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
      return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
      return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
      return c - 'A' + 10;
    }
    return -1;
  }

  std::optional<unsigned> Hex4() {
    if (text_.size() - pos_ < 4) {
      return std::nullopt;
    }
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      const int d = HexDigit(text_[pos_ + static_cast<std::size_t>(i)]);
      if (d < 0) {
        return std::nullopt;
      }
      value = value * 16 + static_cast<unsigned>(d);
    }
    pos_ += 4;
    return value;
  }

  static void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  std::optional<std::string> String() {
    ++pos_;  // opening quote
    std::string out;
    while (true) {
      if (pos_ >= text_.size()) {
        Fail("unterminated string");
        return std::nullopt;
      }
      const unsigned char c = static_cast<unsigned char>(text_[pos_++]);
      if (c == '"') {
        return out;
      }
      if (c < 0x20) {
        Fail("control character in string");
        return std::nullopt;
      }
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
        continue;
      }
      if (pos_ >= text_.size()) {
        Fail("unterminated escape");
        return std::nullopt;
      }
      const char e = text_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out.push_back(e);
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          std::optional<unsigned> code = Hex4();
          if (!code) {
            Fail("bad \\u escape");
            return std::nullopt;
          }
          if (*code >= 0xDC00 && *code <= 0xDFFF) {
            Fail("lone low surrogate");
            return std::nullopt;
          }
          if (*code >= 0xD800 && *code <= 0xDBFF) {
            if (!Literal("\\u")) {
              Fail("lone high surrogate");
              return std::nullopt;
            }
            std::optional<unsigned> low = Hex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) {
              Fail("bad surrogate pair");
              return std::nullopt;
            }
            *code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
          }
          AppendUtf8(out, *code);
          break;
        }
        default:
          Fail("unknown escape");
          return std::nullopt;
      }
    }
  }

  std::optional<Json> ArrayValue(int depth) {
    ++pos_;
    Json array = Json::Array();
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == ']') {
      ++pos_;
      return array;
    }
    while (true) {
      std::optional<Json> item = Value(depth + 1);
      if (!item) {
        return std::nullopt;
      }
      array.Push(std::move(*item));
      SkipSpace();
      if (pos_ >= text_.size()) {
        return Fail("unterminated array");
      }
      const char c = text_[pos_++];
      if (c == ']') {
        return array;
      }
      if (c != ',') {
        return Fail("',' or ']' expected");
      }
    }
  }

  std::optional<Json> ObjectValue(int depth) {
    ++pos_;
    Json object = Json::Object();
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == '}') {
      ++pos_;
      return object;
    }
    while (true) {
      SkipSpace();
      if (pos_ >= text_.size() || text_[pos_] != '"') {
        return Fail("member name expected");
      }
      std::optional<std::string> key = String();
      if (!key) {
        return std::nullopt;
      }
      SkipSpace();
      if (pos_ >= text_.size() || text_[pos_] != ':') {
        return Fail("':' expected");
      }
      ++pos_;
      std::optional<Json> member = Value(depth + 1);
      if (!member) {
        return std::nullopt;
      }
      // Member names are looked up one by one, so a cap keeps hostile input linear enough.
      if (object.members().size() >= kMaxMembers) {
        return Fail("object has too many members");
      }
      if (object.Find(*key) != nullptr) {
        return Fail("duplicate member name");
      }
      object.Set(*key, std::move(*member));
      SkipSpace();
      if (pos_ >= text_.size()) {
        return Fail("unterminated object");
      }
      const char c = text_[pos_++];
      if (c == '}') {
        return object;
      }
      if (c != ',') {
        return Fail("',' or '}' expected");
      }
    }
  }

  std::string_view text_;
  int max_depth_;
  std::size_t pos_ = 0;
  std::string error_;
};

}  // namespace

std::string WriteJson(const Json& value, int indent) {
  std::string out;
  Write(out, value, indent, 0);
  return out;
}

std::optional<Json> ReadJson(std::string_view text, std::string& error, std::size_t max_bytes,
                             int max_depth) {
  if (text.size() > max_bytes) {
    error = "input longer than " + std::to_string(max_bytes) + " bytes";
    return std::nullopt;
  }
  return Reader(text, max_depth).Document(error);
}

}  // namespace velkor::inspect
