// Echo, read command and firmware version: the exports that serve the link itself.
#include "link/Seal.h"
#include "link/Wire.h"
#include "velkorlink.h"

namespace wire = velkor::wire;

namespace {

constexpr std::size_t kLegacyVersion = 26;   // legacy 0xFC: two packed decimal digits
constexpr std::size_t kCurrentVersion = 86;  // current 0xFC: four ASCII digits, 86..89
constexpr std::size_t kCurrentVersionDigits = 4;

}  // namespace

extern "C" {

int32_t SendDeviceReadCommand(uint8_t* packet) {
  packet[wire::kCommandCode] = wire::code::kReadCommand;
  velkor::link::SealPacket(packet);
  return wire::kReadCommandLength;
}

int32_t SendDeviceEcho(uint8_t* packet) {
  velkor::link::SealPacket(packet);
  if (packet[wire::kDeviceType] != wire::kLegacyDevice) {
    packet[wire::kCommandCode] = wire::code::kEcho;
    return wire::kCurrentEchoLength;
  }
  // A legacy network module expects its own packets (0xFA) answered with 0xF9.
  packet[wire::kCommandCode] = packet[wire::kCommandCode] == wire::code::kModulePacket
                                   ? wire::code::kControl
                                   : wire::code::kEcho;
  packet[wire::kPayload] = 0;
  return wire::kLegacyEchoLength;
}

int32_t GetFirmwareVersion(const uint8_t* packet) {
  if (packet[wire::kCommandCode] != wire::code::kFirmware) {
    return -1;
  }
  if (packet[wire::kDeviceType] == wire::kLegacyDevice) {
    // Nibbles are taken as they are, decimal or not; version 0 means 1.
    const uint8_t bcd = packet[kLegacyVersion];
    const int32_t value = (bcd >> 4) * 10 + (bcd & 0x0F);
    return value == 0 ? 1 : value * 100;
  }
  int32_t version = 0;
  for (std::size_t i = 0; i < kCurrentVersionDigits; ++i) {
    version = version * 10 + (packet[kCurrentVersion + i] - '0');
  }
  return version;
}

}  // extern "C"
