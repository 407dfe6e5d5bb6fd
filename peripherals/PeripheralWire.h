// Payload layouts of the event, control, clock, mode and fingerprint commands. Offsets are
// packet byte indexes, except in `event`, where they are positions within one event record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/Wire.h"

namespace velkor::wire {

// --- Event packets: a count at byte 26, then 16-byte records decoded last to first ---
namespace event {
inline constexpr std::size_t kRecordCount = 26;              // records not yet decoded
inline constexpr std::size_t kCurrentRecords = 27;           // current: record k at 27 + 16k
inline constexpr std::size_t kLegacyRecords = kFrameOpcode;  // legacy: frame k's opcode, 88 + 16k
inline constexpr std::size_t kRecordLength = 16;             // a legacy record is one frame

// Record positions. Byte 0 is the kind; a legacy opcode carries it in its high nibble.
inline constexpr std::size_t kKind = 0;
inline constexpr unsigned kLegacyKindShift = 4;

// Kinds 0 and 3: a 48-bit number, the event code, then bytes that depend on the code group.
inline constexpr std::size_t kNumber = 1;
inline constexpr std::size_t kNumberLength = 6;
inline constexpr std::size_t kCode = 7;
inline constexpr unsigned kCodeGroupShift = 4;  // the code's high nibble is its group
inline constexpr std::size_t kDetail = 8;       // first code-specific byte (both generations)
inline constexpr std::size_t kReadings = 8;     // groups 0 and 1: bytes 8..11 as four values
inline constexpr std::size_t kSubDetail = 9;    // second code-specific byte
inline constexpr std::size_t kCardNumber = 9;   // group 8: 40-bit card number, big-endian
inline constexpr std::size_t kCardNumberLength = 5;
inline constexpr std::size_t kDigits = 9;                   // group 9: packed digit field, 4 bytes
inline constexpr std::size_t kTrailer = 12;                 // code 0x00 and group 1
inline constexpr std::size_t kLastTrailer = 13;             // code 0x00
inline constexpr std::size_t kLegacySubDetail = 9;          // legacy codes below 0x40
inline constexpr std::size_t kLegacyLastDetail = 10;        // legacy codes below 0x40
inline constexpr std::uint8_t kLegacyHundredsCode = 0x70;   // byte 8: hundreds in BCD
inline constexpr std::uint8_t kLegacyFirstBareCode = 0x40;  // from here no detail bytes

// Kind 1: an alarm code and two bytes, the second carried only up to 10.
inline constexpr std::size_t kAlarmCode = 1;
inline constexpr std::size_t kAlarmDetail = 2;
inline constexpr std::size_t kAlarmIndex = 3;
inline constexpr std::uint8_t kAlarmIndexLimit = 10;

// Kind 2: two packed-BCD bytes and three plain ones; bytes 1..10 also go to packet 30..39.
inline constexpr std::size_t kStatusBcd = 1;
inline constexpr std::size_t kStatusPlain = 3;
inline constexpr std::size_t kStatusCopied = 1;
inline constexpr std::size_t kStatusCopyLength = 10;
inline constexpr std::size_t kStatusCopyTarget = 30;  // packet byte

// Kind 4: a 16-bit number and two plain bytes.
inline constexpr std::size_t kShortNumber = 1;
inline constexpr std::size_t kShortNumberLength = 2;
inline constexpr std::size_t kShortDetail = 3;
inline constexpr std::size_t kShortLastDetail = 4;
}  // namespace event

// --- Control commands to a current device: bytes 26..40, unused bytes 0xAA ---
namespace control {
inline constexpr std::size_t kMarker = 26;  // always 1
inline constexpr std::uint8_t kMarkerValue = 1;
inline constexpr std::size_t kCommand = 27;    // command byte
inline constexpr std::size_t kArguments = 28;  // first argument; the rest follow
inline constexpr std::size_t kEnd = 41;        // one past byte 40
inline constexpr std::int32_t kReplyLength = 41;
inline constexpr std::uint8_t kCommandBit = 0x80;  // set in every caller's command byte
inline constexpr std::uint8_t kExOutputCommand = 0x01;
inline constexpr std::uint8_t kExOutputOpcode = 0xB0;  // legacy frame
inline constexpr std::uint8_t kTimerCommand = 0x00;
inline constexpr std::uint8_t kTimerOpcode = 0x80;  // legacy frame
// Clock command: second, minute, hour, weekday, day, month, year at 28..34; the legacy frame
// carries year, month, day, hour, minute, second and no weekday.
inline constexpr std::size_t kClockFields = 7;
inline constexpr std::size_t kLegacyClockFields = 6;
}  // namespace control

// --- Reader and fingerprint modes, fingerprint control ---
namespace mode {
inline constexpr std::size_t kBlock = 26;  // the 5-byte mode block, both directions
inline constexpr std::size_t kBlockLength = 5;
inline constexpr std::int32_t kReplyLength = 31;
inline constexpr std::uint8_t kLegacyReaderOpcode = 0x90;
inline constexpr std::size_t kLegacyBcdBytes = 2;  // a legacy reader takes bytes 0, 1 as BCD

inline constexpr std::size_t kControlSelector = 26;  // fingerprint control; also its report
inline constexpr std::size_t kControlCommand = 27;
inline constexpr std::size_t kControlNumber = 28;  // 32-bit, most significant first
inline constexpr std::size_t kControlNumberLength = 4;
inline constexpr std::size_t kControlEnd = 41;  // 0xAA up to byte 40, past the reply length
inline constexpr std::int32_t kControlReplyLength = 32;
}  // namespace mode

// --- Fingerprint templates ---
namespace finger {
inline constexpr std::size_t kLeadByte = 26;  // uploads and requests
inline constexpr std::size_t kFlags = 27;     // only the low two bits are read
inline constexpr std::uint8_t kFlagsMask = 0x03;
inline constexpr std::size_t kUploadTemplate = 28;  // 0xE8: the template
inline constexpr std::size_t kRequestSlot = 28;     // 0xEA: only the low four bits are read
inline constexpr std::uint8_t kRequestSlotMask = 0x0F;
inline constexpr std::size_t kRequestNumber = 29;  // 0xEA: 32-bit, most significant first
inline constexpr std::size_t kRequestNumberLength = 4;
inline constexpr std::size_t kReplyTemplate = 26;  // 0xEB
inline constexpr std::size_t kTemplateLength = 128;
inline constexpr std::int32_t kReplyLength = 154;
}  // namespace finger

}  // namespace velkor::wire
