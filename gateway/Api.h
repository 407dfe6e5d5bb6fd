// The REST API: JSON over HTTP/1.1 (or HTTPS) under /api/v1. Handlers read and change the hub and
// the store through a connection of their own; they never call the link library.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Audit.h"
#include "Database.h"
#include "EventNames.h"
#include "Http.h"
#include "HttpServer.h"
#include "Keys.h"
#include "Refusals.h"
#include "State.h"

namespace velkor::gateway {

inline constexpr std::size_t kMaxStreams = 8;  // concurrent event streams
// Pages of events, devices and commands: at most 1000 entries, 100 unless a limit is asked.
inline constexpr std::size_t kMaxEventsPage = 1000;
inline constexpr std::size_t kDefaultEventsPage = 100;
inline constexpr std::size_t kMaxVoiceClips = 256;  // stored clips per device

class Api {
 public:
  Api(Hub& hub, const std::string& dbPath, std::string token, HttpLimits limits = {});
  ~Api();
  Api(const Api&) = delete;
  Api& operator=(const Api&) = delete;

  // Binds "HOST:PORT" (port 0: a free one); throws std::runtime_error when it cannot.
  void Bind(const std::string& listen);
  // HTTPS with these credentials, which a reload changes for connections to come; before Bind().
  void UseTls(std::shared_ptr<TlsCredentials> tls);
  std::string BoundText() const;  // "http://HOST:PORT", or "https://HOST:PORT"
  // Serves until Stop(); blocks.
  void Serve();
  void Stop();

  // Every route as (method, documented path), "/api/v1/devices/{serial}" say.
  const std::vector<std::pair<std::string, std::string>>& RouteTable() const {
    return router_.Routes();
  }
  // The admin key "token" from now on (SIGHUP rereads its file).
  void SetToken(std::string token) { keys_.SetToken(std::move(token)); }
  // The role each documented route needs.
  std::optional<Role> RoleOf(const std::string& method, const std::string& path) const {
    return router_.RoleOf(method, path);
  }
  // One request answered in process, as the server answers it.
  HttpResponse Handle(HttpRequest request) const;

 private:
  void Routes();
  void Add(const std::string& method, const std::string& path, Router::Handler handler,
           Role role = Role::kRead);
  void KeyRoutes();
  void AuditRoutes();
  void SiteRoutes();
  // `handler` with HttpError answered as its status and a store failure as 503; a success of a
  // handler that uses the store clears a store failure noted before.
  template <typename Handler>
  Router::Handler Guarded(Handler handler, bool usesStore) {
    return [this, handler, usesStore](const HttpRequest& req) -> HttpResponse {
      try {
        HttpResponse res = handler(req);
        if (usesStore) {
          StoreWorked();
        }
        return res;
      } catch (const HttpError& e) {
        return ErrorReply(e.status, e.message);
      } catch (const DatabaseError& e) {
        StoreFailed(e);
        return ErrorReply(503, std::string("store: ") + e.what());
      }
    };
  }
  template <typename Handler>
  Router::Handler Stored(Handler handler) {
    return Guarded(handler, true);
  }
  void HolderRoutes();
  void TagRoutes();
  void HolderCsvRoutes();

  // A change of the site and the lists it changes, in one transaction: `write` writes the
  // site's rows (and may refuse with HttpError, which changes nothing); then every device's lists
  // (those of `only`, when given) are planned from the site as the store holds it and written,
  // each device's announced; a plan that would overfill a device is refused whole (422).
  // Memory takes the lists and the labels after the commit. Without `write`, and with nothing
  // to write, nothing is committed. Returns what was written: [{"device", "list", "version",
  // "records"}]. Takes dbMutex_ and, briefly, the hub's lock.
  struct SiteChange {
    AuditEntry audit;
    std::function<void(Json& detail)> write;                   // given the audit entry's detail
    std::map<std::uint64_t, DeviceLabels> labels;              // devices' new labels
    std::vector<std::pair<std::uint64_t, ListKind>> giveBack;  // lists back to derived mode
    std::optional<std::vector<std::uint64_t>> only;
    // Everything planned and checked, nothing committed: the lists that would be written.
    bool dryRun = false;
  };
  Json ChangeSite(SiteChange change);
  Json ChangeSiteOn(Database& store, SiteChange& change);  // the caller owns `store`
  // The devices first seen since it last looked get what the site gives them; a thread of its
  // own, once a second, until Stop().
  void KeepSite();
  void StopKeeper();
  std::string Metrics();  // the text of GET /metrics
  // Before a route finds a device under the hub's lock (Known): a serial memory misses is read
  // from the store, and the device taken in when the store holds it; else 404. Takes dbMutex_ on
  // a miss only; the caller holds neither lock.
  void Recall(std::uint64_t serial);
  void StoreWorked();
  void StoreFailed(const DatabaseError& error);

  Hub& hub_;
  std::mutex dbMutex_;
  std::unique_ptr<Database> db_;
  std::string location_;  // the store's, for the keeper's connection
  EventNames names_;      // under dbMutex_
  KeyRing keys_;
  Refusals refusals_;
  Router router_;
  std::unique_ptr<HttpServer> server_;
  std::string host_;
  int port_ = 0;
  bool tls_ = false;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> streams_{0};
  std::unique_ptr<Database> keeperDb_;  // the keeper thread's
  std::mutex keeperMutex_;
  std::condition_variable keeperWake_;
  std::thread keeper_;
};

// The OpenAPI document served at /api/v1/openapi.json.
const char* OpenApiDocument();

}  // namespace velkor::gateway
