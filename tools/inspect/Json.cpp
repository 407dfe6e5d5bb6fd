#include "Json.h"

namespace velkor::inspect {
namespace {

// Numbers, literals and text (with its escaping) as nlohmann writes them.
void WriteScalar(std::string& out, const Json& value) {
  out += value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void Write(std::string& out, const Json& value, int indent, int depth) {
  const auto newline = [&](int level) {
    if (indent > 0) {
      out.push_back('\n');
      out.append(static_cast<std::size_t>(indent * level), ' ');
    }
  };
  if (value.is_array()) {
    bool flat = true;
    for (const Json& item : value) {
      flat = flat && IsScalar(item);
    }
    out.push_back('[');
    bool first = true;
    for (const Json& item : value) {
      if (!first) {
        out += flat && indent > 0 ? ", " : ",";
      }
      first = false;
      if (!flat) {
        newline(depth + 1);
      }
      Write(out, item, indent, depth + 1);
    }
    if (!flat && !value.empty()) {
      newline(depth);
    }
    out.push_back(']');
  } else if (value.is_object()) {
    out.push_back('{');
    bool first = true;
    for (const auto& [key, member] : value.items()) {
      if (!first) {
        out.push_back(',');
      }
      first = false;
      newline(depth + 1);
      WriteScalar(out, Json(key));
      out += indent > 0 ? ": " : ":";
      Write(out, member, indent, depth + 1);
    }
    if (!value.empty()) {
      newline(depth);
    }
    out.push_back('}');
  } else {
    WriteScalar(out, value);
  }
}

}  // namespace

const Json* Find(const Json& value, std::string_view key) {
  if (!value.is_object()) {
    return nullptr;
  }
  const auto member = value.find(key);
  return member != value.end() ? &*member : nullptr;
}

std::string WriteJson(const Json& value, int indent) {
  std::string out;
  Write(out, value, indent, 0);
  return out;
}

std::optional<Json> ReadJson(std::string_view text, std::string& error, std::size_t max_bytes) {
  if (text.size() > max_bytes) {
    error = "input longer than " + std::to_string(max_bytes) + " bytes";
    return std::nullopt;
  }
  try {
    return Json::parse(text);
  } catch (const Json::parse_error& e) {
    error = e.what();
    return std::nullopt;
  }
}

}  // namespace velkor::inspect
