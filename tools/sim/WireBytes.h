// Byte-level helpers of the device codec: frame positions, big-endian numbers, packed BCD and
// packed digit fields, the legacy frame sum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velkor::sim {

namespace wire {
inline constexpr std::size_t kCode = 0;
inline constexpr std::size_t kType = 2;
inline constexpr std::size_t kSerial = 3;
inline constexpr std::size_t kSerialLength = 7;
inline constexpr std::size_t kBlockTail = 18;  // security block bytes 8..13
inline constexpr std::size_t kBlockTailLength = 6;
}  // namespace wire

inline void PutBigEndian(std::uint8_t* out, std::uint64_t value, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = static_cast<std::uint8_t>(value >> (8 * (count - 1 - i)));
  }
}

inline std::uint64_t GetBigEndian(const std::uint8_t* in, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    value = (value << 8) | in[i];
  }
  return value;
}

// Sum of the opcode and the ten data bytes of a legacy controller frame, low 8 bits.
inline std::uint8_t FrameSum(const std::uint8_t* opcode) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < 11; ++i) {
    sum += opcode[i];
  }
  return static_cast<std::uint8_t>(sum & 0xFF);
}

// Up to eight digits, one per nibble from the high nibble of byte 0, 0xF in the rest.
void PackDigits(std::uint8_t* out, const std::string& digits);

// The digits of a packed field up to its first non-digit nibble.
std::string UnpackDigits(const std::uint8_t* in);

// True when a packed field is a run of digits followed by nothing but 0xF nibbles.
bool IsPackedDigits(const std::uint8_t* in);

}  // namespace velkor::sim
