// The utility stand-in against its contract: known answers from independent sources (the
// openssl command line for Triple DES, the CRC catalogue for the check value).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <thread>

#include "Packets.h"
#include "velkorutils.h"

namespace {

using velkor::test::Hex;

TEST(Backward, ReversesEachContractedCountAndWritesNothingElse) {
  const std::uint8_t source[7] = {1, 2, 3, 4, 5, 6, 7};
  for (int count : {2, 4, 5, 6, 7}) {
    std::array<std::uint8_t, 9> out;
    out.fill(0xEE);
    Backward(out.data() + 1, source, count);
    EXPECT_EQ(out[0], 0xEE) << count;
    for (int i = 0; i < count; ++i) {
      EXPECT_EQ(out[1 + i], source[count - 1 - i]) << count;
    }
    EXPECT_EQ(out[1 + count], 0xEE) << count;
  }
}

TEST(PackedBcd, KnownBytesAndEveryDecimalValueRoundTrips) {
  const struct {
    int32_t value, bcd;
  } known[] = {{0, 0x00}, {9, 0x09}, {10, 0x10}, {45, 0x45}, {59, 0x59}, {99, 0x99}};
  for (const auto& k : known) {
    EXPECT_EQ(IntToBCD(k.value), k.bcd) << k.value;
    EXPECT_EQ(BCDToInt(k.bcd), k.value) << k.value;
  }
  for (int v = 0; v <= 99; ++v) {
    EXPECT_EQ(BCDToInt(IntToBCD(v)), v);
  }
}

TEST(PackedBcd, DocumentedRulesOutsideTheContract) {
  EXPECT_EQ(IntToBCD(123), 0x23);  // last two decimal digits
  EXPECT_EQ(BCDToInt(0x1A), 20);   // 1 * 10 + 10
  EXPECT_EQ(BCDToInt(0xFF), 165);  // 15 * 10 + 15
  EXPECT_EQ(BCDToInt(0x123), 23);  // only the low byte counts
}

TEST(SumByte, KeepsTheLowEightBits) {
  const auto bytes = Hex("B0 03 AA AA AA AA AA AA AA AA AA");
  EXPECT_EQ(SumByte(bytes.data(), 11), 0xAD);
}

TEST(LeftShiftKey, RotatesTheKeyTextLeftByOneBit) {
  std::uint8_t key[16];
  std::memcpy(key, "B6MJT2FYC9GSE4UA", 16);
  LeftShiftKey(key);
  const auto expected = Hex("84 6c 9a 94 a8 64 8c b2 86 72 8e a6 8a 68 aa 82");
  EXPECT_EQ(std::vector<std::uint8_t>(key, key + 16), expected);

  std::uint8_t top[16] = {0x80};  // the top bit wraps round to the bottom
  LeftShiftKey(top);
  EXPECT_EQ(top[0], 0x00);
  EXPECT_EQ(top[15], 0x01);
}

struct CipherVector {
  const char* key;
  const char* plain;
  const char* sealed;
};

// Sealed columns come from `openssl enc -des-ede-ecb -nopad -K <key>`.
const CipherVector kCipherVectors[] = {
    {"00112233445566778899aabbccddeeff", "30313233343536373839616263646566",
     "b4c9f01a3f7ebdafe164575cd3e413ed"},
    {"846c9a94a8648cb286728ea68a68aa82", "01000102030405061213141516177cfc",
     "bd1a43b638aba72d9185be6219945eb8"},
    {"90b46aa4ae7096889caca066a2b06e98", "01000102030405061213141516177cfc",
     "22a94d40f0aa10490a56a6057b03c5d3"},
};

TEST(TripleDes, MatchesKnownAnswersAndDecryptInverts) {
  for (const auto& v : kCipherVectors) {
    const auto key = Hex(v.key);
    auto data = Hex(v.plain);
    TripleDES_Encrypt(key.data(), data.data(), 16);
    EXPECT_EQ(data, Hex(v.sealed)) << v.key;
    TripleDES_Decrypt(key.data(), data.data(), 16);
    EXPECT_EQ(data, Hex(v.plain)) << v.key;
  }
}

TEST(TripleDes, AlternatingKeysAndThreadsGiveTheSameAnswers) {
  // The stand-in keeps keyed contexts per thread; switching keys must re-key every time.
  auto run = [] {
    for (int round = 0; round < 50; ++round) {
      for (const auto& v : kCipherVectors) {
        const auto key = Hex(v.key);
        auto data = Hex(v.plain);
        TripleDES_Encrypt(key.data(), data.data(), 16);
        ASSERT_EQ(data, Hex(v.sealed));
      }
    }
  };
  std::thread other(run);
  run();
  other.join();
}

TEST(CalcRegisterSum, IsCrc16CcittFalseOverTheFirstFourteenBytes) {
  std::uint8_t block[16] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(CalcRegisterSum(Hex("01 00 01 02 03 04 05 06 12 13 14 15 16 17 00 00").data()), 0x7CFC);
  EXPECT_EQ(CalcRegisterSum(Hex("00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 00 00").data()), 0x78CB);
  const int32_t before = CalcRegisterSum(block);
  block[14] = 0x12;  // the stored check value itself does not count
  block[15] = 0x34;
  EXPECT_EQ(CalcRegisterSum(block), before);
}

}  // namespace
