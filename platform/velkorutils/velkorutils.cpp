// Stand-in for the device maker's utility library: byte order, packed BCD, sums, key
// preparation, Triple DES and the security block's check value.
#include "velkorutils.h"

#include <openssl/evp.h>

#include <cstddef>
#include <cstring>

namespace {

constexpr int kKeyLength = 16;      // two-key Triple DES: K1 = bytes 0..7, K2 = bytes 8..15
constexpr int kDesBlockLength = 8;  // ECB works on whole 8-byte DES blocks

// The cipher is fetched from the provider once per process and never released: a provider
// fetch is the expensive part of an EVP set-up and the object is immutable and shareable.
const EVP_CIPHER* TripleDesCipher() {
  static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "DES-EDE-ECB", nullptr);
  return cipher;
}

// One keyed context per direction and thread. Hosts alternate between opening packets under
// one key and sealing replies under the other, so keeping the two directions apart means a
// steady exchange never re-keys.
class CipherContext {
 public:
  explicit CipherContext(bool encrypt) : encrypt_(encrypt) {}
  ~CipherContext() { EVP_CIPHER_CTX_free(ctx_); }
  CipherContext(const CipherContext&) = delete;
  CipherContext& operator=(const CipherContext&) = delete;

  // Runs the cipher over data in place. On any failure of the provider the bytes are wiped
  // rather than left in an unknown state, so that the peer refuses the block.
  void Run(const unsigned char* key, unsigned char* data, int count) {
    const int whole = count - count % kDesBlockLength;
    if (whole <= 0) {
      return;
    }
    int written = 0;
    if (!Keyed(key) || EVP_CipherUpdate(ctx_, data, &written, data, whole) != 1 ||
        written != whole) {
      std::memset(data, 0, static_cast<std::size_t>(whole));
      keyed_ = false;
    }
  }

 private:
  bool Keyed(const unsigned char* key) {
    if (keyed_ && std::memcmp(key_, key, kKeyLength) == 0) {
      return true;
    }
    keyed_ = false;
    if (ctx_ == nullptr) {
      ctx_ = EVP_CIPHER_CTX_new();
    }
    const EVP_CIPHER* cipher = TripleDesCipher();
    if (ctx_ == nullptr || cipher == nullptr ||
        EVP_CipherInit_ex2(ctx_, cipher, key, nullptr, encrypt_ ? 1 : 0, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx_, 0) != 1) {
      return false;
    }
    std::memcpy(key_, key, kKeyLength);
    keyed_ = true;
    return true;
  }

  const bool encrypt_;
  EVP_CIPHER_CTX* ctx_ = nullptr;
  unsigned char key_[kKeyLength] = {};
  bool keyed_ = false;
};

thread_local CipherContext encrypt_context{true};
thread_local CipherContext decrypt_context{false};

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
  encrypt_context.Run(static_cast<const unsigned char*>(key), static_cast<unsigned char*>(data),
                      count);
  return 0;
}

int32_t TripleDES_Decrypt(const void* key, void* data, int32_t count) {
  decrypt_context.Run(static_cast<const unsigned char*>(key), static_cast<unsigned char*>(data),
                      count);
  return 0;
}

int32_t CalcRegisterSum(const void* block) {
  // CRC-16/CCITT-FALSE over the 14 bytes before the stored check value.
  constexpr int kCoveredBytes = 14;
  const auto* bytes = static_cast<const unsigned char*>(block);
  uint32_t crc = 0xFFFF;
  for (int i = 0; i < kCoveredBytes; ++i) {
    crc ^= static_cast<uint32_t>(bytes[i]) << 8;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000u) ? ((crc << 1) ^ 0x1021u) : (crc << 1);
    }
  }
  return static_cast<int32_t>(crc & 0xFFFFu);
}

}  // extern "C"
