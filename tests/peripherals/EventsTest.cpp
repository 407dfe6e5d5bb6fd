// Event records of both generations, decoded last to first with the packet as the iterator.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "Packets.h"
#include "velkorlink.h"

namespace {

using namespace velkor::test;

// "kind number code | value1..value8 | cardNumber 'digits'", numbers in hex, values in decimal;
// "~" marks a field still holding the canary, "-" a value of -1.
std::string Show(const EventRecord& r) {
  const uint64_t number = r.number;
  const int64_t card = r.cardNumber;
  const int16_t values[] = {r.value1, r.value2, r.value3, r.value4,
                            r.value5, r.value6, r.value7, r.value8};
  std::ostringstream s;
  s << std::hex << int{r.kind} << ' ';
  (number == 0xC3C3C3C3C3C3C3C3 ? s << '~' : s << number) << ' ';
  (r.code == kCanary ? s << '~' : s << int{r.code}) << std::dec << " |";
  for (int16_t v : values) {
    (v == -1 ? s << " -" : s << ' ' << v);
  }
  (card == -1 ? s << " | -" : s << " | " << std::hex << card) << " '";
  s << std::string(r.digits, strnlen(r.digits, sizeof r.digits)) << "'";
  return s.str();
}

EventRecord Canary() {
  EventRecord r;
  std::memset(&r, kCanary, sizeof r);
  return r;
}

// Record k of a current device at 27 + 16k; of a legacy device from the frame's opcode at 88 + 16k.
std::size_t At(uint8_t type, std::size_t k) {
  return (type == kLegacy ? 88 : 27) + 16 * k;
}

Buffer EventPacket(uint8_t type, uint8_t count) {
  Buffer b = MakePacket({.code = 0xF0, .type = type, .length = 26}, false);
  b[26] = count;
  return b;
}

TEST(GetEvents, EveryKindAndCodeGroup) {
  const struct {
    uint8_t type;
    const char* record;  // current: 16 bytes; legacy: opcode and ten data bytes
    const char* decoded;
  } cases[] = {
      {kCurrent, "00 010203040506 00 01020304050607 08",
       "0 10203040506 0 | 1 2 3 4 5 6 - - | - ''"},
      {kCurrent, "03 000000000001 05 01020304050607 08", "3 1 5 | 1 2 3 4 - - - - | - ''"},
      {kCurrent, "00 FFFFFFFFFFFF 1A 01020304050607 08",
       "0 ffffffffffff 1a | 1 2 3 4 - 5 - - | - ''"},
      {kCurrent, "00 000000000000 23 01020304050607 08", "0 0 23 | - - - - - - - - | - ''"},
      {kCurrent, "00 000000000000 B0 01020304050607 08", "0 0 b0 | - - - - - - - - | - ''"},
      {kCurrent, "00 000000000000 71 09020304050607 08", "0 0 71 | - - - - - 9 - - | - ''"},
      {kCurrent, "03 000000000000 A2 09020304050607 08", "3 0 a2 | - - - - - 9 - - | - ''"},
      {kCurrent, "00 000000000000 83 07FF0102030407 08",
       "0 0 83 | - - - - - 7 - - | ff01020304 ''"},
      {kCurrent, "00 000000000000 93 0712345FFF0607 08", "0 0 93 | - - - - - 7 - - | - '12345'"},
      {kCurrent, "00 000000000000 C4 01020304050607 08", "0 0 c4 | - - - - 1 2 - - | - ''"},
      {kCurrent, "00 000000000000 D1 01020304050607 08", "0 0 d1 | - - - - - - 1 2 | - ''"},
      {kCurrent, "00 000000000000 E7 01020304050607 08", "0 0 e7 | - - - - - - 1 2 | - ''"},
      {kCurrent, "00 000000000000 F3 99120304050607 08", "0 0 f3 | - - - - - 1200 - - | - ''"},
      {kCurrent, "01 42 C8 0A 0405060708090A0B0C0D0E0F", "1 ~ 42 | - - - - - 200 10 - | - ''"},
      {kCurrent, "01 42 C8 0B 0405060708090A0B0C0D0E0F", "1 ~ 42 | - - - - - 200 - - | - ''"},
      {kCurrent, "02 59 31 FE 0405060708090A0B0C0D0E0F", "2 ~ ~ | 59 31 254 4 5 - - - | - ''"},
      {kCurrent, "04 12 34 FE 0705060708090A0B0C0D0E0F", "4 1234 ~ | - - - - - 254 7 - | - ''"},
      {kCurrent, "05 FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", "5 ~ ~ | - - - - - - - - | - ''"},
      {kCurrent, "FF 000000000000000000000000000000", "ff ~ ~ | - - - - - - - - | - ''"},
      {kLegacy, "07 010203040506 05 11 12 13", "0 10203040506 5 | - - - - 17 - 18 19 | - ''"},
      {kLegacy, "3F 000000000000 3F 11 12 13", "3 0 3f | - - - - 17 - 18 19 | - ''"},
      {kLegacy, "00 000000000000 70 25 12 13", "0 0 70 | - - - - - 2500 - - | - ''"},
      {kLegacy, "00 000000000000 70 9A 12 13", "0 0 70 | - - - - - 1 - - | - ''"},
      {kLegacy, "00 000000000000 70 A0 12 13", "0 0 70 | - - - - - 1 - - | - ''"},
      {kLegacy, "00 000000000000 70 00 12 13", "0 0 70 | - - - - - 0 - - | - ''"},
      {kLegacy, "00 000000000000 45 11 12 13", "0 0 45 | - - - - - - - - | - ''"},
      {kLegacy, "1C 42 C8 0A 04 05 06 07 08 09 10", "1 ~ 42 | - - - - - 200 10 - | - ''"},
      {kLegacy, "4D 12 34 FE 07 05 06 07 08 09 10", "4 1234 ~ | - - - - - 254 7 - | - ''"},
      {kLegacy, "5F FF FF FF FF FF FF FF FF FF FF", "5 ~ ~ | - - - - - - - - | - ''"},
  };
  for (const auto& c : cases) {
    Buffer b = EventPacket(c.type, 1);
    const auto record = Hex(c.record);
    std::copy(record.begin(), record.end(), b.data() + At(c.type, 0));
    Buffer expected = b;
    expected[26] = 0;
    EventRecord r = Canary();
    ASSERT_TRUE(GetEvents(b.data(), &r)) << c.record;
    EXPECT_EQ(Show(r), c.decoded) << c.record;
    const std::string digits(r.digits, sizeof r.digits);  // zero after the text
    EXPECT_EQ(digits.find_first_not_of('\0', strlen(r.digits)), std::string::npos);
    EXPECT_EQ(b.bytes, expected.bytes) << c.record;  // only the count changed
  }
}

TEST(GetEvents, LastToFirstThroughEveryKind) {
  for (uint8_t type : {kCurrent, kLegacy}) {
    Buffer b = EventPacket(type, 16);
    for (std::size_t k = 0; k < 16; ++k) {
      b[At(type, k)] = static_cast<uint8_t>(type == kLegacy ? k << 4 : k);
    }
    EventRecord r = Canary();
    for (int kind = 15; kind >= 0; --kind) {
      ASSERT_TRUE(GetEvents(b.data(), &r));
      EXPECT_EQ(r.kind, kind);
      EXPECT_EQ(b[26], kind);
    }
    const EventRecord last = r;
    const Buffer packet = b;
    EXPECT_FALSE(GetEvents(b.data(), &r));
    EXPECT_EQ(std::memcmp(&r, &last, sizeof r), 0);
    EXPECT_EQ(b.bytes, packet.bytes);
  }
}

// A legacy status record (kind 2) is repeated at packet bytes 30..39. A current packet keeps
// those bytes: they belong to record 0, decoded after it.
TEST(GetEvents, StatusRecordCopy) {
  Buffer legacy = EventPacket(kLegacy, 2);
  const auto status = Hex("2A 01 02 03 04 05 06 07 08 09 10");
  std::copy(status.begin(), status.end(), legacy.data() + At(kLegacy, 1));
  Buffer expected = legacy;
  expected[26] = 1;
  std::copy(status.begin() + 1, status.end(), expected.data() + 30);
  EventRecord r = Canary();
  ASSERT_TRUE(GetEvents(legacy.data(), &r));
  EXPECT_EQ(legacy.bytes, expected.bytes);

  Buffer current = EventPacket(kCurrent, 2);
  const auto records =
      Hex("00 000000000000 83 07FF0102030407 08  02 0102030405060708090A0B0C0D0E0F");
  std::copy(records.begin(), records.end(), current.data() + 27);
  ASSERT_TRUE(GetEvents(current.data(), &r));
  ASSERT_TRUE(GetEvents(current.data(), &r));
  EXPECT_EQ(Show(r), "0 0 83 | - - - - - 7 - - | ff01020304 ''");
}

}  // namespace
