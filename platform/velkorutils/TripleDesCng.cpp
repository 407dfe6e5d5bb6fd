// Two-key Triple DES (EDE, ECB, no padding) through the Windows CNG API (bcrypt).
#include <windows.h>
// windows.h first: bcrypt.h relies on its types.
#include <bcrypt.h>

#include <cstring>

#include "TripleDes.h"

namespace {

constexpr int kKeyLength = 16;
constexpr int kDesBlockLength = 8;

// The algorithm provider is opened once per process, set to ECB, and kept for its lifetime.
BCRYPT_ALG_HANDLE Algorithm() {
  static BCRYPT_ALG_HANDLE const algorithm = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (BCryptOpenAlgorithmProvider(&handle, BCRYPT_3DES_112_ALGORITHM, nullptr, 0) < 0) {
      return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    }
    if (BCryptSetProperty(handle, BCRYPT_CHAINING_MODE,
                          reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_ECB)),
                          sizeof(BCRYPT_CHAIN_MODE_ECB), 0) < 0) {
      BCryptCloseAlgorithmProvider(handle, 0);
      return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    }
    return handle;
  }();
  return algorithm;
}

// One key object per thread, re-made only when the key changes.
class KeyCache {
 public:
  KeyCache() = default;
  ~KeyCache() {
    if (key_ != nullptr) {
      BCryptDestroyKey(key_);
    }
  }
  KeyCache(const KeyCache&) = delete;
  KeyCache& operator=(const KeyCache&) = delete;

  BCRYPT_KEY_HANDLE For(const unsigned char* key) {
    if (key_ != nullptr && std::memcmp(bytes_, key, kKeyLength) == 0) {
      return key_;
    }
    if (key_ != nullptr) {
      BCryptDestroyKey(key_);
      key_ = nullptr;
    }
    BCRYPT_ALG_HANDLE algorithm = Algorithm();
    if (algorithm == nullptr ||
        BCryptGenerateSymmetricKey(algorithm, &key_, nullptr, 0, const_cast<PUCHAR>(key),
                                   kKeyLength, 0) < 0) {
      key_ = nullptr;
      return nullptr;
    }
    std::memcpy(bytes_, key, kKeyLength);
    return key_;
  }

 private:
  BCRYPT_KEY_HANDLE key_ = nullptr;
  unsigned char bytes_[kKeyLength] = {};
};

thread_local KeyCache encrypt_keys;
thread_local KeyCache decrypt_keys;

}  // namespace

namespace velkorutils {

void RunTripleDes(bool encrypt, const unsigned char* key, unsigned char* data, int count) {
  const int whole = count - count % kDesBlockLength;
  if (whole <= 0) {
    return;
  }
  BCRYPT_KEY_HANDLE handle = (encrypt ? encrypt_keys : decrypt_keys).For(key);
  ULONG written = 0;
  const auto length = static_cast<ULONG>(whole);
  const NTSTATUS status =
      handle == nullptr ? -1
      : encrypt
          ? BCryptEncrypt(handle, data, length, nullptr, nullptr, 0, data, length, &written, 0)
          : BCryptDecrypt(handle, data, length, nullptr, nullptr, 0, data, length, &written, 0);
  if (status < 0 || written != length) {
    std::memset(data, 0, static_cast<size_t>(whole));
  }
}

}  // namespace velkorutils
