// The API's certificate and key for HTTPS. They are loaded into a server context that every
// new connection takes; a reload builds a whole new context and puts it in place only once both
// files have loaded and match, so that connections already open keep theirs and an unusable pair
// changes nothing.
#pragma once

#include <memory>
#include <mutex>
#include <string>

namespace boost::asio::ssl {
class context;
}

namespace velkor::gateway {

class TlsCredentials {
 public:
  // Loads the certificate (PEM, the server's first and then any intermediates) and its key
  // (PEM, not encrypted); throws std::runtime_error naming the file that cannot be used.
  TlsCredentials(std::string certFile, std::string keyFile);
  ~TlsCredentials();
  TlsCredentials(const TlsCredentials&) = delete;
  TlsCredentials& operator=(const TlsCredentials&) = delete;

  // Reads both files again: the new pair from now on; when it cannot be used, the pair in use
  // stays and std::runtime_error says why.
  void Reload();
  // The context a new connection is served with.
  std::shared_ptr<boost::asio::ssl::context> Context() const;

  const std::string& certFile() const { return certFile_; }
  const std::string& keyFile() const { return keyFile_; }

 private:
  const std::string certFile_;
  const std::string keyFile_;
  mutable std::mutex mutex_;
  std::shared_ptr<boost::asio::ssl::context> context_;
};

}  // namespace velkor::gateway
