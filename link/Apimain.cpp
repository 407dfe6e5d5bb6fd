// Apimain: packet intake and device identity.
#include <cstring>

#include "link/NetConfig.h"
#include "link/Seal.h"
#include "link/Wire.h"
#include "link/WireNumber.h"
#include "peripherals/SoundData.h"
#include "velkorlink.h"

namespace wire = velkor::wire;
namespace link = velkor::link;

extern "C" {

int32_t PreparePackage(uint8_t* packet, uint32_t length) {
  if (length < wire::kHeadLength || !link::OpenPacket(packet)) {
    return 0;
  }
  link::ResetNetConfig();

  const uint8_t type = packet[wire::kDeviceType];
  const uint8_t code = packet[wire::kCommandCode];
  if (type == wire::kLegacyDevice) {
    if (code == wire::code::kVoiceRequest) {
      return velkor::peripherals::RewriteVoiceRequest(packet, length) ? code : 0;
    }
    const bool carries_config = code == wire::code::kModulePacket ||
                                code == wire::code::kFirmware || code == wire::code::kConfiguration;
    if (carries_config && length >= wire::kConfigEnd) {
      link::CaptureLegacyConfig(packet);
    }
  } else if (type == wire::kCurrentDevice &&
             (code == wire::code::kFirmware || code == wire::code::kConfiguration)) {
    link::CaptureCurrentConfig(packet, length);
  }
  return code;
}

int32_t GetDeviceType(const uint8_t* packet) {
  return packet[wire::kDeviceType];
}

uint64_t GetDeviceIdent(const uint8_t* packet) {
  return link::ReadWireNumber(packet + wire::kSerial, wire::kSerialLength);
}

int32_t GetReconnectPackage(uint8_t* packet) {
  packet[wire::kCommandCode] = wire::code::kNetConfigReply;
  packet[1] = 0;
  std::memcpy(packet + wire::kIdentity, link::kOutgoingKeyText, wire::kIdentityLength);
  std::memcpy(packet + wire::kBlock, link::kIncomingKeyText, wire::kBlockLength);
  return wire::kReconnectLength;
}

}  // extern "C"
