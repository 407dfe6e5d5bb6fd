#include "Render.h"

#include <cstdio>

namespace velkor::inspect {
namespace {

// A member object longer than this on one line gets a line per member.
constexpr std::size_t kInlineWidth = 100;

std::string Scalar(const Json& value, bool quote) {
  switch (value.kind()) {
    case Json::Kind::kNull:
      return "null";
    case Json::Kind::kBool:
      return value.boolean() ? "true" : "false";
    case Json::Kind::kInt: {
      char text[32];
      if (value.show() == Json::Show::kHexByte && value.integer() >= 0) {
        std::snprintf(text, sizeof text, "0x%02llX",
                      static_cast<unsigned long long>(value.integer()));
      } else if (value.show() == Json::Show::kHexWord && value.integer() >= 0) {
        std::snprintf(text, sizeof text, "0x%04llX",
                      static_cast<unsigned long long>(value.integer()));
      } else {
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value.integer()));
      }
      return text;
    }
    case Json::Kind::kString:
      return quote || value.text().empty() ? "\"" + value.text() + "\"" : value.text();
    default:
      return "";
  }
}

bool IsScalar(const Json& v) {
  return !v.is_array() && !v.is_object();
}

bool IsFlatArray(const Json& v) {
  if (!v.is_array()) {
    return false;
  }
  for (const Json& item : v.items()) {
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
  for (const auto& [name, member] : v.members()) {
    if (!IsScalar(member) && !IsFlatArray(member)) {
      return false;
    }
  }
  return true;
}

std::string Inline(const Json& v) {
  std::string out;
  if (IsScalar(v)) {
    return Scalar(v, true);
  }
  if (v.is_array()) {
    out = "[";
    for (std::size_t i = 0; i < v.items().size(); ++i) {
      out += i > 0 ? " " : "";
      out += Inline(v.items()[i]);
    }
    return out + "]";
  }
  for (const auto& [name, member] : v.members()) {
    out += (out.empty() ? "" : " ") + name + "=" + Inline(member);
  }
  return out;
}

void Lines(std::string& out, const Json& object, int depth);

void Member(std::string& out, const std::string& name, const Json& value, int depth) {
  const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  if (IsScalar(value)) {
    out += indent + name + ": " + Scalar(value, false) + "\n";
  } else if (value.is_array() && value.items().empty()) {
    out += indent + name + " (0)\n";
  } else if (IsFlatArray(value)) {
    std::string items;
    for (const Json& item : value.items()) {
      items += items.empty() ? "" : " ";
      items += Scalar(item, true);
    }
    out += indent + name + ": " + items + "\n";
  } else if (IsFlatObject(value) && Inline(value).size() <= kInlineWidth) {
    out += indent + name + ": " + Inline(value) + "\n";
  } else if (value.is_object()) {
    out += indent + name + ":\n";
    Lines(out, value, depth + 1);
  } else {
    out += indent + name + " (" + std::to_string(value.items().size()) + "):\n";
    for (std::size_t i = 0; i < value.items().size(); ++i) {
      const Json& item = value.items()[i];
      std::string label = "[";
      label += std::to_string(i);
      label += "]";
      if (IsScalar(item) || IsFlatArray(item) || IsFlatObject(item)) {
        out += indent + "  " + label + " " + Inline(item) + "\n";
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
  for (const auto& [name, member] : object.members()) {
    Member(out, name, member, depth);
  }
}

std::string Verdict(const Json& report) {
  const Json* key = report.Find("key");
  const std::string k = key != nullptr ? key->text() : "";
  if (k == "incoming") {
    return "opens under the incoming key text (device to host)";
  }
  if (k == "outgoing") {
    return "opens under the outgoing key text (host to device)";
  }
  if (k == "unsealed") {
    return "unsealed reconnect packet (host to device)";
  }
  const Json* family = report.Find("family");
  if (family != nullptr && family->text() == "short") {
    return "too short for a packet head";
  }
  return "opens under neither key text";
}

std::string SourceText(const Json* source) {
  if (source == nullptr) {
    return "";
  }
  std::string out;
  if (const Json* file = source->Find("file")) {
    out = file->text();
    if (const Json* frame = source->Find("frame")) {
      out += " frame " + std::to_string(frame->integer());
    }
    const Json* from = source->Find("from");
    const Json* to = source->Find("to");
    if (from != nullptr && to != nullptr) {
      out += ", " + from->text() + " -> " + to->text();
    }
  } else if (const Json* argument = source->Find("argument")) {
    out = "argument " + std::to_string(argument->integer());
  } else if (const Json* line = source->Find("line")) {
    out = "line " + std::to_string(line->integer());
  }
  return out;
}

// "code 0xF8, type 1 (current), serial 00010203040506, byte1 0x00, free 12 13 14 15 16 17"
std::string HeadText(const Json& head) {
  std::string out;
  const auto add = [&](const char* name, const std::string& text) {
    out += (out.empty() ? "" : ", ") + std::string(name) + " " + text;
  };
  for (const auto& [name, member] : head.members()) {
    if (name == "generation") {
      continue;
    }
    std::string text = Scalar(member, false);
    if (name == "type") {
      const Json* generation = head.Find("generation");
      text += " (" + (generation != nullptr ? generation->text() : std::string()) + ")";
    }
    add(name.c_str(), text);
  }
  return out;
}

}  // namespace

std::string RenderText(const Json& report) {
  std::string out = "packet";
  if (const Json* index = report.Find("index")) {
    out += " ";
    out += std::to_string(index->integer());
  }
  const std::string source = SourceText(report.Find("source"));
  if (!source.empty()) {
    out += " (" + source + ")";
  }
  const Json* length = report.Find("length");
  out += ", " + std::to_string(length != nullptr ? length->integer() : 0) +
         " bytes: " + Verdict(report) + "\n";
  for (const char* name : {"prepare", "head", "block", "family", "payload", "notes"}) {
    const Json* member = report.Find(name);
    if (member == nullptr) {
      continue;
    }
    if (std::string(name) == "payload") {
      Lines(out, *member, 1);
    } else if (std::string(name) == "notes") {
      for (const Json& note : member->items()) {
        out += "  note: " + note.text() + "\n";
      }
    } else if (std::string(name) == "head") {
      out += "  head: " + HeadText(*member) + "\n";
    } else if (std::string(name) == "prepare") {
      out += "  PreparePackage: " + Scalar(*member, false) + "\n";
    } else if (!member->is_object() || !member->members().empty()) {
      Member(out, name, *member, 1);
    }
  }
  return out;
}

}  // namespace velkor::inspect
