// The network configuration record as the library holds it now, for tests to compare.
#pragma once

#include <cstdint>
#include <vector>

#include "velkorlink.h"

inline std::vector<std::uint8_t> NetConfigRecord() {
  const std::uint8_t* record = ReadNetConfigration();
  return {record, record + 60};
}
