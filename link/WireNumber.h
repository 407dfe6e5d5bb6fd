// Big-endian wire numbers (card numbers, serials, counters) to and from host integers. Both
// directions go through the utility library's Backward: the wire bytes reversed are the
// number's bytes, least significant first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/Utility.h"

namespace velkor::link {

// The `count` (at most 8) wire bytes, most significant first, as an unsigned number.
inline std::uint64_t ReadWireNumber(const std::uint8_t* wire, std::size_t count) {
  std::uint8_t little_endian[sizeof(std::uint64_t)] = {};
  Backward(little_endian, wire, static_cast<int32_t>(count));
  std::uint64_t number = 0;
  for (std::size_t i = sizeof little_endian; i-- > 0;) {
    number = (number << 8) | little_endian[i];
  }
  return number;
}

// The low `count` (at most 8) bytes of `number`, most significant first.
inline void WriteWireNumber(std::uint8_t* wire, std::uint64_t number, std::size_t count) {
  std::uint8_t little_endian[sizeof(std::uint64_t)];
  for (std::size_t i = 0; i < sizeof little_endian; ++i) {
    little_endian[i] = static_cast<std::uint8_t>(number >> (8 * i));
  }
  Backward(wire, little_endian, static_cast<int32_t>(count));
}

}  // namespace velkor::link
