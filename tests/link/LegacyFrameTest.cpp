// The legacy reply builder that every command for a legacy controller goes through.
#include <gtest/gtest.h>

#include <vector>

#include "Packets.h"
#include "link/LegacyFrame.h"
#include "velkorlink.h"

namespace {

using velkor::test::Buffer;
using velkor::test::Hex;
using velkor::test::MakePacket;

TEST(LegacyFrame, ByteVectors) {
  const struct {
    uint8_t opcode;
    std::vector<uint8_t> data;
    const char* frame;
  } cases[] = {
      {0xB0, {0x03}, "5A 5A B0 03 AA AA AA AA AA AA AA AA AA AD A5 A5"},
      {0x80, {}, "5A 5A 80 AA AA AA AA AA AA AA AA AA AA 24 A5 A5"},
      {0x90, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "5A 5A 90 01 02 03 04 05 06 07 08 09 0A C7 A5 A5"},
  };
  for (const auto& c : cases) {
    Buffer b = MakePacket({.code = 0xF8, .type = 0, .length = 26});
    ASSERT_EQ(PreparePackage(b.data(), 26), 0xF8);
    ASSERT_EQ(velkor::link::SendLegacyFrame(b.data(), c.opcode, c.data), 102);
    EXPECT_EQ(b[0], 0xF9);
    EXPECT_EQ(b[26], 1);
    EXPECT_EQ(b.Slice(86, 16), Hex(c.frame));
    // After a packet without configuration the echo carries zeros.
    EXPECT_EQ(b.Slice(27, 59), std::vector<uint8_t>(59, 0));
    velkor::test::ExpectReplyOpens(b);
    velkor::test::ExpectCanaryFrom(b, 102);
  }
}

TEST(LegacyFrame, EchoesACapturedConfiguration) {
  Buffer b = MakePacket({.code = 0xFF, .type = 0, .length = 86}, false);
  for (std::size_t i = 26; i < 86; ++i) {
    b[i] = static_cast<uint8_t>(0x80 + i);
  }
  velkor::devicekit::SealAsDevice(b.data());
  const auto received = b.Slice(27, 59);
  ASSERT_EQ(PreparePackage(b.data(), 86), 0xFF);
  ASSERT_EQ(velkor::link::SendLegacyFrame(b.data(), 0xB0, std::vector<uint8_t>{3}), 102);
  EXPECT_EQ(b.Slice(27, 59), received);
  EXPECT_EQ(b[26], 1);
}

}  // namespace
