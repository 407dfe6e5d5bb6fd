// A device's checks on a host's reply, and what the device does with a reply that passes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "DeviceCodec.h"
#include "DeviceSeal.h"
#include "WireBytes.h"

namespace velkor::sim {
namespace {

// Reply lengths.
constexpr std::size_t kLegacyEchoLength = 27;
constexpr std::size_t kCommandLength = 41;         // control, extra output, clock (current)
constexpr std::size_t kLegacyCommandLength = 102;  // anything in a legacy controller frame
constexpr std::size_t kFingerControlLength = 32;
constexpr std::size_t kModeLength = 31;
constexpr std::size_t kPasswordsLength = 66;
constexpr std::size_t kTemplateReplyLength = 154;
constexpr std::size_t kMaxCards = 88;
constexpr std::size_t kMaxGroups = 32;
constexpr std::size_t kMaxSchedules = 16;

constexpr std::uint8_t kFill = 0xAA;  // unused command and frame bytes
constexpr std::uint8_t kCommandFlag = 0x80;
constexpr std::uint8_t kClockOpcode = 0x80;
constexpr std::uint8_t kReaderModeOpcode = 0x90;
constexpr std::uint8_t kExtraOutputOpcode = 0xB0;
constexpr std::uint8_t kClockCommand = 0x00;  // current devices: command byte 27
constexpr std::uint8_t kExtraOutputCommand = 0x01;
constexpr int kMinutesPerDay = 24 * 60;

using Problem = std::string;  // empty when the reply is fine

Problem Say(const char* format, unsigned a = 0, unsigned b = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

bool AllFill(const Bytes& reply, std::size_t from, std::size_t to) {
  return std::all_of(reply.begin() + static_cast<std::ptrdiff_t>(from),
                     reply.begin() + static_cast<std::ptrdiff_t>(to + 1),
                     [](std::uint8_t b) { return b == kFill; });
}

Problem NeedLength(const Bytes& reply, std::size_t length) {
  return reply.size() == length ? Problem{} : Say("length %u, expected %u", reply.size(), length);
}

// The configuration a host's configuration record holds after this request: the request's own
// when it carried one, else nothing (all zero). Bytes 26..85 in the reply's layout.
Bytes ExpectedConfig(const Bytes& request) {
  Bytes config(60, 0);
  if (CarriesConfig(request)) {
    const bool legacy = request[wire::kType] == kLegacyType;
    std::copy(request.begin() + (legacy ? 27 : 26), request.begin() + 86,
              config.begin() + (legacy ? 1 : 0));
    if (!legacy) {
      config[65 - 26] = 0;  // the captured flag's place goes out as 0
    }
  }
  return config;
}

bool SameBytes(const Bytes& reply, std::size_t from, const Bytes& expected, std::size_t skip) {
  return std::equal(expected.begin() + static_cast<std::ptrdiff_t>(skip), expected.end(),
                    reply.begin() + static_cast<std::ptrdiff_t>(from + skip));
}

// Clock fields: plausible ranges, weekday consistent with the date, close to the device's
// own idea of the time.
Problem CheckClock(const ClockSetting& clock, const ReplyContext& context) {
  // A byte that is not packed decimal reads as -1.
  if (clock.second < 0 || clock.second > 59 || clock.minute < 0 || clock.minute > 59 ||
      clock.hour < 0 || clock.hour > 23 || clock.day < 1 || clock.day > 31 || clock.month < 1 ||
      clock.month > 12 || clock.year < 0) {
    return "clock fields out of range or not packed decimal";
  }
  std::tm fields{};
  fields.tm_year = 100 + clock.year;
  fields.tm_mon = clock.month - 1;
  fields.tm_mday = clock.day;
  fields.tm_hour = clock.hour;
  fields.tm_min = clock.minute;
  fields.tm_sec = clock.second;
  fields.tm_isdst = -1;
  const std::time_t when = std::mktime(&fields);
  if (fields.tm_mday != clock.day) {
    return "clock date does not exist";
  }
  if (clock.weekday >= 0 && clock.weekday != fields.tm_wday) {
    return Say("clock weekday %u, the date falls on %u", clock.weekday, fields.tm_wday);
  }
  if (context.now != 0 &&
      std::abs(std::difftime(when, context.now)) > context.clockToleranceSeconds) {
    return "clock setting is far from the local time";
  }
  return {};
}

int Bcd(const Bytes& reply, std::size_t at) {
  return FromBcd(reply[at]);
}

Problem CheckEcho(const Bytes& request, const Bytes& reply, Reply& out) {
  out.kind = ReplyKind::kEcho;
  if (request[wire::kType] != kLegacyType) {
    return NeedLength(reply, kHeadLength);
  }
  if (request[wire::kCode] == code::kModulePacket && reply[wire::kCode] != code::kControl) {
    return "a legacy module packet is echoed with code 0xF9";
  }
  if (Problem p = NeedLength(reply, kLegacyEchoLength); !p.empty()) {
    return p;
  }
  return reply[kPayload] == 0 ? Problem{} : "legacy echo byte 26 is not 0";
}

Problem CheckConfigReply(const Bytes& request, const Bytes& reply, Reply& out) {
  out.kind = ReplyKind::kConfig;
  if (Problem p = NeedLength(reply, kConfigLength); !p.empty()) {
    return p;
  }
  const bool legacy = request[wire::kType] == kLegacyType;
  if (!SameBytes(reply, kPayload, ExpectedConfig(request), legacy ? 1 : 0) ||
      (legacy && reply[kPayload] != 0)) {
    return "configuration differs from the one the device reported";
  }
  return {};
}

Problem CheckCards(const Bytes& reply, Reply& out) {
  out.kind = ReplyKind::kCards;
  const std::size_t payload = reply.size() - kPayload;
  if (payload % kCardStride != 0 || payload / kCardStride > kMaxCards) {
    return Say("card list of %u bytes is not a whole number of cards (at most 88)", reply.size());
  }
  for (std::size_t at = kPayload; at < reply.size(); at += kCardStride) {
    const std::uint8_t* r = reply.data() + at;
    Card card{GetBigEndian(r, 5), UnpackDigits(r + 5)};
    const int date[4] = {FromBcd(r[9]), FromBcd(r[10]), FromBcd(r[11]), FromBcd(r[12])};
    if (!IsPackedDigits(r + 5) || std::find(date, date + 4, -1) != date + 4 || (r[14] & 0x20)) {
      return Say("card %u is malformed (password field, date stamp or flag bit 5)",
                 (at - kPayload) / kCardStride);
    }
    card.year = static_cast<std::uint8_t>(date[0]);
    card.month = static_cast<std::uint8_t>(date[1]);
    card.day = static_cast<std::uint8_t>(date[2]);
    card.hour = static_cast<std::uint8_t>(date[3]);
    card.param = r[13];
    card.flags = r[14];
    out.cards.push_back(card);
  }
  return {};
}

Problem CheckGroups(const Bytes& reply, Reply& out) {
  out.kind = ReplyKind::kGroups;
  const std::size_t payload = reply.size() - kPayload;
  if (payload % kGroupStride != 0 || payload / kGroupStride > kMaxGroups) {
    return Say("group list of %u bytes is not a whole number of groups (at most 32)", reply.size());
  }
  for (std::size_t at = kPayload; at < reply.size(); at += kGroupStride) {
    const std::uint8_t* r = reply.data() + at;
    const std::size_t count = r[2];
    const bool slotsClosed =
        count <= 5 && std::all_of(r + 4 + 5 * count, r + 29, [](auto b) { return b == 0xFF; });
    if (r[0] >= kMaxGroups || !slotsClosed || (r[3] & 0xE0) || r[30] != 0 ||
        (r[31] != 0 && r[31] != 0xA4)) {
      return Say("group record %u is malformed", (at - kPayload) / kGroupStride);
    }
    Group group{r[0], r[1], {}, r[29], r[31] == 0xA4, r[3]};
    for (std::size_t i = 0; i < count; ++i) {
      group.cards.push_back(GetBigEndian(r + 4 + 5 * i, 5));
    }
    out.groups.push_back(group);
  }
  return {};
}

Problem CheckSchedules(const Bytes& reply, Reply& out) {
  out.kind = ReplyKind::kSchedules;
  const std::size_t payload = reply.size() - kPayload;
  if (payload % kScheduleStride != 0 || payload / kScheduleStride > kMaxSchedules) {
    return Say("schedule list of %u bytes is not a whole number of schedules (at most 16)",
               reply.size());
  }
  for (std::size_t at = kPayload; at < reply.size(); at += kScheduleStride) {
    const std::uint8_t* r = reply.data() + at;
    Schedule schedule{r[0], r[1], {}};
    for (std::size_t j = 0; j < 6; ++j) {
      const std::uint8_t* p = r + 2 + 5 * j;
      if (std::all_of(p, p + 5, [](std::uint8_t b) { return b == 0; })) {
        continue;  // no period
      }
      const int v[4] = {FromBcd(p[1]), FromBcd(p[2]), FromBcd(p[3]), FromBcd(p[4])};
      const int start = v[0] * 60 + v[1];
      const int end = v[2] * 60 + v[3];
      if (p[0] != 0xA5 || std::find(v, v + 4, -1) != v + 4 || start >= end ||
          end > kMinutesPerDay) {
        return Say("schedule %u period %u is malformed", (at - kPayload) / kScheduleStride,
                   static_cast<unsigned>(j));
      }
      schedule.periods[j] =
          Period{static_cast<std::uint8_t>(v[0]), static_cast<std::uint8_t>(v[1]),
                 static_cast<std::uint8_t>(v[2]), static_cast<std::uint8_t>(v[3])};
    }
    out.schedules.push_back(schedule);
  }
  return {};
}

Problem CheckPasswords(const Bytes& reply, ReplyKind kind, Reply& out) {
  out.kind = kind;
  if (Problem p = NeedLength(reply, kPasswordsLength); !p.empty()) {
    return p;
  }
  for (std::size_t i = 0; i < 10; ++i) {
    const std::uint8_t* field = reply.data() + kPayload + 4 * i;
    if (!IsPackedDigits(field)) {
      return Say("password %u is not a packed digit field", static_cast<unsigned>(i));
    }
    out.passwords[i] = UnpackDigits(field);
  }
  return {};
}

Problem CheckVoiceData(const Bytes& request, const Bytes& reply, Reply& out) {
  out.kind = ReplyKind::kVoiceData;
  if (reply.size() < kVoiceHead || reply[kPayload] != 0 || reply[27] != request[27] ||
      reply[28] != request[28]) {
    return "voice data reply lacks byte 26 = 0 or the request word";
  }
  out.voiceWord = static_cast<std::uint16_t>(GetBigEndian(&reply[27], 2));
  out.voiceData.assign(reply.begin() + kVoiceHead, reply.end());
  return {};
}

Problem CheckTemplate(const Bytes& request, const Bytes& reply, const ReplyContext& context,
                      Reply& out) {
  out.kind = ReplyKind::kFingerTemplate;
  if (request[wire::kCode] != code::kFingerRequest) {
    return "a template sent without a template request";
  }
  if (Problem p = NeedLength(reply, kTemplateReplyLength); !p.empty()) {
    return p;
  }
  out.templateSlot = request[kPayload];
  std::copy_n(reply.begin() + kPayload, kTemplateLength, out.fingerTemplate.begin());
  if (context.uploaded != nullptr) {
    const auto known = context.uploaded->find(out.templateSlot);
    if (known != context.uploaded->end() && known->second != out.fingerTemplate) {
      return Say("template for slot %u is not the one this device last uploaded", out.templateSlot);
    }
  }
  return {};
}

Problem CheckMode(const Bytes& request, const Bytes& reply, ReplyKind kind, Reply& out) {
  out.kind = kind;
  if (kind == ReplyKind::kReaderMode && request[wire::kType] == kLegacyType) {
    return "a legacy device takes its reader mode in a controller frame";
  }
  if (Problem p = NeedLength(reply, kModeLength); !p.empty()) {
    return p;
  }
  std::copy_n(reply.begin() + kPayload, out.mode.size(), out.mode.begin());
  return {};
}

Problem CheckFingerControl(const Bytes& reply, Reply& out) {
  out.kind = ReplyKind::kFingerControl;
  if (!(reply[27] & kCommandFlag)) {
    return "fingerprint control command without bit 7";
  }
  out.fingerControl = {reply[26], reply[27],
                       static_cast<std::uint32_t>(GetBigEndian(&reply[28], 4))};
  return {};
}

// A current device's command: byte 26 = 1, command byte 27, arguments, 0xAA up to byte 40.
Problem CheckCurrentCommand(const Bytes& reply, const ReplyContext& context, Reply& out) {
  if (reply[kPayload] != 1) {
    return "command byte 26 is not 1";
  }
  const std::uint8_t command = reply[27];
  if (command == kClockCommand) {
    out.kind = ReplyKind::kClock;
    out.clock = {Bcd(reply, 34), Bcd(reply, 33), Bcd(reply, 32), Bcd(reply, 30),
                 Bcd(reply, 29), Bcd(reply, 28), reply[31]};
    if (out.clock.weekday > 6 || !AllFill(reply, 35, 40)) {
      return "clock setting weekday or fill bytes wrong";
    }
    return CheckClock(out.clock, context);
  }
  if (command == kExtraOutputCommand) {
    out.kind = ReplyKind::kExtraOutput;
    out.extraOutput = reply[28];
    return AllFill(reply, 29, 40) ? Problem{} : "extra output fill bytes wrong";
  }
  if (command & kCommandFlag) {
    out.kind = ReplyKind::kControl;
    out.control = {command, {reply[28], reply[29], reply[30]}};
    return AllFill(reply, 31, 40) ? Problem{} : "control command fill bytes wrong";
  }
  return Say("unknown command byte 0x%02X", command);
}

// A legacy controller frame at bytes 86..101 of a 102-byte reply that repeats the module's
// configuration in bytes 27..85.
Problem CheckLegacyCommand(const Bytes& request, const Bytes& reply, const ReplyContext& context,
                           Reply& out) {
  if (reply[kPayload] != 1) {
    return "command byte 26 is not 1";
  }
  if (!SameBytes(reply, kPayload, ExpectedConfig(request), 1)) {
    return "controller frame reply does not repeat the module configuration";
  }
  const std::uint8_t* frame = reply.data() + kLegacyFrame;
  if (frame[0] != 0x5A || frame[1] != 0x5A || frame[14] != 0xA5 || frame[15] != 0xA5 ||
      frame[13] != FrameSum(frame + 2)) {
    return "controller frame start, sum or end bytes wrong";
  }
  const std::uint8_t opcode = frame[2];
  if (opcode == kClockOpcode) {
    out.kind = ReplyKind::kClock;
    out.clock = {Bcd(reply, 89),
                 Bcd(reply, 90),
                 Bcd(reply, 91),
                 Bcd(reply, 92),
                 Bcd(reply, 93),
                 Bcd(reply, 94),
                 -1};
    return AllFill(reply, 95, 98) ? CheckClock(out.clock, context) : "clock frame fill wrong";
  }
  if (opcode == kExtraOutputOpcode) {
    out.kind = ReplyKind::kExtraOutput;
    out.extraOutput = reply[89];
    return AllFill(reply, 90, 98) ? Problem{} : "extra output frame fill wrong";
  }
  if (opcode == kReaderModeOpcode) {
    out.kind = ReplyKind::kReaderMode;
    const int first = Bcd(reply, 89);
    const int second = Bcd(reply, 90);
    out.mode = {static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(second), reply[91],
                reply[92], reply[93]};
    return first >= 0 && second >= 0 && AllFill(reply, 94, 98) ? Problem{}
                                                               : "reader mode frame malformed";
  }
  if (opcode & kCommandFlag) {
    out.kind = ReplyKind::kControl;
    out.control = {opcode, {reply[89], reply[90], reply[91]}};
    return AllFill(reply, 92, 98) ? Problem{} : "control frame fill wrong";
  }
  return Say("unknown frame opcode 0x%02X", opcode);
}

// 0xF9 is the echo to a legacy module packet, a fingerprint control command, or a command
// (current layout or legacy frame).
Problem CheckControlCode(const Bytes& request, const Bytes& reply, const ReplyContext& context,
                         Reply& out) {
  const bool legacy = request[wire::kType] == kLegacyType;
  if (legacy && request[wire::kCode] == code::kModulePacket && reply.size() == kLegacyEchoLength) {
    return CheckEcho(request, reply, out);
  }
  if (reply.size() == kFingerControlLength) {
    return CheckFingerControl(reply, out);
  }
  if (Problem p = NeedLength(reply, legacy ? kLegacyCommandLength : kCommandLength); !p.empty()) {
    out.kind = ReplyKind::kControl;
    return p;
  }
  return legacy ? CheckLegacyCommand(request, reply, context, out)
                : CheckCurrentCommand(reply, context, out);
}

Problem CheckPayload(const Bytes& request, const Bytes& reply, const ReplyContext& context,
                     Reply& out) {
  const bool legacy = request[wire::kType] == kLegacyType;
  switch (reply[wire::kCode]) {
    case code::kEcho:
      return CheckEcho(request, reply, out);
    case code::kReadCommand:
      out.kind = ReplyKind::kReadCommand;
      return NeedLength(reply, kHeadLength);
    case code::kConfigReply:
      return CheckConfigReply(request, reply, out);
    case code::kCards:
      return CheckCards(reply, out);
    case code::kGroups:
      return CheckGroups(reply, out);
    case code::kSchedules:
      return CheckSchedules(reply, out);
    case code::kPasswords:
      if (legacy && request[wire::kCode] == code::kVoiceRequest) {
        return CheckVoiceData(request, reply, out);
      }
      return CheckPasswords(reply, ReplyKind::kPasswords, out);
    case code::kFingerPasswords:
      return CheckPasswords(reply, ReplyKind::kFingerPasswords, out);
    case code::kControl:
      return CheckControlCode(request, reply, context, out);
    case code::kReaderMode:
      return CheckMode(request, reply, ReplyKind::kReaderMode, out);
    case code::kFingerMode:
      return CheckMode(request, reply, ReplyKind::kFingerMode, out);
    case code::kFingerTemplate:
      return CheckTemplate(request, reply, context, out);
    default:
      return Say("unknown command code 0x%02X", reply[wire::kCode]);
  }
}

}  // namespace

const char* ReplyName(ReplyKind kind) {
  static constexpr const char* kNames[kReplyKinds] = {
      "echo",          "read command",    "configuration",   "card list",
      "group list",    "schedule list",   "passwords",       "fingerprint passwords",
      "clock setting", "control command", "extra output",    "reader mode",
      "finger mode",   "finger control",  "finger template", "voice data"};
  return kNames[static_cast<std::size_t>(kind)];
}

ReplyCheck CheckReply(const Bytes& request, const Bytes& reply, const ReplyContext& context) {
  ReplyCheck check;
  if (reply.size() < kHeadLength) {
    check.problem = Say("reply of %u bytes is shorter than its head", reply.size());
    return check;
  }
  if (!std::equal(request.begin() + 1, request.begin() + 10, reply.begin() + 1)) {
    check.problem = "bytes 1..9 differ from the packet answered";
    return check;
  }
  devicekit::Block plain{};
  if (!devicekit::OpenReply(reply.data(), plain)) {
    check.problem = "security block does not open under the outgoing key";
    return check;
  }
  if (!std::equal(plain.begin() + 8, plain.begin() + 14, request.begin() + wire::kBlockTail)) {
    check.problem = "security block bytes 8..13 not carried back";
    return check;
  }
  check.problem = CheckPayload(request, reply, context, check.reply);
  check.ok = check.problem.empty();
  return check;
}

void ApplyReply(DeviceState& device, const Reply& reply) {
  switch (reply.kind) {
    case ReplyKind::kCards:
      device.cards = reply.cards;
      break;
    case ReplyKind::kGroups:
      device.groups = reply.groups;
      break;
    case ReplyKind::kSchedules:
      device.schedules = reply.schedules;
      break;
    case ReplyKind::kPasswords:
      device.passwords = reply.passwords;
      break;
    case ReplyKind::kFingerPasswords:
      device.fingerPasswords = reply.passwords;
      break;
    case ReplyKind::kClock:
      device.clock = reply.clock;
      break;
    case ReplyKind::kControl:
      device.lastControl = reply.control;
      break;
    case ReplyKind::kExtraOutput:
      device.extraOutput = reply.extraOutput;
      break;
    case ReplyKind::kReaderMode:
      device.readerMode = reply.mode;
      break;
    case ReplyKind::kFingerMode:
      device.fingerMode = reply.mode;
      break;
    case ReplyKind::kFingerControl:
      device.lastFingerControl = reply.fingerControl;
      break;
    case ReplyKind::kFingerTemplate:
      device.templates[reply.templateSlot] = reply.fingerTemplate;
      break;
    case ReplyKind::kVoiceData:
      device.voiceClips[reply.voiceWord] = reply.voiceData;
      break;
    case ReplyKind::kEcho:
    case ReplyKind::kReadCommand:
    case ReplyKind::kConfig:
      break;  // nothing to keep
  }
}

}  // namespace velkor::sim
