// Wire layout shared by every packet: the 26-byte head, the security block, the command
// codes, and the legacy reply with its controller frame. Each offset is a packet byte index.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velkor::wire {

// --- Head (both directions, both generations) ---
inline constexpr std::size_t kCommandCode = 0;  // what the packet is
inline constexpr std::size_t kDeviceType = 2;   // 0 = legacy device, other = current device
inline constexpr std::size_t kSerial = 3;       // 7 bytes, most significant first
inline constexpr std::size_t kSerialLength = 7;
inline constexpr std::size_t kIdentity = kDeviceType;  // type + serial, copied into the block
inline constexpr std::size_t kIdentityLength = 8;
inline constexpr std::size_t kHeadLength = 26;  // shortest packet; payload starts here
inline constexpr std::size_t kPayload = kHeadLength;

// --- Security block (sealed with Triple DES) ---
inline constexpr std::size_t kBlock = 10;  // bytes 10..25
inline constexpr std::size_t kBlockLength = 16;
inline constexpr std::size_t kBlockIdentity = 10;  // plain: copy of bytes 2..9
inline constexpr std::size_t kCheckHigh = 24;      // plain: check value, high byte first
inline constexpr std::size_t kCheckLow = 25;
inline constexpr std::size_t kKeyTextLength = 16;

// --- Device types ---
inline constexpr std::uint8_t kLegacyDevice = 0;
inline constexpr std::uint8_t kCurrentDevice = 1;  // the only current type with a configuration

// --- Command codes (byte 0) ---
namespace code {
inline constexpr std::uint8_t kEcho = 0x00;
inline constexpr std::uint8_t kFingerPasswords = 0xE7;
inline constexpr std::uint8_t kFingerData = 0xE8;
inline constexpr std::uint8_t kFingerDataRequest = 0xEA;
inline constexpr std::uint8_t kFingerDataReply = 0xEB;
inline constexpr std::uint8_t kFingerModeReport = 0xEC;
inline constexpr std::uint8_t kFingerMode = 0xED;
inline constexpr std::uint8_t kReaderModeReport = 0xEE;
inline constexpr std::uint8_t kReaderMode = 0xEF;
inline constexpr std::uint8_t kDevicePasswords = 0xF1;
inline constexpr std::uint8_t kVoiceRequest = 0xF2;
inline constexpr std::uint8_t kWorkTimeToDevice = 0xF3;
inline constexpr std::uint8_t kWorkTimeFromDevice = 0xF4;
inline constexpr std::uint8_t kMultiCardsToDevice = 0xF5;
inline constexpr std::uint8_t kMultiCardsFromDevice = 0xF6;
inline constexpr std::uint8_t kCardsToDevice = 0xF7;
inline constexpr std::uint8_t kCardsFromDevice = 0xF8;
inline constexpr std::uint8_t kControl = 0xF9;  // also every legacy-frame reply
inline constexpr std::uint8_t kModulePacket = 0xFA;
inline constexpr std::uint8_t kFirmware = 0xFC;
inline constexpr std::uint8_t kReadCommand = 0xFD;
inline constexpr std::uint8_t kNetConfigReply = 0xFE;  // also the reconnect packet
inline constexpr std::uint8_t kConfiguration = 0xFF;
}  // namespace code

// --- Network module configuration on the wire ---
inline constexpr std::size_t kLegacyConfig = 27;       // legacy: bytes 27..85
inline constexpr std::size_t kCurrentConfig = 26;      // current: bytes 26..85
inline constexpr std::size_t kConfigEnd = 86;          // one past the last configuration byte
inline constexpr std::size_t kCurrentConfigFlag = 65;  // current: captured flag position

// --- Legacy reply (102 bytes) and its controller frame at bytes 86..101 ---
inline constexpr std::size_t kLegacyMarker = 26;  // 1 in a legacy-frame reply
inline constexpr std::size_t kFrame = 86;
inline constexpr std::size_t kFrameOpcode = 88;
inline constexpr std::size_t kFrameData = 89;  // up to 10 data bytes, 89..98
inline constexpr std::size_t kFrameDataLength = 10;
inline constexpr std::size_t kFrameSum = 99;  // SumByte over bytes 88..98
inline constexpr std::size_t kFrameSummed = 11;
inline constexpr std::size_t kFrameTail = 100;  // 0xA5 0xA5 at 100..101
inline constexpr std::size_t kFrameLength = 16;
inline constexpr std::size_t kLegacyReplyLength = 102;
inline constexpr std::uint8_t kFrameLead = 0x5A;
inline constexpr std::uint8_t kFrameTrail = 0xA5;
inline constexpr std::uint8_t kUnusedFill = 0xAA;  // unused bytes of frames and control commands

// --- Reply lengths of the link commands ---
inline constexpr std::int32_t kReadCommandLength = 26;
inline constexpr std::int32_t kCurrentEchoLength = 26;
inline constexpr std::int32_t kLegacyEchoLength = 27;
inline constexpr std::int32_t kNetConfigReplyLength = 86;
inline constexpr std::int32_t kReconnectLength = 26;

}  // namespace velkor::wire
