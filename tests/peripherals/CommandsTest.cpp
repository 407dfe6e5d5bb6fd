// Control commands, mode blocks, fingerprint control and templates, for both generations.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

#include "Packets.h"
#include "velkorlink.h"

namespace {

using namespace velkor::test;

constexpr ModeBlock kBlock = {{12, 34, 0x01, 0x02, 0x03}};

Buffer Accepted(uint8_t type, uint8_t code = 0xF8, uint32_t length = 26) {
  Buffer b = MakePacket({.code = code, .type = type, .length = length});
  EXPECT_EQ(PreparePackage(b.data(), length), code);
  return b;
}

struct Reply {
  int32_t length;
  uint8_t code;
  std::size_t from;   // first byte of `bytes`; nothing is written after them
  const char* bytes;  // a legacy frame reply (102) also echoes zeros into 27..85
};

TEST(SendCommands, ByteVectors) {
  const struct {
    const char* name;
    std::function<int32_t(uint8_t*)> send;
    Reply current, legacy;
  } cases[] = {
      {"control",
       [](uint8_t* p) { return SendControl(p, 0x02, 0x10, 0x20, 0x30); },
       {41, 0xF9, 26, "01 82 10 20 30 AA AA AA AA AA AA AA AA AA AA"},
       {102, 0xF9, 86, "5A 5A 82 10 20 30 AA AA AA AA AA AA AA 88 A5 A5"}},
      // Only low bytes count; bit 7 of the command is set whether or not the caller set it.
      {"control, wide values",
       [](uint8_t* p) { return SendControl(p, 0x185, 0x1FF, -1, 0x100); },
       {41, 0xF9, 26, "01 85 FF FF 00 AA AA AA AA AA AA AA AA AA AA"},
       {102, 0xF9, 86, "5A 5A 85 FF FF 00 AA AA AA AA AA AA AA 29 A5 A5"}},
      {"extra output",
       [](uint8_t* p) { return SendExOutput(p, 0x103); },
       {41, 0xF9, 26, "01 01 03 AA AA AA AA AA AA AA AA AA AA AA AA"},
       {102, 0xF9, 86, "5A 5A B0 03 AA AA AA AA AA AA AA AA AA AD A5 A5"}},
      // A legacy reader takes the first two settings in BCD.
      {"reader mode",
       [](uint8_t* p) { return SendReaderMoton(p, &kBlock); },
       {31, 0xEF, 26, "0C 22 01 02 03"},
       {102, 0xF9, 86, "5A 5A 90 12 34 01 02 03 AA AA AA AA AA 2E A5 A5"}},
      {"finger mode",
       [](uint8_t* p) { return SendFingerMoton(p, &kBlock); },
       {31, 0xED, 26, "0C 22 01 02 03"},
       {31, 0xED, 26, "0C 22 01 02 03"}},
      // The fill runs to byte 40, past the reply length.
      {"finger control",
       [](uint8_t* p) { return SendFingerControl(p, 0x102, 0x01020304, 5); },
       {32, 0xF9, 26, "02 85 01 02 03 04 AA AA AA AA AA AA AA AA AA"},
       {32, 0xF9, 26, "02 85 01 02 03 04 AA AA AA AA AA AA AA AA AA"}},
  };
  for (const auto& c : cases) {
    for (uint8_t type : {kCurrent, kLegacy}) {
      SCOPED_TRACE(testing::Message() << c.name << ", device type " << int{type});
      const Reply& want = type == kCurrent ? c.current : c.legacy;
      Buffer b = Accepted(type);
      const auto head = b.Slice(1, 9);
      ASSERT_EQ(c.send(b.data()), want.length);
      EXPECT_EQ(b[0], want.code);
      EXPECT_EQ(b.Slice(1, 9), head);
      const auto bytes = Hex(want.bytes);
      EXPECT_EQ(b.Slice(want.from, bytes.size()), bytes);
      if (want.length == 102) {
        EXPECT_EQ(b[26], 1);
        EXPECT_EQ(b.Slice(27, 59), std::vector<uint8_t>(59, 0));
      }
      ExpectReplyOpens(b);
      ExpectCanaryFrom(b, want.from + bytes.size());
    }
  }
}

TEST(GetReports, EachAcceptsItsOwnCodeOnly) {
  for (uint8_t code : {0xEE, 0xEC, 0xF9, 0xEF}) {
    Buffer b;
    b[0] = code;
    const auto report = Hex("0C 22 01 02 03");
    std::copy(report.begin(), report.end(), b.data() + 26);
    ModeBlock reader, finger;
    std::memset(&reader, kCanary, 5);
    std::memset(&finger, kCanary, 5);
    const ModeBlock untouched = reader;
    EXPECT_EQ(GetReaderMoton(b.data(), &reader), code == 0xEE);
    EXPECT_EQ(GetFingerMoton(b.data(), &finger), code == 0xEC);
    EXPECT_EQ(GetFingerControl(b.data()), code == 0xF9 ? 0x0C : 0);
    EXPECT_EQ(std::memcmp(&reader, code == 0xEE ? &kBlock : &untouched, 5), 0);
    EXPECT_EQ(std::memcmp(&finger, code == 0xEC ? &kBlock : &untouched, 5), 0);
  }
}

std::vector<uint8_t> Bytes(const FingerDataRecord& r) {
  const auto* p = reinterpret_cast<const uint8_t*>(&r);
  return {p, p + sizeof r};
}

// Fields a packet does not carry keep what the record held (the canary).
TEST(FingerData, UploadRequestAndReply) {
  FingerDataRecord canary, r, expected;
  std::memset(&canary, kCanary, sizeof canary);
  Buffer packet;
  const auto fields = Hex("01 07 A5 00 00 30 39");
  std::copy(fields.begin(), fields.end(), packet.data() + 26);
  packet[0] = 0xEA;
  r = expected = canary;
  expected.leadByte = 1;
  expected.lowBits = 3;
  expected.lowNibble = 5;
  expected.number = 12345;
  GetFingerData(packet.data(), &r);
  EXPECT_EQ(Bytes(r), Bytes(expected));

  packet[0] = 0xE8;
  r = expected = canary;
  expected.leadByte = 1;
  expected.lowBits = 3;
  std::memcpy(expected.templateData, packet.data() + 28, 128);
  GetFingerData(packet.data(), &r);
  EXPECT_EQ(Bytes(r), Bytes(expected));

  packet[0] = 0xEB;
  packet[27] = 0xFE;
  r = expected = canary;
  expected.leadByte = 0;
  expected.lowBits = 2;
  GetFingerData(packet.data(), &r);
  EXPECT_EQ(Bytes(r), Bytes(expected));

  for (std::size_t i = 0; i < 128; ++i) {
    r.templateData[i] = static_cast<uint8_t>(0x80 + i);
  }
  Buffer upload = Accepted(kLegacy, 0xE8, 156);
  const Buffer before = upload;
  EXPECT_EQ(SendFingerData(upload.data(), &r), 0);
  EXPECT_EQ(upload.bytes, before.bytes);

  Buffer request = Accepted(kCurrent, 0xEA, 33);
  ASSERT_EQ(SendFingerData(request.data(), &r), 154);
  EXPECT_EQ(request[0], 0xEB);
  EXPECT_EQ(request.Slice(26, 128), std::vector<uint8_t>(r.templateData, r.templateData + 128));
  ExpectReplyOpens(request);
  ExpectCanaryFrom(request, 154);
}

#if !defined(_WIN32)  // Windows takes its zone from the system, not from a POSIX TZ rule
// The runtime's clock, in a zone half an hour off whole hours, against UTC shifted by hand.
TEST(SendTimer, ReadsTheLocalClock) {
  setenv("TZ", "<+0530>-5:30", 1);
  tzset();
  for (int attempt = 0; attempt < 5; ++attempt) {
    Buffer b = Accepted(kCurrent);
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(SendTimer(b.data()), 41);
    if (std::time(nullptr) != before) {
      continue;  // the second turned during the call
    }
    const std::time_t shifted = before + 5 * 3600 + 30 * 60 - 1;
    std::tm t{};
    gmtime_r(&shifted, &t);
    // The weekday (0..6) reads the same in BCD.
    const int fields[] = {t.tm_sec,  t.tm_min,     t.tm_hour,      t.tm_wday,
                          t.tm_mday, t.tm_mon + 1, t.tm_year % 100};
    std::vector<uint8_t> expected = {0x01, 0x00};
    for (int field : fields) {
      expected.push_back(static_cast<uint8_t>(field / 10 * 16 + field % 10));
    }
    EXPECT_EQ(b.Slice(26, 9), expected);
    return;
  }
  FAIL() << "the clock never held still for one call";
}
#endif

}  // namespace
