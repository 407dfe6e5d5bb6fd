#include "Decode.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "DecodeParts.h"
#include "DeviceSeal.h"
#include "Fields.h"
#include "Hex.h"
#include "velkorlink.h"

namespace velkor::inspect {
namespace detail {

bool Context::Need(std::size_t end, const char* what) {
  if (length >= end) {
    return true;
  }
  Note(std::string(what) + " needs " + std::to_string(end) + " bytes, the packet has " +
       std::to_string(length));
  return false;
}

std::uint64_t BigEndian(const std::uint8_t* bytes, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    value = value << 8 | bytes[i];
  }
  return value;
}

int Bcd(std::uint8_t byte) {
  return (byte >> 4) * 10 + (byte & 0x0F);
}

std::string PackedDigits(const std::uint8_t* field) {
  std::string digits;
  for (int i = 0; i < 4; ++i) {
    for (int nibble : {field[i] >> 4, field[i] & 0x0F}) {
      if (nibble > 9) {
        return digits;
      }
      digits.push_back(static_cast<char>('0' + nibble));
    }
  }
  return digits;
}

}  // namespace detail

namespace {

using detail::Context;
using detail::kHead;

// The library reads and writes past a short packet's end (configuration bytes up to 85,
// a password text at 76..84, a template up to 155, events as far as their count reaches), so
// the copy it works on is zero-filled to cover the farthest of these: a legacy event packet
// whose count byte is 255.
constexpr std::size_t kWorkBytes = 86 + 16 * 256;

constexpr std::size_t kSerial = 3;
constexpr std::size_t kSerialLength = 7;
constexpr std::size_t kBlock = 10;
constexpr std::size_t kCopyLength = 8;  // block bytes 0..7 repeat packet bytes 2..9
constexpr std::size_t kFree = 8;        // block bytes 8..13, carried into replies
constexpr std::size_t kFreeLength = 6;

// ---- The security block ----

struct Opening {
  bool opens = false;
  bool copy = false;
  bool check = false;
  devicekit::Block plain{};
};

Opening TryKey(const std::uint8_t* bytes, const char* key_text) {
  Opening o;
  o.opens = devicekit::OpenBlock(bytes, key_text, o.plain);
  o.copy = std::memcmp(o.plain.data(), bytes + 2, kCopyLength) == 0;
  // The check value over the plain block, computed where CheckValue expects it.
  std::uint8_t scratch[kHead] = {};
  std::memcpy(scratch + kBlock, o.plain.data(), o.plain.size());
  const std::uint16_t check = devicekit::CheckValue(scratch);
  o.check = o.plain[14] == (check >> 8) && o.plain[15] == (check & 0xFF);
  return o;
}

std::string WhyNot(const Opening& o) {
  if (!o.copy && !o.check) {
    return "type and serial copy differ, check value wrong";
  }
  return o.copy ? "check value wrong" : "type and serial copy differ";
}

// The reconnect packet travels unsealed: the first 8 characters of the outgoing key text and
// the whole incoming key text in plain.
bool IsReconnect(const std::uint8_t* bytes, std::size_t length) {
  return length == kHead && bytes[0] == 0xFE && bytes[1] == 0 &&
         std::memcmp(bytes + 2, devicekit::kOutgoingKeyText, 8) == 0 &&
         std::memcmp(bytes + kBlock, devicekit::kIncomingKeyText, 16) == 0;
}

Json Head(const std::uint8_t* bytes, const devicekit::Block* plain) {
  Json head = Json::object();
  head["code"] = Json(bytes[0]);
  head["byte1"] = Json(bytes[1]);
  head["type"] = Json(bytes[2]);
  head["generation"] = Json(bytes[2] == detail::kLegacyType ? "legacy" : "current");
  std::string serial = FormatHex(bytes + kSerial, kSerialLength);
  serial.erase(std::remove(serial.begin(), serial.end(), ' '), serial.end());
  head["serial"] = Json(serial);
  if (plain != nullptr) {
    head["free"] = HexBytes(plain->data() + kFree, kFreeLength);
  }
  return head;
}

// ---- Device packets, through the library ----

// Event records in packet order; GetEvents hands them out last to first.
void DecodeEvents(Context& c, std::uint8_t* work) {
  c.family = "events";
  if (!c.Need(kHead + 1, "the record count")) {
    return;
  }
  const std::size_t first = c.legacy() ? 86 : 27;
  const std::size_t held = c.length >= first ? (c.length - first) / 16 : 0;
  const std::size_t count = work[kHead];
  c.payload["count"] = Json(static_cast<std::int64_t>(count));
  if (count > held) {
    c.Note("the count announces " + std::to_string(count) + " records, the packet holds " +
           std::to_string(held) + "; decoding those");
    work[kHead] = static_cast<std::uint8_t>(held);
  }
  std::vector<Json> records;
  EventRecord event{};
  while (GetEvents(work, &event)) {
    const std::size_t k = work[kHead];
    Json fields = EventFields(event);
    Json record = Json::object();
    record["index"] = Json(static_cast<std::int64_t>(k));
    record["bytes"] = HexBytes(c.bytes + first + 16 * k, 16);
    for (const auto& [name, value] : fields.items()) {
      record[name] = value;
    }
    records.push_back(std::move(record));
  }
  Json list = Json::array();
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    list.push_back(std::move(*it));
  }
  c.payload["records"] = std::move(list);
}

void DecodeCards(Context& c, const std::uint8_t* work) {
  c.family = "cards";
  std::vector<CardRecord> cards((c.length - kHead) / 15 + 1);
  const std::int32_t n = GetCards(work, static_cast<std::uint32_t>(c.length), cards.data());
  Json list = Json::array();
  for (std::int32_t i = 0; i < n; ++i) {
    list.push_back(CardFields(cards[static_cast<std::size_t>(i)]));
  }
  c.payload["cards"] = std::move(list);
  if ((c.length - kHead) % 15 != 0) {
    c.Note("a partial card record at the end is ignored");
  }
}

void DecodeGroups(Context& c, const std::uint8_t* work) {
  c.family = "groups";
  MultiCardGroup groups[32];
  const std::int32_t n = GetMultiCards(work, static_cast<std::uint32_t>(c.length), groups);
  Json list = Json::array();
  for (std::int32_t i = 0; i < n; ++i) {
    list.push_back(GroupFields(groups[i]));
  }
  c.payload["groups"] = std::move(list);
  const std::size_t records = (c.length - kHead) / 32;
  if (records > 32) {
    c.Note("only the first 32 of " + std::to_string(records) + " group records are read");
  }
  if (static_cast<std::size_t>(n) < std::min<std::size_t>(records, 32)) {
    c.Note("groups numbered 32 or more are skipped");
  }
}

void DecodeSchedules(Context& c, const std::uint8_t* work) {
  c.family = "schedules";
  WorkTimeSchedule schedules[16];
  const std::int32_t n = GetWorkTime(work, static_cast<std::uint32_t>(c.length), schedules);
  Json list = Json::array();
  for (std::int32_t i = 0; i < n; ++i) {
    list.push_back(ScheduleFields(schedules[i]));
  }
  c.payload["schedules"] = std::move(list);
  const std::size_t records = (c.length - kHead) / 32;
  if (records > 16) {
    c.Note("only the first 16 of " + std::to_string(records) + " schedule records are read");
  }
}

void DecodeConfiguration(Context& c, const std::uint8_t* work) {
  c.family = c.code() == 0xFC ? "firmware" : "configuration";
  if (c.code() == 0xFC) {
    if (!c.legacy()) {
      c.Need(90, "the firmware version digits");
    }
    c.payload["firmware"] = Json(GetFirmwareVersion(work));
  }
  const std::uint8_t* record = ReadNetConfigration();
  if (record[39] != 0) {
    c.Note("the library captured no configuration from this packet");
    return;
  }
  if (!c.legacy() && c.length < 86) {
    c.Note("configuration bytes past the packet's end read as 0");
  }
  c.payload["configuration"] = ConfigFields(record, true);
}

void DecodeVoiceRequest(Context& c, std::uint8_t* work) {
  c.family = "voice-request";
  if (!c.legacy()) {
    c.Note("a current device's 0xF2 is not a voice data request; the library leaves it as is");
    return;
  }
  // The sound buffer sits at an odd offset: read its 16-bit elements byte by byte.
  std::uint8_t elements[4];
  std::memcpy(elements, GetSoundBuffer(work), sizeof elements);
  const std::size_t count = static_cast<std::size_t>(elements[0] | elements[1] << 8);
  c.payload["count"] = Json(static_cast<std::int64_t>(count));
  c.payload["request"] = Json(elements[2] | elements[3] << 8);
  c.payload["data"] = HexBytes(work + 29, std::min(count, c.length - 29));
}

void DecodeMode(Context& c, const std::uint8_t* work) {
  const bool reader = c.code() == 0xEE;
  c.family = reader ? "reader-mode" : "finger-mode";
  if (!c.Need(31, "the mode block")) {
    return;
  }
  ModeBlock block{};
  const bool ok = reader ? GetReaderMoton(work, &block) : GetFingerMoton(work, &block);
  if (ok) {
    c.payload["mode"] = ModeFields(block);
  }
}

void DecodeTemplate(Context& c, const std::uint8_t* work) {
  const bool upload = c.code() == 0xE8;
  c.family = upload ? "template-upload" : "template-request";
  if (!c.Need(upload ? 156 : 33, upload ? "the template" : "the template number")) {
    return;
  }
  FingerDataRecord record{};
  GetFingerData(work, &record);
  c.payload["leadByte"] = Json(record.leadByte);
  c.payload["lowBits"] = Json(record.lowBits);
  if (upload) {
    c.payload["template"] = HexBytes(record.templateData, sizeof record.templateData);
  } else {
    c.payload["lowNibble"] = Json(record.lowNibble);
    c.payload["number"] = Json(std::uint32_t{record.number});
  }
}

void DecodeDevicePacket(Context& c, std::uint8_t* work) {
  switch (c.code()) {
    case 0x01:  // our devices' event report
      DecodeEvents(c, work);
      return;
    case 0x02:  // a plain poll: the head alone
      c.family = "poll";
      return;
    case 0xF8:
      DecodeCards(c, work);
      return;
    case 0xF6:
      DecodeGroups(c, work);
      return;
    case 0xF4:
      DecodeSchedules(c, work);
      return;
    case 0xFA:
    case 0xFC:
    case 0xFF:
      DecodeConfiguration(c, work);
      return;
    case 0xF2:
      DecodeVoiceRequest(c, work);
      return;
    case 0xEE:
    case 0xEC:
      DecodeMode(c, work);
      return;
    case 0xE8:
    case 0xEA:
      DecodeTemplate(c, work);
      return;
    case 0xF9:
      c.family = "finger-control-report";
      if (c.Need(kHead + 1, "the report byte")) {
        c.payload["report"] = Json(GetFingerControl(work));
      }
      return;
    default:
      c.payload["bytes"] = HexBytes(c.bytes + kHead, c.length - kHead);
      return;
  }
}

}  // namespace

Json InspectPacket(const std::uint8_t* bytes, std::size_t length) {
  Json report = Json::object();
  report["length"] = Json(static_cast<std::int64_t>(length));

  // The library's own verdict, on a copy large enough for everything it may touch.
  std::vector<std::uint8_t> work(std::max(length, kWorkBytes), 0);
  if (length > 0) {
    std::memcpy(work.data(), bytes, length);
  }
  const std::int32_t prepare = PreparePackage(work.data(), static_cast<std::uint32_t>(length));

  if (length < kHead) {
    report["key"] = Json("none");
    report["direction"] = Json("unknown");
    report["prepare"] = Json(prepare);
    report["family"] = Json("short");
    Json notes = Json::array();
    notes.push_back(Json("shorter than the 26-byte head"));
    report["notes"] = std::move(notes);
    return report;
  }

  const Opening incoming = TryKey(bytes, devicekit::kIncomingKeyText);
  const Opening outgoing = incoming.opens ? Opening{} : TryKey(bytes, devicekit::kOutgoingKeyText);
  const bool reconnect = !incoming.opens && !outgoing.opens && IsReconnect(bytes, length);
  const char* key = incoming.opens   ? "incoming"
                    : outgoing.opens ? "outgoing"
                    : reconnect      ? "unsealed"
                                     : "none";
  report["key"] = Json(key);
  report["direction"] = Json(incoming.opens   ? "device-to-host"
                             : outgoing.opens ? "host-to-device"
                             : reconnect      ? "host-to-device"
                                              : "unknown");
  report["prepare"] = Json(prepare);
  const devicekit::Block* plain = incoming.opens   ? &incoming.plain
                                  : outgoing.opens ? &outgoing.plain
                                                   : nullptr;
  report["head"] = Head(bytes, plain);

  Json block = Json::object();
  if (plain != nullptr) {
    block["check"] = Json((*plain)[14] << 8 | (*plain)[15]);
  } else if (!reconnect) {
    block["incoming"] = Json(WhyNot(incoming));
    block["outgoing"] = Json(WhyNot(TryKey(bytes, devicekit::kOutgoingKeyText)));
  }
  report["block"] = std::move(block);

  Context c{bytes, length};
  if (incoming.opens) {
    if (prepare == 0) {
      c.family = "dropped";
      c.Note(bytes[0] == 0 ? "the library drops an accepted packet whose command code is 0"
                           : "the library drops a legacy voice data request below 29 bytes");
    } else {
      DecodeDevicePacket(c, work.data());
    }
  } else if (outgoing.opens) {
    detail::DecodeReply(c);
  } else if (reconnect) {
    c.family = "reconnect";
  } else {
    c.family = "sealed";
    c.Note("neither link key text opens the security block");
  }
  report["family"] = Json(c.family);
  if (!c.payload.empty()) {
    report["payload"] = std::move(c.payload);
  }
  if (!c.notes.empty()) {
    report["notes"] = std::move(c.notes);
  }
  return report;
}

}  // namespace velkor::inspect
