// The device side of the wire format: the packets a device sends (built from its state) and
// the checks a device makes on a host's reply. Written from the wire format itself, apart from
// the link library, so that each can catch the other's mistakes. Sealing and opening go
// through the device kit (the utility library's cipher and check value).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "DeviceState.h"

namespace velkor::sim {

// Command codes (packet byte 0). Events and polls have no code of the link library's own:
// our devices report events with 0x01 and poll with 0x02.
namespace code {
inline constexpr std::uint8_t kEcho = 0x00;
inline constexpr std::uint8_t kEventReport = 0x01;
inline constexpr std::uint8_t kPoll = 0x02;
inline constexpr std::uint8_t kFingerPasswords = 0xE7;
inline constexpr std::uint8_t kFingerUpload = 0xE8;
inline constexpr std::uint8_t kFingerRequest = 0xEA;
inline constexpr std::uint8_t kFingerTemplate = 0xEB;
inline constexpr std::uint8_t kFingerModeReport = 0xEC;
inline constexpr std::uint8_t kFingerMode = 0xED;
inline constexpr std::uint8_t kReaderModeReport = 0xEE;
inline constexpr std::uint8_t kReaderMode = 0xEF;
inline constexpr std::uint8_t kPasswords = 0xF1;  // also the voice data reply
inline constexpr std::uint8_t kVoiceRequest = 0xF2;
inline constexpr std::uint8_t kSchedules = 0xF3;
inline constexpr std::uint8_t kScheduleList = 0xF4;
inline constexpr std::uint8_t kGroups = 0xF5;
inline constexpr std::uint8_t kGroupList = 0xF6;
inline constexpr std::uint8_t kCards = 0xF7;
inline constexpr std::uint8_t kCardList = 0xF8;
inline constexpr std::uint8_t kControl = 0xF9;
inline constexpr std::uint8_t kModulePacket = 0xFA;
inline constexpr std::uint8_t kFirmware = 0xFC;
inline constexpr std::uint8_t kReadCommand = 0xFD;
inline constexpr std::uint8_t kConfigReply = 0xFE;
inline constexpr std::uint8_t kConfiguration = 0xFF;
}  // namespace code

// Frame positions shared by every packet.
inline constexpr std::size_t kHeadLength = 26;  // code, byte 1, type, serial, block
inline constexpr std::size_t kPayload = 26;
inline constexpr std::size_t kConfigLength = 86;  // a configuration packet
inline constexpr std::size_t kLegacyFrame = 86;   // first legacy controller frame
inline constexpr std::size_t kFrameLength = 16;
inline constexpr std::size_t kCardStride = 15;
inline constexpr std::size_t kGroupStride = 32;
inline constexpr std::size_t kScheduleStride = 32;
inline constexpr std::size_t kVoiceHead = 29;  // voice request and reply before the data

// ---- Device to host. Every builder returns the plain packet; SealDevicePacket seals it. ----

Bytes ConfigPacket(const DeviceState& device, std::uint8_t command);  // 0xFF, 0xFA, 0xFC
Bytes EventPacket(const DeviceState& device, const std::vector<Event>& events);
Bytes PollPacket(const DeviceState& device);
Bytes CardListPacket(const DeviceState& device);
Bytes GroupListPacket(const DeviceState& device);
Bytes ScheduleListPacket(const DeviceState& device);
Bytes FingerUploadPacket(const DeviceState& device, std::uint8_t slot, const Template& data);
Bytes FingerRequestPacket(const DeviceState& device, std::uint8_t slot, std::uint32_t number);
Bytes VoiceRequestPacket(const DeviceState& device, std::uint16_t word, std::size_t extra);
Bytes ModeReportPacket(const DeviceState& device, std::uint8_t command, const ModeBlock& block);

// Seals bytes 10..25 as a device does (incoming key text); the packet must hold 26 bytes.
void SealDevicePacket(Bytes& packet);

// True when a host's configuration capture takes this packet's configuration.
bool CarriesConfig(const Bytes& packet);

// A one-line description of an event record ("kind 0 code 0x83 card 1234567").
std::string DescribeEvent(const Event& event, bool legacy);

// ---- Host to device. ----

enum class ReplyKind {
  kEcho,
  kReadCommand,
  kConfig,
  kCards,
  kGroups,
  kSchedules,
  kPasswords,
  kFingerPasswords,
  kClock,
  kControl,
  kExtraOutput,
  kReaderMode,
  kFingerMode,
  kFingerControl,
  kFingerTemplate,
  kVoiceData,
};
inline constexpr std::size_t kReplyKinds = 16;
const char* ReplyName(ReplyKind kind);

// A reply as the device understood it.
struct Reply {
  ReplyKind kind = ReplyKind::kEcho;
  std::vector<Card> cards;
  std::vector<Group> groups;
  std::vector<Schedule> schedules;
  std::array<std::string, 10> passwords;
  ClockSetting clock;
  ControlCommand control;
  std::uint8_t extraOutput = 0;
  ModeBlock mode{};
  FingerControl fingerControl;
  Template fingerTemplate{};
  std::uint8_t templateSlot = 0;
  std::uint16_t voiceWord = 0;
  Bytes voiceData;
};

// What the device expects beyond the wire format itself.
struct ReplyContext {
  // The templates this device uploaded, by slot: a template reply must carry the one it last
  // uploaded for the slot asked for; for another slot any template will do.
  const std::map<std::uint8_t, Template>* uploaded = nullptr;
  std::time_t now = 0;              // the device's idea of the local time
  int clockToleranceSeconds = 120;  // how far a clock setting may be from it
};

struct ReplyCheck {
  bool ok = false;
  std::string problem;  // why not, when not ok
  Reply reply;
};

// Checks a host's reply to `request` (the plain packet the device sent): it must open under
// the outgoing key text with bytes 1..9 and block bytes 8..13 as sent, and its command code,
// length and payload must form a command the device understands in answer to that packet.
ReplyCheck CheckReply(const Bytes& request, const Bytes& reply, const ReplyContext& context);

// Makes the device do what a checked reply asks.
void ApplyReply(DeviceState& device, const Reply& reply);

// Packed BCD of 0..99 and back; FromBcd gives -1 for a byte with a nibble above 9.
std::uint8_t ToBcd(int value);
int FromBcd(std::uint8_t value);

}  // namespace velkor::sim
