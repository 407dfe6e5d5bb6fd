// A TCP proxy on 127.0.0.1 between a PostgreSQL client and server that reads the protocol's
// framing (the untyped startup packets, then a type byte and a 4-byte length each way) and,
// when armed, closes both sides of one connection right after it has passed on a chosen
// message: a connection lost at an exact step of a transaction. It runs on a thread of its own
// until the object goes.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velkor::test {

class FaultProxy {
 public:
  // Listens on 127.0.0.1 (a port of its own) and connects each client to 127.0.0.1:upstream.
  explicit FaultProxy(std::uint16_t upstream);
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  std::uint16_t port() const { return port_; }

  // The first client message after this call whose SQL holds `trigger` (a query's text, or the
  // statement a Parse names or a Bind runs) makes its connection the target; counting that
  // message as 1 and every message after it both ways, the connection is closed after message
  // `n`. `marker`, when given, is looked for in what the target's client sends from the
  // trigger on (MarkerSeen).
  void Arm(const std::string& trigger, int n, const std::string& marker = {});
  void Disarm();
  bool Fired() const;  // the armed drop happened
  // What the target passed on since the trigger, e.g. "C:Q S:C S:Z C:B": side and type byte.
  std::string Trace() const;
  bool MarkerSeen() const;
  // Closes every connection whose client sent SQL holding `text`; how many it closed.
  int DropWhere(const std::string& text);

 private:
  struct Connection;
  void Run();
  void Accept();
  // Passes on the complete messages `from` has buffered; false once the connection is closed.
  bool Pump(Connection& c, bool fromClient);
  bool Forward(Connection& c, bool fromClient, const char* data, std::size_t size, char type,
               const std::string& sql);

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::uint16_t upstream_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Connection>> connections_;
  // Armed drop.
  std::string trigger_, marker_;
  int n_ = 0, counted_ = 0;
  Connection* target_ = nullptr;
  bool armed_ = false, fired_ = false, markerSeen_ = false;
  std::string trace_;
  std::string dropWhere_;
  std::thread thread_;
};

// The URL of `url` (postgresql://user@127.0.0.1:PORT/db) with another port.
std::string WithPort(const std::string& url, std::uint16_t port);
std::uint16_t PortOf(const std::string& url);

}  // namespace velkor::test
