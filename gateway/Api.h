// The REST API: JSON over HTTP/1.1 under /api/v1. Handlers read and change the hub and the
// store through a connection of their own; they never call the link library.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Database.h"
#include "State.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace velkor::gateway {

inline constexpr std::size_t kMaxBody = 1 << 20;  // larger request bodies get 413
inline constexpr std::size_t kMaxStreams = 8;     // concurrent event streams
inline constexpr std::size_t kMaxEventsPage = 1000;
inline constexpr std::size_t kDefaultEventsPage = 100;

class Api {
 public:
  Api(Hub& hub, const std::string& dbPath, std::string token);
  ~Api();
  Api(const Api&) = delete;
  Api& operator=(const Api&) = delete;

  // Binds "HOST:PORT" (port 0: a free one); throws std::runtime_error when it cannot.
  void Bind(const std::string& listen);
  std::string BoundText() const;  // "http://HOST:PORT"
  // Serves until Stop(); blocks.
  void Serve();
  void Stop();

  // Every route as (method, documented path), "/api/v1/devices/{serial}" say.
  const std::vector<std::pair<std::string, std::string>>& RouteTable() const { return routes_; }

 private:
  void Routes();
  void Add(const std::string& method, const std::string& path,
           const std::function<void(const httplib::Request&, httplib::Response&)>& handler);

  Hub& hub_;
  std::mutex dbMutex_;
  std::unique_ptr<Database> db_;
  std::string token_;
  std::unique_ptr<httplib::Server> server_;
  std::string host_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> streams_{0};
  std::vector<std::pair<std::string, std::string>> routes_;
};

// Compares two secrets in time that depends on neither's content.
bool SameSecret(const std::string& given, const std::string& expected);

// The OpenAPI document served at /api/v1/openapi.json.
const char* OpenApiDocument();

}  // namespace velkor::gateway
