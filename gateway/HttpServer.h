// The API's transport: HTTP/1.1 on Boost.Beast, in TLS when it is given credentials. Sockets are
// served asynchronously by a few I/O threads, so a slow or idle client holds no thread; handlers
// run on a bounded pool of workers (they wait on the store and the hub's lock), event streams each
// on a thread of their own. Every limit is applied before a handler runs or a body is kept, to
// plain and TLS connections alike; a TLS handshake must end within the header time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Http.h"

namespace velkor::gateway {

class TlsCredentials;

struct HttpLimits {
  std::chrono::milliseconds headerTimeout{10000};  // a request's whole header
  std::chrono::milliseconds bodyTimeout{30000};    // its body, once the header is in
  std::chrono::milliseconds idleTimeout{5000};     // a connection between requests
  std::chrono::milliseconds writeTimeout{10000};   // one answer, or one chunk of a stream
  std::size_t headerBytes = 16 * 1024;
  std::size_t headerFields = 100;
  std::size_t bodyBytes = kMaxBody;
  std::size_t perAddress = 16;    // open connections from one client address
  std::size_t connections = 512;  // open connections in all
  std::size_t ioThreads = 2;
  std::size_t workers = 8;
};

class HttpServer {
 public:
  using Handler = std::function<HttpResponse(HttpRequest)>;  // must not throw

  HttpServer(Handler handler, HttpLimits limits);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens on a numeric HOST and PORT (0: a free one) with SO_REUSEADDR and never
  // SO_REUSEPORT, so that a port in use fails; the bound port, or nullopt.
  std::optional<std::uint16_t> Bind(const std::string& host, std::uint16_t port);
  // HTTPS from now on: each connection accepted later is served with the context `tls` has
  // when it comes. Before Serve().
  void UseTls(std::shared_ptr<TlsCredentials> tls);
  // Serves until Stop(); blocks. Returns once no handler or stream runs any more.
  void Serve();
  void Stop();

  struct Impl;  // the sockets and threads, in HttpServer.cpp

 private:
  std::unique_ptr<Impl> impl_;
};

// One request read from `bytes` by the server's parser under `limits`: the request, or the
// status and message the server would answer with (400, 413, 431).
struct ParsedRequest {
  std::optional<HttpRequest> request;
  int status = 0;
  std::string error;
};
ParsedRequest ParseRequest(std::string_view bytes, const HttpLimits& limits);

}  // namespace velkor::gateway
