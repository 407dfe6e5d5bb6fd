#include "DeviceSeal.h"

#include <cstring>

#include "velkorutils.h"

namespace velkor::devicekit {
namespace {

constexpr std::size_t kBlock = 10;
constexpr std::size_t kIdentity = 2;  // type + serial, bytes 2..9
constexpr std::size_t kIdentityLength = 8;

Block PrepareKey(const char* key_text) {
  Block key{};
  std::memcpy(key.data(), key_text, key.size());
  LeftShiftKey(key.data());
  return key;
}

}  // namespace

std::uint16_t CheckValue(const std::uint8_t* packet) {
  return static_cast<std::uint16_t>(CalcRegisterSum(packet + kBlock) & 0xFFFF);
}

void EncryptBlockAsDevice(std::uint8_t* packet) {
  const Block key = PrepareKey(kIncomingKeyText);
  TripleDES_Encrypt(key.data(), packet + kBlock, 16);
}

void SealAsDevice(std::uint8_t* packet) {
  std::memmove(packet + kBlock, packet + kIdentity, kIdentityLength);
  const std::uint16_t check = CheckValue(packet);
  packet[24] = static_cast<std::uint8_t>(check >> 8);
  packet[25] = static_cast<std::uint8_t>(check & 0xFF);
  EncryptBlockAsDevice(packet);
}

bool OpenBlock(const std::uint8_t* packet, const char* key_text, Block& plain) {
  std::memcpy(plain.data(), packet + kBlock, plain.size());
  const Block key = PrepareKey(key_text);
  TripleDES_Decrypt(key.data(), plain.data(), 16);
  const int32_t check = CalcRegisterSum(plain.data());
  return std::memcmp(plain.data(), packet + kIdentity, kIdentityLength) == 0 &&
         plain[14] == ((check >> 8) & 0xFF) && plain[15] == (check & 0xFF);
}

}  // namespace velkor::devicekit
