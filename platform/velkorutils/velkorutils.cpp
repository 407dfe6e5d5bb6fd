// Stand-in for the device maker's utility library: byte order, packed BCD, sums, key
// preparation, Triple DES and the security block's check value.
#include "velkorutils.h"

#include "TripleDes.h"

#include <array>
#include <cstddef>
#include <cstring>

namespace {

constexpr int kKeyLength = 16;

// CRC-16/CCITT-FALSE (polynomial 0x1021) of every byte value, shifted through 8 bits.
constexpr std::array<uint16_t, 256> kCrcTable = [] {
  std::array<uint16_t, 256> table{};
  for (uint32_t value = 0; value < table.size(); ++value) {
    uint32_t crc = value << 8;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000u) ? ((crc << 1) ^ 0x1021u) : (crc << 1);
    }
    table[value] = static_cast<uint16_t>(crc & 0xFFFFu);
  }
  return table;
}();

}  // namespace

extern "C" {

int32_t Backward(void* dst, const void* src, int32_t count) {
  auto* out = static_cast<unsigned char*>(dst);
  const auto* in = static_cast<const unsigned char*>(src);
  for (int32_t i = 0; i < count; ++i) {
    out[i] = in[count - 1 - i];
  }
  return count;
}

int32_t BCDToInt(int32_t bcd) {
  const auto byte = static_cast<uint32_t>(bcd) & 0xFFu;
  return static_cast<int32_t>((byte >> 4) * 10u + (byte & 0x0Fu));
}

int32_t IntToBCD(int32_t value) {
  const uint32_t v = static_cast<uint32_t>(value) % 100u;
  return static_cast<int32_t>(((v / 10u) << 4) | (v % 10u));
}

int32_t SumByte(const void* data, int32_t count) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  uint32_t sum = 0;
  for (int32_t i = 0; i < count; ++i) {
    sum += bytes[i];
  }
  return static_cast<int32_t>(sum & 0xFFu);
}

int32_t LeftShiftKey(void* key) {
  auto* k = static_cast<unsigned char*>(key);
  const unsigned char top_bit = k[0] >> 7;
  for (int i = 0; i < kKeyLength - 1; ++i) {
    k[i] = static_cast<unsigned char>((k[i] << 1) | (k[i + 1] >> 7));
  }
  k[kKeyLength - 1] = static_cast<unsigned char>((k[kKeyLength - 1] << 1) | top_bit);
  return 0;
}

int32_t TripleDES_Encrypt(const void* key, void* data, int32_t count) {
  velkorutils::RunTripleDes(true, static_cast<const unsigned char*>(key),
                            static_cast<unsigned char*>(data), count);
  return 0;
}

int32_t TripleDES_Decrypt(const void* key, void* data, int32_t count) {
  velkorutils::RunTripleDes(false, static_cast<const unsigned char*>(key),
                            static_cast<unsigned char*>(data), count);
  return 0;
}

int32_t CalcRegisterSum(const void* block) {
  // CRC-16/CCITT-FALSE over the 14 bytes before the stored check value, a byte at a time: every
  // packet in and every reply out is checked, and bit by bit it costs a fifth of the cipher.
  constexpr int kCoveredBytes = 14;
  const auto* bytes = static_cast<const unsigned char*>(block);
  uint32_t crc = 0xFFFF;
  for (int i = 0; i < kCoveredBytes; ++i) {
    crc = (crc << 8) ^ kCrcTable[((crc >> 8) ^ bytes[i]) & 0xFFu];
  }
  return static_cast<int32_t>(crc & 0xFFFFu);
}

}  // extern "C"
