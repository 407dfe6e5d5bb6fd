// Payload layouts of the card list, multi-card groups, work-time schedules and passwords. Every
// record offset is a byte index inside one wire record; records lie back to back from packet
// byte 26 (wire::kPayload) on.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "link/Wire.h"

namespace velkor::records {

// Card numbers: the low 40 bits of the host's integer, most significant byte first.
inline constexpr std::size_t kCardNumberLength = 5;

namespace card {
inline constexpr std::size_t kStride = 15;
inline constexpr std::int32_t kMaxSent = 88;  // a received list has no cap of its own
inline constexpr std::size_t kNumber = 0;     // 5 bytes
inline constexpr std::size_t kPassword = 5;   // packed digit field, 4 bytes
inline constexpr std::size_t kYear = 9;       // last two digits, packed BCD
inline constexpr std::size_t kMonth = 10;     // packed BCD
inline constexpr std::size_t kDay = 11;       // packed BCD
inline constexpr std::size_t kHour = 12;      // packed BCD
inline constexpr std::size_t kParam = 13;     // carried unchanged
inline constexpr std::size_t kFlags = 14;     // bits 0..4, 6, 7; bit 5 sent as 0, never read
inline constexpr std::uint8_t kFlag0 = 0x01;
inline constexpr std::uint8_t kFlag1 = 0x02;
inline constexpr std::uint8_t kFlag2 = 0x04;
inline constexpr std::uint8_t kFlag3 = 0x08;
inline constexpr std::uint8_t kFlag4 = 0x10;
inline constexpr std::uint8_t kFlag6 = 0x40;
inline constexpr std::uint8_t kFlag7 = 0x80;
}  // namespace card

namespace group {
inline constexpr std::size_t kStride = 32;
inline constexpr std::int32_t kMaxRecords = 32;   // both directions
inline constexpr std::uint8_t kNumberLimit = 32;  // a received group numbered 32 or more is dropped
inline constexpr std::size_t kNumber = 0;
inline constexpr std::size_t kParam1 = 1;
inline constexpr std::size_t kCardCount = 2;  // filled slots, always the first ones
inline constexpr std::size_t kFlags = 3;      // bits 0..4; bits 5..7 sent as 0, never read
inline constexpr std::uint8_t kFlagBits[] = {0x01, 0x02, 0x04, 0x08, 0x10};  // flag0..flag4
inline constexpr std::size_t kSlots = 4;  // five 5-byte card slots, 4..28
inline constexpr std::size_t kSlotCount = 5;
inline constexpr std::size_t kSlotsLength = kSlotCount * kCardNumberLength;
inline constexpr std::uint8_t kEmptySlotFill = 0xFF;
inline constexpr std::size_t kParam2 = 29;
inline constexpr std::size_t kReserved = 30;  // 0x00 as sent, never read
inline constexpr std::size_t kMarker = 31;
inline constexpr std::uint8_t kEnabledMarker = 0xA4;  // any other byte: not enabled
inline constexpr std::uint8_t kDisabledMarker = 0x00;
}  // namespace group

namespace schedule {
inline constexpr std::size_t kStride = 32;
inline constexpr std::int32_t kMaxRecords = 16;  // both directions
inline constexpr std::size_t kParam0 = 0;
inline constexpr std::size_t kParam1 = 1;
inline constexpr std::size_t kPeriods = 2;  // six 5-byte periods, 2..31
inline constexpr std::size_t kPeriodCount = 6;
inline constexpr std::size_t kPeriodLength = 5;
inline constexpr std::uint8_t kAbsentFill = 0x00;  // every byte of an absent period as sent
// Inside one period: the marker, then start hour, start minute, end hour, end minute in BCD.
inline constexpr std::size_t kPeriodMarker = 0;
inline constexpr std::size_t kPeriodTimes = 1;
inline constexpr std::uint8_t kPresentMarker = 0xA5;  // any other byte: the period is absent
inline constexpr std::uint8_t kAbsentField = 255;  // host value of each field of an absent period
inline constexpr int kMinutesPerHour = 60;
inline constexpr int kLastMinute = 1440;  // a period may start and end as late as 24:00
}  // namespace schedule

namespace password {
inline constexpr std::size_t kFields = 26;  // ten packed digit fields, 26..65
inline constexpr std::size_t kFieldCount = 10;
inline constexpr std::uint8_t kAbsentFill = 0xFF;  // a null or empty password
inline constexpr std::size_t kText = 76;           // GetDevicePassword's 9-byte digit text, 76..84
inline constexpr std::int32_t kReplyLength = 66;
}  // namespace password

// Records a Send function writes for a host count: none for 0 or less, at most `max`.
inline std::size_t SentRecords(std::int32_t count, std::int32_t max) {
  return static_cast<std::size_t>(std::clamp(count, 0, max));
}

// Whole records in a received payload of `stride`-byte records. A length below the head
// carries none (it must not wrap around into a huge count).
inline std::size_t ReceivedRecords(std::uint32_t length, std::size_t stride) {
  return length < wire::kHeadLength ? 0 : (length - wire::kHeadLength) / stride;
}

// Reply length of a Send function that wrote `records` records of `stride` bytes.
inline std::int32_t ReplyLength(std::size_t records, std::size_t stride) {
  return static_cast<std::int32_t>(wire::kPayload + records * stride);
}

}  // namespace velkor::records
