// Voice data: a legacy voice data request (0xF2) of 0..2048 bytes sealed as a device seals it,
// PreparePackage, the sound buffer read and written as a host does it (unaligned, through
// memcpy), and SendSoundData in a buffer that ends where its reply ends.
//
// Input: length word, the request's bytes, then the data count and bytes the host answers with.
#include <algorithm>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "velkorlink.h"

namespace {

using namespace velkor::fuzz;

constexpr std::uint8_t kVoiceRequest = 0xF2;
constexpr std::size_t kData = 29;

std::uint16_t Element(const std::uint16_t* buffer, std::size_t i) {
  std::uint16_t value = 0;
  std::memcpy(&value, reinterpret_cast<const std::uint8_t*>(buffer) + 2 * i, sizeof value);
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint32_t length = kHead + in.Word() % (2048 - kHead + 1);
  Exact packet(length);
  in.Bytes(packet.data(), length);
  packet[0] = kVoiceRequest;
  packet[2] = 0;
  SealAsDevice(packet.data());
  const std::vector<std::uint8_t> before(packet.data(), packet.data() + length);

  const std::int32_t code = PreparePackage(packet.data(), length);
  if (length < kData) {
    FUZZ_CHECK(code == 0);
    return 0;
  }
  FUZZ_CHECK(code == kVoiceRequest);
  const std::uint16_t* sound = GetSoundBuffer(packet.data());
  FUZZ_CHECK(reinterpret_cast<const std::uint8_t*>(sound) == packet.data() + 25);
  FUZZ_CHECK(Element(sound, 0) == static_cast<std::uint16_t>(length - kData));
  FUZZ_CHECK(Element(sound, 1) == (before[27] << 8 | before[28]));

  // The host answers with a count of its own and that many data bytes from byte 29.
  const ReceivedHead head = KeepHead(packet.data());
  const std::uint16_t count = static_cast<std::uint16_t>(in.Word() % 2049);
  Exact reply(kData + count, packet.data(), kData, in);
  std::memcpy(GetSoundBuffer(reply.data()), &count, sizeof count);
  const std::vector<std::uint8_t> sent(reply.data() + kData, reply.data() + kData + count);

  FUZZ_CHECK(SendSoundData(reply.data()) == static_cast<std::int32_t>(kData + count));
  CheckReply(reply.data(), head, 0xF1);
  FUZZ_CHECK(reply[26] == 0 && reply[27] == before[27] && reply[28] == before[28]);
  FUZZ_CHECK(std::equal(sent.begin(), sent.end(), reply.data() + kData));
  return 0;
}
