// Card lists: GetCards on a received packet of `length` bytes into a host array of exactly the
// records the length announces; then SendCards of fuzzed host cards read back with GetCards.
//
// Input: code byte, length word (0..2048), the packet's bytes, then the count and the host
// cards of the round trip.
#include <cstring>

#include "FuzzSupport.h"
#include "velkorlink.h"

namespace {

using namespace velkor::fuzz;

constexpr std::uint8_t kCardList = 0xF8;
constexpr std::size_t kStride = 15;
constexpr std::int64_t kNumberMask = (std::int64_t{1} << 40) - 1;

std::int64_t WireNumber(const std::uint8_t* wire) {
  std::int64_t number = 0;
  for (std::size_t i = 0; i < 5; ++i) {
    number = number << 8 | wire[i];
  }
  return number;
}

// Flags in record order with their bits: flag0..flag4, flag7, flag6.
struct Flag {
  std::uint8_t CardRecord::*field;
  std::uint8_t bit;
};
constexpr Flag kFlags[] = {{&CardRecord::flag0, 0x01}, {&CardRecord::flag1, 0x02},
                           {&CardRecord::flag2, 0x04}, {&CardRecord::flag3, 0x08},
                           {&CardRecord::flag4, 0x10}, {&CardRecord::flag7, 0x80},
                           {&CardRecord::flag6, 0x40}};

void CheckDecoded(const CardRecord& card, const std::uint8_t* wire) {
  FUZZ_CHECK(card.cardNumber == WireNumber(wire));
  FUZZ_CHECK(IsDigitText(card.password));
  FUZZ_CHECK(card.password == PackedDigits(wire + 5));
  FUZZ_CHECK(card.param == wire[13]);
  for (const Flag& flag : kFlags) {
    FUZZ_CHECK(card.*flag.field == ((wire[14] & flag.bit) != 0 ? 1 : 0));
  }
}

void ReadReceived(Input& in) {
  const std::uint8_t code = DrawCode(in, kCardList);
  const std::uint32_t length = in.Word() % 2049;
  Exact packet(length);
  in.Bytes(packet.data(), length);
  if (length > 0) {
    packet[0] = code;
  }
  const std::size_t announced = length < kHead ? 0 : (length - kHead) / kStride;
  Records<CardRecord> cards(announced);

  const std::int32_t n = GetCards(packet.data(), length, cards.data());
  FUZZ_CHECK(n == (length > 0 && code == kCardList ? static_cast<std::int32_t>(announced) : 0));
  for (std::int32_t k = 0; k < n; ++k) {
    CheckDecoded(cards[k], packet.data() + kHead + kStride * k);
  }
}

// Every field that travels comes back: the low 40 bits of the number, the password's leading
// digits, dates of 0..99, the parameter byte and the seven flags.
void RoundTrip(Input& in) {
  const std::size_t count = in.Byte() % 89;
  Records<CardRecord> sent(count);
  in.Bytes(reinterpret_cast<std::uint8_t*>(sent.data()), count * sizeof(CardRecord));
  const std::size_t length = kHead + kStride * count;
  Exact packet(length);
  in.Bytes(packet.data(), kHead);

  FUZZ_CHECK(SendCards(packet.data(), static_cast<std::int32_t>(count), sent.data()) ==
             static_cast<std::int32_t>(length));
  FUZZ_CHECK(packet[0] == 0xF7);
  packet[0] = kCardList;
  Records<CardRecord> read(count);
  FUZZ_CHECK(GetCards(packet.data(), static_cast<std::uint32_t>(length), read.data()) ==
             static_cast<std::int32_t>(count));
  for (std::size_t k = 0; k < count; ++k) {
    const CardRecord& s = sent[k];
    const CardRecord& r = read[k];
    FUZZ_CHECK(r.cardNumber == (s.cardNumber & kNumberMask));
    FUZZ_CHECK(r.password == LeadingDigits(s.password));
    FUZZ_CHECK(s.year < 0 || s.year > 99 || r.year == s.year);
    FUZZ_CHECK(s.month > 99 || r.month == s.month);
    FUZZ_CHECK(s.day > 99 || r.day == s.day);
    FUZZ_CHECK(s.hour > 99 || r.hour == s.hour);
    FUZZ_CHECK(r.param == s.param);
    for (const Flag& flag : kFlags) {
      FUZZ_CHECK(r.*flag.field == (s.*flag.field != 0 ? 1 : 0));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  ReadReceived(in);
  RoundTrip(in);
  return 0;
}
