// Hex text to bytes and back, for packets given one per line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::inspect {

// Longest packet accepted from hex text: far above any packet of the wire format.
inline constexpr std::size_t kMaxPacketBytes = 65536;

// Reads hex digits in pairs. Blanks, ':' and '-' between bytes are ignored, as is a leading
// "0x" on the whole text or on a byte. Anything else, an odd digit count or more than
// kMaxPacketBytes bytes gives nothing and sets `error`.
std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text, std::string& error);

// "F8 00 01 ..." in upper case, one blank between bytes.
std::string FormatHex(const std::uint8_t* bytes, std::size_t count);
inline std::string FormatHex(const std::vector<std::uint8_t>& bytes) {
  return FormatHex(bytes.data(), bytes.size());
}

}  // namespace velkor::inspect
