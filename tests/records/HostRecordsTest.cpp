// The packed host records as a C host lays them out: no gaps, back to back in arrays.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

extern "C" const size_t velkor_c_record_layout[];
extern "C" const size_t velkor_c_record_layout_count;

TEST(HostRecords, CLayoutHasNoGaps) {
  // Sizes and arrays of two, then the offsets of the fields that follow a wide one.
  const std::vector<size_t> expected = {30, 60, 49, 98, 4, 26, 52,  // sizes
                                        8,  17, 19, 28, 2, 42, 2};  // offsets
  EXPECT_EQ(std::vector<size_t>(velkor_c_record_layout,
                                velkor_c_record_layout + velkor_c_record_layout_count),
            expected);
}
