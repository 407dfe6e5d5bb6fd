// Frame fields and the reconnect packet.
#include <gtest/gtest.h>

#include "Packets.h"
#include "velkorlink.h"

namespace {

using velkor::test::Buffer;
using velkor::test::Hex;

TEST(GetDeviceIdent, ReadsBytesThreeToNineBigEndian) {
  const struct {
    const char* serial;
    uint64_t expected;
  } cases[] = {
      {"01 02 03 04 05 06 07", 0x01020304050607ull},
      {"FF FF FF FF FF FF FF", 0x00FFFFFFFFFFFFFFull},
      {"00 00 00 00 00 00 01", 1},
  };
  for (const auto& c : cases) {
    Buffer b;
    const auto serial = Hex(c.serial);
    std::copy(serial.begin(), serial.end(), b.data() + 3);
    EXPECT_EQ(GetDeviceIdent(b.data()), c.expected) << c.serial;
  }
}

TEST(GetDeviceType, IsUnsigned) {
  Buffer b;
  b[2] = 0xFF;
  EXPECT_EQ(GetDeviceType(b.data()), 255);
  b[2] = 0;
  EXPECT_EQ(GetDeviceType(b.data()), 0);
}

TEST(GetReconnectPackage, BuildsTheSameUnsealedHeadWhateverTheBufferHeld) {
  const auto expected =
      Hex("FE 00 48 5A 35 52 57 38 4B 44"                      // code, 0, "HZ5RW8KD"
          "42 36 4D 4A 54 32 46 59 43 39 47 53 45 34 55 41");  // "B6MJT2FYC9GSE4UA"
  Buffer canary;
  Buffer received = velkor::test::MakePacket({.code = 0xF8, .type = 1, .length = 60});
  for (Buffer* b : {&canary, &received}) {
    EXPECT_EQ(GetReconnectPackage(b->data()), 26);
    EXPECT_EQ(b->Slice(0, 26), expected);
  }
  velkor::test::ExpectCanaryFrom(canary, 26);
  velkor::test::ExpectCanaryFrom(received, 60);
}

}  // namespace
