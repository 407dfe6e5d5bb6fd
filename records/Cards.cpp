// Card list: host CardRecords to 15-byte wire records (0xF7) and back (0xF8).
#include <cstring>

#include "link/Seal.h"
#include "link/Utility.h"
#include "link/Wire.h"
#include "link/WireNumber.h"
#include "records/PackedDigits.h"
#include "records/RecordWire.h"
#include "velkorlink.h"

namespace wire = velkor::wire;
namespace records = velkor::records;
namespace card = velkor::records::card;

namespace {

uint8_t Bcd(int32_t value) {
  return static_cast<uint8_t>(IntToBCD(value));
}

uint8_t CardFlags(const CardRecord& c) {
  uint8_t flags = 0;
  flags |= c.flag0 != 0 ? card::kFlag0 : 0;
  flags |= c.flag1 != 0 ? card::kFlag1 : 0;
  flags |= c.flag2 != 0 ? card::kFlag2 : 0;
  flags |= c.flag3 != 0 ? card::kFlag3 : 0;
  flags |= c.flag4 != 0 ? card::kFlag4 : 0;
  flags |= c.flag6 != 0 ? card::kFlag6 : 0;
  flags |= c.flag7 != 0 ? card::kFlag7 : 0;
  return flags;
}

void WriteCard(uint8_t* out, const CardRecord& c) {
  velkor::link::WriteWireNumber(out + card::kNumber, static_cast<uint64_t>(c.cardNumber),
                                records::kCardNumberLength);
  records::DigitsToPacked(out + card::kPassword, c.password);
  out[card::kYear] = Bcd(c.year);
  out[card::kMonth] = Bcd(c.month);
  out[card::kDay] = Bcd(c.day);
  out[card::kHour] = Bcd(c.hour);
  out[card::kParam] = c.param;
  out[card::kFlags] = CardFlags(c);
}

uint8_t Bit(uint8_t flags, uint8_t mask) {
  return (flags & mask) != 0 ? 1 : 0;
}

void ReadCard(CardRecord& c, const uint8_t* in) {
  c.cardNumber = static_cast<int64_t>(
      velkor::link::ReadWireNumber(in + card::kNumber, records::kCardNumberLength));
  records::PackedToDigits(c.password, in + card::kPassword);
  c.year = static_cast<int16_t>(BCDToInt(in[card::kYear]));
  c.month = static_cast<uint8_t>(BCDToInt(in[card::kMonth]));
  c.day = static_cast<uint8_t>(BCDToInt(in[card::kDay]));
  c.hour = static_cast<uint8_t>(BCDToInt(in[card::kHour]));
  c.param = in[card::kParam];
  const uint8_t flags = in[card::kFlags];
  c.flag0 = Bit(flags, card::kFlag0);
  c.flag1 = Bit(flags, card::kFlag1);
  c.flag2 = Bit(flags, card::kFlag2);
  c.flag3 = Bit(flags, card::kFlag3);
  c.flag4 = Bit(flags, card::kFlag4);
  c.flag7 = Bit(flags, card::kFlag7);
  c.flag6 = Bit(flags, card::kFlag6);
}

}  // namespace

extern "C" {

int32_t SendCards(uint8_t* packet, int32_t count, const CardRecord* cards) {
  packet[wire::kCommandCode] = wire::code::kCardsToDevice;
  velkor::link::SealPacket(packet);
  const std::size_t n = records::SentRecords(count, card::kMaxSent);
  for (std::size_t k = 0; k < n; ++k) {
    WriteCard(packet + wire::kPayload + card::kStride * k, cards[k]);
  }
  return records::ReplyLength(n, card::kStride);
}

int32_t GetCards(const uint8_t* packet, uint32_t length, CardRecord* cards) {
  // A packet shorter than the head has no command code to test: not even byte 0 is read.
  if (length < wire::kHeadLength || packet[wire::kCommandCode] != wire::code::kCardsFromDevice) {
    return 0;
  }
  const std::size_t n = records::ReceivedRecords(length, card::kStride);
  for (std::size_t k = 0; k < n; ++k) {
    ReadCard(cards[k], packet + wire::kPayload + card::kStride * k);
  }
  return static_cast<int32_t>(n);
}

}  // extern "C"
