#include "records/PackedDigits.h"

#include <cstring>

namespace velkor::records {
namespace {

constexpr std::uint8_t kFillNibble = 0x0F;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

void DigitsToPacked(std::uint8_t* packed, const char* text) {
  std::memset(packed, 0xFF, kPackedDigitsLength);
  for (std::size_t i = 0; i < kPackedDigitsLength; ++i) {
    if (!IsDigit(text[2 * i])) {
      return;
    }
    packed[i] = static_cast<std::uint8_t>(((text[2 * i] - '0') << 4) | kFillNibble);
    if (!IsDigit(text[2 * i + 1])) {
      return;
    }
    packed[i] = static_cast<std::uint8_t>((packed[i] & 0xF0) | (text[2 * i + 1] - '0'));
  }
}

void PackedToDigits(char* text, const std::uint8_t* packed) {
  std::memset(text, 0, kDigitTextLength);
  for (std::size_t i = 0; i < kPackedDigitsLength; ++i) {
    const int high = packed[i] >> 4;
    if (high > 9) {
      return;
    }
    text[2 * i] = static_cast<char>('0' + high);
    const int low = packed[i] & 0x0F;
    if (low > 9) {
      return;
    }
    text[2 * i + 1] = static_cast<char>('0' + low);
  }
}

}  // namespace velkor::records
