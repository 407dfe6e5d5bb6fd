// Record decoding and encoding, per record: GetEvents over a packet of 255 records (both
// generations), SendCards of 88 cards and GetCards of the same list.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "velkorlink.h"

namespace {

constexpr int kEvents = 255;
constexpr int kCards = 88;

// 255 event records of every kind and code group the decoder knows, from one generation.
std::vector<std::uint8_t> EventPacket(bool legacy) {
  const std::size_t first = legacy ? 88 : 27;
  std::vector<std::uint8_t> packet(first + 16 * kEvents, 0);
  packet[2] = legacy ? 0 : 1;
  for (int k = 0; k < kEvents; ++k) {
    std::uint8_t* r = packet.data() + first + 16 * k;
    const int kind = k % 6;  // 5: consumed without decoding
    r[0] = static_cast<std::uint8_t>(legacy ? kind << 4 : kind);
    for (int i = 1; i < 14; ++i) {
      r[i] = static_cast<std::uint8_t>(k * 7 + i);
    }
    r[7] = static_cast<std::uint8_t>((k % 16) << 4 | 3);  // every code group in turn
  }
  return packet;
}

void GetEvents255(benchmark::State& state) {
  std::vector<std::uint8_t> packet = EventPacket(state.range(0) == 0);
  EventRecord record{};
  for (auto _ : state) {
    packet[26] = kEvents;
    while (GetEvents(packet.data(), &record)) {
      benchmark::DoNotOptimize(record);
    }
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
  state.SetLabel(state.range(0) == 0 ? "legacy" : "current");
}
BENCHMARK(GetEvents255)->Name("c_get_events_255")->Arg(1)->Arg(0);

std::vector<CardRecord> Cards() {
  std::vector<CardRecord> cards(kCards);
  for (int k = 0; k < kCards; ++k) {
    CardRecord& c = cards[static_cast<std::size_t>(k)];
    c.cardNumber = 0x1000000000 + k * 7919;
    std::memcpy(c.password, "12345678", 9);
    c.year = 24;
    c.month = 12;
    c.day = static_cast<std::uint8_t>(1 + k % 28);
    c.hour = static_cast<std::uint8_t>(k % 24);
    c.param = static_cast<std::uint8_t>(k);
    c.flag0 = c.flag2 = c.flag7 = 1;
  }
  return cards;
}

void SendCards88(benchmark::State& state) {
  const std::vector<CardRecord> cards = Cards();
  std::vector<std::uint8_t> packet(26 + 15 * kCards, 0);
  packet[2] = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(SendCards(packet.data(), kCards, cards.data()));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCards);
}
BENCHMARK(SendCards88)->Name("d_send_cards_88");

void GetCards88(benchmark::State& state) {
  const std::vector<CardRecord> cards = Cards();
  std::vector<std::uint8_t> packet(26 + 15 * kCards, 0);
  packet[2] = 1;
  SendCards(packet.data(), kCards, cards.data());
  packet[0] = 0xF8;
  std::vector<CardRecord> read(kCards);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        GetCards(packet.data(), static_cast<std::uint32_t>(packet.size()), read.data()));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCards);
}
BENCHMARK(GetCards88)->Name("d_get_cards_88");

}  // namespace
