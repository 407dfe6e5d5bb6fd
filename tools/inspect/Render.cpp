#include "Render.h"

#include <cstdio>
#include <string_view>

namespace velkor::inspect {
namespace {

// A member object longer than this on one line gets a line per member.
constexpr std::size_t kInlineWidth = 100;

// Fields the text shows in hex, by name (arrays: each item): two digits, or four for the
// 16-bit ones. JSON carries every number in decimal.
int HexDigits(std::string_view name) {
  static constexpr std::string_view kBytes[] = {
      "arguments", "byte1",  "code",   "command", "lead",    "leadByte", "mode", "opcode",
      "param",     "param0", "param1", "param2",  "prepare", "selector", "sum",  "value"};
  if (name == "check" || name == "request") {
    return 4;
  }
  for (std::string_view byte : kBytes) {
    if (name == byte) {
      return 2;
    }
  }
  return 0;
}

std::string Scalar(const Json& value, bool quote, std::string_view name) {
  if (value.is_null()) {
    return "null";
  }
  if (value.is_boolean()) {
    return value.get<bool>() ? "true" : "false";
  }
  if (value.is_number_integer()) {
    char text[32];
    const int digits = HexDigits(name);
    if (digits > 0 && value.is_number_unsigned()) {
      std::snprintf(text, sizeof text, "0x%0*llX", digits, value.get<unsigned long long>());
    } else if (digits > 0 && value.get<std::int64_t>() >= 0) {
      std::snprintf(text, sizeof text, "0x%0*llX", digits,
                    static_cast<unsigned long long>(value.get<std::int64_t>()));
    } else if (value.is_number_unsigned()) {
      std::snprintf(text, sizeof text, "%llu", value.get<unsigned long long>());
    } else {
      std::snprintf(text, sizeof text, "%lld", value.get<long long>());
    }
    return text;
  }
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    return quote || text.empty() ? "\"" + text + "\"" : text;
  }
  return "";
}

bool IsFlatArray(const Json& v) {
  if (!v.is_array()) {
    return false;
  }
  for (const Json& item : v) {
    if (!IsScalar(item)) {
      return false;
    }
  }
  return true;
}

// Scalars and arrays of scalars only: fits on one line.
bool IsFlatObject(const Json& v) {
  if (!v.is_object()) {
    return false;
  }
  for (const auto& [name, member] : v.items()) {
    if (!IsScalar(member) && !IsFlatArray(member)) {
      return false;
    }
  }
  return true;
}

std::string Inline(const Json& v, std::string_view name) {
  std::string out;
  if (IsScalar(v)) {
    return Scalar(v, true, name);
  }
  if (v.is_array()) {
    out = "[";
    for (std::size_t i = 0; i < v.size(); ++i) {
      out += i > 0 ? " " : "";
      out += Inline(v[i], name);
    }
    return out + "]";
  }
  for (const auto& [member_name, member] : v.items()) {
    out += (out.empty() ? "" : " ") + member_name + "=" + Inline(member, member_name);
  }
  return out;
}

void Lines(std::string& out, const Json& object, int depth);

void Member(std::string& out, const std::string& name, const Json& value, int depth) {
  const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  if (IsScalar(value)) {
    out += indent + name + ": " + Scalar(value, false, name) + "\n";
  } else if (value.is_array() && value.empty()) {
    out += indent + name + " (0)\n";
  } else if (IsFlatArray(value)) {
    std::string items;
    for (const Json& item : value) {
      items += items.empty() ? "" : " ";
      items += Scalar(item, true, name);
    }
    out += indent + name + ": " + items + "\n";
  } else if (IsFlatObject(value) && Inline(value, name).size() <= kInlineWidth) {
    out += indent + name + ": " + Inline(value, name) + "\n";
  } else if (value.is_object()) {
    out += indent + name + ":\n";
    Lines(out, value, depth + 1);
  } else {
    out += indent + name + " (" + std::to_string(value.size()) + "):\n";
    for (std::size_t i = 0; i < value.size(); ++i) {
      const Json& item = value[i];
      std::string label = "[";
      label += std::to_string(i);
      label += "]";
      if (IsScalar(item) || IsFlatArray(item) || IsFlatObject(item)) {
        out += indent + "  " + label + " " + Inline(item, name) + "\n";
      } else if (item.is_object()) {
        out += indent + "  " + label + "\n";
        Lines(out, item, depth + 2);
      } else {
        Member(out, label, item, depth + 1);
      }
    }
  }
}

void Lines(std::string& out, const Json& object, int depth) {
  for (const auto& [name, member] : object.items()) {
    Member(out, name, member, depth);
  }
}

std::string Verdict(const Json& report) {
  const Json* key = Find(report, "key");
  const std::string k = key != nullptr ? key->get<std::string>() : "";
  if (k == "incoming") {
    return "opens under the incoming key text (device to host)";
  }
  if (k == "outgoing") {
    return "opens under the outgoing key text (host to device)";
  }
  if (k == "unsealed") {
    return "unsealed reconnect packet (host to device)";
  }
  const Json* family = Find(report, "family");
  if (family != nullptr && family->get<std::string>() == "short") {
    return "too short for a packet head";
  }
  return "opens under neither key text";
}

std::string SourceText(const Json* source) {
  if (source == nullptr) {
    return "";
  }
  std::string out;
  const Json* file = Find(source, "file");
  if (file == nullptr) {
    file = Find(source, "interface");
  }
  if (file != nullptr) {
    out = file->get<std::string>();
    if (const Json* frame = Find(source, "frame")) {
      out += " frame " + std::to_string(frame->get<std::int64_t>());
    }
    const Json* from = Find(source, "from");
    const Json* to = Find(source, "to");
    if (from != nullptr && to != nullptr) {
      out += ", " + from->get<std::string>() + " -> " + to->get<std::string>();
    }
    if (const Json* fragments = Find(source, "fragments")) {
      out += ", reassembled from frames";
      for (const Json& frame : *fragments) {
        out += " " + std::to_string(frame.get<std::int64_t>());
      }
    }
  } else if (const Json* argument = Find(source, "argument")) {
    out = "argument " + std::to_string(argument->get<std::int64_t>());
  } else if (const Json* line = Find(source, "line")) {
    out = "line " + std::to_string(line->get<std::int64_t>());
  }
  return out;
}

// "code 0xF8, type 1 (current), serial 00010203040506, byte1 0x00, free 12 13 14 15 16 17"
std::string HeadText(const Json& head) {
  std::string out;
  const auto add = [&](const char* name, const std::string& text) {
    out += (out.empty() ? "" : ", ") + std::string(name) + " " + text;
  };
  for (const auto& [name, member] : head.items()) {
    if (name == "generation") {
      continue;
    }
    std::string text = Scalar(member, false, name);
    if (name == "type") {
      const Json* generation = Find(head, "generation");
      text += " (" + (generation != nullptr ? generation->get<std::string>() : std::string()) + ")";
    }
    add(name.c_str(), text);
  }
  return out;
}

}  // namespace

std::string RenderText(const Json& report) {
  std::string out = "packet";
  if (const Json* index = Find(report, "index")) {
    out += " ";
    out += std::to_string(index->get<std::int64_t>());
  }
  const std::string source = SourceText(Find(report, "source"));
  if (!source.empty()) {
    out += " (" + source + ")";
  }
  const Json* length = Find(report, "length");
  out += ", " + std::to_string(length != nullptr ? length->get<std::int64_t>() : 0) +
         " bytes: " + Verdict(report) + "\n";
  for (const char* name : {"prepare", "head", "block", "family", "payload", "notes"}) {
    const Json* member = Find(report, name);
    if (member == nullptr) {
      continue;
    }
    if (std::string(name) == "payload") {
      Lines(out, *member, 1);
    } else if (std::string(name) == "notes") {
      for (const Json& note : *member) {
        out += "  note: " + note.get<std::string>() + "\n";
      }
    } else if (std::string(name) == "head") {
      out += "  head: " + HeadText(*member) + "\n";
    } else if (std::string(name) == "prepare") {
      out += "  PreparePackage: " + Scalar(*member, false, name) + "\n";
    } else if (!member->is_object() || !member->empty()) {
      Member(out, name, *member, 1);
    }
  }
  return out;
}

}  // namespace velkor::inspect
