#include "Tls.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <boost/asio/ssl/context.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace velkor::gateway {
namespace {

namespace ssl = boost::asio::ssl;

// What OpenSSL's error queue says went wrong, its reasons from the first cause on, the common
// ones told plainly first; the queue is left empty.
std::string Reasons() {
  std::string plain;
  std::string text;
  while (const unsigned long error = ERR_get_error()) {
    if (ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE) {
      plain = "not PEM, or none of what it should hold";
    } else if (ERR_GET_LIB(error) == ERR_LIB_X509 &&
               ERR_GET_REASON(error) == X509_R_KEY_VALUES_MISMATCH) {
      plain = "it is not the certificate's key";
    }
    const char* reason = ERR_reason_error_string(error);
    const std::string what = reason != nullptr ? reason : "error " + std::to_string(error);
    if (text.find(what) == std::string::npos) {
      text += text.empty() ? "" : ", ";
      text += what;
    }
  }
  if (text.empty()) {
    return "unknown error";
  }
  return plain.empty() ? text : plain + " (" + text + ")";
}

// A key's pass phrase is never asked for (there is nobody to ask): an encrypted key fails to load.
int NoPassphrase(char*, int, int, void*) {
  return 0;
}

void Readable(const std::string& path, const char* what) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    throw std::runtime_error(std::string("cannot read the TLS ") + what + " " + path + ": " +
                             std::strerror(errno));
  }
  std::fclose(file);
}

// A server context with the pair loaded. TLS 1.2 at least; no compression (CRIME) and no
// renegotiation; the cipher suites are OpenSSL's defaults at its security level, no lower than
// 2 (keys of 112-bit strength at least, no SHA-1 signatures).
std::shared_ptr<ssl::context> Load(const std::string& certFile, const std::string& keyFile) {
  Readable(certFile, "certificate");
  Readable(keyFile, "key");
  ERR_clear_error();
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  SSL_CTX* native = context->native_handle();
  if (SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) != 1) {
    throw std::runtime_error("cannot set TLS 1.2 as the lowest version: " + Reasons());
  }
  SSL_CTX_set_options(
      native, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  if (SSL_CTX_get_security_level(native) < 2) {
    SSL_CTX_set_security_level(native, 2);
  }
  SSL_CTX_set_default_passwd_cb(native, NoPassphrase);
  if (SSL_CTX_use_certificate_chain_file(native, certFile.c_str()) != 1) {
    throw std::runtime_error("cannot use the TLS certificate " + certFile + ": " + Reasons());
  }
  if (SSL_CTX_use_PrivateKey_file(native, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw std::runtime_error("cannot use the TLS key " + keyFile + ": " + Reasons());
  }
  if (SSL_CTX_check_private_key(native) != 1) {
    throw std::runtime_error("cannot use the TLS key " + keyFile + " with the certificate " +
                             certFile + ": " + Reasons());
  }
  return context;
}

}  // namespace

TlsCredentials::TlsCredentials(std::string certFile, std::string keyFile)
    : certFile_(std::move(certFile)),
      keyFile_(std::move(keyFile)),
      context_(Load(certFile_, keyFile_)) {}

TlsCredentials::~TlsCredentials() = default;

void TlsCredentials::Reload() {
  std::shared_ptr<ssl::context> loaded = Load(certFile_, keyFile_);
  std::lock_guard lock(mutex_);
  context_.swap(loaded);
  // The context replaced goes with its last connection (or here, with `loaded`).
}

std::shared_ptr<ssl::context> TlsCredentials::Context() const {
  std::lock_guard lock(mutex_);
  return context_;
}

}  // namespace velkor::gateway
