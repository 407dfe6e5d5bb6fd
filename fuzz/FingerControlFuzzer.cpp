// Fingerprint control: GetFingerControl reads byte 0 and, for a report (0xF9), byte 26; the
// buffer holds exactly that. Then SendFingerControl, which writes up to byte 40 and returns 32,
// read back as a report.
//
// Input: code byte, the packet's bytes, then the head, selector, number and command sent.
#include <cstring>

#include "FuzzSupport.h"
#include "velkorlink.h"

namespace {

using namespace velkor::fuzz;

constexpr std::uint8_t kControl = 0xF9;
constexpr std::size_t kCommandArea = 41;

void ReadReport(Input& in) {
  const std::uint8_t code = DrawCode(in, kControl);
  const std::size_t area = code == kControl ? 27 : 1;
  Exact packet(area);
  in.Bytes(packet.data(), area);
  packet[0] = code;
  FUZZ_CHECK(GetFingerControl(packet.data()) == (code == kControl ? packet[26] : 0));
}

void RoundTrip(Input& in) {
  Exact packet(kCommandArea);
  DrawAcceptedHead(in, packet.data());
  in.Bytes(packet.data() + kHead, kCommandArea - kHead);
  const ReceivedHead head = KeepHead(packet.data());
  const auto selector = static_cast<std::int32_t>(in.Long());
  const std::uint32_t number = in.Long();
  const auto command = static_cast<std::int32_t>(in.Long());

  FUZZ_CHECK(SendFingerControl(packet.data(), selector, number, command) == 32);
  CheckReply(packet.data(), head, kControl);
  FUZZ_CHECK(packet[27] == ((command & 0xFF) | 0x80));
  FUZZ_CHECK(packet[28] == (number >> 24) && packet[29] == ((number >> 16) & 0xFF) &&
             packet[30] == ((number >> 8) & 0xFF) && packet[31] == (number & 0xFF));
  for (std::size_t i = 32; i < kCommandArea; ++i) {
    FUZZ_CHECK(packet[i] == 0xAA);
  }
  FUZZ_CHECK(GetFingerControl(packet.data()) == (selector & 0xFF));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  ReadReport(in);
  RoundTrip(in);
  return 0;
}
