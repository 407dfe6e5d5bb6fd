// Helpers for the record transfers: accepted device packets, host records as bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Packets.h"
#include "velkorlink.h"

namespace velkor::test {

// A packet the library has just accepted, ready for a Send function; canary from byte 26.
inline Buffer Accepted(std::uint8_t code = 0xF8) {
  Buffer b = MakePacket({.code = code, .type = 1, .length = 26});
  EXPECT_EQ(PreparePackage(b.data(), 26), code);
  return b;
}

// A received payload: `code` in byte 0, `hex` from byte 26 on.
inline Buffer Received(std::uint8_t code, const char* hex) {
  Buffer b;
  b[0] = code;
  const auto payload = Hex(hex);
  std::copy(payload.begin(), payload.end(), b.data() + 26);
  return b;
}

// A host record's bytes from `from` to its end.
template <class Record>
std::vector<std::uint8_t> Bytes(const Record& r, std::size_t from = 0) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&r);
  return {p + from, p + sizeof r};
}

// Host records that no call has written yet hold the canary in every byte.
template <class Record, std::size_t N>
void FillCanary(Record (&records)[N]) {
  std::memset(records, kCanary, sizeof records);
}

template <class Record>
bool IsCanary(const Record& r) {
  return Bytes(r) == std::vector<std::uint8_t>(sizeof r, kCanary);
}

}  // namespace velkor::test
