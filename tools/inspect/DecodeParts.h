// Pieces shared by the decoders of device packets and of host replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Json.h"

namespace velkor::inspect::detail {

// Head positions (both directions, both generations).
inline constexpr std::size_t kHead = 26;  // bytes 0..25; the payload starts here
inline constexpr std::size_t kCode = 0;
inline constexpr std::size_t kType = 2;
inline constexpr std::uint8_t kLegacyType = 0;

// One packet being decoded: the bytes as given, and what the decoder found so far.
struct Context {
  const std::uint8_t* bytes;
  std::size_t length;
  std::string family = "unknown";
  Json payload = Json::object();
  Json notes = Json::array();

  std::uint8_t code() const { return bytes[kCode]; }
  bool legacy() const { return bytes[kType] == kLegacyType; }
  void Note(std::string text) { notes.push_back(Json(std::move(text))); }
  // True when the packet holds `end` bytes; otherwise notes that `what` is cut off.
  bool Need(std::size_t end, const char* what);
};

// Big-endian number of `count` (at most 8) bytes.
std::uint64_t BigEndian(const std::uint8_t* bytes, std::size_t count);
// Packed BCD, tens in the high nibble; nibbles above 9 count as they are.
int Bcd(std::uint8_t byte);
// A 4-byte packed digit field as its digit text: digits up to the first nibble above 9.
std::string PackedDigits(const std::uint8_t* field);

// Replies: the packet opened under the outgoing key text.
void DecodeReply(Context& context);

}  // namespace velkor::inspect::detail
