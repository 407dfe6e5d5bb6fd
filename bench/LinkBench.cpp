// One exchange against the cost of its cipher: PreparePackage + SendDeviceEcho on a sealed
// packet, and the utility library's 16-byte decrypt and encrypt under prepared keys. Two more
// figures show what cipher set-up in the hot path would cost: a fresh EVP context fetched and
// keyed per call, and one context re-keyed per call.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cstring>

#include "DeviceSeal.h"
#include "velkorlink.h"
#include "velkorutils.h"

namespace {

using Block = std::array<std::uint8_t, 16>;

Block PreparedKey(const char* text) {
  Block key{};
  std::memcpy(key.data(), text, key.size());
  LeftShiftKey(key.data());
  return key;
}

// A current device's packet of 26 bytes, sealed as the device seals it.
std::array<std::uint8_t, 102> SealedPacket() {
  std::array<std::uint8_t, 102> packet{};
  packet[0] = 0x10;
  packet[2] = 1;
  for (std::size_t i = 0; i < 7; ++i) {
    packet[3 + i] = static_cast<std::uint8_t>(0x31 + i);
  }
  velkor::devicekit::SealAsDevice(packet.data());
  return packet;
}

void Exchange(benchmark::State& state) {
  const auto sealed = SealedPacket();
  std::array<std::uint8_t, 102> buffer{};
  for (auto _ : state) {
    std::memcpy(buffer.data(), sealed.data(), 26);  // the host's receive
    benchmark::DoNotOptimize(PreparePackage(buffer.data(), 26));
    benchmark::DoNotOptimize(SendDeviceEcho(buffer.data()));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(Exchange)->Name("a_exchange")->Repetitions(5)->ReportAggregatesOnly();

void CipherFloor(benchmark::State& state) {
  const Block incoming = PreparedKey(velkor::devicekit::kIncomingKeyText);
  const Block outgoing = PreparedKey(velkor::devicekit::kOutgoingKeyText);
  Block data{};
  for (auto _ : state) {
    TripleDES_Decrypt(incoming.data(), data.data(), 16);
    TripleDES_Encrypt(outgoing.data(), data.data(), 16);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(CipherFloor)->Name("b_cipher_floor")->Repetitions(5)->ReportAggregatesOnly();

// The same two 16-byte operations straight through EVP, with the set-up in the loop.
void RunEvp(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* cipher, const Block& key, int encrypt,
            Block& data) {
  int written = 0;
  EVP_CipherInit_ex2(ctx, cipher, key.data(), nullptr, encrypt, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_CipherUpdate(ctx, data.data(), &written, data.data(), 16);
}

void CipherFetchedPerCall(benchmark::State& state) {
  const Block incoming = PreparedKey(velkor::devicekit::kIncomingKeyText);
  const Block outgoing = PreparedKey(velkor::devicekit::kOutgoingKeyText);
  Block data{};
  for (auto _ : state) {
    for (const int encrypt : {0, 1}) {
      EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "DES-EDE-ECB", nullptr);
      EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
      RunEvp(ctx, cipher, encrypt ? outgoing : incoming, encrypt, data);
      EVP_CIPHER_CTX_free(ctx);
      EVP_CIPHER_free(cipher);
    }
    benchmark::ClobberMemory();
  }
}
BENCHMARK(CipherFetchedPerCall)->Name("b0_cipher_fetched_per_call");

void CipherRekeyedPerCall(benchmark::State& state) {
  const Block incoming = PreparedKey(velkor::devicekit::kIncomingKeyText);
  const Block outgoing = PreparedKey(velkor::devicekit::kOutgoingKeyText);
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "DES-EDE-ECB", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Block data{};
  for (auto _ : state) {
    RunEvp(ctx, cipher, incoming, 0, data);
    RunEvp(ctx, cipher, outgoing, 1, data);
    benchmark::ClobberMemory();
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
}
BENCHMARK(CipherRekeyedPerCall)->Name("b1_cipher_rekeyed_per_call");

}  // namespace
