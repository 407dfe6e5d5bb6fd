// The clock command at pinned local instants: the time one second before, in BCD, with the
// weekday as a plain number, Sunday 0 .. Saturday 6.
#include <gtest/gtest.h>

#include <chrono>

#include "Packets.h"
#include "peripherals/Clock.h"
#include "velkorlink.h"

namespace {

using namespace velkor::test;
using namespace std::chrono;

local_seconds pinned;

local_seconds At(int y, unsigned mo, unsigned d, int h, int mi, int s) {
  return local_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s};
}

TEST(SendTimer, PinnedInstants) {
  const struct {
    local_seconds now;
    const char* current;  // bytes 26..40
    const char* legacy;   // frame, bytes 86..101
  } cases[] = {
      {At(2024, 3, 10, 0, 0, 0), "01 00 59 59 23 06 09 03 24 AA AA AA AA AA AA",
       "5A 5A 80 24 03 09 23 59 59 AA AA AA AA 2D A5 A5"},
      {At(2024, 3, 10, 12, 0, 0), "01 00 59 59 11 00 10 03 24 AA AA AA AA AA AA",
       "5A 5A 80 24 03 10 11 59 59 AA AA AA AA 22 A5 A5"},
      {At(2024, 3, 11, 8, 30, 15), "01 00 14 30 08 01 11 03 24 AA AA AA AA AA AA",
       "5A 5A 80 24 03 11 08 30 14 AA AA AA AA AC A5 A5"},
      {At(2024, 3, 1, 0, 0, 0), "01 00 59 59 23 04 29 02 24 AA AA AA AA AA AA",
       "5A 5A 80 24 02 29 23 59 59 AA AA AA AA 4C A5 A5"},
      {At(2000, 1, 1, 0, 0, 0), "01 00 59 59 23 05 31 12 99 AA AA AA AA AA AA",
       "5A 5A 80 99 12 31 23 59 59 AA AA AA AA D9 A5 A5"},
      {At(2000, 1, 1, 0, 0, 1), "01 00 00 00 00 06 01 01 00 AA AA AA AA AA AA",
       "5A 5A 80 00 01 01 00 00 00 AA AA AA AA 2A A5 A5"},
  };
  const auto previous = velkor::peripherals::ReplaceLocalClock([] { return pinned; });
  for (const auto& c : cases) {
    pinned = c.now;
    for (uint8_t type : {1, 0}) {
      Buffer b = MakePacket({.code = 0xF8, .type = type, .length = 26});
      ASSERT_EQ(PreparePackage(b.data(), 26), 0xF8);
      const int32_t length = type == 0 ? 102 : 41;
      ASSERT_EQ(SendTimer(b.data()), length);
      EXPECT_EQ(b[0], 0xF9);
      EXPECT_EQ(b.Slice(type == 0 ? 86 : 26, type == 0 ? 16 : 15),
                Hex(type == 0 ? c.legacy : c.current));
      if (type == 0) {  // the legacy reply: marker 1, then the (reset) configuration echo
        EXPECT_EQ(b[26], 1);
        EXPECT_EQ(b.Slice(27, 59), std::vector<uint8_t>(59, 0));
      }
      ExpectReplyOpens(b);
      ExpectCanaryFrom(b, static_cast<std::size_t>(length));
    }
  }
  velkor::peripherals::ReplaceLocalClock(previous);
}

}  // namespace
