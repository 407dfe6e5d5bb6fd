// Two-key Triple DES (EDE, ECB, no padding) through the Windows CNG API (bcrypt).
//
// CNG's two-key variant and its ECB chaining mode are missing from some implementations of
// the API (Wine's among them), so the cipher is used in the form every implementation has:
// three-key Triple DES with the key K1 K2 K1, which is two-key Triple DES, in CBC mode over
// one 8-byte block at a time from a zero IV, which is ECB. Each block runs on a copy of the
// call's key object, so that no chaining state carries from one block to the next.
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

// A key object for one call. None is kept between calls: a key cached per thread would have
// to be destroyed as the thread ends, inside the loader's thread-detach callbacks, where no
// call into another DLL is safe (under 64-bit Wine such a thread crashed inside the heap and
// the process hung).
class Key {
 public:
  explicit Key(const unsigned char* key) {
    unsigned char expanded[kExpandedKeyLength];
    std::memcpy(expanded, key, kKeyLength);
    std::memcpy(expanded + kKeyLength, key, kExpandedKeyLength - kKeyLength);
    BCRYPT_ALG_HANDLE algorithm = Algorithm();
    if (algorithm == nullptr || BCryptGenerateSymmetricKey(algorithm, &handle_, nullptr, 0,
                                                           expanded, kExpandedKeyLength, 0) < 0) {
      handle_ = nullptr;
    }
    SecureZeroMemory(expanded, sizeof expanded);
  }
  ~Key() {
    if (handle_ != nullptr) {
      BCryptDestroyKey(handle_);
    }
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  BCRYPT_KEY_HANDLE handle() const { return handle_; }

 private:
  BCRYPT_KEY_HANDLE handle_ = nullptr;
};

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
  const Key keyed(key);
  bool ok = keyed.handle() != nullptr;
  for (int offset = 0; ok && offset < whole; offset += static_cast<int>(kDesBlockLength)) {
    ok = RunBlock(encrypt, keyed.handle(), data + offset);
  }
  if (!ok) {
    std::memset(data, 0, static_cast<size_t>(whole));
  }
}

}  // namespace velkorutils
