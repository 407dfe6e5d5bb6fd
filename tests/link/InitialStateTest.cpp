// The configuration record of a freshly loaded library. This binary holds only these cases, so
// whichever runs first sees the library as loaded.
#include <gtest/gtest.h>

#include "Packets.h"
#include "velkorlink.h"

namespace {

TEST(InitialState, RecordIsZeroAndSentAsZeros) {
  const uint8_t* record = ReadNetConfigration();
  EXPECT_EQ(std::vector<uint8_t>(record, record + 60), std::vector<uint8_t>(60, 0));

  velkor::test::Buffer b = velkor::test::MakePacket({.code = 0xF8, .type = 1, .length = 26});
  // Not passed to PreparePackage: the block is sealed bytes, and the record stays initial.
  ASSERT_EQ(SendNetConfigration(b.data()), 86);
  EXPECT_EQ(b.Slice(26, 60), std::vector<uint8_t>(60, 0));
  velkor::test::ExpectCanaryFrom(b, 86);
}

}  // namespace
