#include "peripherals/SoundData.h"

#include <utility>

#include "link/Seal.h"
#include "link/Wire.h"
#include "velkorlink.h"

namespace velkor::peripherals {
namespace {

// The sound buffer: 16-bit little-endian elements from packet byte 25 on.
constexpr std::size_t kSoundBuffer = 25;
constexpr std::size_t kDataCount = 25;      // element 0, bytes 25..26
constexpr std::size_t kRequestWord = 27;    // element 1, bytes 27..28
constexpr std::uint32_t kRequestHead = 29;  // data bytes start here

}  // namespace

bool RewriteVoiceRequest(std::uint8_t* packet, std::uint32_t length) {
  if (length < kRequestHead) {
    return false;
  }
  std::swap(packet[kRequestWord], packet[kRequestWord + 1]);
  const std::uint32_t count = length - kRequestHead;
  packet[kDataCount] = static_cast<std::uint8_t>(count & 0xFF);
  packet[kDataCount + 1] = static_cast<std::uint8_t>((count >> 8) & 0xFF);
  return true;
}

}  // namespace velkor::peripherals

extern "C" {

uint16_t* GetSoundBuffer(uint8_t* packet) {
  // The pointer is handed out as the interface declares it; the library itself never reads
  // through it, since it is not aligned for 16-bit access.
  return reinterpret_cast<uint16_t*>(packet + velkor::peripherals::kSoundBuffer);
}

int32_t SendSoundData(uint8_t* packet) {
  namespace p = velkor::peripherals;
  namespace wire = velkor::wire;
  // Sealing overwrites bytes 24..25, so the count is read first.
  const int32_t count = packet[p::kDataCount] | (packet[p::kDataCount + 1] << 8);
  std::swap(packet[p::kRequestWord], packet[p::kRequestWord + 1]);
  packet[wire::kPayload] = 0;
  velkor::link::SealPacket(packet);
  packet[wire::kCommandCode] = static_cast<uint8_t>(packet[wire::kCommandCode] - 1);
  return count + static_cast<int32_t>(p::kRequestHead);
}

}  // extern "C"
