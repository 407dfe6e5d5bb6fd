// Writes the seed inputs of every harness, each built from a vector the test suites check, in
// the input layout its harness reads (see the comment at the top of each harness).
//   fuzz_make_seeds <corpus folder>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "DeviceSeal.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A device packet as the tests make it: code, type, serial 00 01 02 03 04 05 06, bytes 18..23
// = 0x12..0x17, everything else 0; plain (the harness seals it) unless `seal`.
Bytes Packet(std::uint8_t code, std::uint8_t type, std::size_t length, bool seal = false) {
  Bytes p(length < 26 ? 26 : length, 0);
  p[0] = code;
  p[2] = type;
  for (std::size_t i = 0; i < 7; ++i) {
    p[3 + i] = static_cast<std::uint8_t>(i);
  }
  for (std::size_t i = 18; i < 24; ++i) {
    p[i] = static_cast<std::uint8_t>(i - 6);
  }
  if (seal) {
    velkor::devicekit::SealAsDevice(p.data());
  }
  p.resize(length);
  return p;
}

// Builds one input front to back.
class Seed {
 public:
  Seed& Byte(std::uint8_t b) {
    bytes_.push_back(b);
    return *this;
  }
  Seed& Word(std::uint16_t w) { return Byte(static_cast<std::uint8_t>(w >> 8)).Byte(w & 0xFF); }
  Seed& Add(const Bytes& b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  Seed& Add(std::initializer_list<std::uint8_t> b) { return Add(Bytes(b)); }
  Seed& Long(std::uint32_t l) { return Word(static_cast<std::uint16_t>(l >> 16)).Word(l & 0xFFFF); }
  Seed& Text(const std::string& t) {
    Byte(static_cast<std::uint8_t>(t.size()));
    bytes_.insert(bytes_.end(), t.begin(), t.end());
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

fs::path root;
int written = 0;

void Write(const std::string& harness, const std::string& name, const Seed& seed) {
  const fs::path folder = root / harness;
  fs::create_directories(folder);
  std::ofstream out(folder / ("seed-" + name), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(seed.bytes().data()),
            static_cast<std::streamsize>(seed.bytes().size()));
  ++written;
}

// Two cards of the card list vectors, host form (30 bytes each).
Bytes HostCards() {
  return {0x9A, 0x78, 0x56, 0x34, 0x12, 0,  0,  0,    '1',  '2',  '3',  '4',  '5',  '6',  '7',
          0,    0,    24,   0,    12,   31, 23, 0x5C, 1,    0,    7,    0,    0,    1,    0,
          0x01, 0,    0,    0,    0,    0,  0,  0xFF, '8',  '7',  '6',  '5',  '4',  '3',  '2',
          '1',  '9',  0,    0,    1,    2,  0,  0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
}

// A group and a schedule in host form (49 and 26 bytes).
Bytes HostGroup() {
  Bytes g(49, 0xFF);
  g[0] = 3;
  g[1] = 0x11;
  for (std::size_t b = 0; b < 8; ++b) {
    g[2 + 8 + b] = b < 5 ? static_cast<std::uint8_t>(0x10 + b) : 0;   // slot 1: card A
    g[2 + 24 + b] = b < 5 ? static_cast<std::uint8_t>(0x20 + b) : 0;  // slot 3: card B
  }
  g[42] = 0x22;
  g[43] = 1;
  return g;
}
const Bytes kHostSchedule = {1, 2,   0,   0,   24,  0,  23, 59, 24, 0,  0, 0,  0,
                             0, 255, 255, 255, 255, 10, 75, 12, 0,  24, 1, 24, 2};
const char* const kTexts[] = {"12345678", "",     "123456789", "12a4", "7",
                              " 1",       "0000", "98765",     "4321", "1"};

// A fingerprint template record (135 bytes) whose template counts up from 0.
Bytes Template() {
  Bytes record(135, 0);
  for (std::size_t i = 0; i < 128; ++i) {
    record[7 + i] = static_cast<std::uint8_t>(i);
  }
  return record;
}

// The selector of a Send function and its arguments, as the intake harness reads them.
Seed SendArgs(std::uint8_t send) {
  Seed args;
  args.Byte(send);
  switch (send) {
    case 3:
      args.Byte(4).Add(HostCards());  // 2 cards
      break;
    case 4:
      args.Byte(3).Add(HostGroup());  // 1 group
      break;
    case 5:
      args.Byte(3).Add(kHostSchedule);  // 1 schedule
      break;
    case 6:
    case 7:
      for (const char* text : kTexts) {
        args.Byte(1).Text(text);
      }
      break;
    case 8:  // control command 2 with arguments 10 20 30
      args.Long(2).Long(0x10).Long(0x20).Long(0x30);
      break;
    case 9:  // extra output 3
      args.Long(3);
      break;
    case 11:
    case 12:
      args.Add({12, 34, 1, 2, 3});
      break;
    case 13:  // selector 2, number 01 02 03 04, command 5
      args.Long(2).Long(0x01020304).Long(5);
      break;
    case 14:
      args.Add(Template());
      break;
  }
  return args;
}

void PreparePackageSeeds() {
  const std::string h = "prepare_package";
  // Sealed by the harness (mode 1): the intake vectors, each answered by a Send function.
  struct Case {
    const char* name;
    std::uint8_t code, type;
    std::size_t length;
    std::uint8_t send;
  };
  const Case cases[] = {
      {"current-echo", 0x10, 1, 26, 0},
      {"legacy-fa-echo", 0xFA, 0, 86, 0},
      {"legacy-ff-85", 0xFF, 0, 85, 2},
      {"legacy-ff-86", 0xFF, 0, 86, 2},
      {"current-fc-config", 0xFC, 1, 90, 2},
      {"type2-ff", 0xFF, 2, 86, 2},
      {"legacy-f1-40", 0xF1, 0, 40, 1},
      {"code-0", 0x00, 1, 26, 0},
      {"voice-29", 0xF2, 0, 29, 0},
      {"voice-40", 0xF2, 0, 40, 0},
      {"voice-28", 0xF2, 0, 28, 0},
      {"current-f2", 0xF2, 1, 40, 0},
      {"passwords", 0xF8, 1, 26, 6},
      {"finger-passwords", 0xF8, 0, 26, 7},
      {"groups", 0xF6, 1, 26, 4},
      {"schedules", 0xF4, 1, 26, 5},
      {"legacy-fa-control", 0xFA, 0, 86, 8},
      {"current-control", 0x10, 1, 26, 8},
      {"legacy-ex-output", 0xF8, 0, 26, 9},
      {"current-timer", 0x10, 1, 26, 10},
      {"legacy-fc-timer", 0xFC, 0, 86, 10},
      {"legacy-reader", 0xEE, 0, 31, 11},
      {"current-reader", 0xEE, 1, 31, 11},
      {"finger-mode", 0xEC, 0, 31, 12},
      {"finger-control", 0xF9, 1, 27, 13},
      {"template-request", 0xEA, 1, 33, 14},
      {"template-upload", 0xE8, 1, 156, 14},
  };
  for (const Case& c : cases) {
    Bytes p = Packet(c.code, c.type, c.length);
    if (c.length >= 86 && c.type <= 1) {
      p[31] = 0x1F;  // first word 8080
      p[32] = 0x90;
      for (std::size_t i = 66; i < 86; ++i) {
        p[i] = static_cast<std::uint8_t>(i);
      }
    }
    Write(h, c.name,
          Seed()
              .Byte(1)
              .Word(static_cast<std::uint16_t>(c.length))
              .Add(p)
              .Add(SendArgs(c.send).bytes()));
  }
  Write(h, "cards", Seed().Byte(1).Word(26).Add(Packet(0xF8, 1, 26)).Add(SendArgs(3).bytes()));
  Write(h, "short-25", Seed().Byte(1).Word(25).Add(Packet(0x10, 1, 25)));
  // Raw (mode 0): a packet sealed in advance, and the same with its check value bytes swapped
  // before sealing.
  Write(h, "raw-sealed", Seed().Byte(0).Word(40).Add(Packet(0xF8, 1, 40, true)).Byte(0));
  Bytes swapped = Packet(0xF8, 1, 40);
  std::copy(swapped.begin() + 2, swapped.begin() + 10, swapped.begin() + 10);
  const std::uint16_t check = velkor::devicekit::CheckValue(swapped.data());
  swapped[24] = check & 0xFF;
  swapped[25] = static_cast<std::uint8_t>(check >> 8);
  velkor::devicekit::EncryptBlockAsDevice(swapped.data());
  Write(h, "raw-check-swapped", Seed().Byte(0).Word(40).Add(swapped));
}

void RecordSeeds() {
  // Card list: the two-card vector, one card at 41 bytes, none at 40, another code.
  const Bytes cards = {0x12, 0x34, 0x56, 0x78, 0x9A, 0x12, 0x34, 0x56, 0x7F, 0x24,
                       0x12, 0x31, 0x23, 0x5C, 0x85, 0x00, 0x00, 0x00, 0x00, 0x01,
                       0x87, 0x65, 0x43, 0x21, 0x00, 0x01, 0x02, 0x00, 0x00, 0xDF};
  Bytes list = Packet(0xF8, 1, 26);
  list.insert(list.end(), cards.begin(), cards.end());
  Write("cards", "two-cards", Seed().Byte(0).Word(56).Add(list).Byte(2).Add(HostCards()));
  Write("cards", "length-41", Seed().Byte(0).Word(41).Add(Bytes(list.begin(), list.begin() + 41)));
  Write("cards", "length-40", Seed().Byte(0).Word(40).Add(Bytes(list.begin(), list.begin() + 40)));
  Write("cards", "other-code", Seed().Byte(0xF7).Word(56).Add(list));

  // Groups numbered 5, 40 and 7; a card count of 7; slots (empty, A, empty, B, empty) sent.
  Bytes groups = Packet(0xF6, 1, 26);
  for (const std::uint8_t number : {5, 40, 7}) {
    Bytes g(32, 0xFF);
    g[0] = number;
    g[1] = 0x11;
    g[2] = number == 7 ? 7 : 2;
    g[3] = 0xFF;
    g[29] = 0x22;
    g[30] = 0;
    g[31] = number == 5 ? 0xA4 : 0xA5;
    groups.insert(groups.end(), g.begin(), g.end());
  }
  Write("multi_cards", "three-groups",
        Seed().Byte(0).Word(122).Add(groups).Byte(1).Add(HostGroup()));
  Write("multi_cards", "length-57",
        Seed().Byte(0).Word(57).Add(Bytes(groups.begin(), groups.begin() + 57)));

  // Schedules: 00:00-24:00 present, 23:59-24:00, an absent period, a period of 10:75-12:00.
  Bytes schedule = Packet(0xF4, 1, 26);
  const Bytes record = {0x01, 0x02, 0xA5, 0x00, 0x00, 0x24, 0x00, 0xA5, 0x23, 0x59, 0x24,
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA4, 0x08, 0x00, 0x09, 0x00,
                        0xFF, 0x01, 0x02, 0x03, 0x04, 0xA5, 0x10, 0x75, 0x12, 0x00};
  schedule.insert(schedule.end(), record.begin(), record.end());
  Write("work_time", "periods", Seed().Byte(0).Word(58).Add(schedule).Byte(1).Add(kHostSchedule));
  Write("work_time", "length-57",
        Seed().Byte(0).Word(57).Add(Bytes(schedule.begin(), schedule.begin() + 57)));

  // Passwords: the ten fields of a sent packet, index 3, then ten texts of every kind.
  Bytes fields = Packet(0xF1, 1, 85);
  for (std::size_t i = 26; i < 66; ++i) {
    fields[i] = 0xFF;
  }
  const Bytes field3 = {0x12, 0x34, 0x56, 0x7F};
  std::copy(field3.begin(), field3.end(), fields.begin() + 38);
  Seed passwords;
  passwords.Add(fields).Byte(0).Byte(3);
  for (const char* text : kTexts) {
    passwords.Byte(1).Text(text);
  }
  Write("device_password", "ten-texts", passwords.Add(Packet(0x00, 1, 26)));
  Write("device_password", "index-10", Seed().Add(fields).Byte(0).Byte(10));
}

void LinkSeeds() {
  // Firmware: legacy 0x23, 0x05, 0x00, 0x1A; current "1234" and "0000"; another code.
  for (const std::uint8_t bcd : {0x23, 0x05, 0x00, 0x1A}) {
    Bytes p = Packet(0xFC, 0, 27);
    p[26] = bcd;
    Write("firmware_version", "legacy-" + std::to_string(bcd), Seed().Byte(0).Byte(1).Add(p));
  }
  for (const char* digits : {"1234", "0000"}) {
    Bytes p = Packet(0xFC, 1, 90);
    std::copy(digits, digits + 4, p.begin() + 86);
    Write("firmware_version", std::string("current-") + digits,
          Seed().Byte(0).Byte(0).Byte(1).Add(p));
  }
  Write("firmware_version", "other-code", Seed().Byte(0xFE).Byte(1).Add(Packet(0xFE, 0, 1)));

  // Voice data: 29 bytes answered with nothing; request word 01 02 in 40 bytes answered with
  // 300 bytes; 28 bytes, dropped.
  Write("sound_buffer", "request-29", Seed().Word(3).Add(Packet(0xF2, 0, 29)).Word(0));
  Bytes request = Packet(0xF2, 0, 40);
  request[27] = 0x01;
  request[28] = 0x02;
  Seed answered;
  answered.Word(14).Add(request).Word(300);
  for (int i = 0; i < 300; ++i) {
    answered.Byte(static_cast<std::uint8_t>(i));
  }
  Write("sound_buffer", "request-40-data-300", answered);
  Write("sound_buffer", "request-28", Seed().Word(2).Add(Packet(0xF2, 0, 28)));
}

// One event record of 16 bytes (current) or the 10 data bytes after a legacy opcode.
Bytes Frame(std::uint8_t opcode, const Bytes& data) {
  Bytes frame = {0x5A, 0x5A, opcode};
  frame.insert(frame.end(), data.begin(), data.end());
  frame.resize(13, 0xAA);
  unsigned sum = 0;
  for (std::size_t i = 2; i < 13; ++i) {
    sum += frame[i];
  }
  frame.push_back(static_cast<std::uint8_t>(sum));
  frame.push_back(0xA5);
  frame.push_back(0xA5);
  return frame;
}

void PeripheralSeeds() {
  // Current records: code 0x00 with its trailer, a card number (0x83), digits (0x93), hundreds
  // (0xF3), alarms with index 10 and 11, kind 4, kind 5, kind 2.
  const Bytes records[] = {
      {0, 0, 0, 0, 0, 1, 2, 0x00, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0, 0},
      {3, 0, 0, 0, 0, 0, 9, 0x83, 0x07, 0x12, 0x34, 0x56, 0x78, 0x9A, 0, 0},
      {0, 0, 0, 0, 0, 0, 9, 0x93, 0x08, 0x12, 0x34, 0x5F, 0xFF, 0, 0, 0},
      {0, 0, 0, 0, 0, 0, 9, 0xF3, 0x99, 0x12, 0, 0, 0, 0, 0, 0},
      {1, 0x21, 0x05, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {1, 0x21, 0x05, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {4, 0x12, 0x34, 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
      {2, 0x12, 0x34, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13},
  };
  Bytes current = Packet(0x10, 1, 27);
  for (const Bytes& r : records) {
    current.insert(current.end(), r.begin(), r.end());
  }
  Write("events", "current-kinds", Seed().Byte(0).Byte(9).Add(current));
  // Legacy frames: opcode 0x2A (kind 2), 0x07 with code 0x70 and hundreds 0x25, code 0x45,
  // code 0x70 with a byte that is no BCD number, code 0x12 with its three detail bytes.
  Bytes legacy = Packet(0x10, 0, 86);
  for (const Bytes& f : {Frame(0x2A, {0x12, 0x34, 1, 2, 3, 4, 5, 6, 7, 8}),
                         Frame(0x07, {0, 0, 0, 0, 1, 2, 0x70, 0x25, 0, 0}),
                         Frame(0x07, {0, 0, 0, 0, 1, 2, 0x45, 0x25, 1, 2}),
                         Frame(0x37, {0, 0, 0, 0, 1, 2, 0x70, 0x9A, 0, 0}),
                         Frame(0x17, {0x10, 0x20, 3, 4}), Frame(0x47, {0x12, 0x34, 5, 6})}) {
    legacy.insert(legacy.end(), f.begin(), f.end());
  }
  Write("events", "legacy-frames", Seed().Byte(1).Byte(6).Add(legacy));
  Write("events", "none", Seed().Byte(0).Byte(0).Add(Packet(0x10, 1, 27)));

  // Mode blocks: the reader's report, then 12 34 01 02 03 sent to each generation.
  Bytes report = Packet(0xEE, 1, 31);
  const Bytes block = {0x0C, 0x22, 0x01, 0x02, 0x03};
  std::copy(block.begin(), block.end(), report.begin() + 26);
  const Bytes head = Packet(0x10, 1, 26, false);
  Write("modes", "reader-current",
        Seed().Byte(0).Byte(0).Add(report).Byte(0).Add(head).Add(Bytes(5, 0)).Add(block));
  Write("modes", "reader-legacy",
        Seed().Byte(0).Byte(0).Add(report).Byte(1).Add(head).Add(Bytes(76, 0)).Add(block));
  report[0] = 0xEC;
  Write("modes", "finger",
        Seed().Byte(1).Byte(0).Add(report).Byte(0).Add(head).Add(Bytes(5, 0)).Add(block));
  Write("modes", "other-code", Seed().Byte(0).Byte(0xEC).Add({0xEC}));

  // Fingerprint control: report 7; selector 2, command 5, number 01 02 03 04.
  Bytes control = Packet(0xF9, 1, 27);
  control[26] = 7;
  Write("finger_control", "report-7",
        Seed().Byte(0).Add(control).Add(head).Add(Bytes(15, 0)).Long(2).Long(0x01020304).Long(5));
  Write("finger_control", "other-code", Seed().Byte(0xF8).Add({0xF8}));

  // Templates: a request 01 07 A5 00 00 30 39, an upload, another code; each then answered.
  Bytes request = Packet(0xEA, 1, 33);
  const Bytes asked = {0x01, 0x07, 0xA5, 0x00, 0x00, 0x30, 0x39};
  std::copy(asked.begin(), asked.end(), request.begin() + 26);
  Write("finger_data", "request",
        Seed().Byte(0).Byte(0).Add(request).Byte(0).Add(Template()).Add(head));
  Bytes upload = Packet(0xE8, 1, 156);
  upload[26] = 0x03;
  upload[27] = 0xFE;
  for (std::size_t i = 0; i < 128; ++i) {
    upload[28 + i] = static_cast<std::uint8_t>(255 - i);
  }
  Write("finger_data", "upload", Seed().Byte(1).Add(upload).Byte(0xE8).Add(Template()));
  Write("finger_data", "other-code", Seed().Byte(0).Byte(0xF0).Add(Packet(0xF0, 1, 28)));
}

// Voice bank files as the compile writes them (entry sizes, 0 for a cleared entry), and damaged
// copies; each at most 4608 bytes, the length `make fuzz` allows.
Bytes VoiceBankFile(const std::vector<std::size_t>& sizes) {
  Bytes file(4096, 0xFF);
  const std::string magic = "MP3DATA_VER00";
  std::copy(magic.begin(), magic.end(), file.begin());
  file[16] = static_cast<std::uint8_t>(sizes.size());
  std::size_t offset = 4096;
  for (std::size_t k = 0; k < sizes.size(); ++k) {
    if (sizes[k] == 0) {
      continue;
    }
    std::uint8_t* record = file.data() + 32 + 16 * k;
    const std::size_t fields[] = {offset, sizes[k]};
    for (int f = 0; f < 2; ++f) {
      record[4 * f] = 0;
      record[4 * f + 1] = static_cast<std::uint8_t>(fields[f] >> 16);
      record[4 * f + 2] = static_cast<std::uint8_t>(fields[f] >> 8);
      record[4 * f + 3] = static_cast<std::uint8_t>(fields[f]);
    }
    record[8] = 0xA4;
    for (std::size_t i = 0; i < sizes[k]; ++i) {
      file.push_back(static_cast<std::uint8_t>(k + i));
    }
    offset += sizes[k];
  }
  return file;
}

void VoiceBankSeeds() {
  const auto write = [](const std::string& name, const Bytes& file) {
    Write("voice_bank", name, Seed().Add(file));
  };
  write("empty-list", VoiceBankFile({}));
  write("two-entries", VoiceBankFile({300, 200}));
  write("cleared-middle", VoiceBankFile({200, 0, 100}));
  std::vector<std::size_t> last(254, 0);
  last.back() = 50;
  write("last-record", VoiceBankFile(last));
  Bytes overlap = VoiceBankFile({200, 0, 100});
  overlap[64 + 3] = 0x50;  // record 3 starts inside record 1's data
  write("overlap", overlap);
  Bytes beyond = VoiceBankFile({200, 0, 100});
  beyond[16] = 1;
  write("beyond-count", beyond);
  Bytes trailing = VoiceBankFile({100});
  trailing.push_back(0);
  write("trailing", trailing);
  Bytes truncated = VoiceBankFile({});
  truncated.resize(100);
  write("truncated-header", truncated);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  root = argv[1];
  PreparePackageSeeds();
  RecordSeeds();
  LinkSeeds();
  PeripheralSeeds();
  VoiceBankSeeds();
  std::printf("%d seeds written under %s\n", written, root.string().c_str());
  return 0;
}
