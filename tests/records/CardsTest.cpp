// Card lists: host records to 15-byte wire records and back.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "Packets.h"
#include "RecordPackets.h"
#include "velkorlink.h"

namespace {

using namespace velkor::test;

// Flags in record order: flag0..flag4, flag7, flag6.
CardRecord Card(int64_t number, const char* password, std::array<uint8_t, 5> stamp,
                std::array<uint8_t, 7> flags) {
  CardRecord c{};
  c.cardNumber = number;
  for (std::size_t i = 0; i < sizeof c.password && password[i] != 0; ++i) {
    c.password[i] = password[i];
  }
  c.year = stamp[0];
  c.month = stamp[1];
  c.day = stamp[2];
  c.hour = stamp[3];
  c.param = stamp[4];
  uint8_t* out[] = {&c.flag0, &c.flag1, &c.flag2, &c.flag3, &c.flag4, &c.flag7, &c.flag6};
  for (std::size_t i = 0; i < flags.size(); ++i) {
    *out[i] = flags[i];
  }
  return c;
}

CardRecord CardA(uint8_t flag2) {
  return Card(0x123456789A, "1234567", {24, 12, 31, 23, 0x5C}, {1, 0, flag2, 0, 0, 1, 0});
}

CardRecord CardB(int64_t number, uint8_t f, const char* password) {
  return Card(number, password, {0, 1, 2, 0, 0}, {f, f, f, f, f, f, f});
}

// Card A: a non-zero flag byte counts as set. Card B: bits above 40 and the ninth digit are
// dropped, every flag set leaves bit 5 clear.
const char* const kWireAB =
    "12 34 56 78 9A  12 34 56 7F  24 12 31 23  5C  85"
    "00 00 00 00 01  87 65 43 21  00 01 02 00  00  DF";

TEST(Cards, SendAndReadBack) {
  Buffer b = Accepted();
  const auto head = b.Slice(1, 9);
  const CardRecord cards[] = {CardA(7), CardB(int64_t(0xFFFFFF0000000001), 0xFF, "876543219")};
  ASSERT_EQ(SendCards(b.data(), 2, cards), 56);
  EXPECT_EQ(b[0], 0xF7);
  EXPECT_EQ(b.Slice(1, 9), head);
  EXPECT_EQ(b.Slice(26, 30), Hex(kWireAB));
  ExpectReplyOpens(b);
  ExpectCanaryFrom(b, 56);

  EXPECT_EQ(GetCards(b.data(), 56, nullptr), 0);  // its own reply is not a card list
  b[0] = 0xF8;
  CardRecord back[3];
  FillCanary(back);
  ASSERT_EQ(GetCards(b.data(), 56, back), 2);
  EXPECT_EQ(Bytes(back[0]), Bytes(CardA(1)));
  EXPECT_EQ(Bytes(back[1]), Bytes(CardB(1, 1, "87654321")));
  EXPECT_TRUE(IsCanary(back[2]));
}

TEST(Cards, FlagBits) {
  const struct {
    int flag;  // host boolean set: 0..4 = flag0..flag4, 6, 7
    uint8_t byte;
  } cases[] = {{0, 0x01}, {1, 0x02}, {2, 0x04}, {3, 0x08}, {4, 0x10}, {6, 0x40}, {7, 0x80}};
  for (const auto& c : cases) {
    CardRecord card = CardB(0, 0, "");
    uint8_t* flags[] = {&card.flag0, &card.flag1, &card.flag2, &card.flag3,
                        &card.flag4, nullptr,     &card.flag6, &card.flag7};
    *flags[c.flag] = 1;
    Buffer b = Accepted();
    ASSERT_EQ(SendCards(b.data(), 1, &card), 41);
    EXPECT_EQ(b[40], c.byte) << "flag" << c.flag;
    EXPECT_EQ(b.Slice(31, 4), Hex("FF FF FF FF"));  // empty password
  }
  // Received: bit 5 is never read, every other bit reads back as exactly 1.
  const struct {
    uint8_t byte;
    const char* flags;  // record bytes 23..29: flag0..flag4, flag7, flag6
  } received[] = {{0xFF, "01 01 01 01 01 01 01"},
                  {0x20, "00 00 00 00 00 00 00"},
                  {0x41, "01 00 00 00 00 00 01"},
                  {0x9E, "00 01 01 01 01 01 00"}};
  for (const auto& r : received) {
    Buffer b = Received(0xF8, "");
    b[40] = r.byte;
    CardRecord card;
    ASSERT_EQ(GetCards(b.data(), 41, &card), 1);
    EXPECT_EQ(Bytes(card, 23), Hex(r.flags)) << std::hex << int{r.byte};
  }
}

TEST(Cards, SendClampsToEightyEight) {
  std::vector<CardRecord> cards(100, CardA(0));
  const struct {
    int32_t count, length;
  } cases[] = {{0, 26}, {-5, 26}, {1, 41}, {88, 1346}, {100, 1346}};
  for (const auto& c : cases) {
    Buffer b = Accepted();
    ASSERT_EQ(SendCards(b.data(), c.count, cards.data()), c.length) << c.count;
    EXPECT_EQ(b[0], 0xF7);
    ExpectReplyOpens(b);
    ExpectCanaryFrom(b, static_cast<std::size_t>(c.length));
  }
}

TEST(Cards, ReadCountFollowsTheLengthWithoutCap) {
  std::vector<uint8_t> packet(26 + 15 * 200, 0);
  packet[0] = 0xF8;
  std::vector<CardRecord> cards(201);
  const struct {
    uint32_t length;
    int32_t records;
  } cases[] = {{0, 0}, {25, 0}, {26, 0}, {40, 0}, {41, 1}, {26 + 15 * 200, 200}};
  for (const auto& c : cases) {
    std::memset(cards.data(), kCanary, cards.size() * sizeof(CardRecord));
    EXPECT_EQ(GetCards(packet.data(), c.length, cards.data()), c.records) << c.length;
    EXPECT_TRUE(IsCanary(cards[static_cast<std::size_t>(c.records)])) << c.length;
  }
  packet[0] = 0xF7;
  std::memset(cards.data(), kCanary, sizeof(CardRecord));
  EXPECT_EQ(GetCards(packet.data(), 41, cards.data()), 0);
  EXPECT_TRUE(IsCanary(cards[0]));
}

}  // namespace
