// Control commands (0xF9): a command byte with three arguments, the extra output, and the
// device clock. A current device takes the command at bytes 26..40; a legacy controller takes
// it in a legacy frame.
#include <array>
#include <cstring>
#include <span>

#include "link/LegacyFrame.h"
#include "link/Seal.h"
#include "link/Utility.h"
#include "peripherals/Clock.h"
#include "peripherals/PeripheralWire.h"
#include "velkorlink.h"

namespace {

namespace wire = velkor::wire;
namespace ctl = velkor::wire::control;

bool IsLegacy(const uint8_t* packet) {
  return packet[wire::kDeviceType] == wire::kLegacyDevice;
}

uint8_t LowByte(int32_t value) {
  return static_cast<uint8_t>(value & 0xFF);
}

uint8_t Bcd(int value) {
  return static_cast<uint8_t>(IntToBCD(value));
}

// Seals the head and lays out a current-device command: marker, command byte, then `arguments`;
// every other byte up to 40 is the unused fill. Returns 41.
int32_t SendCurrentCommand(uint8_t* packet, uint8_t command, std::span<const uint8_t> arguments) {
  packet[wire::kCommandCode] = wire::code::kControl;
  velkor::link::SealPacket(packet);
  std::memset(packet + ctl::kMarker, wire::kUnusedFill, ctl::kEnd - ctl::kMarker);
  packet[ctl::kMarker] = ctl::kMarkerValue;
  packet[ctl::kCommand] = command;
  std::memcpy(packet + ctl::kArguments, arguments.data(), arguments.size());
  return ctl::kReplyLength;
}

}  // namespace

extern "C" {

int32_t SendControl(uint8_t* packet, int32_t command, int32_t first, int32_t second,
                    int32_t third) {
  const uint8_t code = LowByte(command) | ctl::kCommandBit;
  const std::array<uint8_t, 3> arguments = {LowByte(first), LowByte(second), LowByte(third)};
  if (IsLegacy(packet)) {
    return velkor::link::SendLegacyFrame(packet, code, arguments);
  }
  return SendCurrentCommand(packet, code, arguments);
}

int32_t SendExOutput(uint8_t* packet, int32_t value) {
  const std::array<uint8_t, 1> output = {LowByte(value)};
  if (IsLegacy(packet)) {
    return velkor::link::SendLegacyFrame(packet, ctl::kExOutputOpcode, output);
  }
  return SendCurrentCommand(packet, ctl::kExOutputCommand, output);
}

int32_t SendTimer(uint8_t* packet) {
  namespace p = velkor::peripherals;
  // The clock is set to the local time one second before the call.
  const p::ClockFields t = p::FieldsOf(p::LocalNow() - std::chrono::seconds{1});
  const uint8_t year = Bcd(t.year % 100);
  const uint8_t month = Bcd(t.month);
  const uint8_t day = Bcd(t.day);
  const uint8_t hour = Bcd(t.hour);
  const uint8_t minute = Bcd(t.minute);
  const uint8_t second = Bcd(t.second);
  if (IsLegacy(packet)) {
    const std::array<uint8_t, ctl::kLegacyClockFields> fields = {year, month,  day,
                                                                 hour, minute, second};
    return velkor::link::SendLegacyFrame(packet, ctl::kTimerOpcode, fields);
  }
  // The weekday travels as a plain number, not in BCD.
  const std::array<uint8_t, ctl::kClockFields> fields = {
      second, minute, hour, static_cast<uint8_t>(t.weekday), day, month, year};
  return SendCurrentCommand(packet, ctl::kTimerCommand, fields);
}

}  // extern "C"
