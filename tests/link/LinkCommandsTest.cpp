// Echo, read command and firmware version.
#include <gtest/gtest.h>

#include "Packets.h"
#include "velkorlink.h"

namespace {

using velkor::test::Buffer;
using velkor::test::ExpectCanaryFrom;
using velkor::test::Hex;
using velkor::test::MakePacket;

TEST(GetFirmwareVersion, LegacyPackedDigits) {
  const struct {
    uint8_t byte26;
    int32_t expected;
  } cases[] = {{0x23, 2300}, {0x05, 500}, {0x00, 1}, {0x1A, 2000}, {0x99, 9900}};
  for (const auto& c : cases) {
    Buffer b;
    b[0] = 0xFC;
    b[2] = 0;
    b[26] = c.byte26;
    EXPECT_EQ(GetFirmwareVersion(b.data()), c.expected) << std::hex << int{c.byte26};
  }
}

TEST(GetFirmwareVersion, CurrentAsciiDigits) {
  const struct {
    const char* digits;
    int32_t expected;
  } cases[] = {{"31 32 33 34", 1234}, {"30 30 30 30", 0}, {"39 39 39 39", 9999}};
  for (const auto& c : cases) {
    Buffer b;
    b[0] = 0xFC;
    b[2] = 1;
    const auto digits = Hex(c.digits);
    std::copy(digits.begin(), digits.end(), b.data() + 86);
    EXPECT_EQ(GetFirmwareVersion(b.data()), c.expected) << c.digits;
  }
}

TEST(GetFirmwareVersion, OtherCodesGiveMinusOne) {
  Buffer b;
  GetReconnectPackage(b.data());
  EXPECT_EQ(GetFirmwareVersion(b.data()), -1);
  b[0] = 0xFF;
  EXPECT_EQ(GetFirmwareVersion(b.data()), -1);
}

TEST(SendDeviceEcho, CodeAndLengthByGeneration) {
  const struct {
    uint8_t type, code;
    int32_t length;
    uint8_t reply_code;
  } cases[] = {
      {0, 0xFA, 27, 0xF9}, {0, 0xFF, 27, 0x00}, {0, 0xF8, 27, 0x00},
      {1, 0xFA, 26, 0x00}, {1, 0xFF, 26, 0x00}, {3, 0xF8, 26, 0x00},
  };
  for (const auto& c : cases) {
    Buffer b = MakePacket({.code = c.code, .type = c.type, .length = 86});
    const auto head = b.Slice(1, 9);
    ASSERT_EQ(PreparePackage(b.data(), 86), c.code);
    const Buffer before = b;
    ASSERT_EQ(SendDeviceEcho(b.data()), c.length);
    EXPECT_EQ(b[0], c.reply_code);
    EXPECT_EQ(b.Slice(1, 9), head);
    velkor::test::ExpectReplyOpens(b);
    if (c.length == 27) {
      EXPECT_EQ(b[26], 0);
    }
    // Nothing past the reply changes (a current device's byte 26 included).
    const auto end = static_cast<std::size_t>(c.length);
    EXPECT_EQ(b.Slice(end, 2000), before.Slice(end, 2000));
  }
}

TEST(SendDeviceReadCommand, SameHeadForBothGenerations) {
  for (uint8_t type : {0, 1}) {
    Buffer b = MakePacket({.code = 0xF8, .type = type, .length = 26});
    ASSERT_EQ(PreparePackage(b.data(), 26), 0xF8);
    ASSERT_EQ(SendDeviceReadCommand(b.data()), 26);
    EXPECT_EQ(b[0], 0xFD);
    velkor::test::ExpectReplyOpens(b);
    ExpectCanaryFrom(b, 26);
  }
}

}  // namespace
