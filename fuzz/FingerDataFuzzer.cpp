// Fingerprint templates: GetFingerData reads up to byte 155 of an upload (0xE8), byte 32 of a
// request (0xEA) and byte 27 of anything else; the buffer holds exactly that. Then
// SendFingerData, which answers a request in 154 bytes and touches nothing of any other packet.
//
// Input: code byte, the packet's bytes, then the code, head and template of the answer.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "velkorlink.h"

namespace {

using namespace velkor::fuzz;

constexpr std::uint8_t kUpload = 0xE8;
constexpr std::uint8_t kRequest = 0xEA;
constexpr std::size_t kReply = 154;

void ReadReceived(Input& in) {
  const std::uint8_t code = in.Bool() ? kUpload : DrawCode(in, kRequest);
  const std::size_t area = code == kUpload ? 156 : code == kRequest ? 33 : 28;
  Exact packet(area);
  in.Bytes(packet.data(), area);
  packet[0] = code;
  Records<FingerDataRecord> record(1);
  std::memset(record.data(), 0x5A, sizeof(FingerDataRecord));
  const std::vector<std::uint8_t> untouched(sizeof(FingerDataRecord), 0x5A);

  GetFingerData(packet.data(), record.data());
  const FingerDataRecord& r = record[0];
  FUZZ_CHECK(r.lowBits == (packet[27] & 0x03));
  FUZZ_CHECK(r.leadByte == (code == kUpload || code == kRequest ? packet[26] : 0));
  if (code == kRequest) {
    FUZZ_CHECK(r.lowNibble == (packet[28] & 0x0F));
    FUZZ_CHECK(r.number == (static_cast<std::uint32_t>(packet[29]) << 24 |
                            static_cast<std::uint32_t>(packet[30]) << 16 |
                            static_cast<std::uint32_t>(packet[31]) << 8 | packet[32]));
  } else {
    FUZZ_CHECK(r.lowNibble == 0x5A && r.number == 0x5A5A5A5A);
  }
  FUZZ_CHECK(std::memcmp(r.templateData, code == kUpload ? packet.data() + 28 : untouched.data(),
                         128) == 0);
}

void Answer(Input& in) {
  const std::uint8_t code = DrawCode(in, kRequest);
  Records<FingerDataRecord> record(1);
  in.Bytes(reinterpret_cast<std::uint8_t*>(record.data()), sizeof(FingerDataRecord));
  if (code != kRequest) {
    Exact packet(1);
    packet[0] = code;
    FUZZ_CHECK(SendFingerData(packet.data(), record.data()) == 0);
    FUZZ_CHECK(packet[0] == code);
    return;
  }
  Exact packet(kReply);
  DrawAcceptedHead(in, packet.data());
  packet[0] = kRequest;
  in.Bytes(packet.data() + kHead, kReply - kHead);
  const ReceivedHead head = KeepHead(packet.data());
  FUZZ_CHECK(SendFingerData(packet.data(), record.data()) == static_cast<std::int32_t>(kReply));
  CheckReply(packet.data(), head, 0xEB);
  FUZZ_CHECK(std::memcmp(packet.data() + kHead, record[0].templateData, 128) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  ReadReceived(in);
  Answer(in);
  return 0;
}
