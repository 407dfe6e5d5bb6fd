// Packet intake: PreparePackage on packets of 0..2048 bytes, either sealed as a device seals
// them (fuzzed head and payload) or raw fuzzed bytes, from both device generations; then one
// Send function on every accepted packet, in a buffer no longer than that reply.
//
// Input: mode byte (bit 0: seal), length word (0..2048), the packet's bytes, a selector byte
// for the Send function, then whatever that Send function takes.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "DeviceSeal.h"
#include "FuzzSupport.h"
#include "SendCases.h"
#include "velkorlink.h"

namespace {

using namespace velkor::fuzz;

constexpr std::uint32_t kMaxLength = 2048;
constexpr std::uint8_t kVoiceRequest = 0xF2;
constexpr std::size_t kConfigEnd = 86;
constexpr std::size_t kCapturedFlag = 39;

using NetConfig = std::array<std::uint8_t, VELKORLINK_NET_CONFIG_LENGTH>;

NetConfig ReadRecord() {
  NetConfig record{};
  std::memcpy(record.data(), ReadNetConfigration(), record.size());
  return record;
}

bool CarriesConfig(std::uint8_t type, std::uint8_t code, std::size_t length) {
  if (type == 0) {
    return (code == 0xFA || code == 0xFC || code == 0xFF) && length >= kConfigEnd;
  }
  return type == 1 && (code == 0xFC || code == 0xFF);
}

// Record byte -> packet byte of a legacy configuration (bytes 27..85), the two words swapped.
std::size_t LegacyWireOf(std::size_t i) {
  if (i == 0)
    return 35;
  if (i <= 4)
    return 31 + (i - 1);
  if (i <= 8)
    return 27 + ((i - 5) ^ 1);
  if (i <= 38)
    return 36 + (i - 9);
  return 66 + (i - 40);
}

// Record byte -> packet byte of a current configuration (bytes 26..85), the two words swapped.
std::size_t CurrentWireOf(std::size_t i) {
  return (i >= 5 && i <= 8) ? 26 + 5 + ((i - 5) ^ 1) : 26 + i;
}

void CheckRecord(const std::vector<std::uint8_t>& packet, std::size_t length) {
  const NetConfig record = ReadRecord();
  const std::uint8_t type = packet[2];
  if (!CarriesConfig(type, packet[0], length)) {
    NetConfig reset{};
    reset[kCapturedFlag] = 1;
    FUZZ_CHECK(record == reset);
    return;
  }
  FUZZ_CHECK(record[kCapturedFlag] == 0);
  for (std::size_t i = 0; i < record.size(); ++i) {
    if (i == kCapturedFlag) {
      continue;
    }
    const std::size_t wire = type == 0 ? LegacyWireOf(i) : CurrentWireOf(i);
    if (wire < length) {
      FUZZ_CHECK(record[i] == packet[wire]);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const bool seal = in.Bool();
  const std::uint32_t length = in.Word() % (kMaxLength + 1);

  Exact packet(length);
  in.Bytes(packet.data(), length);
  if (seal && length >= kHead) {
    SealAsDevice(packet.data());
  }
  const std::vector<std::uint8_t> before(packet.data(), packet.data() + length);
  const NetConfig record_before = ReadRecord();
  velkor::devicekit::Block plain{};
  const bool opens =
      length >= kHead &&
      velkor::devicekit::OpenBlock(before.data(), velkor::devicekit::kIncomingKeyText, plain);

  const std::int32_t result = PreparePackage(packet.data(), length);

  if (length < kHead) {
    // Too short to hold a head: nothing changes anywhere.
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(std::equal(before.begin(), before.end(), packet.data()));
    FUZZ_CHECK(ReadRecord() == record_before);
    return 0;
  }
  FUZZ_CHECK(opens || !seal);

  const std::uint8_t code = before[0];
  const std::uint8_t type = before[2];
  const bool voice = type == 0 && code == kVoiceRequest;
  // The block is opened in place whatever the outcome; a voice request then keeps its data
  // count in bytes 25..26 and its request word swapped at 27..28.
  const std::size_t plain_end = voice && opens ? 25 : kHead;
  FUZZ_CHECK(std::memcmp(packet.data() + kBlock, plain.data(), plain_end - kBlock) == 0);
  FUZZ_CHECK(std::memcmp(packet.data(), before.data(), kBlock) == 0);

  if (!opens) {
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(ReadRecord() == record_before);
    FUZZ_CHECK(std::memcmp(packet.data() + kHead, before.data() + kHead, length - kHead) == 0);
    return 0;
  }
  CheckRecord(before, length);

  if (voice) {
    if (length < 29) {
      FUZZ_CHECK(result == 0);
      return 0;
    }
    const std::uint32_t count = length - 29;
    FUZZ_CHECK(packet[25] == (count & 0xFF) && packet[26] == ((count >> 8) & 0xFF));
    FUZZ_CHECK(packet[27] == before[28] && packet[28] == before[27]);
    FUZZ_CHECK(std::memcmp(packet.data() + 29, before.data() + 29, length - 29) == 0);
  } else {
    FUZZ_CHECK(std::memcmp(packet.data() + kHead, before.data() + kHead, length - kHead) == 0);
  }
  FUZZ_CHECK(result == code);
  if (result == 0) {
    return 0;  // an accepted packet of code 0 is dropped like a refused one
  }

  // The host answers with one Send function, in a buffer that ends where that reply ends.
  const ReceivedHead head = KeepHead(packet.data());
  if (voice) {
    Exact reply(length, packet.data(), length, in);
    FUZZ_CHECK(SendSoundData(reply.data()) == static_cast<std::int32_t>(length));
    CheckReply(reply.data(), head, 0xF1);
    FUZZ_CHECK(reply[26] == 0 && reply[27] == before[27] && reply[28] == before[28]);
    return 0;
  }
  const SendCase& send = PickSendCase(in.Byte());
  SendCall call = send.prepare(packet.data(), in);
  Exact reply(call.area, packet.data(), length, in);
  const std::vector<std::uint8_t> unanswered(reply.data(), reply.data() + call.area);
  FUZZ_CHECK(call.run(reply.data()) == call.length);
  if (call.length == 0) {
    FUZZ_CHECK(std::equal(unanswered.begin(), unanswered.end(), reply.data()));
    return 0;
  }
  CheckReply(reply.data(), head, call.code);
  if (call.legacy_frame) {
    FUZZ_CHECK(reply[26] == 1 && reply[86] == 0x5A && reply[87] == 0x5A);
    FUZZ_CHECK(reply[100] == 0xA5 && reply[101] == 0xA5);
    unsigned sum = 0;
    for (std::size_t i = 88; i < 99; ++i) {
      sum += reply[i];
    }
    FUZZ_CHECK(reply[99] == (sum & 0xFF));
  }
  // A configuration captured and sent straight back leaves the device's bytes as they came.
  if (call.config && CarriesConfig(type, code, length) && length >= kConfigEnd) {
    for (std::size_t i = type == 0 ? 27 : 26; i < kConfigEnd; ++i) {
      FUZZ_CHECK(reply[i] == (i == 65 && type != 0 ? 0 : before[i]));
    }
  }
  return 0;
}
