// Voice data requests from legacy devices and their replies.
#include <gtest/gtest.h>

#include <cstring>

#include "Packets.h"
#include "velkorlink.h"

namespace {

using velkor::test::Buffer;
using velkor::test::Hex;
using velkor::test::MakePacket;

uint16_t Element(uint8_t* packet, int index) {
  uint16_t value;
  std::memcpy(&value, reinterpret_cast<uint8_t*>(GetSoundBuffer(packet)) + 2 * index, 2);
  return value;
}

Buffer VoiceRequest(std::size_t length, uint8_t type = 0) {
  Buffer b = MakePacket({.code = 0xF2, .type = type, .length = length}, false);
  b[27] = 0x01;
  b[28] = 0x02;
  velkor::devicekit::SealAsDevice(b.data());
  return b;
}

TEST(VoiceData, MinimalRequestAndReply) {
  Buffer b = VoiceRequest(29);
  ASSERT_EQ(PreparePackage(b.data(), 29), 0xF2);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(GetSoundBuffer(b.data())), b.data() + 25);
  EXPECT_EQ(b.Slice(25, 4), Hex("00 00 02 01"));
  EXPECT_EQ(Element(b.data(), 0), 0);
  EXPECT_EQ(Element(b.data(), 1), 0x0102);

  ASSERT_EQ(SendSoundData(b.data()), 29);
  EXPECT_EQ(b[0], 0xF1);
  EXPECT_EQ(b[26], 0);
  EXPECT_EQ(b.Slice(27, 2), Hex("01 02"));
  velkor::test::ExpectReplyOpens(b);
  velkor::test::ExpectCanaryFrom(b, 29);
}

TEST(VoiceData, HostSuppliesMoreDataThanTheRequestCarried) {
  Buffer b = VoiceRequest(40);
  ASSERT_EQ(PreparePackage(b.data(), 40), 0xF2);
  EXPECT_EQ(Element(b.data(), 0), 11);
  for (int i = 0; i < 300; ++i) {
    b[29 + static_cast<std::size_t>(i)] = static_cast<uint8_t>(i);
  }
  const uint16_t count = 300;
  std::memcpy(GetSoundBuffer(b.data()), &count, 2);
  ASSERT_EQ(SendSoundData(b.data()), 329);
  EXPECT_EQ(b[0], 0xF1);
  EXPECT_EQ(b.Slice(27, 2), Hex("01 02"));
  EXPECT_EQ(b[29 + 299], uint8_t(299));
  velkor::test::ExpectReplyOpens(b);
}

TEST(VoiceData, ShortRequestIsDropped) {
  Buffer b = VoiceRequest(28);
  EXPECT_EQ(PreparePackage(b.data(), 28), 0);
}

TEST(VoiceData, CurrentDeviceRequestIsNotRewritten) {
  Buffer b = VoiceRequest(29, 1);
  ASSERT_EQ(PreparePackage(b.data(), 29), 0xF2);
  const uint16_t check = velkor::devicekit::CheckValue(b.data());
  EXPECT_EQ(b[25], check & 0xFF);  // still the check value
  EXPECT_EQ(b.Slice(26, 3), Hex("00 01 02"));
}

}  // namespace
