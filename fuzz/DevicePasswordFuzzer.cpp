// Passwords: GetDevicePassword on an 85-byte buffer (it reads bytes 26..65 and writes its text
// into 76..84) for any index; then ten fuzzed texts sent with SendDevicePassword and
// SendFingerPassword and read back one by one.
//
// Input: the 85 packet bytes, the index, then the texts of the round trip.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "SendCases.h"
#include "velkorlink.h"

namespace {

using namespace velkor::fuzz;

constexpr std::size_t kArea = 85;
constexpr std::size_t kText = 76;
constexpr std::size_t kFields = 26;

void ReadReceived(Input& in) {
  Exact packet(kArea);
  in.Bytes(packet.data(), kArea);
  const std::uint32_t index = in.Bool() ? in.Long() : in.Byte() % 11;
  const std::vector<std::uint8_t> before(packet.data(), packet.data() + kArea);

  const char* text = GetDevicePassword(packet.data(), index);
  FUZZ_CHECK(text == reinterpret_cast<const char*>(packet.data() + kText));
  FUZZ_CHECK(IsDigitText(text));
  FUZZ_CHECK(text == (index < 10 ? PackedDigits(before.data() + kFields + 4 * index) : ""));
  FUZZ_CHECK(std::memcmp(packet.data(), before.data(), kText) == 0);
}

void RoundTrip(Input& in) {
  const auto texts = DrawPasswords(in);
  const Passwords& t = *texts;
  Exact device(66);
  DrawAcceptedHead(in, device.data());
  Exact finger(66, device.data(), kHead, in);
  const ReceivedHead head = KeepHead(device.data());

  FUZZ_CHECK(SendDevicePassword(device.data(), t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8],
                                t[9]) == 66);
  FUZZ_CHECK(SendFingerPassword(finger.data(), t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8],
                                t[9]) == 66);
  CheckReply(device.data(), head, 0xF1);
  CheckReply(finger.data(), head, 0xE7);
  FUZZ_CHECK(std::memcmp(device.data() + kFields, finger.data() + kFields, 40) == 0);

  Exact packet(kArea, device.data(), 66, in);
  for (std::uint32_t i = 0; i < 10; ++i) {
    FUZZ_CHECK(GetDevicePassword(packet.data(), i) == (t[i] ? LeadingDigits(t[i]) : ""));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  ReadReceived(in);
  RoundTrip(in);
  return 0;
}
