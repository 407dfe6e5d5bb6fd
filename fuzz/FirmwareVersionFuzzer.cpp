// Firmware version: GetFirmwareVersion reads byte 0, then byte 26 of a legacy packet or bytes
// 86..89 of a current one; the buffer holds exactly those bytes.
//
// Input: code byte, device type byte, then the packet's bytes.
#include "FuzzSupport.h"
#include "velkorlink.h"

namespace {

using namespace velkor::fuzz;

constexpr std::uint8_t kFirmware = 0xFC;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint8_t code = DrawCode(in, kFirmware);
  const std::uint8_t type = in.Bool() ? 0 : in.Byte();
  const std::size_t area = code != kFirmware ? 1 : type == 0 ? 27 : 90;
  Exact packet(area);
  in.Bytes(packet.data(), area);
  packet[0] = code;
  if (area > 1) {
    packet[2] = type;
  }

  const std::int32_t version = GetFirmwareVersion(packet.data());
  if (code != kFirmware) {
    FUZZ_CHECK(version == -1);
  } else if (type == 0) {
    // Two packed digits, nibbles taken as they are; 0 stands for 1.
    const int value = (packet[26] >> 4) * 10 + (packet[26] & 0x0F);
    FUZZ_CHECK(version == (value == 0 ? 1 : value * 100));
  } else {
    int expected = 0;
    for (std::size_t i = 86; i < 90; ++i) {
      expected = expected * 10 + (packet[i] - '0');
    }
    FUZZ_CHECK(version == expected);
  }
  return 0;
}
