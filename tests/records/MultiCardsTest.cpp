// Multi-card groups: host records to 32-byte wire records and back.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "Packets.h"
#include "RecordPackets.h"
#include "velkorlink.h"

namespace {

using namespace velkor::test;

// Flags: flag0..flag4.
MultiCardGroup Group(uint8_t number, std::array<int64_t, 5> cards, uint8_t enabled,
                     std::array<uint8_t, 5> flags, uint8_t param = 0x11) {
  MultiCardGroup g = {number,   param,    {},       static_cast<uint8_t>(param * 2),
                      enabled,  flags[0], flags[1], flags[2],
                      flags[3], flags[4]};
  std::copy(cards.begin(), cards.end(), g.cardNumbers);
  return g;
}

TEST(MultiCards, SendCompactsSlotsAndReadsBack) {
  Buffer b = Accepted();
  const auto head = b.Slice(1, 9);
  // Empty slots are any negative number; card 0 is a member; bits above 40 are dropped.
  const MultiCardGroup groups[] = {
      Group(5, {-1, 0x0102030405, -2, 0, INT64_MIN}, 9, {1, 0, 0, 0, 0xFF}),
      Group(31, {-1, -1, -1, -1, -1}, 0, {0, 0, 0, 0, 0}),
      Group(40, {0x7FFFFF0000000123, -1, -1, -1, -1}, 1, {0, 0, 0, 0, 0}),  // not range-tested here
  };
  ASSERT_EQ(SendMultiCards(b.data(), 3, groups), 122);
  EXPECT_EQ(b[0], 0xF5);
  EXPECT_EQ(b.Slice(1, 9), head);
  EXPECT_EQ(b.Slice(26, 96), Hex("05 11 02 11  01 02 03 04 05  00 00 00 00 00"
                                 "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF  22 00 A4"
                                 "1F 11 00 00  FF FF FF FF FF FF FF FF FF FF FF FF FF"
                                 "FF FF FF FF FF FF FF FF FF FF FF FF  22 00 00"
                                 "28 11 01 00  00 00 00 01 23  FF FF FF FF FF FF FF FF FF FF"
                                 "FF FF FF FF FF FF FF FF FF FF  22 00 A4"));
  ExpectReplyOpens(b);
  ExpectCanaryFrom(b, 122);

  // Read back: slot order is kept, positions are not; group 40 is dropped.
  b[0] = 0xF6;
  MultiCardGroup back[3];
  FillCanary(back);
  ASSERT_EQ(GetMultiCards(b.data(), 122, back), 2);
  EXPECT_EQ(Bytes(back[0]), Bytes(Group(5, {0x0102030405, 0, -1, -1, -1}, 1, {1, 0, 0, 0, 1})));
  EXPECT_EQ(Bytes(back[1]), Bytes(Group(31, {-1, -1, -1, -1, -1}, 0, {0, 0, 0, 0, 0})));
  EXPECT_TRUE(IsCanary(back[2]));
}

TEST(MultiCards, ReceivedFieldsAndSkippedGroups) {
  // Groups 5, 40 and 7; group 5 claims 7 cards, group 7 none; markers A5 and FF; flags FF.
  const Buffer b = Received(0xF6,
                            "05 00 07 FF  00 00 00 00 01  00 00 00 00 02  00 00 00 00 03"
                            "00 00 00 00 04  FF FF FF FF FF  00 00 A5"
                            "28 00 01 00  00 00 00 00 09  FF FF FF FF FF FF FF FF FF FF"
                            "FF FF FF FF FF FF FF FF FF FF  00 00 A4"
                            "07 00 00 E0  00 00 00 00 01  00 00 00 00 02  00 00 00 00 03"
                            "00 00 00 00 04  00 00 00 00 05  00 00 FF");
  MultiCardGroup g[3];
  FillCanary(g);
  ASSERT_EQ(GetMultiCards(b.data(), 122, g), 2);
  EXPECT_EQ(Bytes(g[0]), Bytes(Group(5, {1, 2, 3, 4, 0xFFFFFFFFFF}, 0, {1, 1, 1, 1, 1}, 0)));
  EXPECT_EQ(Bytes(g[1]), Bytes(Group(7, {-1, -1, -1, -1, -1}, 0, {0, 0, 0, 0, 0}, 0)));
  EXPECT_TRUE(IsCanary(g[2]));
}

TEST(MultiCards, SendClampsToThirtyTwo) {
  const std::vector<MultiCardGroup> groups(40, Group(1, {1, 2, 3, 4, 5}, 1, {1, 1, 1, 1, 1}));
  const struct { int32_t count, length; } cases[] = {{0, 26}, {-1, 26}, {32, 1050}, {40, 1050}};
  for (const auto& c : cases) {
    Buffer b = Accepted();
    ASSERT_EQ(SendMultiCards(b.data(), c.count, groups.data()), c.length) << c.count;
    EXPECT_EQ(b[0], 0xF5);
    ExpectReplyOpens(b);
    ExpectCanaryFrom(b, static_cast<std::size_t>(c.length));
  }
}

TEST(MultiCards, ReadCountIsCappedAtThirtyTwo) {
  Buffer b = Received(0xF6, "");
  std::fill(b.data() + 26, b.data() + 26 + 32 * 40, 0);  // forty groups numbered 0
  MultiCardGroup g[33];
  const struct {
    uint32_t length;
    int32_t records;
  } cases[] = {{0, 0}, {25, 0}, {57, 0}, {58, 1}, {26 + 32 * 40, 32}};
  for (const auto& c : cases) {
    FillCanary(g);
    EXPECT_EQ(GetMultiCards(b.data(), c.length, g), c.records) << c.length;
    EXPECT_TRUE(IsCanary(g[c.records])) << c.length;
  }
  b[0] = 0xF5;
  FillCanary(g);
  EXPECT_EQ(GetMultiCards(b.data(), 58, g), 0);
  EXPECT_TRUE(IsCanary(g[0]));
}

}  // namespace
