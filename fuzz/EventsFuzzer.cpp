// Event records: GetEvents on a packet of exactly the bytes its record count announces,
// 27 + 16N from a current device and 86 + 16N from a legacy one, called until it reports no
// record left.
//
// Input: generation byte (bit 0: legacy), record count N, then the packet's bytes.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "velkorlink.h"

namespace {

using namespace velkor::fuzz;

constexpr std::size_t kCount = 26;
constexpr std::size_t kCurrentRecords = 27;
constexpr std::size_t kLegacyFrames = 86;
constexpr std::size_t kLegacyRecords = 88;  // a legacy record starts at its frame's opcode
constexpr std::uint64_t kUntouched = 0x5A5A5A5A5A5A5A5A;
constexpr std::uint8_t kUntouchedCode = 0x5A;

std::uint64_t BigEndian(const std::uint8_t* bytes, std::size_t count) {
  std::uint64_t number = 0;
  for (std::size_t i = 0; i < count; ++i) {
    number = number << 8 | bytes[i];
  }
  return number;
}

// What every record says whatever its kind, and what the kinds with a fixed layout carry.
void CheckRecord(const EventRecord& e, const std::uint8_t* r, bool legacy,
                 const std::uint8_t* packet) {
  const std::uint8_t kind = legacy ? r[0] >> 4 : r[0];
  FUZZ_CHECK(e.kind == kind);
  FUZZ_CHECK(IsDigitText(e.digits));
  const bool carries_number = kind == 0 || kind == 3 || kind == 4;
  const bool carries_code = kind == 0 || kind == 1 || kind == 3;
  if (!carries_number) {
    FUZZ_CHECK(e.number == kUntouched);
  }
  if (!carries_code) {
    FUZZ_CHECK(e.code == kUntouchedCode);
  }
  const std::int16_t values[] = {e.value1, e.value2, e.value3, e.value4,
                                 e.value5, e.value6, e.value7, e.value8};
  if (kind > 4) {
    for (const std::int16_t v : values) {
      FUZZ_CHECK(v == -1);
    }
  }
  const std::uint8_t group = e.code >> 4;
  const bool card = !legacy && (kind == 0 || kind == 3) && group == 0x8;
  const bool digits = !legacy && (kind == 0 || kind == 3) && group == 0x9;
  FUZZ_CHECK(e.cardNumber == (card ? static_cast<std::int64_t>(BigEndian(r + 9, 5)) : -1));
  FUZZ_CHECK(e.digits == (digits ? PackedDigits(r + 9) : ""));
  switch (kind) {
    case 0:
    case 3:
      FUZZ_CHECK(e.number == BigEndian(r + 1, 6) && e.code == r[7]);
      break;
    case 1:
      FUZZ_CHECK(e.code == r[1] && e.value6 == r[2] && e.value7 == (r[3] <= 10 ? r[3] : -1));
      FUZZ_CHECK(e.value1 == -1 && e.value5 == -1 && e.value8 == -1);
      break;
    case 2:
      FUZZ_CHECK(e.value3 == r[3] && e.value4 == r[4] && e.value5 == r[5]);
      FUZZ_CHECK(e.value6 == -1 && e.value7 == -1 && e.value8 == -1);
      if (legacy) {
        FUZZ_CHECK(std::memcmp(packet + 30, r + 1, 10) == 0);
      }
      break;
    case 4:
      FUZZ_CHECK(e.number == BigEndian(r + 1, 2) && e.value6 == r[3] && e.value7 == r[4]);
      FUZZ_CHECK(e.value1 == -1 && e.value5 == -1 && e.value8 == -1);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const bool legacy = in.Bool();
  const std::uint8_t count = in.Byte();
  const std::size_t area = (legacy ? kLegacyFrames : kCurrentRecords) + 16 * count;
  Exact packet(area);
  in.Bytes(packet.data(), area);
  packet[2] = legacy ? 0 : (packet[2] == 0 ? 1 : packet[2]);
  packet[kCount] = count;
  const std::vector<std::uint8_t> before(packet.data(), packet.data() + area);
  const std::size_t first = legacy ? kLegacyRecords : kCurrentRecords;

  Records<EventRecord> record(1);
  for (std::size_t k = count; k-- > 0;) {
    std::memset(record.data(), 0x5A, sizeof(EventRecord));
    FUZZ_CHECK(GetEvents(packet.data(), record.data()));
    FUZZ_CHECK(packet[kCount] == k);
    // Records are read as they came: only the count and a legacy status copy change the packet.
    CheckRecord(record[0], before.data() + first + 16 * k, legacy, packet.data());
  }
  std::memset(record.data(), 0x5A, sizeof(EventRecord));
  FUZZ_CHECK(!GetEvents(packet.data(), record.data()));
  const std::vector<std::uint8_t> untouched(sizeof(EventRecord), 0x5A);
  FUZZ_CHECK(std::memcmp(record.data(), untouched.data(), sizeof(EventRecord)) == 0);
  FUZZ_CHECK(packet[kCount] == 0);
  return 0;
}
