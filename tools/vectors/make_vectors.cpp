// velkor-make-vectors: writes the link's test vectors, vectors.json and vectors.pcap, into the
// folder given as its argument.
//
// Device packets are composed here from the wire layouts and sealed as a device seals them;
// host replies are built by the library's Send functions on an accepted device packet. Each
// vector's expected fields come from what the sample was made of (the records handed to a
// Send function, the values written into a device packet), never from decoding the bytes, so
// that a decoder checked against the file is checked against the wire format.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "DeviceSeal.h"
#include "Fields.h"
#include "Hex.h"
#include "Json.h"
#include "velkorlink.h"
#include "velkorutils.h"

namespace {

using velkor::inspect::CardFields;
using velkor::inspect::ConfigFields;
using velkor::inspect::EventFields;
using velkor::inspect::FormatHex;
using velkor::inspect::GroupFields;
using velkor::inspect::Json;
using velkor::inspect::ModeFields;
using velkor::inspect::ScheduleFields;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kCurrent = 1;
constexpr std::uint8_t kLegacy = 0;
constexpr std::uint64_t kCurrentSerial = 0x00112233445566;
constexpr std::uint64_t kLegacySerial = 0x000000000A0B0C;
constexpr std::uint8_t kFree[6] = {0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D};  // block bytes 8..13
constexpr std::size_t kReplyBuffer = 2048;

std::uint64_t SerialOf(std::uint8_t type) {
  return type == kLegacy ? kLegacySerial : kCurrentSerial;
}

// ---- Device side ----

// A device packet before sealing: code, type, serial, the free block bytes, payload zero.
Bytes Device(std::uint8_t code, std::uint8_t type, std::size_t length) {
  Bytes b(length, 0);
  b[0] = code;
  b[2] = type;
  for (int i = 0; i < 7; ++i) {
    b[3 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(SerialOf(type) >> (8 * (6 - i)));
  }
  std::memcpy(b.data() + 18, kFree, sizeof kFree);
  return b;
}

Bytes Sealed(Bytes b) {
  velkor::devicekit::SealAsDevice(b.data());
  return b;
}

void Put(Bytes& b, std::size_t at, std::initializer_list<std::uint8_t> bytes) {
  for (std::uint8_t v : bytes) {
    b.at(at++) = v;
  }
}

void PutBigEndian(std::uint8_t* at, std::uint64_t value, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    at[i] = static_cast<std::uint8_t>(value >> (8 * (count - 1 - i)));
  }
}

std::uint8_t ToBcd(int value) {
  return static_cast<std::uint8_t>((value / 10) << 4 | value % 10);
}

// A digit text of at most 8 digits as a packed digit field.
void PutDigits(std::uint8_t* at, const char* digits) {
  std::memset(at, 0xFF, 4);
  for (std::size_t i = 0; i < 8 && digits[i] != '\0'; ++i) {
    const std::uint8_t d = static_cast<std::uint8_t>(digits[i] - '0');
    at[i / 2] = i % 2 == 0 ? static_cast<std::uint8_t>(d << 4 | 0x0F)
                           : static_cast<std::uint8_t>((at[i / 2] & 0xF0) | d);
  }
}

// The network module's configuration, and where each generation carries it.
struct NetConfig {
  std::uint8_t lead = 0x01;
  std::uint8_t field4[4] = {0xC0, 0xA8, 0x01, 0x64};
  std::uint16_t word1 = 8080;
  std::uint16_t word2 = 6001;
  std::uint8_t block30[30] = {};
  std::uint8_t block20[20] = {};

  NetConfig() {
    for (std::uint8_t i = 0; i < 30; ++i) {
      block30[i] = static_cast<std::uint8_t>(0x30 + i);
    }
    for (std::uint8_t i = 0; i < 20; ++i) {
      block20[i] = static_cast<std::uint8_t>(0xB0 + i);
    }
  }
  // The library's record: words low byte first, captured flag at 39.
  Json Fields(bool with_captured_flag) const {
    std::uint8_t record[60] = {};
    record[0] = lead;
    std::memcpy(record + 1, field4, 4);
    record[5] = static_cast<std::uint8_t>(word1 & 0xFF);
    record[6] = static_cast<std::uint8_t>(word1 >> 8);
    record[7] = static_cast<std::uint8_t>(word2 & 0xFF);
    record[8] = static_cast<std::uint8_t>(word2 >> 8);
    std::memcpy(record + 9, block30, 30);
    std::memcpy(record + 40, block20, 20);
    return ConfigFields(record, with_captured_flag);
  }
  void WriteCurrent(Bytes& b) const {
    b.at(26) = lead;
    std::memcpy(&b.at(27), field4, 4);
    PutBigEndian(&b.at(31), word1, 2);
    PutBigEndian(&b.at(33), word2, 2);
    std::memcpy(&b.at(35), block30, 30);
    b.at(65) = 0x77;  // the captured flag's place: ignored on capture
    std::memcpy(&b.at(66), block20, 20);
  }
  void WriteLegacy(Bytes& b) const {
    PutBigEndian(&b.at(27), word1, 2);
    PutBigEndian(&b.at(29), word2, 2);
    std::memcpy(&b.at(31), field4, 4);
    b.at(35) = lead;
    std::memcpy(&b.at(36), block30, 30);
    std::memcpy(&b.at(66), block20, 20);
  }
};

// ---- Host side: replies built by the library ----

// Accepts `request` as a host does and lets `send` build the reply in the same buffer.
Bytes Reply(const Bytes& request, const std::function<std::int32_t(std::uint8_t*)>& send,
            const std::function<void(std::uint8_t*)>& host_work = nullptr) {
  Bytes buffer(kReplyBuffer, 0);
  std::memcpy(buffer.data(), request.data(), request.size());
  if (PreparePackage(buffer.data(), static_cast<std::uint32_t>(request.size())) == 0) {
    std::fprintf(stderr, "velkor-make-vectors: a request was refused\n");
    std::exit(1);
  }
  if (host_work) {
    host_work(buffer.data());
  }
  const std::int32_t length = send(buffer.data());
  buffer.resize(static_cast<std::size_t>(length));
  return buffer;
}

// ---- The vectors ----

struct Vector {
  std::string name;
  std::string description;
  Bytes bytes;
  std::int32_t prepare = 0;
  std::string key;
  std::string family;
  Json head;
  std::optional<Json> payload;
};

Json Head(std::uint8_t code, std::uint8_t type, bool opened) {
  Json head = Json::object();
  head["code"] = Json(code);
  head["byte1"] = Json(0);
  head["type"] = Json(type);
  head["generation"] = Json(type == kLegacy ? "legacy" : "current");
  char serial[16];
  std::snprintf(serial, sizeof serial, "%014llX", static_cast<unsigned long long>(SerialOf(type)));
  head["serial"] = Json(serial);
  if (opened) {
    head["free"] = Json(FormatHex(kFree, sizeof kFree));
  }
  return head;
}

Json Object(std::initializer_list<std::pair<const char*, Json>> members) {
  Json j = Json::object();
  for (const auto& [name, value] : members) {
    j[name] = value;
  }
  return j;
}

Json Array(const std::vector<Json>& items) {
  Json j = Json::array();
  for (const Json& item : items) {
    j.push_back(item);
  }
  return j;
}

Json Hex(const std::uint8_t* bytes, std::size_t count) {
  return Json(FormatHex(bytes, count));
}

class Collection {
 public:
  void Device(std::string name, std::string description, Bytes bytes, std::string family,
              std::optional<Json> payload = std::nullopt) {
    const std::uint8_t code = bytes[0], type = bytes[2];
    Add({std::move(name), std::move(description), std::move(bytes), code, "incoming",
         std::move(family), Head(code, type, true), std::move(payload)});
  }
  void Host(std::string name, std::string description, Bytes bytes, std::string family,
            std::optional<Json> payload = std::nullopt) {
    const std::uint8_t code = bytes[0], type = bytes[2];
    Add({std::move(name), std::move(description), std::move(bytes), 0, "outgoing",
         std::move(family), Head(code, type, true), std::move(payload)});
  }
  void Add(Vector v) { vectors_.push_back(std::move(v)); }
  const std::vector<Vector>& vectors() const { return vectors_; }

 private:
  std::vector<Vector> vectors_;
};

// Device packets of every family, as a device sends them.
void DevicePackets(Collection& out) {
  out.Device("poll", "a plain poll (our code 0x02): the head alone",
             Sealed(Device(0x02, kCurrent, 26)), "poll");

  {  // Events of a current device: record k at 27 + 16k.
    struct Sample {
      Bytes record;
      EventRecord expected;
    };
    const auto event = [](std::uint8_t kind) {
      EventRecord e{};
      e.kind = kind;
      e.value1 = e.value2 = e.value3 = e.value4 = e.value5 = e.value6 = e.value7 = e.value8 = -1;
      e.cardNumber = -1;
      return e;
    };
    std::vector<Sample> samples;
    {  // kind 0, code group 0: four readings
      EventRecord e = event(0);
      e.number = 0x000102030405;
      e.code = 0x05;
      e.value1 = 0x11, e.value2 = 0x22, e.value3 = 0x33, e.value4 = 0x44;
      samples.push_back({{0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x05, 0x11, 0x22, 0x33, 0x44,
                          0x55, 0x66, 0x00, 0x00},
                         e});
    }
    {  // kind 3, code group 8: a card number
      EventRecord e = event(3);
      e.number = 0xA1A2A3A4A5A6;
      e.code = 0x83;
      e.value6 = 7;
      e.cardNumber = 0x0012345678;
      samples.push_back({{0x03, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0x83, 0x07, 0x00, 0x12, 0x34,
                          0x56, 0x78, 0x00, 0x00},
                         e});
    }
    {  // kind 0, code group 9: a digit text
      EventRecord e = event(0);
      e.number = 0x42;
      e.code = 0x93;
      e.value6 = 2;
      std::memcpy(e.digits, "12345", 5);
      samples.push_back({{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x42, 0x93, 0x02, 0x12, 0x34, 0x5F,
                          0xFF, 0x00, 0x00, 0x00},
                         e});
    }
    {  // kind 0, code group 0xF: hundreds in BCD
      EventRecord e = event(0);
      e.number = 1;
      e.code = 0xF3;
      e.value6 = 1200;
      samples.push_back({{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xF3, 0x99, 0x12, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00},
                         e});
    }
    {  // kind 1: an alarm
      EventRecord e = event(1);
      e.code = 0x21;
      e.value6 = 9;
      e.value7 = 10;
      samples.push_back({{0x01, 0x21, 0x09, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, e});
    }
    {  // kind 2: a status, two BCD bytes and three plain ones
      EventRecord e = event(2);
      e.value1 = 12, e.value2 = 34, e.value3 = 0x56, e.value4 = 0x78, e.value5 = 0x9A;
      samples.push_back({{0x02, 0x12, 0x34, 0x56, 0x78, 0x9A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, e});
    }
    {  // kind 4: a 16-bit number
      EventRecord e = event(4);
      e.number = 0x1234;
      e.value6 = 0x05;
      e.value7 = 0x06;
      samples.push_back({{0x04, 0x12, 0x34, 0x05, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, e});
    }
    // kind 7: consumed without decoding
    samples.push_back({{0x07, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, event(7)});

    Bytes b = Device(0x01, kCurrent, 27 + 16 * samples.size());
    b[26] = static_cast<std::uint8_t>(samples.size());
    Json records = Json::array();
    for (std::size_t k = 0; k < samples.size(); ++k) {
      std::memcpy(&b[27 + 16 * k], samples[k].record.data(), 16);
      Json r = Object({{"index", Json(static_cast<std::int64_t>(k))},
                       {"bytes", Hex(samples[k].record.data(), 16)}});
      const Json fields = EventFields(samples[k].expected);
      for (const auto& [name, value] : fields.items()) {
        r[name] = value;
      }
      records.push_back(std::move(r));
    }
    out.Device(
        "events-current",
        "event report of a current device (our code 0x01): every kind and several code "
        "groups",
        Sealed(b), "events",
        Object({{"count", Json(static_cast<std::int64_t>(samples.size()))}, {"records", records}}));
  }

  {  // Events of a legacy device: one controller frame per record from byte 86.
    struct Sample {
      std::uint8_t opcode;
      std::vector<std::uint8_t> data;  // ten data bytes
      EventRecord expected;
    };
    const auto event = [](std::uint8_t kind) {
      EventRecord e{};
      e.kind = kind;
      e.value1 = e.value2 = e.value3 = e.value4 = e.value5 = e.value6 = e.value7 = e.value8 = -1;
      e.cardNumber = -1;
      return e;
    };
    std::vector<Sample> samples;
    {
      EventRecord e = event(0);
      e.number = 0x010203040506;
      e.code = 0x12;
      e.value5 = 0x33, e.value7 = 0x44, e.value8 = 0x55;
      samples.push_back({0x07, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x12, 0x33, 0x44, 0x55}, e});
    }
    {
      EventRecord e = event(3);
      e.number = 0x000000000100;
      e.code = 0x70;
      e.value6 = 2500;
      samples.push_back({0x3F, {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x70, 0x25, 0x00, 0x00}, e});
    }
    {
      EventRecord e = event(2);
      e.value1 = 12, e.value2 = 34, e.value3 = 0x01, e.value4 = 0x02, e.value5 = 0x03;
      samples.push_back({0x2A, {0x12, 0x34, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}, e});
    }
    {
      EventRecord e = event(4);
      e.number = 0xBEEF;
      e.value6 = 0x01, e.value7 = 0x02;
      samples.push_back({0x45, {0xBE, 0xEF, 0x01, 0x02, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}, e});
    }
    {
      EventRecord e = event(1);
      e.code = 0x31;
      e.value6 = 0x04;
      samples.push_back({0x10, {0x31, 0x04, 0x0B, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}, e});
    }
    Bytes b = Device(0x01, kLegacy, 86 + 16 * samples.size());
    b[26] = static_cast<std::uint8_t>(samples.size());
    Json records = Json::array();
    for (std::size_t k = 0; k < samples.size(); ++k) {
      std::uint8_t* frame = &b[86 + 16 * k];
      frame[0] = frame[1] = 0x5A;
      frame[2] = samples[k].opcode;
      std::memcpy(frame + 3, samples[k].data.data(), 10);
      frame[13] = static_cast<std::uint8_t>(SumByte(frame + 2, 11));
      frame[14] = frame[15] = 0xA5;
      Json r = Object({{"index", Json(static_cast<std::int64_t>(k))}, {"bytes", Hex(frame, 16)}});
      const Json fields = EventFields(samples[k].expected);
      for (const auto& [name, value] : fields.items()) {
        r[name] = value;
      }
      records.push_back(std::move(r));
    }
    out.Device(
        "events-legacy",
        "event report of a legacy device (our code 0x01): records are controller frames, "
        "the kind in the opcode's high nibble",
        Sealed(b), "events",
        Object({{"count", Json(static_cast<std::int64_t>(samples.size()))}, {"records", records}}));
  }

  {  // Card list (0xF8)
    std::vector<CardRecord> cards(3);
    cards[0] = {.cardNumber = 0x0000ABCDEF01,
                .password = "1234",
                .year = 24,
                .month = 3,
                .day = 9,
                .hour = 23,
                .param = 0x5A,
                .flag0 = 1,
                .flag1 = 0,
                .flag2 = 1,
                .flag3 = 0,
                .flag4 = 0,
                .flag7 = 1,
                .flag6 = 0};
    cards[1] = {.cardNumber = 0xFFFFFFFFFF,
                .password = "87654321",
                .year = 99,
                .month = 12,
                .day = 31,
                .hour = 0,
                .param = 0x00,
                .flag0 = 1,
                .flag1 = 1,
                .flag2 = 1,
                .flag3 = 1,
                .flag4 = 1,
                .flag7 = 1,
                .flag6 = 1};
    cards[2] = {.cardNumber = 0,
                .password = "",
                .year = 0,
                .month = 1,
                .day = 1,
                .hour = 12,
                .param = 0xFF,
                .flag0 = 0,
                .flag1 = 0,
                .flag2 = 0,
                .flag3 = 0,
                .flag4 = 0,
                .flag7 = 0,
                .flag6 = 1};
    Bytes b = Device(0xF8, kCurrent, 26 + 15 * cards.size());
    Json list = Json::array();
    for (std::size_t k = 0; k < cards.size(); ++k) {
      const CardRecord& c = cards[k];
      std::uint8_t* r = &b[26 + 15 * k];
      PutBigEndian(r, static_cast<std::uint64_t>(c.cardNumber), 5);
      PutDigits(r + 5, c.password);
      r[9] = ToBcd(c.year);
      r[10] = ToBcd(c.month);
      r[11] = ToBcd(c.day);
      r[12] = ToBcd(c.hour);
      r[13] = c.param;
      r[14] = static_cast<std::uint8_t>(c.flag0 | c.flag1 << 1 | c.flag2 << 2 | c.flag3 << 3 |
                                        c.flag4 << 4 | c.flag6 << 6 | c.flag7 << 7);
      list.push_back(CardFields(c));
    }
    out.Device("cards-device", "a device's card list (0xF8), three cards", Sealed(b), "cards",
               Object({{"cards", list}}));
  }

  {  // Multi-card groups (0xF6): a group numbered 40 is skipped by the library
    struct Sample {
      MultiCardGroup group;
      std::uint8_t count;
      bool expected;
    };
    std::vector<Sample> samples;
    samples.push_back({{.groupNumber = 5,
                        .param1 = 0x11,
                        .cardNumbers = {0x0102030405, 0x0A0B0C0D0E, -1, -1, -1},
                        .param2 = 0x22,
                        .enabled = 1,
                        .flag0 = 1,
                        .flag1 = 0,
                        .flag2 = 0,
                        .flag3 = 0,
                        .flag4 = 1},
                       2,
                       true});
    samples.push_back({{.groupNumber = 40,
                        .param1 = 0,
                        .cardNumbers = {1, -1, -1, -1, -1},
                        .param2 = 0,
                        .enabled = 1,
                        .flag0 = 0,
                        .flag1 = 0,
                        .flag2 = 0,
                        .flag3 = 0,
                        .flag4 = 0},
                       1,
                       false});
    samples.push_back({{.groupNumber = 31,
                        .param1 = 0x33,
                        .cardNumbers = {-1, -1, -1, -1, -1},
                        .param2 = 0x44,
                        .enabled = 0,
                        .flag0 = 1,
                        .flag1 = 1,
                        .flag2 = 1,
                        .flag3 = 1,
                        .flag4 = 1},
                       0,
                       true});
    Bytes b = Device(0xF6, kCurrent, 26 + 32 * samples.size());
    Json list = Json::array();
    for (std::size_t k = 0; k < samples.size(); ++k) {
      const MultiCardGroup& g = samples[k].group;
      std::uint8_t* r = &b[26 + 32 * k];
      r[0] = g.groupNumber;
      r[1] = g.param1;
      r[2] = samples[k].count;
      r[3] = static_cast<std::uint8_t>(g.flag0 | g.flag1 << 1 | g.flag2 << 2 | g.flag3 << 3 |
                                       g.flag4 << 4);
      std::memset(r + 4, 0xFF, 25);
      for (std::size_t i = 0; i < samples[k].count; ++i) {
        PutBigEndian(r + 4 + 5 * i, static_cast<std::uint64_t>(g.cardNumbers[i]), 5);
      }
      r[29] = g.param2;
      r[31] = g.enabled ? 0xA4 : 0x00;
      if (samples[k].expected) {
        list.push_back(GroupFields(g));
      }
    }
    out.Device("groups-device",
               "a device's multi-card groups (0xF6); the group numbered 40 is skipped", Sealed(b),
               "groups", Object({{"groups", list}}));
  }

  {  // Work-time schedules (0xF4)
    WorkTimeSchedule s0{.param0 = 0x01, .param1 = 0x02, .periods = {}};
    WorkTimeSchedule s1{.param0 = 0xFE, .param1 = 0x00, .periods = {}};
    const WorkTimePeriod absent{255, 255, 255, 255};
    for (WorkTimePeriod& p : s0.periods) {
      p = absent;
    }
    for (WorkTimePeriod& p : s1.periods) {
      p = absent;
    }
    s0.periods[0] = {8, 0, 12, 0};
    s0.periods[1] = {13, 30, 17, 45};
    s1.periods[5] = {0, 0, 24, 0};
    Bytes b = Device(0xF4, kCurrent, 26 + 64);
    Json list = Json::array();
    std::size_t k = 0;
    for (const WorkTimeSchedule* s : {&s0, &s1}) {
      std::uint8_t* r = &b[26 + 32 * k++];
      r[0] = s->param0;
      r[1] = s->param1;
      for (std::size_t j = 0; j < 6; ++j) {
        const WorkTimePeriod& p = s->periods[j];
        if (p.startHour != 255) {
          std::uint8_t* w = r + 2 + 5 * j;
          w[0] = 0xA5;
          w[1] = ToBcd(p.startHour);
          w[2] = ToBcd(p.startMinute);
          w[3] = ToBcd(p.endHour);
          w[4] = ToBcd(p.endMinute);
        }
      }
      list.push_back(ScheduleFields(*s));
    }
    out.Device("schedules-device", "a device's work-time schedules (0xF4)", Sealed(b), "schedules",
               Object({{"schedules", list}}));
  }

  const NetConfig config;
  {
    Bytes b = Device(0xFF, kCurrent, 86);
    config.WriteCurrent(b);
    out.Device("configuration-current",
               "a current device's network configuration (0xFF), captured by the library",
               Sealed(b), "configuration", Object({{"configuration", config.Fields(true)}}));
  }
  {
    Bytes b = Device(0xFA, kLegacy, 86);
    config.WriteLegacy(b);
    out.Device("configuration-legacy", "a legacy network module packet (0xFA), captured", Sealed(b),
               "configuration", Object({{"configuration", config.Fields(true)}}));
  }
  {
    Bytes b = Device(0xFC, kCurrent, 90);
    config.WriteCurrent(b);
    Put(b, 86, {'1', '2', '3', '4'});
    out.Device("firmware-current",
               "a current device's firmware report (0xFC): four ASCII digits at 86..89", Sealed(b),
               "firmware",
               Object({{"firmware", Json(1234)}, {"configuration", config.Fields(true)}}));
  }
  {
    Bytes b = Device(0xFC, kLegacy, 86);
    config.WriteLegacy(b);
    b[26] = 0x23;
    out.Device("firmware-legacy", "a legacy firmware report (0xFC): BCD 23 at byte 26", Sealed(b),
               "firmware",
               Object({{"firmware", Json(2300)}, {"configuration", config.Fields(true)}}));
  }
  {
    Bytes b = Device(0xF2, kLegacy, 40);
    Put(b, 27, {0x01, 0x02});
    for (std::size_t i = 29; i < 40; ++i) {
      b[i] = static_cast<std::uint8_t>(0xD0 + i - 29);
    }
    out.Device("voice-request",
               "a legacy voice data request (0xF2): request word 0x0102, eleven bytes after it",
               Sealed(b), "voice-request",
               Object({{"count", Json(11)}, {"request", Json(0x0102)}, {"data", Hex(&b[29], 11)}}));
  }
  const ModeBlock mode{{0x03, 0x10, 0x00, 0xFF, 0x7E}};
  for (const auto& [code, name, family] : {std::tuple{0xEE, "reader-mode-report", "reader-mode"},
                                           std::tuple{0xEC, "finger-mode-report", "finger-mode"}}) {
    Bytes b = Device(static_cast<std::uint8_t>(code), kCurrent, 31);
    std::memcpy(&b[26], mode.settings, 5);
    out.Device(name, std::string("a ") + family + " report: the five settings at 26..30", Sealed(b),
               family, Object({{"mode", ModeFields(mode)}}));
  }
  {
    Bytes b = Device(0xE8, kCurrent, 156);
    Put(b, 26, {0x03, 0xFE});
    for (std::size_t i = 0; i < 128; ++i) {
      b[28 + i] = static_cast<std::uint8_t>(i * 3 + 1);
    }
    out.Device(
        "template-upload", "a fingerprint template upload (0xE8)", Sealed(b), "template-upload",
        Object({{"leadByte", Json(3)}, {"lowBits", Json(2)}, {"template", Hex(&b[28], 128)}}));
  }
  {
    Bytes b = Device(0xEA, kCurrent, 33);
    Put(b, 26, {0x01, 0x07, 0xA5, 0x00, 0x00, 0x30, 0x39});
    out.Device("template-request", "a fingerprint template request (0xEA) for number 12345",
               Sealed(b), "template-request",
               Object({{"leadByte", Json(1)},
                       {"lowBits", Json(3)},
                       {"lowNibble", Json(5)},
                       {"number", Json(12345)}}));
  }
  {
    Bytes b = Device(0xF9, kCurrent, 27);
    b[26] = 7;
    out.Device("finger-control-report", "a fingerprint control report (0xF9 from a device)",
               Sealed(b), "finger-control-report", Object({{"report", Json(7)}}));
  }
}

// Host replies of every family, each built by the library on an accepted device packet.
void HostReplies(Collection& out) {
  const Bytes poll_current = Sealed(Device(0x02, kCurrent, 26));
  const Bytes poll_legacy = Sealed(Device(0x02, kLegacy, 26));
  const NetConfig config;
  Bytes module = Device(0xFA, kLegacy, 86);
  config.WriteLegacy(module);
  module = Sealed(module);
  Bytes current_config = Device(0xFF, kCurrent, 86);
  config.WriteCurrent(current_config);
  current_config = Sealed(current_config);

  {
    CardRecord cards[2] = {{.cardNumber = 0x7F0000ABCDEF01,
                            .password = "12345678",
                            .year = 25,
                            .month = 6,
                            .day = 30,
                            .hour = 7,
                            .param = 0x42,
                            .flag0 = 0,
                            .flag1 = 1,
                            .flag2 = 0,
                            .flag3 = 1,
                            .flag4 = 0,
                            .flag7 = 0,
                            .flag6 = 1},
                           {.cardNumber = 99,
                            .password = "12a4",
                            .year = 1,
                            .month = 2,
                            .day = 3,
                            .hour = 4,
                            .param = 0,
                            .flag0 = 7,
                            .flag1 = 0,
                            .flag2 = 0,
                            .flag3 = 0,
                            .flag4 = 9,
                            .flag7 = 0,
                            .flag6 = 0}};
    std::memcpy(cards[0].password, "123456789", 9);  // nine digits, no room for a NUL
    // Read back: 40 bits of the card number, eight digits, the digits before a letter, and
    // every non-zero flag as set.
    CardRecord expected[2] = {cards[0], cards[1]};
    expected[0].cardNumber = 0xABCDEF01;
    std::memcpy(expected[0].password, "12345678", 9);
    std::memcpy(expected[1].password, "12\0\0", 4);
    expected[1].flag0 = expected[1].flag4 = 1;
    out.Host("cards-reply",
             "a card list for a device (0xF7): a card number above 40 bits, nine digits, a "
             "password cut at a letter",
             Reply(poll_current, [&](std::uint8_t* p) { return SendCards(p, 2, cards); }), "cards",
             Object({{"cards", Array({CardFields(expected[0]), CardFields(expected[1])})}}));
  }
  {
    MultiCardGroup groups[2] = {{.groupNumber = 3,
                                 .param1 = 0x10,
                                 .cardNumbers = {-1, 0x1111111111, -2, 0x2222222222, -1},
                                 .param2 = 0x20,
                                 .enabled = 1,
                                 .flag0 = 0,
                                 .flag1 = 1,
                                 .flag2 = 0,
                                 .flag3 = 1,
                                 .flag4 = 0},
                                {.groupNumber = 4,
                                 .param1 = 0,
                                 .cardNumbers = {0, -1, -1, -1, -1},
                                 .param2 = 0,
                                 .enabled = 0,
                                 .flag0 = 0,
                                 .flag1 = 0,
                                 .flag2 = 0,
                                 .flag3 = 0,
                                 .flag4 = 0}};
    MultiCardGroup expected[2] = {groups[0], groups[1]};
    expected[0].cardNumbers[0] = 0x1111111111;  // filled slots close up in their order
    expected[0].cardNumbers[1] = 0x2222222222;
    expected[0].cardNumbers[2] = -1;
    expected[0].cardNumbers[3] = -1;
    out.Host("groups-reply",
             "multi-card groups for a device (0xF5): empty slots between cards close up; card "
             "number 0 is a member",
             Reply(poll_current, [&](std::uint8_t* p) { return SendMultiCards(p, 2, groups); }),
             "groups",
             Object({{"groups", Array({GroupFields(expected[0]), GroupFields(expected[1])})}}));
  }
  {
    WorkTimeSchedule schedule{.param0 = 0x0A, .param1 = 0x0B, .periods = {}};
    schedule.periods[0] = {7, 30, 11, 45};
    schedule.periods[1] = {0, 0, 24, 0};
    schedule.periods[2] = {12, 0, 12, 0};   // start not before end: absent
    schedule.periods[3] = {23, 59, 24, 1};  // ends past 24:00: absent
    schedule.periods[4] = {0, 0, 0, 0};
    schedule.periods[5] = {255, 255, 255, 255};
    WorkTimeSchedule expected = schedule;
    for (std::size_t j = 2; j < 6; ++j) {
      expected.periods[j] = {255, 255, 255, 255};
    }
    out.Host("schedules-reply",
             "a work-time schedule for a device (0xF3): invalid periods go out as absent",
             Reply(poll_current, [&](std::uint8_t* p) { return SendWorkTime(p, 1, &schedule); }),
             "schedules", Object({{"schedules", Array({ScheduleFields(expected)})}}));
  }
  {
    const Json passwords =
        Array({Json("12345678"), Json(""), Json("42"), Json(""), Json("12345678"), Json("0"),
               Json(""), Json(""), Json(""), Json("99999999")});
    const auto send = [](std::int32_t (*f)(std::uint8_t*, const char*, const char*, const char*,
                                           const char*, const char*, const char*, const char*,
                                           const char*, const char*, const char*)) {
      return [f](std::uint8_t* p) {
        return f(p, "12345678", nullptr, "42", "", "123456789", "0", "x1", nullptr, nullptr,
                 "99999999");
      };
    };
    out.Host("device-passwords",
             "ten device passwords (0xF1): null and empty texts, nine digits cut to eight",
             Reply(poll_current, send(SendDevicePassword)), "device-passwords",
             Object({{"passwords", passwords}}));
    out.Host("finger-passwords", "the same ten texts as fingerprint passwords (0xE7)",
             Reply(poll_current, send(SendFingerPassword)), "finger-passwords",
             Object({{"passwords", passwords}}));
  }
  out.Host("configuration-reply-current",
           "the captured configuration sent back to a current device (0xFE)",
           Reply(current_config, SendNetConfigration), "configuration",
           Object({{"configuration", config.Fields(false)}}));
  out.Host("configuration-reply-legacy",
           "the captured configuration sent back to a legacy network module (0xFE)",
           Reply(module, SendNetConfigration), "configuration",
           Object({{"configuration", config.Fields(false)}}));
  out.Host("read-command", "the read command (0xFD): the head alone",
           Reply(poll_current, SendDeviceReadCommand), "read");
  out.Host("echo-current", "echo to a current device (0x00, 26 bytes)",
           Reply(poll_current, SendDeviceEcho), "echo");
  out.Host("echo-legacy", "echo to a legacy device (0x00, 27 bytes)",
           Reply(poll_legacy, SendDeviceEcho), "echo");
  out.Host("echo-module", "echo to a legacy network module packet (0xF9, 27 bytes)",
           Reply(module, SendDeviceEcho), "echo");

  const auto frame = [&](const char* data, int sum) {
    std::string error;
    const Bytes bytes = *velkor::inspect::ParseHex(data, error);
    return Object({{"opcode", Json(bytes[0])},
                   {"data", Hex(bytes.data() + 1, 10)},
                   {"sum", Json(sum)},
                   {"sumOk", Json(true)},
                   {"framingOk", Json(true)}});
  };
  const auto arguments = [](std::initializer_list<int> values) {
    Json a = Json::array();
    for (int v : values) {
      a.push_back(Json(v));
    }
    return a;
  };
  out.Host(
      "control-current", "control command 0x02 with arguments 10 20 30 (0xF9, 41 bytes)",
      Reply(poll_current, [](std::uint8_t* p) { return SendControl(p, 0x02, 0x10, 0x20, 0x30); }),
      "control", Object({{"command", Json(0x02)}, {"arguments", arguments({0x10, 0x20, 0x30})}}));
  out.Host("control-legacy",
           "the same control command in a legacy controller frame, after the module's "
           "configuration",
           Reply(module, [](std::uint8_t* p) { return SendControl(p, 0x02, 0x10, 0x20, 0x30); }),
           "control",
           Object({{"configuration", config.Fields(false)},
                   {"frame", frame("82 10 20 30 AA AA AA AA AA AA AA", 0x88)},
                   {"command", Json(0x02)},
                   {"arguments", arguments({0x10, 0x20, 0x30})}}));
  out.Host("extra-output-current", "extra output value 3 (0xF9, 41 bytes)",
           Reply(poll_current, [](std::uint8_t* p) { return SendExOutput(p, 3); }), "extra-output",
           Object({{"value", Json(3)}}));
  out.Host("extra-output-legacy", "extra output value 3 in a legacy controller frame",
           Reply(module, [](std::uint8_t* p) { return SendExOutput(p, 3); }), "extra-output",
           Object({{"configuration", config.Fields(false)},
                   {"frame", frame("B0 03 AA AA AA AA AA AA AA AA AA", 0xAD)},
                   {"value", Json(3)}}));

  // The clock command carries the time of the call; its bytes are pinned to Saturday
  // 2024-03-09 23:59:59 so that the file comes out the same on every run.
  const auto clock = [](bool with_weekday) {
    Json c = Object({{"year", Json(24)},
                     {"month", Json(3)},
                     {"day", Json(9)},
                     {"hour", Json(23)},
                     {"minute", Json(59)},
                     {"second", Json(59)}});
    if (with_weekday) {
      c["weekday"] = Json(6);
    }
    return c;
  };
  {
    Bytes b = Reply(poll_current, SendTimer);
    Put(b, 28, {0x59, 0x59, 0x23, 0x06, 0x09, 0x03, 0x24});
    out.Host("clock-current",
             "clock command (0xF9, 41 bytes); the time bytes pinned to 2024-03-09 23:59:59", b,
             "clock", Object({{"clock", clock(true)}}));
  }
  {
    Bytes b = Reply(module, SendTimer);
    Put(b, 89, {0x24, 0x03, 0x09, 0x23, 0x59, 0x59});
    b[99] = static_cast<std::uint8_t>(SumByte(&b[88], 11));
    out.Host("clock-legacy",
             "clock command in a legacy controller frame; the time bytes pinned to 2024-03-09 "
             "23:59:59",
             b, "clock",
             Object({{"configuration", config.Fields(false)},
                     {"frame", frame("80 24 03 09 23 59 59 AA AA AA AA", 0x2D)},
                     {"clock", clock(false)}}));
  }

  const ModeBlock block{{12, 34, 0x01, 0x02, 0x03}};
  out.Host("reader-mode-current", "reader mode for a current device (0xEF)",
           Reply(poll_current, [&](std::uint8_t* p) { return SendReaderMoton(p, &block); }),
           "reader-mode", Object({{"mode", ModeFields(block)}}));
  out.Host("reader-mode-legacy",
           "reader mode in a legacy controller frame: the first two settings in BCD",
           Reply(module, [&](std::uint8_t* p) { return SendReaderMoton(p, &block); }),
           "reader-mode",
           Object({{"configuration", config.Fields(false)},
                   {"frame", frame("90 12 34 01 02 03 AA AA AA AA AA", 0x2E)},
                   {"mode", ModeFields(block)}}));
  out.Host("finger-mode", "fingerprint mode (0xED)",
           Reply(poll_legacy, [&](std::uint8_t* p) { return SendFingerMoton(p, &block); }),
           "finger-mode", Object({{"mode", ModeFields(block)}}));
  out.Host(
      "finger-control", "fingerprint control: selector 2, command 5, number 0x01020304",
      Reply(poll_current, [](std::uint8_t* p) { return SendFingerControl(p, 2, 0x01020304, 5); }),
      "finger-control",
      Object({{"selector", Json(2)}, {"command", Json(5)}, {"number", Json(0x01020304)}}));
  {
    Bytes request = Device(0xEA, kCurrent, 33);
    Put(request, 26, {0x01, 0x07, 0xA5, 0x00, 0x00, 0x30, 0x39});
    FingerDataRecord record{};
    for (std::size_t i = 0; i < 128; ++i) {
      record.templateData[i] = static_cast<std::uint8_t>(255 - i);
    }
    out.Host("template", "a fingerprint template answering a request (0xEB)",
             Reply(Sealed(request), [&](std::uint8_t* p) { return SendFingerData(p, &record); }),
             "template", Object({{"template", Hex(record.templateData, 128)}}));
  }
  {
    Bytes request = Device(0xF2, kLegacy, 29);
    Put(request, 27, {0x01, 0x02});
    const std::uint8_t data[5] = {0x49, 0x44, 0x33, 0x04, 0x00};
    // The host places its data after the request word and stores the count (little-endian).
    const auto place = [&](std::uint8_t* p) {
      std::uint8_t* sound = reinterpret_cast<std::uint8_t*>(GetSoundBuffer(p));
      std::memcpy(sound + 4, data, sizeof data);
      sound[0] = sizeof data;
      sound[1] = 0;
    };
    out.Host("voice-data", "voice data answering a request for word 0x0102 (0xF1)",
             Reply(Sealed(request), SendSoundData, place), "voice-data",
             Object({{"request", Json(0x0102)}, {"data", Hex(data, sizeof data)}}));
  }
  {
    Bytes b(kReplyBuffer, 0);
    b.resize(static_cast<std::size_t>(GetReconnectPackage(b.data())));
    Json head = Object({{"code", Json(0xFE)},
                        {"byte1", Json(0)},
                        {"type", Json('H')},
                        {"generation", Json("current")},
                        {"serial", Json("5A355257384B44")}});
    out.Add({"reconnect", "the reconnect packet: unsealed, key text characters in bytes 2..25", b,
             0, "unsealed", "reconnect", head, std::nullopt});
  }
}

// Packets the library must drop.
void Refusals(Collection& out) {
  const auto sealed_as = [](Bytes b, const char* key_text) {
    std::memmove(&b[10], &b[2], 8);
    const std::uint16_t check = velkor::devicekit::CheckValue(b.data());
    b[24] = static_cast<std::uint8_t>(check >> 8);
    b[25] = static_cast<std::uint8_t>(check & 0xFF);
    std::uint8_t key[16];
    std::memcpy(key, key_text, 16);
    LeftShiftKey(key);
    TripleDES_Encrypt(key, &b[10], 16);
    return b;
  };
  const auto refused = [&](const char* name, const char* description, Bytes b) {
    out.Add({name, description, b, 0, "none", "sealed", Head(b[0], b[2], false), std::nullopt});
  };
  refused("wrong-key", "a card list sealed under a key text that is neither link key",
          sealed_as(Device(0xF8, kCurrent, 41), "0123456789ABCDEF"));
  {
    Bytes b = Sealed(Device(0xF8, kCurrent, 41));
    b[20] ^= 0x01;
    refused("tampered-block", "a sealed card list with one bit of its security block flipped", b);
  }
  {
    // The block repeats another serial; its check value is right for what it holds.
    Bytes b = Device(0xF8, kCurrent, 41);
    std::memmove(&b[10], &b[2], 8);
    b[17] ^= 0xFF;
    const std::uint16_t check = velkor::devicekit::CheckValue(b.data());
    b[24] = static_cast<std::uint8_t>(check >> 8);
    b[25] = static_cast<std::uint8_t>(check & 0xFF);
    velkor::devicekit::EncryptBlockAsDevice(b.data());
    refused("wrong-serial-copy",
            "a card list whose block opens under the incoming key to a different serial", b);
  }
  {
    Bytes b = Sealed(Device(0xF8, kCurrent, 26));
    b.pop_back();
    out.Add({"short-packet", "25 bytes: one short of a head", b, 0, "none", "short", Json(),
             std::nullopt});
  }
  {
    Bytes b = Sealed(Device(0x00, kCurrent, 26));
    Vector v{"code-zero",
             "a correctly sealed device packet with command code 0",
             b,
             0,
             "incoming",
             "dropped",
             Head(0x00, kCurrent, true),
             std::nullopt};
    out.Add(std::move(v));
  }
  {
    Bytes b = Device(0xF2, kLegacy, 28);
    Put(b, 27, {0x01});
    Vector v{"voice-request-short",
             "a legacy voice data request of 28 bytes",
             Sealed(b),
             0,
             "incoming",
             "dropped",
             Head(0xF2, kLegacy, true),
             std::nullopt};
    out.Add(std::move(v));
  }
}

Json VectorJson(const Vector& v) {
  Json j = Json::object();
  j["name"] = Json(v.name);
  j["description"] = Json(v.description);
  j["direction"] = Json(v.key == "incoming" ? "device-to-host"
                        : v.key == "none"   ? "unknown"
                                            : "host-to-device");
  j["hex"] = Json(FormatHex(v.bytes));
  j["prepare"] = Json(v.prepare);
  j["key"] = Json(v.key);
  j["family"] = Json(v.family);
  if (v.head.is_object()) {
    j["head"] = v.head;
  }
  if (v.payload) {
    j["payload"] = *v.payload;
  }
  return j;
}

// ---- vectors.pcap: every vector as a UDP datagram in an Ethernet frame ----

void Le32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
}

void Be16(Bytes& out, std::size_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

Bytes Capture(const std::vector<Vector>& vectors) {
  Bytes file;
  Le32(file, 0xA1B2C3D4);
  Be16(file, 0x0200);  // version 2.4, little-endian fields
  Be16(file, 0x0400);
  Le32(file, 0);
  Le32(file, 0);
  Le32(file, 65535);
  Le32(file, 1);  // Ethernet
  const std::uint8_t device[4] = {192, 0, 2, 10}, host[4] = {192, 0, 2, 1};
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    const Vector& v = vectors[i];
    const bool to_device = v.key == "outgoing" || v.key == "unsealed";
    Bytes frame = {0x02, 0, 0, 0, 0, to_device ? std::uint8_t{2} : std::uint8_t{1},
                   0x02, 0, 0, 0, 0, to_device ? std::uint8_t{1} : std::uint8_t{2}};
    Be16(frame, 0x0800);
    const std::size_t ip = frame.size();
    Be16(frame, 0x4500);
    Be16(frame, 20 + 8 + v.bytes.size());
    Be16(frame, i + 1);   // identification
    Be16(frame, 0x4000);  // don't fragment
    frame.push_back(64);
    frame.push_back(17);
    Be16(frame, 0);  // header checksum, below
    const std::uint8_t* from = to_device ? host : device;
    const std::uint8_t* to = to_device ? device : host;
    frame.insert(frame.end(), from, from + 4);
    frame.insert(frame.end(), to, to + 4);
    std::uint32_t sum = 0;
    for (std::size_t k = ip; k < ip + 20; k += 2) {
      sum += static_cast<std::uint32_t>(frame[k] << 8 | frame[k + 1]);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    frame[ip + 10] = static_cast<std::uint8_t>(~sum >> 8);
    frame[ip + 11] = static_cast<std::uint8_t>(~sum & 0xFF);
    Be16(frame, to_device ? 6001 : 6000);
    Be16(frame, to_device ? 6000 : 6001);
    Be16(frame, 8 + v.bytes.size());
    Be16(frame, 0);  // no UDP checksum
    frame.insert(frame.end(), v.bytes.begin(), v.bytes.end());

    Le32(file, static_cast<std::uint32_t>(1700000000 + i));
    Le32(file, static_cast<std::uint32_t>(i * 1000));
    Le32(file, static_cast<std::uint32_t>(frame.size()));
    Le32(file, static_cast<std::uint32_t>(frame.size()));
    file.insert(file.end(), frame.begin(), frame.end());
  }
  return file;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) {
    std::fprintf(stderr, "velkor-make-vectors: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr,
                 "usage: velkor-make-vectors FOLDER  (writes vectors.json, vectors.pcap)\n");
    return 2;
  }
  const std::string folder = argv[1];
  Collection collection;
  DevicePackets(collection);
  HostReplies(collection);
  Refusals(collection);

  Json document = Json::object();
  document["format"] = Json("velkor link vectors 1");
  document["keys"] = Object({{"incoming", Json(velkor::devicekit::kIncomingKeyText)},
                             {"outgoing", Json(velkor::devicekit::kOutgoingKeyText)}});
  Json list = Json::array();
  for (const Vector& v : collection.vectors()) {
    list.push_back(VectorJson(v));
  }
  document["vectors"] = std::move(list);

  const Bytes capture = Capture(collection.vectors());
  const bool ok =
      WriteFile(folder + "/vectors.json", velkor::inspect::WriteJson(document) + "\n") &&
      WriteFile(folder + "/vectors.pcap", std::string(capture.begin(), capture.end()));
  return ok ? 0 : 1;
}
