#include "Commands.h"

#include <array>
#include <string>

namespace velkor::gateway {
namespace {

constexpr std::size_t kPasswords = 10;
constexpr std::size_t kModeSettings = 5;
constexpr int kLegacyModeMax = 99;  // a legacy reader reads settings 0 and 1 as decimal
// Control codes whose legacy frame opcode (0x80 | code) is another builder's: 0x80 the clock,
// 0x90 the reader mode, 0xB0 the extra output.
constexpr std::int64_t kLegacyClockCode = 0x00;
constexpr std::int64_t kLegacyReaderModeCode = 0x10;
constexpr std::int64_t kLegacyExtraOutputCode = 0x30;

// An integer argument, with a default when `fallback` is given and the body has none.
bool Integer(const Json& body, Json& out, const char* name, std::int64_t min, std::int64_t max,
             FieldError& error, std::optional<std::int64_t> fallback = std::nullopt) {
  const auto found = body.find(name);
  if (found == body.end()) {
    if (!fallback) {
      error = {name, "is missing"};
      return false;
    }
    out[name] = *fallback;
    return true;
  }
  if (!found->is_number_integer() ||
      (found->is_number_unsigned() &&
       found->get<std::uint64_t>() > static_cast<std::uint64_t>(max)) ||
      found->get<std::int64_t>() < min || found->get<std::int64_t>() > max) {
    error = {name, "must be an integer from " + std::to_string(min) + " to " + std::to_string(max)};
    return false;
  }
  out[name] = found->get<std::int64_t>();
  return true;
}

bool Block(const Json& body, Json& out, bool legacyReader, FieldError& error) {
  const auto found = body.find("block");
  if (found == body.end() || !found->is_array() || found->size() != kModeSettings) {
    error = {"block", "must be an array of 5 settings"};
    return false;
  }
  for (std::size_t i = 0; i < kModeSettings; ++i) {
    const Json& v = (*found)[i];
    const int max = legacyReader && i < 2 ? kLegacyModeMax : 255;
    if (!v.is_number_integer() || v.get<std::int64_t>() < 0 || v.get<std::int64_t>() > max) {
      error = {"block[" + std::to_string(i) + "]",
               "must be an integer from 0 to " + std::to_string(max)};
      return false;
    }
  }
  out["block"] = *found;
  return true;
}

bool Passwords(const Json& body, Json& out, FieldError& error) {
  for (std::size_t i = 0; i < kPasswords; ++i) {
    const std::string name = "password" + std::to_string(i);
    const auto found = body.find(name);
    if (found == body.end() || found->is_null()) {
      out[name] = nullptr;
      continue;
    }
    if (!found->is_string()) {
      error = {name, "must be a string of digits or null"};
      return false;
    }
    const std::string text = found->get<std::string>();
    if (text.size() > 8 || text.find_first_not_of("0123456789") != std::string::npos) {
      error = {name, "must be at most 8 digits"};
      return false;
    }
    out[name] = text;
  }
  return true;
}

ModeBlock ToBlock(const Json& block) {
  ModeBlock mode{};
  for (std::size_t i = 0; i < kModeSettings; ++i) {
    mode.settings[i] = block[i].get<std::uint8_t>();
  }
  return mode;
}

template <typename Send>
std::int32_t SendPasswords(const Json& command, std::uint8_t* packet, Send send) {
  std::array<std::string, kPasswords> texts;
  std::array<const char*, kPasswords> p{};
  for (std::size_t i = 0; i < kPasswords; ++i) {
    const Json& value = command["password" + std::to_string(i)];
    if (value.is_string()) {
      texts[i] = value.get<std::string>();
      p[i] = texts[i].c_str();
    }
  }
  return send(packet, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9]);
}

}  // namespace

const std::vector<const char*>& CommandNames() {
  static const std::vector<const char*> names = {
      "control",          "extra_output",     "clock",
      "reader_mode",      "finger_mode",      "finger_control",
      "device_passwords", "finger_passwords", "read"};
  return names;
}

std::optional<Json> ParseCommand(const Json& body, bool legacy, FieldError& error) {
  if (!body.is_object()) {
    error = {"body", "must be a JSON object"};
    return std::nullopt;
  }
  const auto name = body.find("command");
  if (name == body.end() || !name->is_string()) {
    error = {"command", "must name a command"};
    return std::nullopt;
  }
  const std::string command = name->get<std::string>();
  Json out = {{"command", command}};
  bool ok = true;
  if (command == "control") {
    ok = Integer(body, out, "code", 0, 127, error) &&
         Integer(body, out, "first", 0, 255, error, 0) &&
         Integer(body, out, "second", 0, 255, error, 0) &&
         Integer(body, out, "third", 0, 255, error, 0);
    // A legacy frame's opcode is 0x80 | code: three codes would read as another command.
    if (ok && legacy) {
      const std::int64_t code = out["code"].get<std::int64_t>();
      const char* clash = code == kLegacyClockCode         ? "the clock setting"
                          : code == kLegacyReaderModeCode  ? "the reader mode"
                          : code == kLegacyExtraOutputCode ? "the extra output"
                                                           : nullptr;
      if (clash != nullptr) {
        error = {"code",
                 std::string("on a legacy device this code's frame opcode is that of ") + clash};
        ok = false;
      }
    }
  } else if (command == "extra_output") {
    ok = Integer(body, out, "value", 0, 255, error);
  } else if (command == "reader_mode") {
    ok = Block(body, out, legacy, error);
  } else if (command == "finger_mode") {
    ok = Block(body, out, false, error);
  } else if (command == "finger_control") {
    ok = Integer(body, out, "selector", 0, 255, error) &&
         Integer(body, out, "number", 0, 0xFFFFFFFF, error) &&
         Integer(body, out, "code", 0, 127, error);
  } else if (command == "device_passwords" || command == "finger_passwords") {
    ok = Passwords(body, out, error);
  } else if (command != "clock" && command != "read") {
    std::string known;
    for (const char* n : CommandNames()) {
      known += known.empty() ? n : std::string(", ") + n;
    }
    error = {"command", "unknown command \"" + command + "\" (one of " + known + ")"};
    return std::nullopt;
  }
  if (!ok) {
    return std::nullopt;
  }
  return out;
}

std::int32_t SendCommand(const Json& command, std::uint8_t* packet) {
  const std::string name = command["command"].get<std::string>();
  if (name == "control") {
    return SendControl(packet, command["code"].get<std::int32_t>(),
                       command["first"].get<std::int32_t>(), command["second"].get<std::int32_t>(),
                       command["third"].get<std::int32_t>());
  }
  if (name == "extra_output") {
    return SendExOutput(packet, command["value"].get<std::int32_t>());
  }
  if (name == "clock") {
    return SendTimer(packet);
  }
  if (name == "reader_mode") {
    const ModeBlock block = ToBlock(command["block"]);
    return SendReaderMoton(packet, &block);
  }
  if (name == "finger_mode") {
    const ModeBlock block = ToBlock(command["block"]);
    return SendFingerMoton(packet, &block);
  }
  if (name == "finger_control") {
    return SendFingerControl(packet, command["selector"].get<std::int32_t>(),
                             command["number"].get<std::uint32_t>(),
                             command["code"].get<std::int32_t>());
  }
  if (name == "device_passwords") {
    return SendPasswords(command, packet, SendDevicePassword);
  }
  if (name == "finger_passwords") {
    return SendPasswords(command, packet, SendFingerPassword);
  }
  return SendDeviceReadCommand(packet);
}

}  // namespace velkor::gateway
