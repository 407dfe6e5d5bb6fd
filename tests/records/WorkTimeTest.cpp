// Work-time schedules: host records to 32-byte wire records and back.
#include <gtest/gtest.h>

#include <vector>

#include "Packets.h"
#include "RecordPackets.h"
#include "velkorlink.h"

namespace {

using namespace velkor::test;

constexpr WorkTimePeriod kNone = {255, 255, 255, 255};

TEST(WorkTime, PeriodsAreCheckedOnTheirSums) {
  const WorkTimeSchedule schedules[] = {
      {0xAB,
       0xCD,
       {{0, 0, 24, 0}, {23, 59, 24, 0}, {23, 59, 24, 1}, {8, 30, 8, 30}, {10, 75, 12, 0}, kNone}},
      {0x00, 0xFF, {{0, 0, 0, 0}, {12, 0, 11, 0}, {7, 5, 17, 45}, kNone, kNone, {0, 0, 0, 1}}},
  };
  Buffer b = Accepted();
  const auto head = b.Slice(1, 9);
  ASSERT_EQ(SendWorkTime(b.data(), 2, schedules), 90);
  EXPECT_EQ(b[0], 0xF3);
  EXPECT_EQ(b.Slice(1, 9), head);
  EXPECT_EQ(b.Slice(26, 64), Hex("AB CD  A5 00 00 24 00  A5 23 59 24 00  00 00 00 00 00"
                                 "00 00 00 00 00  A5 10 75 12 00  00 00 00 00 00"
                                 "00 FF  00 00 00 00 00  00 00 00 00 00  A5 07 05 17 45"
                                 "00 00 00 00 00  00 00 00 00 00  A5 00 00 00 01"));
  ExpectReplyOpens(b);
  ExpectCanaryFrom(b, 90);

  // Read back: absent periods as 255 in every field, present ones unchanged.
  b[0] = 0xF4;
  WorkTimeSchedule back[3];
  FillCanary(back);
  ASSERT_EQ(GetWorkTime(b.data(), 90, back), 2);
  const WorkTimeSchedule expected[] = {
      {0xAB, 0xCD, {{0, 0, 24, 0}, {23, 59, 24, 0}, kNone, kNone, {10, 75, 12, 0}, kNone}},
      {0x00, 0xFF, {kNone, kNone, {7, 5, 17, 45}, kNone, kNone, {0, 0, 0, 1}}},
  };
  EXPECT_EQ(Bytes(back[0]), Bytes(expected[0]));
  EXPECT_EQ(Bytes(back[1]), Bytes(expected[1]));
  EXPECT_TRUE(IsCanary(back[2]));
}

TEST(WorkTime, OnlyTheA5MarkerMakesAReceivedPeriodPresent) {
  const Buffer b = Received(0xF4,
                            "01 02  00 08 00 17 00  A4 08 00 17 00  FF 08 00 17 00"
                            "A5 08 00 17 00  A5 23 00 08 00  A6 08 00 17 00");
  WorkTimeSchedule s;
  ASSERT_EQ(GetWorkTime(b.data(), 58, &s), 1);
  const WorkTimeSchedule expected = {
      1, 2, {kNone, kNone, kNone, {8, 0, 17, 0}, {23, 0, 8, 0}, kNone}};
  EXPECT_EQ(Bytes(s), Bytes(expected));
}

TEST(WorkTime, SendClampsToSixteen) {
  const std::vector<WorkTimeSchedule> schedules(20, WorkTimeSchedule{1, 2, {{8, 0, 17, 0}}});
  const struct { int32_t count, length; } cases[] = {{0, 26}, {-3, 26}, {16, 538}, {20, 538}};
  for (const auto& c : cases) {
    Buffer b = Accepted();
    ASSERT_EQ(SendWorkTime(b.data(), c.count, schedules.data()), c.length) << c.count;
    EXPECT_EQ(b[0], 0xF3);
    ExpectReplyOpens(b);
    ExpectCanaryFrom(b, static_cast<std::size_t>(c.length));
  }
}

TEST(WorkTime, ReadCountIsCappedAtSixteen) {
  const Buffer b = Received(0xF4, "");
  WorkTimeSchedule s[17];
  const struct {
    uint32_t length;
    int32_t records;
  } cases[] = {{0, 0}, {25, 0}, {57, 0}, {58, 1}, {26 + 32 * 20, 16}};
  for (const auto& c : cases) {
    FillCanary(s);
    EXPECT_EQ(GetWorkTime(b.data(), c.length, s), c.records) << c.length;
    EXPECT_TRUE(IsCanary(s[c.records])) << c.length;
  }
  Buffer other = b;
  other[0] = 0xF3;
  FillCanary(s);
  EXPECT_EQ(GetWorkTime(other.data(), 58, s), 0);
  EXPECT_TRUE(IsCanary(s[0]));
}

}  // namespace
