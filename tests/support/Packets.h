// Test helpers: literal hex vectors, canary-filled packet buffers, and device packets sealed
// the way a device seals them.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "DeviceSeal.h"

namespace velkor::test {

// "5A 5A B0 03" -> {0x5A, 0x5A, 0xB0, 0x03}; white space is ignored.
std::vector<std::uint8_t> Hex(std::string_view text);

// A packet buffer filled with a canary, so a test can show which bytes a call changed.
inline constexpr std::uint8_t kCanary = 0xC3;
inline constexpr std::size_t kBufferSize = 2048;

// Device types: the legacy controller and the current one.
inline constexpr std::uint8_t kLegacy = 0, kCurrent = 1;

struct Buffer {
  Buffer() { bytes.fill(kCanary); }
  std::uint8_t* data() { return bytes.data(); }
  const std::uint8_t* data() const { return bytes.data(); }
  std::uint8_t& operator[](std::size_t i) { return bytes[i]; }
  std::uint8_t operator[](std::size_t i) const { return bytes[i]; }
  std::vector<std::uint8_t> Slice(std::size_t from, std::size_t count) const {
    return {bytes.begin() + static_cast<std::ptrdiff_t>(from),
            bytes.begin() + static_cast<std::ptrdiff_t>(from + count)};
  }
  std::array<std::uint8_t, kBufferSize> bytes;
};

// A device packet of `length` bytes: command code, device type, serial (7 bytes, big-endian),
// bytes 18..23 = 0x18..0x1D, payload bytes 0, everything past `length` the canary. Sealed as a
// device seals it unless the caller seals it later itself.
struct DevicePacket {
  std::uint8_t code = 0;
  std::uint8_t type = 1;
  std::uint64_t serial = 0x00010203040506;
  std::size_t length = 26;
};
Buffer MakePacket(const DevicePacket& packet, bool seal = true);

// The device's view of a reply: opens under the outgoing key text with bytes 10..17 equal to
// 2..9 and the check value right. Returns the plain block.
devicekit::Block ExpectReplyOpens(const Buffer& reply);

// Every byte from `from` up to the end of the buffer is still the canary.
void ExpectCanaryFrom(const Buffer& buffer, std::size_t from);

}  // namespace velkor::test
