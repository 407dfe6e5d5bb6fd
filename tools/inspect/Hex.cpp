#include "Hex.h"

namespace velkor::inspect {
namespace {

int Nibble(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

bool IsSeparator(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ':' || c == '-';
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text, std::string& error) {
  std::vector<std::uint8_t> bytes;
  int high = -1;  // first digit of a pair still waiting for its second
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (IsSeparator(c)) {
      if (high >= 0) {
        error = "single hex digit before position " + std::to_string(i + 1);
        return std::nullopt;
      }
      continue;
    }
    // "0x" opens a byte only where a pair may start, and must be followed by a digit.
    if (c == '0' && high < 0 && i + 2 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        Nibble(text[i + 2]) >= 0) {
      ++i;
      continue;
    }
    const int nibble = Nibble(c);
    if (nibble < 0) {
      error = "not a hex digit at position " + std::to_string(i + 1);
      return std::nullopt;
    }
    if (high < 0) {
      high = nibble;
      continue;
    }
    if (bytes.size() == kMaxPacketBytes) {
      error = "more than 65536 bytes";
      static_assert(kMaxPacketBytes == 65536);
      return std::nullopt;
    }
    bytes.push_back(static_cast<std::uint8_t>(high << 4 | nibble));
    high = -1;
  }
  if (high >= 0) {
    error = "odd number of hex digits";
    return std::nullopt;
  }
  return bytes;
}

std::string FormatHex(const std::uint8_t* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(count * 3);
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) {
      out.push_back(' ');
    }
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

}  // namespace velkor::inspect
