// What a simulated device holds: identity, network module configuration, firmware, card list,
// multi-card groups, work-time schedules, passwords, mode blocks, clock, outputs, fingerprint
// templates, voice clips and the events it reports. Plain values, so that the device codec can
// build packets from it and a verified reply can be applied to it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velkor::sim {

using Bytes = std::vector<std::uint8_t>;

// The device type byte (packet byte 2) tells the generations apart.
inline constexpr std::uint8_t kLegacyType = 0;   // legacy controller behind a network module
inline constexpr std::uint8_t kCurrentType = 1;  // current device

inline constexpr std::size_t kTemplateLength = 128;
using Template = std::array<std::uint8_t, kTemplateLength>;
using ModeBlock = std::array<std::uint8_t, 5>;

struct Card {
  std::uint64_t number = 0;  // 40 bits travel
  std::string password;      // up to eight digits
  std::uint8_t year = 0;     // date stamp, two decimal digits each
  std::uint8_t month = 0;
  std::uint8_t day = 0;
  std::uint8_t hour = 0;
  std::uint8_t param = 0;
  std::uint8_t flags = 0;  // card flag byte; bit 5 is never set
  bool operator==(const Card&) const = default;
};

struct Group {
  std::uint8_t number = 0;  // 0..31
  std::uint8_t param1 = 0;
  std::vector<std::uint64_t> cards;  // up to five member cards, in order
  std::uint8_t param2 = 0;
  bool enabled = false;
  std::uint8_t flags = 0;  // bits 0..4
  bool operator==(const Group&) const = default;
};

struct Period {
  std::uint8_t startHour = 0;
  std::uint8_t startMinute = 0;
  std::uint8_t endHour = 0;
  std::uint8_t endMinute = 0;
  bool operator==(const Period&) const = default;
};

struct Schedule {
  std::uint8_t param0 = 0;
  std::uint8_t param1 = 0;
  std::array<std::optional<Period>, 6> periods;  // empty = no period
  bool operator==(const Schedule&) const = default;
};

// A clock setting as the device reads it. The weekday (0 = Sunday .. 6) travels only to
// current devices; legacy frames carry none (-1).
struct ClockSetting {
  int year = 0;  // two digits
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = -1;
  bool operator==(const ClockSetting&) const = default;
};

// The network module's configuration, by field; the two words go high byte first on the wire.
struct ModuleConfig {
  std::uint8_t lead = 0;
  std::array<std::uint8_t, 4> address{};
  std::uint16_t firstWord = 0;
  std::uint16_t secondWord = 0;
  std::array<std::uint8_t, 30> block30{};
  std::array<std::uint8_t, 20> block20{};
};

// One event record: byte 0 is the kind (current device) or the frame opcode whose high
// nibble is the kind (legacy device); bytes 1..15 (legacy: 1..10) carry the data.
struct Event {
  std::array<std::uint8_t, 16> bytes{};
};

// An event record as it travelled (a legacy device's 16-byte controller frame), and whether a
// reply to a report carrying it was verified.
struct LoggedEvent {
  std::array<std::uint8_t, 16> raw{};
  bool verified = false;
};

struct ControlCommand {
  std::uint8_t command = 0;  // bit 7 set
  std::array<std::uint8_t, 3> arguments{};
  bool operator==(const ControlCommand&) const = default;
};

struct FingerControl {
  std::uint8_t selector = 0;
  std::uint8_t command = 0;
  std::uint32_t number = 0;
  bool operator==(const FingerControl&) const = default;
};

struct DeviceState {
  std::uint8_t type = kCurrentType;
  std::uint64_t serial = 0;                 // 56 bits
  std::array<std::uint8_t, 6> blockTail{};  // security block bytes 8..13, carried back
  ModuleConfig config;
  std::uint8_t legacyFirmware = 0x23;    // two packed decimal digits
  std::string currentFirmware = "1000";  // four ASCII digits
  std::vector<Card> cards;
  std::vector<Group> groups;
  std::vector<Schedule> schedules;
  std::array<std::string, 10> passwords;
  std::array<std::string, 10> fingerPasswords;
  ModeBlock readerMode{};
  ModeBlock fingerMode{};
  std::optional<ClockSetting> clock;
  std::optional<ControlCommand> lastControl;
  std::optional<FingerControl> lastFingerControl;
  int extraOutput = -1;
  std::map<std::uint8_t, Template> templates;  // by lead byte (the template slot)
  std::map<std::uint8_t, Template> uploaded;   // the templates it uploaded itself, by slot
  std::map<std::uint16_t, Bytes> voiceClips;   // by request word
  std::uint64_t nextEventNumber = 1;
  std::vector<LoggedEvent> eventLog;  // every event record it reported, once

  bool IsLegacy() const { return type == kLegacyType; }
};

}  // namespace velkor::sim
