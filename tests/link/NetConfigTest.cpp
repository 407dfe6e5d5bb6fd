// Capture of the network module configuration and its way back to the device.
#include <gtest/gtest.h>

#include <cstring>

#include "NetConfigRecord.h"
#include "Packets.h"
#include "velkorlink.h"

namespace {

using velkor::test::Buffer;
using velkor::test::ExpectCanaryFrom;
using velkor::test::Hex;
using velkor::test::MakePacket;

// A configuration packet whose payload bytes 26.. hold `fill(i)`, sealed as a device seals it.
template <typename Fill>
Buffer ConfigPacket(uint8_t code, uint8_t type, std::size_t length, Fill fill) {
  Buffer b = MakePacket({.code = code, .type = type, .length = length}, false);
  for (std::size_t i = 26; i < length; ++i) {
    b[i] = fill(i);
  }
  velkor::devicekit::SealAsDevice(b.data());
  return b;
}

TEST(CurrentCapture, StoresWordsLowByteFirstAndSendsThemBack) {
  Buffer b = ConfigPacket(0xFF, 1, 86, [](std::size_t i) { return uint8_t(i + 0x40); });
  b[31] = 0x1F;  // first word 8080, high byte first on the wire
  b[32] = 0x90;
  velkor::devicekit::SealAsDevice(b.data());
  const auto received = b.Slice(26, 60);
  ASSERT_EQ(PreparePackage(b.data(), 86), 0xFF);

  const auto record = NetConfigRecord();
  EXPECT_EQ(record[5], 0x90);
  EXPECT_EQ(record[6], 0x1F);
  EXPECT_EQ(record[7], 33 + 0x40 + 1);  // second word swapped: bytes 33, 34 -> 34, 33
  EXPECT_EQ(record[8], 33 + 0x40);
  EXPECT_EQ(record[39], 0);  // captured, over what byte 65 held

  ASSERT_EQ(SendNetConfigration(b.data()), 86);
  EXPECT_EQ(b[0], 0xFE);
  auto expected = received;
  expected[65 - 26] = 0;
  EXPECT_EQ(b.Slice(26, 60), expected);
  velkor::test::ExpectReplyOpens(b);
  ExpectCanaryFrom(b, 86);
}

TEST(CurrentCapture, ShortPacketTakesOnlyTheBytesItCarried) {
  // A long packet leaves its bytes in the host's buffer; a short configuration packet in the
  // same buffer must not carry them into the record.
  Buffer b = ConfigPacket(0xFF, 1, 86, [](std::size_t) { return uint8_t{0x77}; });
  ASSERT_EQ(PreparePackage(b.data(), 86), 0xFF);
  Buffer short_packet = ConfigPacket(0xFF, 1, 40, [](std::size_t i) { return uint8_t(i); });
  std::memcpy(b.data(), short_packet.data(), 40);
  ASSERT_EQ(PreparePackage(b.data(), 40), 0xFF);

  std::vector<uint8_t> expected(60, 0);
  for (std::size_t i = 26; i < 40; ++i) {
    expected[i - 26] = uint8_t(i);
  }
  std::swap(expected[5], expected[6]);
  std::swap(expected[7], expected[8]);
  EXPECT_EQ(NetConfigRecord(), expected);
}

TEST(CurrentCapture, HeadOnlyPacketCapturesAnEmptyConfiguration) {
  Buffer b = ConfigPacket(0xFC, 1, 86, [](std::size_t) { return uint8_t{0x55}; });
  ASSERT_EQ(PreparePackage(b.data(), 26), 0xFC);
  EXPECT_EQ(NetConfigRecord(), std::vector<uint8_t>(60, 0));
}

TEST(LegacyCapture, EchoReproducesBytes27To85Exactly) {
  Buffer b = ConfigPacket(0xFA, 0, 86, [](std::size_t i) { return uint8_t(i * 7 + 3); });
  const auto received = b.Slice(27, 59);
  ASSERT_EQ(PreparePackage(b.data(), 86), 0xFA);

  const auto record = NetConfigRecord();
  EXPECT_EQ(record[0], uint8_t(35 * 7 + 3));  // lead byte from 35
  EXPECT_EQ(record[5], uint8_t(28 * 7 + 3));  // first word low byte first
  EXPECT_EQ(record[6], uint8_t(27 * 7 + 3));
  EXPECT_EQ(record[39], 0);
  EXPECT_EQ(record[40], uint8_t(66 * 7 + 3));

  ASSERT_EQ(SendNetConfigration(b.data()), 86);
  EXPECT_EQ(b[0], 0xFE);
  EXPECT_EQ(b[26], 0);
  EXPECT_EQ(b.Slice(27, 59), received);
  velkor::test::ExpectReplyOpens(b);
  ExpectCanaryFrom(b, 86);
}

TEST(NetConfigRecord, NonConfigurationPacketResetsIt) {
  Buffer config = ConfigPacket(0xFF, 1, 86, [](std::size_t) { return uint8_t{0x11}; });
  ASSERT_EQ(PreparePackage(config.data(), 86), 0xFF);
  Buffer b = MakePacket({.code = 0xF8, .type = 0, .length = 26});
  ASSERT_EQ(PreparePackage(b.data(), 26), 0xF8);
  std::vector<uint8_t> reset(60, 0);
  reset[39] = 1;
  EXPECT_EQ(NetConfigRecord(), reset);

  // A reply to a current device sends the reset record as it stands, flag position 0.
  ASSERT_EQ(SendNetConfigration(config.data()), 86);
  EXPECT_EQ(config.Slice(26, 60), std::vector<uint8_t>(60, 0));
}

TEST(NetConfigRecord, RefusedPacketBetweenCaptureAndReplyLeavesIt) {
  Buffer config = ConfigPacket(0xFF, 1, 86, [](std::size_t i) { return uint8_t(i); });
  ASSERT_EQ(PreparePackage(config.data(), 86), 0xFF);
  const auto captured = NetConfigRecord();
  Buffer bad = MakePacket({.code = 0xF8, .length = 26});
  bad[24] ^= 0x01;
  ASSERT_EQ(PreparePackage(bad.data(), 26), 0);
  EXPECT_EQ(NetConfigRecord(), captured);
}

}  // namespace
