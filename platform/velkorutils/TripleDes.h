// The Triple DES engine behind TripleDES_Encrypt and TripleDES_Decrypt: OpenSSL's EVP on
// Linux, Windows CNG (bcrypt) on Windows.
#pragma once

namespace velkorutils {

// Two-key Triple DES (EDE; K1 = key bytes 0..7, K2 = bytes 8..15), ECB over the whole 8-byte
// blocks of count bytes, in place. Never fails: if the platform's cipher is unavailable the
// bytes are wiped, so that no peer accepts them.
void RunTripleDes(bool encrypt, const unsigned char* key, unsigned char* data, int count);

}  // namespace velkorutils
