// Received lists too short to hold a head: the Get functions return 0 and read not one byte of
// them, not even the command code. Each packet ends a heap block exactly, so that under
// AddressSanitizer a read past it stops the test.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "velkorlink.h"

namespace {

struct ListReader {
  const char* name;
  std::uint8_t code;  // the code the function reads
  std::int32_t (*read)(const std::uint8_t* packet, std::uint32_t length);
};

const ListReader kReaders[] = {
    {"GetCards", 0xF8,
     [](const std::uint8_t* p, std::uint32_t n) { return GetCards(p, n, nullptr); }},
    {"GetMultiCards", 0xF6,
     [](const std::uint8_t* p, std::uint32_t n) { return GetMultiCards(p, n, nullptr); }},
    {"GetWorkTime", 0xF4,
     [](const std::uint8_t* p, std::uint32_t n) { return GetWorkTime(p, n, nullptr); }},
};

TEST(ShortPackets, ListsShorterThanTheHeadAreNotRead) {
  for (const ListReader& reader : kReaders) {
    for (const std::uint32_t length : {0u, 1u, 25u}) {
      SCOPED_TRACE(testing::Message() << reader.name << ", " << length << " bytes");
      // The block holds the function's own code just before an empty packet, and in byte 0 of
      // the others; no host record may be written (there is no array).
      const std::size_t size = length == 0 ? 1 : length;
      auto block = std::make_unique<std::uint8_t[]>(size);
      block[0] = reader.code;
      const std::uint8_t* packet = block.get() + (length == 0 ? 1 : 0);
      EXPECT_EQ(reader.read(packet, length), 0);
    }
  }
}

}  // namespace
