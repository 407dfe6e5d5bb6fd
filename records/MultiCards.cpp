// Multi-card groups: host MultiCardGroups to 32-byte wire records (0xF5) and back (0xF6).
#include <cstring>
#include <iterator>

#include "link/Seal.h"
#include "link/Utility.h"
#include "link/Wire.h"
#include "link/WireNumber.h"
#include "records/RecordWire.h"
#include "velkorlink.h"

namespace wire = velkor::wire;
namespace records = velkor::records;
namespace group = velkor::records::group;

namespace {

uint8_t* Slot(uint8_t* record, std::size_t i) {
  return record + group::kSlots + records::kCardNumberLength * i;
}

const uint8_t* Slot(const uint8_t* record, std::size_t i) {
  return record + group::kSlots + records::kCardNumberLength * i;
}

void WriteGroup(uint8_t* out, const MultiCardGroup& g) {
  out[group::kNumber] = g.groupNumber;
  out[group::kParam1] = g.param1;
  const uint8_t flags[] = {g.flag0, g.flag1, g.flag2, g.flag3, g.flag4};
  out[group::kFlags] = 0;
  for (std::size_t b = 0; b < std::size(flags); ++b) {
    out[group::kFlags] |= flags[b] != 0 ? group::kFlagBits[b] : 0;
  }
  // Filled slots close up towards slot 0 in host order; negative numbers are empty slots.
  std::memset(out + group::kSlots, group::kEmptySlotFill, group::kSlotsLength);
  uint8_t filled = 0;
  for (std::size_t i = 0; i < group::kSlotCount; ++i) {
    const int64_t number = g.cardNumbers[i];
    if (number >= 0) {
      velkor::link::WriteWireNumber(Slot(out, filled++), static_cast<uint64_t>(number),
                                    records::kCardNumberLength);
    }
  }
  out[group::kCardCount] = filled;
  out[group::kParam2] = g.param2;
  out[group::kReserved] = 0;
  out[group::kMarker] = g.enabled != 0 ? group::kEnabledMarker : group::kDisabledMarker;
}

void ReadGroup(MultiCardGroup& g, const uint8_t* in) {
  g.groupNumber = in[group::kNumber];
  g.param1 = in[group::kParam1];
  g.param2 = in[group::kParam2];
  const uint8_t flags = in[group::kFlags];
  uint8_t* fields[] = {&g.flag0, &g.flag1, &g.flag2, &g.flag3, &g.flag4};
  for (std::size_t b = 0; b < std::size(fields); ++b) {
    *fields[b] = (flags & group::kFlagBits[b]) != 0 ? 1 : 0;
  }
  g.enabled = in[group::kMarker] == group::kEnabledMarker ? 1 : 0;
  // A count above five fills every slot.
  const std::size_t filled = in[group::kCardCount];
  for (std::size_t i = 0; i < group::kSlotCount; ++i) {
    g.cardNumbers[i] = i < filled ? static_cast<int64_t>(velkor::link::ReadWireNumber(
                                        Slot(in, i), records::kCardNumberLength))
                                  : -1;
  }
}

}  // namespace

extern "C" {

int32_t SendMultiCards(uint8_t* packet, int32_t count, const MultiCardGroup* groups) {
  velkor::link::SealPacket(packet);
  packet[wire::kCommandCode] = wire::code::kMultiCardsToDevice;
  const std::size_t n = records::SentRecords(count, group::kMaxRecords);
  for (std::size_t k = 0; k < n; ++k) {
    WriteGroup(packet + wire::kPayload + group::kStride * k, groups[k]);
  }
  return records::ReplyLength(n, group::kStride);
}

int32_t GetMultiCards(const uint8_t* packet, uint32_t length, MultiCardGroup* groups) {
  // A packet shorter than the head has no command code to test: not even byte 0 is read.
  if (length < wire::kHeadLength ||
      packet[wire::kCommandCode] != wire::code::kMultiCardsFromDevice) {
    return 0;
  }
  const std::size_t n = std::min(records::ReceivedRecords(length, group::kStride),
                                 static_cast<std::size_t>(group::kMaxRecords));
  int32_t written = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const uint8_t* in = packet + wire::kPayload + group::kStride * k;
    // The device numbers its groups 0..31; anything else is dropped and the rest move up.
    if (in[group::kNumber] < group::kNumberLimit) {
      ReadGroup(groups[written++], in);
    }
  }
  return written;
}

}  // extern "C"
