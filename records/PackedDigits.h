// Packed digit fields: up to eight decimal digits in 4 bytes, one digit per nibble in reading
// order, 0xF in every nibble no digit fills. The host side is a digit text of up to 8
// characters '0'..'9' closed by a NUL, held in 9 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velkor::records {

inline constexpr std::size_t kPackedDigitsLength = 4;
inline constexpr std::size_t kDigitTextLength = 9;  // 8 digits and the NUL

// Packs the run of digits that starts the text (at most 8) into 4 bytes. Reads no character
// after the first non-digit, and none after the eighth. `text` is never null.
void DigitsToPacked(std::uint8_t* packed, const char* text);

// Unpacks the run of digit nibbles that starts the field into a digit text; always writes all
// 9 destination bytes.
void PackedToDigits(char* text, const std::uint8_t* packed);

}  // namespace velkor::records
