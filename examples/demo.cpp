// A host's side of a few exchanges with simulated devices. The host code uses only
// velkorlink.h: hand the received bytes to PreparePackage, read what the packet holds, answer
// with one Send function on the same buffer, transmit the returned number of bytes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "DeviceSeal.h"
#include "velkorlink.h"

namespace {

constexpr std::size_t kBufferSize = 1346;  // longest fixed-format reply

void PrintHex(const char* label, const uint8_t* bytes, std::size_t count) {
  std::printf("%s (%zu bytes):", label, count);
  for (std::size_t i = 0; i < count; ++i) {
    std::printf("%s%02X", i % 32 == 0 ? "\n    " : " ", bytes[i]);
  }
  std::printf("\n");
}

// ---- Device side: what a device would put on the wire. ----
struct DevicePacket {
  std::vector<uint8_t> bytes;
};

DevicePacket MakeDevicePacket(uint8_t code, uint8_t type, uint64_t serial, std::size_t length) {
  DevicePacket p{std::vector<uint8_t>(length, 0)};
  p.bytes[0] = code;
  p.bytes[2] = type;
  for (int i = 0; i < 7; ++i) {
    p.bytes[3 + i] = static_cast<uint8_t>(serial >> (8 * (6 - i)));
  }
  for (int i = 18; i < 24; ++i) {
    p.bytes[i] = static_cast<uint8_t>(0x10 + i);  // bytes the host carries back unread
  }
  return p;
}

// ---- Host side: public header only. ----
int32_t Answer(uint8_t* buffer, uint32_t length) {
  const int32_t code = PreparePackage(buffer, length);
  if (code == 0) {
    std::printf("  refused: dropped without a reply\n");
    return 0;
  }
  std::printf("  accepted: code 0x%02X, device type %d, serial 0x%014llX\n", code,
              GetDeviceType(buffer), static_cast<unsigned long long>(GetDeviceIdent(buffer)));
  switch (code) {
    case 0xFF: {
      const uint8_t* config = ReadNetConfigration();
      std::printf("  configuration captured (flag %u), port word %u\n", config[39],
                  config[5] | (config[6] << 8));
      return SendNetConfigration(buffer);
    }
    case 0xFC:
      std::printf("  firmware version %d\n", GetFirmwareVersion(buffer));
      return SendDeviceReadCommand(buffer);
    default:
      return SendDeviceEcho(buffer);
  }
}

void Exchange(const char* title, DevicePacket packet) {
  std::printf("\n== %s\n", title);
  std::vector<uint8_t> buffer(kBufferSize, 0);
  std::memcpy(buffer.data(), packet.bytes.data(), packet.bytes.size());
  PrintHex("  device -> host", buffer.data(), packet.bytes.size());
  const int32_t reply = Answer(buffer.data(), static_cast<uint32_t>(packet.bytes.size()));
  if (reply == 0) {
    return;
  }
  PrintHex("  host -> device", buffer.data(), static_cast<std::size_t>(reply));
  velkor::devicekit::Block plain{};
  std::printf("  device check of the reply: %s\n",
              velkor::devicekit::OpenReply(buffer.data(), plain) ? "opens under the outgoing key"
                                                                 : "DOES NOT OPEN");
}

}  // namespace

int main() {
  using velkor::devicekit::SealAsDevice;

  DevicePacket config = MakeDevicePacket(0xFF, 1, 0x00112233445566, 86);
  config.bytes[31] = 0x1F;  // first word, high byte first: 8080
  config.bytes[32] = 0x90;
  SealAsDevice(config.bytes.data());
  Exchange("current device reports its network configuration (0xFF)", config);

  DevicePacket firmware = MakeDevicePacket(0xFC, 1, 0x00112233445566, 90);
  std::memcpy(firmware.bytes.data() + 86, "1234", 4);
  SealAsDevice(firmware.bytes.data());
  Exchange("current device reports its firmware (0xFC), host asks it to read", firmware);

  DevicePacket module = MakeDevicePacket(0xFA, 0, 0x000000000A0B0C, 86);
  SealAsDevice(module.bytes.data());
  Exchange("legacy network module packet (0xFA), echoed", module);

  DevicePacket tampered = MakeDevicePacket(0xF8, 1, 0x00112233445566, 26);
  SealAsDevice(tampered.bytes.data());
  tampered.bytes[5] ^= 0x01;  // serial changed after sealing
  Exchange("packet whose serial does not match its security block", tampered);

  std::printf("\nreconnect packet:\n");
  std::vector<uint8_t> buffer(kBufferSize, 0);
  PrintHex("  host -> device", buffer.data(),
           static_cast<std::size_t>(GetReconnectPackage(buffer.data())));
  return 0;
}
