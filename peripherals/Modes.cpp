// Reader and fingerprint reader mode blocks, and the fingerprint control command and report.
#include <array>
#include <cstring>

#include "link/LegacyFrame.h"
#include "link/Seal.h"
#include "link/Utility.h"
#include "link/WireNumber.h"
#include "peripherals/PeripheralWire.h"
#include "velkorlink.h"

namespace {

namespace wire = velkor::wire;
namespace mode = velkor::wire::mode;

static_assert(sizeof(ModeBlock::settings) == mode::kBlockLength);

bool CopyReportedBlock(const uint8_t* packet, uint8_t report_code, ModeBlock* block) {
  if (packet[wire::kCommandCode] != report_code) {
    return false;
  }
  std::memcpy(block->settings, packet + mode::kBlock, mode::kBlockLength);
  return true;
}

int32_t SendBlock(uint8_t* packet, uint8_t code, const ModeBlock* block) {
  velkor::link::SealPacket(packet);
  std::memcpy(packet + mode::kBlock, block->settings, mode::kBlockLength);
  packet[wire::kCommandCode] = code;
  return mode::kReplyLength;
}

}  // namespace

extern "C" {

bool GetReaderMoton(const uint8_t* packet, ModeBlock* block) {
  return CopyReportedBlock(packet, wire::code::kReaderModeReport, block);
}

bool GetFingerMoton(const uint8_t* packet, ModeBlock* block) {
  return CopyReportedBlock(packet, wire::code::kFingerModeReport, block);
}

int32_t SendReaderMoton(uint8_t* packet, const ModeBlock* block) {
  if (packet[wire::kDeviceType] != wire::kLegacyDevice) {
    return SendBlock(packet, wire::code::kReaderMode, block);
  }
  // A legacy reader takes its first two settings as decimal numbers in packed BCD.
  std::array<uint8_t, mode::kBlockLength> data{};
  std::memcpy(data.data(), block->settings, mode::kBlockLength);
  for (std::size_t i = 0; i < mode::kLegacyBcdBytes; ++i) {
    data[i] = static_cast<uint8_t>(IntToBCD(data[i]));
  }
  return velkor::link::SendLegacyFrame(packet, mode::kLegacyReaderOpcode, data);
}

int32_t SendFingerMoton(uint8_t* packet, const ModeBlock* block) {
  return SendBlock(packet, wire::code::kFingerMode, block);
}

int32_t SendFingerControl(uint8_t* packet, int32_t selector, uint32_t number, int32_t command) {
  packet[wire::kCommandCode] = wire::code::kControl;
  velkor::link::SealPacket(packet);
  std::memset(packet + mode::kControlSelector, wire::kUnusedFill,
              mode::kControlEnd - mode::kControlSelector);
  packet[mode::kControlSelector] = static_cast<uint8_t>(selector & 0xFF);
  packet[mode::kControlCommand] =
      static_cast<uint8_t>((command & 0xFF) | velkor::wire::control::kCommandBit);
  velkor::link::WriteWireNumber(packet + mode::kControlNumber, number, mode::kControlNumberLength);
  return mode::kControlReplyLength;
}

int32_t GetFingerControl(const uint8_t* packet) {
  return packet[wire::kCommandCode] == wire::code::kControl ? packet[mode::kControlSelector] : 0;
}

}  // extern "C"
