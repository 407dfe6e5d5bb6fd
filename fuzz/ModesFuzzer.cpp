// Reader and fingerprint mode reports: GetReaderMoton and GetFingerMoton read byte 0 and, for
// their own code, bytes 26..30; the buffer holds exactly that. Then SendReaderMoton and
// SendFingerMoton of a fuzzed block, read back.
//
// Input: which report (bit 0: fingerprint), code byte, the packet's bytes, then the device
// type, head and block of the round trip.
#include <cstring>

#include "FuzzSupport.h"
#include "velkorlink.h"

namespace {

using namespace velkor::fuzz;

constexpr std::size_t kBlock = 26;
constexpr std::size_t kBlockEnd = 31;

struct Mode {
  std::uint8_t report;  // code of the device's report
  std::uint8_t mode;    // code of the host's command to a current device
  bool (*get)(const std::uint8_t*, ModeBlock*);
  std::int32_t (*send)(std::uint8_t*, const ModeBlock*);
};
constexpr Mode kReader{0xEE, 0xEF, GetReaderMoton, SendReaderMoton};
constexpr Mode kFinger{0xEC, 0xED, GetFingerMoton, SendFingerMoton};

void ReadReport(const Mode& m, Input& in) {
  const std::uint8_t code = DrawCode(in, m.report);
  const std::size_t area = code == m.report ? kBlockEnd : 1;
  Exact packet(area);
  in.Bytes(packet.data(), area);
  packet[0] = code;
  Records<ModeBlock> block(1);
  std::memset(block.data(), 0x5A, sizeof(ModeBlock));

  const bool got = m.get(packet.data(), block.data());
  FUZZ_CHECK(got == (code == m.report));
  const std::uint8_t untouched[5] = {0x5A, 0x5A, 0x5A, 0x5A, 0x5A};
  FUZZ_CHECK(std::memcmp(block[0].settings, got ? packet.data() + kBlock : untouched, 5) == 0);
}

// The block a current device is sent comes back unchanged in its report; a legacy reader gets
// a 102-byte frame reply (the fingerprint reader takes the 31-byte command whatever the type).
void RoundTrip(const Mode& m, Input& in) {
  const bool legacy = in.Bool();
  const bool frame = legacy && m.send == SendReaderMoton;
  const std::size_t area = frame ? 102 : kBlockEnd;
  Exact packet(area);
  DrawAcceptedHead(in, packet.data());
  packet[2] = legacy ? 0 : 1;
  std::memcpy(packet.data() + 10, packet.data() + 2, 8);  // the plain block's copy of 2..9
  in.Bytes(packet.data() + kHead, area - kHead);
  const ReceivedHead head = KeepHead(packet.data());
  Records<ModeBlock> sent(1);
  in.Bytes(sent[0].settings, 5);

  FUZZ_CHECK(m.send(packet.data(), sent.data()) == static_cast<std::int32_t>(area));
  CheckReply(packet.data(), head, frame ? 0xF9 : m.mode);
  if (frame) {
    FUZZ_CHECK(packet[26] == 1 && packet[88] == 0x90);
    FUZZ_CHECK(std::memcmp(packet.data() + 91, sent[0].settings + 2, 3) == 0);
    return;
  }
  packet[0] = m.report;
  Records<ModeBlock> read(1);
  FUZZ_CHECK(m.get(packet.data(), read.data()));
  FUZZ_CHECK(std::memcmp(read[0].settings, sent[0].settings, 5) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const Mode& m = in.Bool() ? kFinger : kReader;
  ReadReport(m, in);
  RoundTrip(m, in);
  return 0;
}
