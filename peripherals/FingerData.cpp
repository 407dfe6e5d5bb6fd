// Fingerprint templates: a device uploads one (0xE8) or requests one (0xEA), and the host
// answers a request with the template (0xEB).
#include <cstring>

#include "link/Seal.h"
#include "link/WireNumber.h"
#include "peripherals/PeripheralWire.h"
#include "velkorlink.h"

namespace {

namespace wire = velkor::wire;
namespace finger = velkor::wire::finger;

static_assert(sizeof(FingerDataRecord::templateData) == finger::kTemplateLength);

}  // namespace

extern "C" {

void GetFingerData(const uint8_t* packet, FingerDataRecord* record) {
  record->leadByte = 0;
  record->lowBits = packet[finger::kFlags] & finger::kFlagsMask;
  switch (packet[wire::kCommandCode]) {
    case wire::code::kFingerData:
      record->leadByte = packet[finger::kLeadByte];
      std::memcpy(record->templateData, packet + finger::kUploadTemplate, finger::kTemplateLength);
      break;
    case wire::code::kFingerDataRequest:
      record->leadByte = packet[finger::kLeadByte];
      record->lowNibble = packet[finger::kRequestSlot] & finger::kRequestSlotMask;
      record->number = static_cast<uint32_t>(velkor::link::ReadWireNumber(
          packet + finger::kRequestNumber, finger::kRequestNumberLength));
      break;
    default:
      break;
  }
}

int32_t SendFingerData(uint8_t* packet, const FingerDataRecord* record) {
  if (packet[wire::kCommandCode] != wire::code::kFingerDataRequest) {
    return 0;
  }
  packet[wire::kCommandCode] = wire::code::kFingerDataReply;
  velkor::link::SealPacket(packet);
  std::memcpy(packet + finger::kReplyTemplate, record->templateData, finger::kTemplateLength);
  return finger::kReplyLength;
}

}  // extern "C"
