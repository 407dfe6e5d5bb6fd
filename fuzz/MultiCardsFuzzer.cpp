// Multi-card groups: GetMultiCards on a received packet of `length` bytes into a host array of
// exactly the records it may write; then SendMultiCards of fuzzed groups read back.
//
// Input: code byte, length word (0..2048), the packet's bytes, then the count and the host
// groups of the round trip.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "velkorlink.h"

namespace {

using namespace velkor::fuzz;

constexpr std::uint8_t kGroupList = 0xF6;
constexpr std::size_t kStride = 32;
constexpr std::size_t kMaxGroups = 32;
constexpr std::int64_t kNumberMask = (std::int64_t{1} << 40) - 1;

constexpr std::uint8_t MultiCardGroup::*kFlags[] = {&MultiCardGroup::flag0, &MultiCardGroup::flag1,
                                                    &MultiCardGroup::flag2, &MultiCardGroup::flag3,
                                                    &MultiCardGroup::flag4};

// Card slot i of a host group. The group is packed, so the slot is copied out rather than read
// through a pointer to an int64_t that may be misaligned.
std::int64_t Slot(const MultiCardGroup& g, std::size_t i) {
  std::int64_t number = 0;
  std::memcpy(&number,
              reinterpret_cast<const std::uint8_t*>(&g) + offsetof(MultiCardGroup, cardNumbers) +
                  sizeof number * i,
              sizeof number);
  return number;
}

std::int64_t WireNumber(const std::uint8_t* wire) {
  std::int64_t number = 0;
  for (std::size_t i = 0; i < 5; ++i) {
    number = number << 8 | wire[i];
  }
  return number;
}

void CheckDecoded(const MultiCardGroup& g, const std::uint8_t* wire) {
  FUZZ_CHECK(g.groupNumber == wire[0] && g.param1 == wire[1] && g.param2 == wire[29]);
  for (std::size_t b = 0; b < std::size(kFlags); ++b) {
    FUZZ_CHECK(g.*kFlags[b] == ((wire[3] >> b) & 1));
  }
  FUZZ_CHECK(g.enabled == (wire[31] == 0xA4 ? 1 : 0));
  for (std::size_t i = 0; i < 5; ++i) {
    FUZZ_CHECK(Slot(g, i) == (i < wire[2] ? WireNumber(wire + 4 + 5 * i) : -1));
  }
}

void ReadReceived(Input& in) {
  const std::uint8_t code = DrawCode(in, kGroupList);
  const std::uint32_t length = in.Word() % 2049;
  Exact packet(length);
  in.Bytes(packet.data(), length);
  if (length > 0) {
    packet[0] = code;
  }
  const std::size_t records = std::min(length < kHead ? 0 : (length - kHead) / kStride, kMaxGroups);
  Records<MultiCardGroup> groups(records);

  const std::int32_t n = GetMultiCards(packet.data(), length, groups.data());
  std::size_t expected = 0;
  if (length > 0 && code == kGroupList) {
    for (std::size_t k = 0; k < records; ++k) {
      const std::uint8_t* wire = packet.data() + kHead + kStride * k;
      if (wire[0] < 32) {
        CheckDecoded(groups[expected++], wire);
      }
    }
  }
  FUZZ_CHECK(n == static_cast<std::int32_t>(expected));
}

// Groups numbered 0..31 come back in order with their parameters, flags, enabled state and
// their cards closed up towards slot 0 (low 40 bits); groups numbered 32 or more are dropped.
void RoundTrip(Input& in) {
  const std::size_t count = in.Byte() % (kMaxGroups + 1);
  Records<MultiCardGroup> sent(count);
  in.Bytes(reinterpret_cast<std::uint8_t*>(sent.data()), count * sizeof(MultiCardGroup));
  const std::size_t length = kHead + kStride * count;
  Exact packet(length);
  in.Bytes(packet.data(), kHead);

  FUZZ_CHECK(SendMultiCards(packet.data(), static_cast<std::int32_t>(count), sent.data()) ==
             static_cast<std::int32_t>(length));
  FUZZ_CHECK(packet[0] == 0xF5);
  packet[0] = kGroupList;
  Records<MultiCardGroup> read(count);
  const std::int32_t n =
      GetMultiCards(packet.data(), static_cast<std::uint32_t>(length), read.data());

  std::size_t r = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const MultiCardGroup& s = sent[k];
    if (s.groupNumber >= 32) {
      continue;
    }
    const MultiCardGroup& g = read[r++];
    FUZZ_CHECK(g.groupNumber == s.groupNumber && g.param1 == s.param1 && g.param2 == s.param2);
    FUZZ_CHECK(g.enabled == (s.enabled != 0 ? 1 : 0));
    for (const auto flag : kFlags) {
      FUZZ_CHECK(g.*flag == (s.*flag != 0 ? 1 : 0));
    }
    std::vector<std::int64_t> cards;
    for (std::size_t i = 0; i < 5; ++i) {
      if (Slot(s, i) >= 0) {
        cards.push_back(Slot(s, i) & kNumberMask);
      }
    }
    cards.resize(5, -1);
    for (std::size_t i = 0; i < 5; ++i) {
      FUZZ_CHECK(Slot(g, i) == cards[i]);
    }
  }
  FUZZ_CHECK(n == static_cast<std::int32_t>(r));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  ReadReceived(in);
  RoundTrip(in);
  return 0;
}
