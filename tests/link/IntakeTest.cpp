// Opening and checking received packets, and what each accepted packet does to the record.
#include <gtest/gtest.h>

#include <cstring>

#include "NetConfigRecord.h"
#include "Packets.h"
#include "velkorlink.h"

namespace {

using velkor::test::Buffer;
using velkor::test::DevicePacket;
using velkor::test::Hex;
using velkor::test::MakePacket;

// Puts a recognisable configuration into the record, so a test can see whether a later
// packet left it alone.
void CaptureSomething() {
  Buffer config = MakePacket({.code = 0xFF, .type = 1, .length = 86}, false);
  for (std::size_t i = 26; i < 86; ++i) {
    config[i] = static_cast<uint8_t>(i);
  }
  velkor::devicekit::SealAsDevice(config.data());
  ASSERT_EQ(PreparePackage(config.data(), 86), 0xFF);
  ASSERT_EQ(ReadNetConfigration()[39], 0);
}

TEST(PreparePackage, OpensAPacketSealedByADeviceToKnownPlainBytes) {
  // Sealed under the incoming key text by openssl: type 1, serial 00 01 02 03 04 05 06.
  Buffer b;
  const auto wire =
      Hex("F8 00 01 00 01 02 03 04 05 06"
          "bd 1a 43 b6 38 ab a7 2d 91 85 be 62 19 94 5e b8");
  std::copy(wire.begin(), wire.end(), b.data());
  EXPECT_EQ(PreparePackage(b.data(), 26), 0xF8);
  EXPECT_EQ(b.Slice(10, 16), Hex("01 00 01 02 03 04 05 06 12 13 14 15 16 17 7c fc"));
  velkor::test::ExpectCanaryFrom(b, 26);
}

TEST(PreparePackage, ShortPacketIsRefusedUntouched) {
  CaptureSomething();
  const auto before = NetConfigRecord();
  Buffer b = MakePacket({.code = 0xF8, .length = 26});
  const Buffer sealed = b;
  EXPECT_EQ(PreparePackage(b.data(), 25), 0);
  EXPECT_EQ(b.bytes, sealed.bytes);
  EXPECT_EQ(NetConfigRecord(), before);
}

TEST(PreparePackage, RefusalsLeaveTheRecordAsItWas) {
  struct Case {
    const char* what;
    void (*spoil)(Buffer&);
  };
  const Case cases[] = {
      {"serial changed after sealing", [](Buffer& b) { b[9] ^= 0x01; }},
      {"type changed after sealing", [](Buffer& b) { b[2] = 2; }},
      {"block byte flipped", [](Buffer& b) { b[20] ^= 0x80; }},
  };
  for (const auto& c : cases) {
    CaptureSomething();
    const auto before = NetConfigRecord();
    Buffer b = MakePacket({.code = 0xF8, .length = 26});
    c.spoil(b);
    EXPECT_EQ(PreparePackage(b.data(), 26), 0) << c.what;
    EXPECT_EQ(NetConfigRecord(), before) << c.what;
  }
}

TEST(PreparePackage, SwappedCheckValueBytesAreRefused) {
  Buffer b = MakePacket({.code = 0xF8, .length = 26}, false);
  std::memcpy(b.data() + 10, b.data() + 2, 8);
  const uint16_t check = velkor::devicekit::CheckValue(b.data());
  ASSERT_NE(check >> 8, check & 0xFF);
  b[24] = static_cast<uint8_t>(check & 0xFF);  // low byte first: wrong order
  b[25] = static_cast<uint8_t>(check >> 8);
  Buffer right = b;
  std::swap(right[24], right[25]);
  velkor::devicekit::EncryptBlockAsDevice(b.data());
  velkor::devicekit::EncryptBlockAsDevice(right.data());
  EXPECT_EQ(PreparePackage(b.data(), 26), 0);
  EXPECT_EQ(PreparePackage(right.data(), 26), 0xF8);
}

TEST(PreparePackage, DecryptsInPlaceEvenWhenRefused) {
  Buffer b = MakePacket({.code = 0xF8, .length = 26});
  b[5] ^= 0xFF;  // refused at the identity check
  EXPECT_EQ(PreparePackage(b.data(), 26), 0);
  EXPECT_EQ(b.Slice(18, 6), Hex("12 13 14 15 16 17"));  // the plain bytes are visible
}

TEST(PreparePackage, CommandCodeZeroIsDroppedButResetsTheRecord) {
  CaptureSomething();
  Buffer b = MakePacket({.code = 0x00, .length = 26});
  EXPECT_EQ(PreparePackage(b.data(), 26), 0);
  EXPECT_EQ(ReadNetConfigration()[39], 1);
}

TEST(PreparePackage, DispatchOnTypeCodeAndLength) {
  struct Case {
    uint8_t type, code;
    uint32_t length;
    int32_t result;
    uint8_t flag;  // captured flag afterwards: 0 captured, 1 reset
  };
  const Case cases[] = {
      {0, 0xF1, 40, 0xF1, 1}, {0, 0xFF, 85, 0xFF, 1},  {0, 0xFF, 86, 0xFF, 0},
      {0, 0xFA, 86, 0xFA, 0}, {0, 0xFC, 100, 0xFC, 0}, {0, 0xF8, 86, 0xF8, 1},
      {1, 0xFF, 26, 0xFF, 0}, {1, 0xFC, 90, 0xFC, 0},  {1, 0xFA, 86, 0xFA, 1},
      {2, 0xFF, 86, 0xFF, 1}, {0, 0xF2, 28, 0, 1},     {0, 0xF2, 29, 0xF2, 1},
      {1, 0xF2, 29, 0xF2, 1},
  };
  for (const auto& c : cases) {
    CaptureSomething();
    Buffer b = MakePacket({.code = c.code, .type = c.type, .length = c.length});
    EXPECT_EQ(PreparePackage(b.data(), c.length), c.result)
        << "type " << int{c.type} << " code " << int{c.code} << " length " << c.length;
    EXPECT_EQ(ReadNetConfigration()[39], c.flag)
        << "type " << int{c.type} << " code " << int{c.code} << " length " << c.length;
  }
}

TEST(PreparePackage, SecondCallOnTheSameBufferRefuses) {
  Buffer b = MakePacket({.code = 0xF8, .length = 26});
  EXPECT_EQ(PreparePackage(b.data(), 26), 0xF8);
  EXPECT_EQ(PreparePackage(b.data(), 26), 0);
}

TEST(Sealing, ReplyOpensUnderTheOutgoingKeyWithTheReceivedBytes) {
  Buffer b = MakePacket({.code = 0xF8, .type = 1, .serial = 0x00A1B2C3D4E5F6, .length = 26});
  const auto head = b.Slice(1, 9);
  ASSERT_EQ(PreparePackage(b.data(), 26), 0xF8);
  ASSERT_EQ(SendDeviceReadCommand(b.data()), 26);
  EXPECT_EQ(b.Slice(1, 9), head);
  const auto plain = velkor::test::ExpectReplyOpens(b);
  EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 8, head.begin() + 1));
  EXPECT_EQ(std::vector<uint8_t>(plain.begin() + 8, plain.begin() + 14), Hex("12 13 14 15 16 17"));
}

TEST(Sealing, ReplyMatchesAnIndependentlySealedVector) {
  // The plain block 01 00 01 .. 7c fc sealed under the outgoing key text by openssl.
  Buffer b;
  const auto wire =
      Hex("F8 00 01 00 01 02 03 04 05 06"
          "bd 1a 43 b6 38 ab a7 2d 91 85 be 62 19 94 5e b8");
  std::copy(wire.begin(), wire.end(), b.data());
  ASSERT_EQ(PreparePackage(b.data(), 26), 0xF8);
  ASSERT_EQ(SendDeviceReadCommand(b.data()), 26);
  EXPECT_EQ(b.Slice(0, 26), Hex("FD 00 01 00 01 02 03 04 05 06"
                                "22 a9 4d 40 f0 aa 10 49 0a 56 a6 05 7b 03 c5 d3"));
  velkor::test::ExpectCanaryFrom(b, 26);
}

}  // namespace
