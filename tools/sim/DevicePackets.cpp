// Packets as a device puts them on the wire.
#include <algorithm>
#include <cstdio>

#include "DeviceCodec.h"
#include "DeviceSeal.h"
#include "WireBytes.h"

namespace velkor::sim {
namespace {

// Legacy controller frame: start bytes, opcode, ten data bytes, sum, end bytes.
constexpr std::uint8_t kFrameStart = 0x5A;
constexpr std::uint8_t kFrameEnd = 0xA5;
constexpr std::size_t kFrameData = 10;
constexpr std::uint8_t kGroupMarker = 0xA4;
constexpr std::uint8_t kPeriodMarker = 0xA5;

Bytes Head(const DeviceState& device, std::uint8_t command, std::size_t length) {
  Bytes packet(length, 0);
  packet[wire::kCode] = command;
  packet[wire::kType] = device.type;
  PutBigEndian(packet.data() + wire::kSerial, device.serial, wire::kSerialLength);
  std::copy(device.blockTail.begin(), device.blockTail.end(), packet.begin() + wire::kBlockTail);
  return packet;
}

// Current layout, bytes 26..85: lead, address, the two words, 30-byte block, flag, 20 bytes.
void PutCurrentConfig(Bytes& packet, const ModuleConfig& config) {
  packet[26] = config.lead;
  std::copy(config.address.begin(), config.address.end(), packet.begin() + 27);
  PutBigEndian(packet.data() + 31, config.firstWord, 2);
  PutBigEndian(packet.data() + 33, config.secondWord, 2);
  std::copy(config.block30.begin(), config.block30.end(), packet.begin() + 35);
  packet[65] = 0;
  std::copy(config.block20.begin(), config.block20.end(), packet.begin() + 66);
}

// Legacy layout, bytes 27..85: the two words first, then address, lead and the blocks.
void PutLegacyConfig(Bytes& packet, const ModuleConfig& config) {
  PutBigEndian(packet.data() + 27, config.firstWord, 2);
  PutBigEndian(packet.data() + 29, config.secondWord, 2);
  std::copy(config.address.begin(), config.address.end(), packet.begin() + 31);
  packet[35] = config.lead;
  std::copy(config.block30.begin(), config.block30.end(), packet.begin() + 36);
  std::copy(config.block20.begin(), config.block20.end(), packet.begin() + 66);
}

void PutLegacyFrame(std::uint8_t* frame, const Event& event) {
  frame[0] = kFrameStart;
  frame[1] = kFrameStart;
  std::copy(event.bytes.begin(), event.bytes.begin() + 1 + kFrameData, frame + 2);
  frame[13] = FrameSum(frame + 2);
  frame[14] = kFrameEnd;
  frame[15] = kFrameEnd;
}

}  // namespace

Bytes ConfigPacket(const DeviceState& device, std::uint8_t command) {
  const bool firmware = command == code::kFirmware;
  if (device.IsLegacy()) {
    Bytes packet = Head(device, command, kConfigLength);
    packet[kPayload] = firmware ? device.legacyFirmware : 0;
    PutLegacyConfig(packet, device.config);
    return packet;
  }
  // A current device's firmware version follows its configuration as four ASCII digits.
  Bytes packet = Head(device, command, kConfigLength + (firmware ? 4 : 0));
  PutCurrentConfig(packet, device.config);
  if (firmware) {
    std::copy_n(device.currentFirmware.begin(), 4, packet.begin() + kConfigLength);
  }
  return packet;
}

Bytes EventPacket(const DeviceState& device, const std::vector<Event>& events) {
  const std::size_t count = events.size();
  if (device.IsLegacy()) {
    // A legacy device repeats its module's configuration and sends one frame per event.
    Bytes packet = Head(device, code::kEventReport, kLegacyFrame + kFrameLength * count);
    packet[kPayload] = static_cast<std::uint8_t>(count);
    PutLegacyConfig(packet, device.config);
    for (std::size_t k = 0; k < count; ++k) {
      PutLegacyFrame(packet.data() + kLegacyFrame + kFrameLength * k, events[k]);
    }
    return packet;
  }
  Bytes packet = Head(device, code::kEventReport, kPayload + 1 + kFrameLength * count);
  packet[kPayload] = static_cast<std::uint8_t>(count);
  for (std::size_t k = 0; k < count; ++k) {
    std::copy(events[k].bytes.begin(), events[k].bytes.end(),
              packet.begin() + static_cast<std::ptrdiff_t>(kPayload + 1 + kFrameLength * k));
  }
  return packet;
}

Bytes PollPacket(const DeviceState& device) {
  return Head(device, code::kPoll, kHeadLength);
}

Bytes CardListPacket(const DeviceState& device) {
  Bytes packet = Head(device, code::kCardList, kPayload + kCardStride * device.cards.size());
  std::uint8_t* record = packet.data() + kPayload;
  for (const Card& card : device.cards) {
    PutBigEndian(record, card.number, 5);
    PackDigits(record + 5, card.password);
    record[9] = ToBcd(card.year);
    record[10] = ToBcd(card.month);
    record[11] = ToBcd(card.day);
    record[12] = ToBcd(card.hour);
    record[13] = card.param;
    record[14] = card.flags;
    record += kCardStride;
  }
  return packet;
}

Bytes GroupListPacket(const DeviceState& device) {
  Bytes packet = Head(device, code::kGroupList, kPayload + kGroupStride * device.groups.size());
  std::uint8_t* record = packet.data() + kPayload;
  for (const Group& group : device.groups) {
    record[0] = group.number;
    record[1] = group.param1;
    record[2] = static_cast<std::uint8_t>(group.cards.size());
    record[3] = group.flags;
    std::fill(record + 4, record + 29, 0xFF);  // empty slots
    for (std::size_t i = 0; i < group.cards.size(); ++i) {
      PutBigEndian(record + 4 + 5 * i, group.cards[i], 5);
    }
    record[29] = group.param2;
    record[31] = group.enabled ? kGroupMarker : 0;
    record += kGroupStride;
  }
  return packet;
}

Bytes ScheduleListPacket(const DeviceState& device) {
  Bytes packet =
      Head(device, code::kScheduleList, kPayload + kScheduleStride * device.schedules.size());
  std::uint8_t* record = packet.data() + kPayload;
  for (const Schedule& schedule : device.schedules) {
    record[0] = schedule.param0;
    record[1] = schedule.param1;
    for (std::size_t j = 0; j < schedule.periods.size(); ++j) {
      if (const auto& period = schedule.periods[j]) {
        std::uint8_t* wire = record + 2 + 5 * j;
        wire[0] = kPeriodMarker;
        wire[1] = ToBcd(period->startHour);
        wire[2] = ToBcd(period->startMinute);
        wire[3] = ToBcd(period->endHour);
        wire[4] = ToBcd(period->endMinute);
      }
    }
    record += kScheduleStride;
  }
  return packet;
}

// A template upload: slot (lead byte), the finger in the low two bits of byte 27, 128 bytes.
Bytes FingerUploadPacket(const DeviceState& device, std::uint8_t slot, const Template& data) {
  Bytes packet = Head(device, code::kFingerUpload, kPayload + 2 + kTemplateLength);
  packet[26] = slot;
  packet[27] = slot & 0x03;
  std::copy(data.begin(), data.end(), packet.begin() + 28);
  return packet;
}

// A template request: slot, finger bits, a nibble, the user number most significant first.
Bytes FingerRequestPacket(const DeviceState& device, std::uint8_t slot, std::uint32_t number) {
  Bytes packet = Head(device, code::kFingerRequest, kPayload + 7);
  packet[26] = slot;
  packet[27] = slot & 0x03;
  packet[28] = static_cast<std::uint8_t>(0xA0 | (slot & 0x0F));
  PutBigEndian(packet.data() + 29, number, 4);
  return packet;
}

// A voice data request: the request word most significant first, then `extra` bytes.
Bytes VoiceRequestPacket(const DeviceState& device, std::uint16_t word, std::size_t extra) {
  Bytes packet = Head(device, code::kVoiceRequest, kVoiceHead + extra);
  PutBigEndian(packet.data() + 27, word, 2);
  for (std::size_t i = 0; i < extra; ++i) {
    packet[kVoiceHead + i] = static_cast<std::uint8_t>(0xE0 + i);
  }
  return packet;
}

Bytes ModeReportPacket(const DeviceState& device, std::uint8_t command, const ModeBlock& block) {
  Bytes packet = Head(device, command, kPayload + block.size());
  std::copy(block.begin(), block.end(), packet.begin() + kPayload);
  return packet;
}

void SealDevicePacket(Bytes& packet) {
  devicekit::SealAsDevice(packet.data());
}

bool CarriesConfig(const Bytes& packet) {
  if (packet.size() < kHeadLength) {
    return false;
  }
  const std::uint8_t command = packet[wire::kCode];
  const bool config = command == code::kConfiguration || command == code::kFirmware;
  if (packet[wire::kType] == kLegacyType) {
    return (config || command == code::kModulePacket) && packet.size() >= kConfigLength;
  }
  return packet[wire::kType] == kCurrentType && config;
}

std::string DescribeEvent(const Event& event, bool legacy) {
  const auto& b = event.bytes;
  const int kind = legacy ? b[0] >> 4 : b[0];
  char text[160];
  switch (kind) {
    case 0:
    case 3: {
      const std::uint8_t group = b[7] >> 4;
      int used = std::snprintf(text, sizeof text, "kind %d number %llu code 0x%02X", kind,
                               static_cast<unsigned long long>(GetBigEndian(&b[1], 6)), b[7]);
      if (!legacy && group == 0x8) {
        std::snprintf(text + used, sizeof text - used, " door %u card %llu", b[8],
                      static_cast<unsigned long long>(GetBigEndian(&b[9], 5)));
      } else if (!legacy && group == 0x9) {
        std::snprintf(text + used, sizeof text - used, " door %u digits %s", b[8],
                      UnpackDigits(&b[9]).c_str());
      }
      break;
    }
    case 1:
      std::snprintf(text, sizeof text, "kind 1 code 0x%02X values %u %u", b[1], b[2], b[3]);
      break;
    case 2:
      std::snprintf(text, sizeof text, "kind 2 %02X %02X values %u %u %u", b[1], b[2], b[3], b[4],
                    b[5]);
      break;
    case 4:
      std::snprintf(text, sizeof text, "kind 4 number %u values %u %u",
                    static_cast<unsigned>(GetBigEndian(&b[1], 2)), b[3], b[4]);
      break;
    default:
      std::snprintf(text, sizeof text, "kind %d (no decoding)", kind);
  }
  return text;
}

}  // namespace velkor::sim
