#include "link/NetConfig.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

#include "link/Seal.h"
#include "link/Wire.h"
#include "velkorlink.h"

namespace velkor::link {
namespace {

using Record = std::array<std::uint8_t, VELKORLINK_NET_CONFIG_LENGTH>;

// Record positions. The library reads only the two words and the captured flag; the rest is
// network module data that is carried as it stands.
constexpr std::size_t kFirstWord = 5;   // 16-bit, low byte first in the record
constexpr std::size_t kSecondWord = 7;  // 16-bit, low byte first in the record
constexpr std::size_t kCapturedFlag = 39;
constexpr std::uint8_t kNothingCaptured = 1;

// Where each run of record bytes travels in a legacy packet (bytes 27..85, byte order of the
// words aside). A current packet carries the record in order at bytes 26..85.
struct Run {
  std::size_t record;
  std::size_t packet;
  std::size_t length;
};
constexpr std::array<Run, 6> kLegacyRuns{{
    {0, 35, 1},    // lead byte
    {1, 31, 4},    // four-byte field
    {5, 27, 2},    // first word, high byte first on the wire
    {7, 29, 2},    // second word, high byte first on the wire
    {9, 36, 30},   // 30-byte block
    {40, 66, 20},  // 20-byte block
}};

Record record{};  // zero at load: captured flag 0

void SwapWords(std::uint8_t* bytes, std::size_t first, std::size_t second) {
  std::swap(bytes[first], bytes[first + 1]);
  std::swap(bytes[second], bytes[second + 1]);
}

}  // namespace

void ResetNetConfig() {
  record.fill(0);
  record[kCapturedFlag] = kNothingCaptured;
}

void CaptureLegacyConfig(const std::uint8_t* packet) {
  for (const Run& run : kLegacyRuns) {
    std::memcpy(record.data() + run.record, packet + run.packet, run.length);
  }
  record[kCapturedFlag] = 0;
  SwapWords(record.data(), kFirstWord, kSecondWord);
}

void CaptureCurrentConfig(const std::uint8_t* packet, std::uint32_t length) {
  const std::size_t end = length < wire::kConfigEnd ? length : wire::kConfigEnd;
  record.fill(0);
  std::memcpy(record.data(), packet + wire::kCurrentConfig, end - wire::kCurrentConfig);
  record[kCapturedFlag] = 0;
  SwapWords(record.data(), kFirstWord, kSecondWord);
}

void EchoNetConfig(std::uint8_t* packet) {
  for (const Run& run : kLegacyRuns) {
    std::memcpy(packet + run.packet, record.data() + run.record, run.length);
  }
  SwapWords(packet, kLegacyRuns[2].packet, kLegacyRuns[3].packet);
}

}  // namespace velkor::link

extern "C" {

const uint8_t* ReadNetConfigration(void) {
  return velkor::link::record.data();
}

int32_t SendNetConfigration(uint8_t* packet) {
  namespace wire = velkor::wire;
  namespace link = velkor::link;
  if (packet[wire::kDeviceType] != wire::kLegacyDevice) {
    std::memcpy(packet + wire::kCurrentConfig, link::record.data(), link::record.size());
    link::SwapWords(packet, wire::kCurrentConfig + link::kFirstWord,
                    wire::kCurrentConfig + link::kSecondWord);
    packet[wire::kCurrentConfigFlag] = 0;
  } else {
    link::EchoNetConfig(packet);
    packet[wire::kPayload] = 0;
  }
  link::SealPacket(packet);
  packet[wire::kCommandCode] = wire::code::kNetConfigReply;
  return wire::kNetConfigReplyLength;
}

}  // extern "C"
