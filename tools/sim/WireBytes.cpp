#include "WireBytes.h"

#include "DeviceCodec.h"

namespace velkor::sim {
namespace {

constexpr std::uint8_t kNoDigit = 0xF;

std::uint8_t Nibble(const std::uint8_t* in, std::size_t i) {
  return i % 2 == 0 ? in[i / 2] >> 4 : in[i / 2] & 0x0F;
}

}  // namespace

std::uint8_t ToBcd(int value) {
  return static_cast<std::uint8_t>(((value / 10) << 4) | (value % 10));
}

int FromBcd(std::uint8_t value) {
  if ((value >> 4) > 9 || (value & 0x0F) > 9) {
    return -1;
  }
  return (value >> 4) * 10 + (value & 0x0F);
}

void PackDigits(std::uint8_t* out, const std::string& digits) {
  for (std::size_t i = 0; i < 8; ++i) {
    const std::uint8_t nibble =
        i < digits.size() ? static_cast<std::uint8_t>(digits[i] - '0') : kNoDigit;
    if (i % 2 == 0) {
      out[i / 2] = static_cast<std::uint8_t>(nibble << 4);
    } else {
      out[i / 2] |= nibble;
    }
  }
}

std::string UnpackDigits(const std::uint8_t* in) {
  std::string digits;
  for (std::size_t i = 0; i < 8 && Nibble(in, i) <= 9; ++i) {
    digits += static_cast<char>('0' + Nibble(in, i));
  }
  return digits;
}

bool IsPackedDigits(const std::uint8_t* in) {
  for (std::size_t i = UnpackDigits(in).size(); i < 8; ++i) {
    if (Nibble(in, i) != kNoDigit) {
      return false;
    }
  }
  return true;
}

}  // namespace velkor::sim
