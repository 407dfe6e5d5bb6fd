// Host replies, decoded from their wire layouts: the library builds them but reads none back.
#include <algorithm>
#include <cstring>
#include <string>

#include "DecodeParts.h"
#include "Fields.h"

namespace velkor::inspect::detail {
namespace {

constexpr std::uint8_t kFill = 0xAA;  // unused bytes of commands and legacy frames

// Legacy reply: configuration echo at 27..85, legacy controller frame at 86..101.
constexpr std::size_t kLegacyReply = 102;
constexpr std::size_t kFrame = 86;
constexpr std::size_t kOpcode = 88;
constexpr std::size_t kFrameData = 89;
constexpr std::size_t kFrameDataLength = 10;
constexpr std::size_t kFrameSum = 99;

bool AllFill(const std::uint8_t* bytes, std::size_t count) {
  return std::all_of(bytes, bytes + count, [](std::uint8_t b) { return b == kFill; });
}

std::int64_t CardNumber(const std::uint8_t* bytes) {
  return static_cast<std::int64_t>(BigEndian(bytes, 5));
}

void Cards(Context& c) {
  c.family = "cards";
  Json list = Json::array();
  const std::size_t n = (c.length - kHead) / 15;
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint8_t* r = c.bytes + kHead + 15 * k;
    CardRecord card{};
    card.cardNumber = CardNumber(r);
    const std::string password = PackedDigits(r + 5);
    std::memcpy(card.password, password.data(), password.size());
    card.year = static_cast<std::int16_t>(Bcd(r[9]));
    card.month = static_cast<std::uint8_t>(Bcd(r[10]));
    card.day = static_cast<std::uint8_t>(Bcd(r[11]));
    card.hour = static_cast<std::uint8_t>(Bcd(r[12]));
    card.param = r[13];
    const std::uint8_t flags = r[14];
    card.flag0 = flags & 0x01;
    card.flag1 = (flags >> 1) & 1;
    card.flag2 = (flags >> 2) & 1;
    card.flag3 = (flags >> 3) & 1;
    card.flag4 = (flags >> 4) & 1;
    card.flag6 = (flags >> 6) & 1;
    card.flag7 = (flags >> 7) & 1;
    list.push_back(CardFields(card));
  }
  c.payload["cards"] = std::move(list);
  if ((c.length - kHead) % 15 != 0) {
    c.Note("a partial card record at the end is ignored");
  }
}

void Groups(Context& c) {
  c.family = "groups";
  Json list = Json::array();
  const std::size_t n = (c.length - kHead) / 32;
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint8_t* r = c.bytes + kHead + 32 * k;
    MultiCardGroup group{};
    group.groupNumber = r[0];
    group.param1 = r[1];
    const std::size_t filled = std::min<std::size_t>(r[2], 5);
    for (std::size_t i = 0; i < 5; ++i) {
      group.cardNumbers[i] = i < filled ? CardNumber(r + 4 + 5 * i) : -1;
    }
    group.flag0 = r[3] & 0x01;
    group.flag1 = (r[3] >> 1) & 1;
    group.flag2 = (r[3] >> 2) & 1;
    group.flag3 = (r[3] >> 3) & 1;
    group.flag4 = (r[3] >> 4) & 1;
    group.param2 = r[29];
    group.enabled = r[31] == 0xA4;
    list.push_back(GroupFields(group));
    if (r[0] >= 32) {
      c.Note("group record " + std::to_string(k) + " is numbered " + std::to_string(r[0]) +
             "; devices hold groups 0..31");
    }
  }
  c.payload["groups"] = std::move(list);
  if (n > 32) {
    c.Note("more than 32 group records");
  }
}

void Schedules(Context& c) {
  c.family = "schedules";
  Json list = Json::array();
  const std::size_t n = (c.length - kHead) / 32;
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint8_t* r = c.bytes + kHead + 32 * k;
    WorkTimeSchedule schedule{};
    schedule.param0 = r[0];
    schedule.param1 = r[1];
    for (std::size_t j = 0; j < 6; ++j) {
      const std::uint8_t* p = r + 2 + 5 * j;
      WorkTimePeriod& period = schedule.periods[j];
      const bool present = p[0] == 0xA5;  // period marker
      period.startHour = present ? static_cast<std::uint8_t>(Bcd(p[1])) : 255;
      period.startMinute = present ? static_cast<std::uint8_t>(Bcd(p[2])) : 255;
      period.endHour = present ? static_cast<std::uint8_t>(Bcd(p[3])) : 255;
      period.endMinute = present ? static_cast<std::uint8_t>(Bcd(p[4])) : 255;
    }
    list.push_back(ScheduleFields(schedule));
  }
  c.payload["schedules"] = std::move(list);
  if (n > 16) {
    c.Note("more than 16 schedule records");
  }
}

void Passwords(Context& c, const char* family) {
  c.family = family;
  if (!c.Need(66, "the ten password fields")) {
    return;
  }
  Json list = Json::array();
  for (std::size_t i = 0; i < 10; ++i) {
    list.push_back(Json(PackedDigits(c.bytes + kHead + 4 * i)));
  }
  c.payload["passwords"] = std::move(list);
}

void VoiceData(Context& c) {
  c.family = "voice-data";
  c.payload["request"] = Json(static_cast<std::int64_t>(BigEndian(c.bytes + 27, 2)));
  c.payload["data"] = HexBytes(c.bytes + 29, c.length - 29);
}

// The configuration record from a legacy echo at 27..85 (words high byte first on the wire).
void LegacyEcho(const std::uint8_t* bytes, std::uint8_t* record) {
  std::memset(record, 0, kConfigLength);
  record[0] = bytes[35];
  std::memcpy(record + 1, bytes + 31, 4);
  record[5] = bytes[28];
  record[6] = bytes[27];
  record[7] = bytes[30];
  record[8] = bytes[29];
  std::memcpy(record + 9, bytes + 36, 30);
  std::memcpy(record + 40, bytes + 66, 20);
}

void Configuration(Context& c) {
  c.family = "configuration";
  if (!c.Need(86, "the configuration")) {
    return;
  }
  std::uint8_t record[kConfigLength];
  if (c.legacy()) {
    LegacyEcho(c.bytes, record);
  } else {
    std::memcpy(record, c.bytes + kHead, kConfigLength);
    std::swap(record[5], record[6]);
    std::swap(record[7], record[8]);
    if (record[39] != 0) {
      c.Note("byte 65 is not 0");
    }
  }
  c.payload["configuration"] = ConfigFields(record, false);
}

Json Clock(int year, int month, int day, int hour, int minute, int second) {
  Json clock = Json::object();
  clock["year"] = Json(year);
  clock["month"] = Json(month);
  clock["day"] = Json(day);
  clock["hour"] = Json(hour);
  clock["minute"] = Json(minute);
  clock["second"] = Json(second);
  return clock;
}

Json Arguments(const std::uint8_t* bytes) {
  Json args = Json::array();
  for (int i = 0; i < 3; ++i) {
    args.push_back(Json(bytes[i]));
  }
  return args;
}

// A legacy reply: byte 26 = 1, the configuration echo, and the controller frame, whose opcode
// names the command. Opcodes 0x80 and 0x90 are shared by a control command with the command
// values 0x00 and 0x10; the data bytes the clock and the reader mode fill tell them apart.
void LegacyFrame(Context& c) {
  const std::uint8_t* b = c.bytes;
  std::uint8_t record[kConfigLength];
  LegacyEcho(b, record);
  c.payload["configuration"] = ConfigFields(record, false);

  unsigned sum = 0;
  for (std::size_t i = kOpcode; i < kFrameSum; ++i) {
    sum += b[i];
  }
  Json frame = Json::object();
  frame["opcode"] = Json(b[kOpcode]);
  frame["data"] = HexBytes(b + kFrameData, kFrameDataLength);
  frame["sum"] = Json(b[kFrameSum]);
  frame["sumOk"] = Json(b[kFrameSum] == (sum & 0xFF));
  frame["framingOk"] =
      Json(b[kFrame] == 0x5A && b[kFrame + 1] == 0x5A && b[100] == 0xA5 && b[101] == 0xA5);
  c.payload["frame"] = std::move(frame);
  if (b[kHead] != 1) {
    c.Note("byte 26 of a legacy frame reply is not 1");
  }

  const std::uint8_t op = b[kOpcode];
  const std::uint8_t* d = b + kFrameData;
  if (op == 0xB0 && AllFill(d + 1, 9)) {
    c.family = "extra-output";
    c.payload["value"] = Json(d[0]);
  } else if (op == 0x80 && !AllFill(d + 3, 3)) {
    c.family = "clock";
    c.payload["clock"] = Clock(Bcd(d[0]), Bcd(d[1]), Bcd(d[2]), Bcd(d[3]), Bcd(d[4]), Bcd(d[5]));
  } else if (op == 0x90 && !AllFill(d + 3, 2)) {
    c.family = "reader-mode";
    Json mode = Json::array();
    mode.push_back(Json(Bcd(d[0])));  // the first two settings travel as decimal numbers
    mode.push_back(Json(Bcd(d[1])));
    for (int i = 2; i < 5; ++i) {
      mode.push_back(Json(d[i]));
    }
    c.payload["mode"] = std::move(mode);
  } else if ((op & 0x80) != 0) {
    c.family = "control";
    c.payload["command"] = Json(op & 0x7F);
    c.payload["arguments"] = Arguments(d);
  } else {
    c.family = "legacy-frame";
  }
}

// Commands to a current device: byte 26 = 1 and the command byte at 27.
void CurrentCommand(Context& c) {
  const std::uint8_t* b = c.bytes;
  const std::uint8_t command = b[27];
  if (b[kHead] != 1) {
    c.Note("byte 26 of a command is not 1");
  }
  if (command == 0x00) {
    c.family = "clock";
    Json clock = Clock(Bcd(b[34]), Bcd(b[33]), Bcd(b[32]), Bcd(b[30]), Bcd(b[29]), Bcd(b[28]));
    clock["weekday"] = Json(b[31]);  // plain number, Sunday 0
    c.payload["clock"] = std::move(clock);
  } else if (command == 0x01) {
    c.family = "extra-output";
    c.payload["value"] = Json(b[28]);
  } else if ((command & 0x80) != 0) {
    c.family = "control";
    c.payload["command"] = Json(command & 0x7F);
    c.payload["arguments"] = Arguments(b + 28);
  } else {
    c.payload["bytes"] = HexBytes(b + kHead, c.length - kHead);
  }
}

void FingerControl(Context& c) {
  c.family = "finger-control";
  const std::uint8_t* b = c.bytes;
  c.payload["selector"] = Json(b[26]);
  c.payload["command"] = Json(b[27] & 0x7F);
  c.payload["number"] = Json(static_cast<std::int64_t>(BigEndian(b + 28, 4)));
}

// Code 0xF9 covers every command to a device: the length and the generation tell which.
void ControlCode(Context& c) {
  if (c.length == 27 && c.legacy()) {
    c.family = "echo";  // the legacy echo to a network module packet (0xFA)
  } else if (c.length == 32) {
    FingerControl(c);
  } else if (c.length == kLegacyReply && c.legacy()) {
    LegacyFrame(c);
  } else if (c.length == 41 && !c.legacy()) {
    CurrentCommand(c);
  } else {
    c.payload["bytes"] = HexBytes(c.bytes + kHead, c.length - kHead);
    c.Note("no command of this length and generation");
  }
}

void Mode(Context& c, const char* family) {
  c.family = family;
  if (!c.Need(31, "the mode block")) {
    return;
  }
  ModeBlock block{};
  std::memcpy(block.settings, c.bytes + kHead, 5);
  c.payload["mode"] = ModeFields(block);
}

}  // namespace

void DecodeReply(Context& c) {
  switch (c.code()) {
    case 0xF7:
      Cards(c);
      return;
    case 0xF5:
      Groups(c);
      return;
    case 0xF3:
      Schedules(c);
      return;
    case 0xF1:
      // Device passwords and the voice data reply share the code; passwords are 66 bytes.
      if (c.length == 66 || c.length < 29) {
        Passwords(c, "device-passwords");
        if (c.length == 66 && c.legacy() && c.bytes[kHead] == 0) {
          c.Note("a legacy voice data reply of 37 bytes would look the same");
        }
      } else {
        VoiceData(c);
      }
      return;
    case 0xE7:
      Passwords(c, "finger-passwords");
      return;
    case 0xFE:
      Configuration(c);
      return;
    case 0xFD:
      c.family = "read";
      return;
    case 0x00:
      c.family = "echo";
      return;
    case 0xF9:
      ControlCode(c);
      return;
    case 0xEB:
      c.family = "template";
      if (c.Need(154, "the template")) {
        c.payload["template"] = HexBytes(c.bytes + kHead, 128);
      }
      return;
    case 0xED:
      Mode(c, "finger-mode");
      return;
    case 0xEF:
      Mode(c, "reader-mode");
      return;
    default:
      c.payload["bytes"] = HexBytes(c.bytes + kHead, c.length - kHead);
      return;
  }
}

}  // namespace velkor::inspect::detail
