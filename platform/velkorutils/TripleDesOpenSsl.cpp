// Two-key Triple DES (EDE, ECB, no padding) through OpenSSL 3's EVP interface.
#include <openssl/evp.h>

#include <cstring>

#include "TripleDes.h"

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

namespace velkorutils {

void RunTripleDes(bool encrypt, const unsigned char* key, unsigned char* data, int count) {
  (encrypt ? encrypt_context : decrypt_context).Run(key, data, count);
}

}  // namespace velkorutils
