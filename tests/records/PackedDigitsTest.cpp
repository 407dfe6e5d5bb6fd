// Packed digit fields, both directions, against literal vectors.
#include <gtest/gtest.h>

#include <string>

#include "Packets.h"
#include "records/PackedDigits.h"

namespace {

using velkor::records::DigitsToPacked;
using velkor::records::PackedToDigits;
using velkor::test::Hex;

std::vector<uint8_t> Pack(const char* text) {
  uint8_t out[6];
  std::fill(std::begin(out), std::end(out), 0xC3);
  DigitsToPacked(out + 1, text);
  EXPECT_EQ(out[0], 0xC3);
  EXPECT_EQ(out[5], 0xC3);
  return {out + 1, out + 5};
}

std::string Unpack(const char* hex, std::vector<uint8_t>* raw = nullptr) {
  const auto field = Hex(hex);
  char text[11];
  std::fill(std::begin(text), std::end(text), '#');
  PackedToDigits(text + 1, field.data());
  EXPECT_EQ(text[0], '#');
  EXPECT_EQ(text[10], '#');
  if (raw != nullptr) {
    raw->assign(text + 1, text + 10);
  }
  return text + 1;
}

TEST(DigitsToPacked, Vectors) {
  const struct {
    const char* text;
    const char* packed;
  } cases[] = {
      {"", "FF FF FF FF"},      {"12345678", "12 34 56 78"},
      {"1234", "12 34 FF FF"},  {"123", "12 3F FF FF"},
      {"7", "7F FF FF FF"},     {"123456789", "12 34 56 78"},  // the ninth digit is dropped
      {"12a45", "12 FF FF FF"},                                // stops at the letter
      {"12 4", "12 FF FF FF"},  {"A123", "FF FF FF FF"},
      {"1\xB9", "1F FF FF FF"},  // bytes of 0x80 and above are not digits
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Pack(c.text), Hex(c.packed)) << '"' << c.text << '"';
  }
}

TEST(DigitsToPacked, ReadsNothingPastTheTerminatorOrTheEighthDigit) {
  const char three[] = {'1', '2', '3', '\0'};  // exactly 4 bytes: ASan would see a read past
  EXPECT_EQ(Pack(three), Hex("12 3F FF FF"));
  const char eight[] = {'8', '7', '6', '5', '4', '3', '2', '1'};  // no terminator at all
  EXPECT_EQ(Pack(eight), Hex("87 65 43 21"));
}

TEST(PackedToDigits, Vectors) {
  const struct {
    const char* packed;
    const char* text;
  } cases[] = {
      {"FF FF FF FF", ""},      {"00 00 00 00", "00000000"}, {"12 34 56 78", "12345678"},
      {"12 3F FF FF", "123"},   {"A0 12 34 56", ""},         {"12 34 B5 67", "1234"},
      {"12 34 5C 67", "12345"}, {"99 99 99 99", "99999999"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Unpack(c.packed), c.text) << c.packed;
  }
}

TEST(PackedToDigits, AlwaysWritesAllNineBytes) {
  std::vector<uint8_t> raw;
  Unpack("A0 00 00 00", &raw);
  EXPECT_EQ(raw, std::vector<uint8_t>(9, 0));
  Unpack("12 34 56 78", &raw);
  EXPECT_EQ(raw[8], 0);
}

TEST(PackedDigits, EveryLengthRoundTrips) {
  const std::string digits = "90817263";
  for (std::size_t n = 0; n <= 8; ++n) {
    const std::string text = digits.substr(0, n);
    const auto packed = Pack(text.c_str());
    char back[9];
    PackedToDigits(back, packed.data());
    EXPECT_EQ(std::string(back), text);
  }
}

}  // namespace
