// Two-key Triple DES (EDE, ECB, no padding) through the Windows CNG API (bcrypt).
//
// CNG's two-key variant and its ECB chaining mode are missing from some implementations of
// the API (Wine's among them), so the cipher is used in the form every implementation has:
// three-key Triple DES with the key K1 K2 K1, which is two-key Triple DES, in CBC mode over
// one 8-byte block at a time from a zero IV, which is ECB. Each block runs on a copy of the
// cached key object, so that no chaining state carries from one block to the next.
#include <windows.h>
// windows.h first: bcrypt.h relies on its types.
#include <bcrypt.h>

#include <cstring>

#include "TripleDes.h"

namespace {

constexpr int kKeyLength = 16;          // two-key Triple DES: K1 K2
constexpr int kExpandedKeyLength = 24;  // as three-key Triple DES: K1 K2 K1
constexpr ULONG kDesBlockLength = 8;

// The algorithm provider is opened once per process and kept for its lifetime.
BCRYPT_ALG_HANDLE Algorithm() {
  static BCRYPT_ALG_HANDLE const algorithm = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (BCryptOpenAlgorithmProvider(&handle, BCRYPT_3DES_ALGORITHM, nullptr, 0) < 0) {
      return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    }
    if (BCryptSetProperty(handle, BCRYPT_CHAINING_MODE,
                          reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                          sizeof(BCRYPT_CHAIN_MODE_CBC), 0) < 0) {
      BCryptCloseAlgorithmProvider(handle, 0);
      return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    }
    return handle;
  }();
  return algorithm;
}

// One key object per direction and thread, made again only when the key changes.
class KeyCache {
 public:
  KeyCache() = default;
  ~KeyCache() { Drop(); }
  KeyCache(const KeyCache&) = delete;
  KeyCache& operator=(const KeyCache&) = delete;

  BCRYPT_KEY_HANDLE For(const unsigned char* key) {
    if (key_ != nullptr && std::memcmp(bytes_, key, kKeyLength) == 0) {
      return key_;
    }
    Drop();
    unsigned char expanded[kExpandedKeyLength];
    std::memcpy(expanded, key, kKeyLength);
    std::memcpy(expanded + kKeyLength, key, kExpandedKeyLength - kKeyLength);
    BCRYPT_ALG_HANDLE algorithm = Algorithm();
    if (algorithm == nullptr || BCryptGenerateSymmetricKey(algorithm, &key_, nullptr, 0, expanded,
                                                           kExpandedKeyLength, 0) < 0) {
      key_ = nullptr;
    } else {
      std::memcpy(bytes_, key, kKeyLength);
    }
    SecureZeroMemory(expanded, sizeof expanded);
    return key_;
  }

 private:
  void Drop() {
    if (key_ != nullptr) {
      BCryptDestroyKey(key_);
      key_ = nullptr;
    }
  }

  BCRYPT_KEY_HANDLE key_ = nullptr;
  unsigned char bytes_[kKeyLength] = {};
};

thread_local KeyCache encrypt_keys;
thread_local KeyCache decrypt_keys;

bool RunBlock(bool encrypt, BCRYPT_KEY_HANDLE key, unsigned char* block) {
  BCRYPT_KEY_HANDLE copy = nullptr;
  if (BCryptDuplicateKey(key, &copy, nullptr, 0, 0) < 0) {
    return false;
  }
  unsigned char iv[kDesBlockLength] = {};
  ULONG written = 0;
  const NTSTATUS status = encrypt ? BCryptEncrypt(copy, block, kDesBlockLength, nullptr, iv,
                                                  sizeof iv, block, kDesBlockLength, &written, 0)
                                  : BCryptDecrypt(copy, block, kDesBlockLength, nullptr, iv,
                                                  sizeof iv, block, kDesBlockLength, &written, 0);
  BCryptDestroyKey(copy);
  return status >= 0 && written == kDesBlockLength;
}

}  // namespace

namespace velkorutils {

void RunTripleDes(bool encrypt, const unsigned char* key, unsigned char* data, int count) {
  const int whole = count - count % static_cast<int>(kDesBlockLength);
  if (whole <= 0) {
    return;
  }
  BCRYPT_KEY_HANDLE handle = (encrypt ? encrypt_keys : decrypt_keys).For(key);
  bool ok = handle != nullptr;
  for (int offset = 0; ok && offset < whole; offset += static_cast<int>(kDesBlockLength)) {
    ok = RunBlock(encrypt, handle, data + offset);
  }
  if (!ok) {
    std::memset(data, 0, static_cast<size_t>(whole));
  }
}

}  // namespace velkorutils
