#include "Api.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <map>
#include <stdexcept>

#include "ApiSupport.h"
#include "Audit.h"
#include "Commands.h"
#include "Console.h"
#include "Link.h"
#include "Log.h"
#include "Requests.h"
#include "Store.h"
#include "Sync.h"

namespace velkor::gateway {
namespace {

constexpr auto kStreamWait = std::chrono::seconds(1);
constexpr int kKeepAliveEverySeconds = 15;
constexpr std::size_t kStreamPage = 100;

using Req = HttpRequest;
using Res = HttpResponse;

std::string StreamChunk(const Json& event) {
  return "id: " + std::to_string(event["id"].get<std::int64_t>()) + "\ndata: " + JsonText(event) +
         "\n\n";
}

// The message of a JSON error answer, as the log may show it.
std::string ErrorOf(const Res& res) {
  const Json body = Json::parse(res.body, nullptr, false);
  const auto error = body.is_object() ? body.find("error") : body.end();
  return error != body.end() && error->is_string() ? error->get<std::string>() : std::string();
}

// The role a route needs: read for a GET, but for the keys and the audit trail; for a change,
// what the table says, and admin for a change the table does not name.
Role NeededRole(const std::string& method, const std::string& path) {
  static const struct {
    const char* method;
    const char* path;
    Role role;
  } kRoles[] = {
      {"POST", "/api/v1/devices/{serial}/admit", Role::kOperate},
      {"POST", "/api/v1/devices/{serial}/commands", Role::kOperate},
      {"GET", "/api/v1/keys", Role::kAdmin},
      {"GET", "/api/v1/audit", Role::kAdmin},
      {"GET", "/api/v1/audit/refusals", Role::kAdmin},
  };
  for (const auto& entry : kRoles) {
    if (method == entry.method && path == entry.path) {
      return entry.role;
    }
  }
  return method == "GET" ? Role::kRead : Role::kAdmin;
}

// Holds one of the kMaxStreams places while its stream's provider lives.
struct StreamPlace {
  explicit StreamPlace(std::atomic<std::size_t>& count) : count_(count) {}
  ~StreamPlace() { count_.fetch_sub(1); }
  StreamPlace(const StreamPlace&) = delete;
  StreamPlace& operator=(const StreamPlace&) = delete;

 private:
  std::atomic<std::size_t>& count_;
};

}  // namespace

Api::Api(Hub& hub, const std::string& dbPath, std::string token, HttpLimits limits)
    : hub_(hub),
      db_(Database::Open(dbPath)),
      location_(dbPath),
      keys_(dbPath, std::move(token)),
      router_([this](std::string_view bearer) { return keys_.Find(bearer); }),
      server_(std::make_unique<HttpServer>(
          [this](HttpRequest request) { return Handle(std::move(request)); }, limits)) {
  Routes();
  keeper_ = std::thread([this] { KeepSite(); });
}

HttpResponse Api::Handle(HttpRequest request) const {
  const auto start = std::chrono::steady_clock::now();
  const std::string method = request.method;
  HttpResponse response = router_.Handle(std::move(request));
  hub_.metrics.ObserveRequest(
      method, response.route, response.status,
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return response;
}

Api::~Api() {
  StopKeeper();
}

void Api::StopKeeper() {
  stopping_ = true;
  {
    std::lock_guard lock(keeperMutex_);
    keeperWake_.notify_all();
  }
  if (keeper_.joinable()) {
    keeper_.join();
  }
}

void Api::Bind(const std::string& listen) {
  std::uint16_t port = 0;
  if (!SplitHostPort(listen, host_, port)) {
    throw std::runtime_error("--http " + listen + ": not HOST:PORT");
  }
  const auto bound = server_->Bind(host_, port);
  if (!bound) {
    throw std::runtime_error("cannot listen on HTTP " + listen +
                             " (address in use, or not an address of this machine)");
  }
  port_ = *bound;
}

void Api::UseTls(std::shared_ptr<TlsCredentials> tls) {
  server_->UseTls(std::move(tls));
  tls_ = true;
}

std::string Api::BoundText() const {
  const bool v6 = host_.find(':') != std::string::npos;
  return (tls_ ? "https://" : "http://") + (v6 ? "[" + host_ + "]" : host_) + ":" +
         std::to_string(port_);
}

void Api::Serve() {
  server_->Serve();
}

void Api::Stop() {
  StopKeeper();
  {
    std::lock_guard lock(hub_.mutex);
    hub_.eventsChanged.notify_all();
  }
  server_->Stop();
}

void Api::Add(const std::string& method, const std::string& path, Router::Handler handler,
              Role role) {
  router_.Add(method, path, std::move(handler), std::max(role, NeededRole(method, path)));
}

// The store answered: a failure noted before is over.
void Api::StoreWorked() {
  std::lock_guard lock(hub_.mutex);
  hub_.storeError.clear();
}

void Api::StoreFailed(const DatabaseError& error) {
  hub_.metrics.StoreFailed(StoreUser::kApi);
  std::lock_guard lock(hub_.mutex);
  hub_.storeError = error.what();
}

void Api::Recall(std::uint64_t serial) {
  {
    std::lock_guard lock(hub_.mutex);
    if (hub_.Find(serial) != nullptr) {
      return;
    }
  }
  std::lock_guard db(dbMutex_);
  if (!RecallDevice(hub_, *db_, serial)) {
    Fail(404, "no device " + SerialText(serial));
  }
}

std::string Api::Metrics() {
  // The gauges that are counts of what memory holds, counted now.
  const std::int64_t silentBefore = NowMs() - hub_.silentAfterMs;
  std::int64_t pending = 0, active = 0, silent = 0;
  {
    std::lock_guard lock(hub_.mutex);
    for (const auto& [_, device] : hub_.devices) {
      ++(!device.admitted ? pending : device.lastSeenMs < silentBefore ? silent : active);
    }
  }
  hub_.metrics.SetDevices(pending, active, silent);
  hub_.metrics.SetStreamClients(static_cast<std::int64_t>(std::min(streams_.load(), kMaxStreams)));
  return hub_.metrics.Render();
}

void Api::Routes() {
  // Every handler runs inside Guarded: an error changes nothing, since each handler validates
  // before it writes.
  const auto wrap = [this](auto handler) { return Guarded(handler, false); };
  const auto store = [this](auto handler) { return Guarded(handler, true); };

  router_.SetPublic([](const Req& req) {
    if (req.path == "/api/v1/openapi.json" || req.path == "/api/v1/healthz") {
      return true;
    }
    // The console's files hold no data; the calls the page makes carry the token.
    if ((req.method == "GET" || req.method == "HEAD") && IsConsolePath(req.path)) {
      return true;
    }
    // Browsers ask for an icon on their own, without the token: a plain 404, not a 401.
    return req.path == "/favicon.ico";
  });

  // Refused requests (every 4xx) are counted per client address and logged at a bounded rate.
  router_.SetObserver([this](const Req& req, const Res& res) {
    if (res.status >= 400 && res.status < 500) {
      refusals_.Note(req.client, res.status,
                     req.method + " " + req.path.substr(0, 200) + ": " + ErrorOf(res));
    }
  });

  // The web console, outside the API's route table (and so outside the OpenAPI document).
  AddConsoleRoutes(router_);

  Add("GET", "/api/v1/openapi.json", [](const Req&) {
    Res res;
    res.contentType = "application/json";
    res.body = OpenApiDocument();
    return res;
  });

  // Without the token only the verdict: the store's message may name its host.
  Add("GET", "/api/v1/healthz", wrap([this](const Req& req) {
        std::lock_guard lock(hub_.mutex);
        const bool ok = hub_.linkUp && hub_.storeError.empty();
        if (!req.authorized) {
          return JsonReply(ok ? 200 : 503, {{"status", ok ? "ok" : "degraded"}});
        }
        return JsonReply(ok ? 200 : 503,
                         {{"status", ok ? "ok" : "degraded"},
                          {"link", hub_.linkUp ? "up" : "down"},
                          {"store", hub_.storeError.empty() ? "ok" : hub_.storeError},
                          {"devices", hub_.devices.size()}});
      }));

  Add("GET", "/api/v1/link", wrap([this](const Req&) {
        LinkCounters c;
        std::map<std::string, std::uint64_t> refusedByAddress;
        {
          std::lock_guard lock(hub_.mutex);
          c = hub_.counters;
          refusedByAddress = hub_.refusedByAddress;
        }
        Json refused = Json::object();
        for (const auto& [address, count] : refusedByAddress) {
          refused[address] = count;
        }
        return JsonReply(200, {{"received", c.received},
                               {"accepted", c.accepted},
                               {"refused", c.refused},
                               {"oversized", c.oversized},
                               {"answered", c.answered},
                               {"unadmitted", c.unadmitted},
                               {"conflicts", c.conflicts},
                               {"duplicates", c.duplicates},
                               {"events_stored", c.eventsStored},
                               {"batches", c.batches},
                               {"commits", c.commits},
                               {"commit_failures", c.commitFailures},
                               {"refused_by_address", refused}});
      }));

  // For scrapers, outside /api/v1 where they look for it.
  Add("GET", "/metrics", wrap([this](const Req&) {
        Res res;
        res.contentType = kMetricsContentType;
        res.body = Metrics();
        return res;
      }));

  // A page of the registry in serial order; under the lock only the page's fields are copied.
  Add("GET", "/api/v1/devices", wrap([this](const Req& req) {
        std::optional<std::uint64_t> after;
        if (req.HasParam("after")) {
          after = SerialParam(req.Param("after"));
        }
        const std::size_t limit = PageLimit(req);
        std::optional<std::string> tag;
        if (req.HasParam("tag")) {
          tag = req.Param("tag");
          if (!ValidTag(*tag)) {
            Fail(400, "tag: must be 1 to 32 lower-case letters, digits and '-'");
          }
        }
        const auto tagged = [&tag](const Device& d) {
          return !tag ||
                 std::find(d.labels.tags.begin(), d.labels.tags.end(), *tag) != d.labels.tags.end();
        };
        std::vector<DeviceSummary> page;
        bool more = false;
        {
          std::lock_guard lock(hub_.mutex);
          std::vector<const Device*> devices;
          for (const auto& [serial, d] : hub_.devices) {
            if ((!after || serial > *after) && tagged(d)) {
              devices.push_back(&d);
            }
          }
          const std::size_t count = std::min(limit, devices.size());
          std::partial_sort(devices.begin(), devices.begin() + static_cast<std::ptrdiff_t>(count),
                            devices.end(),
                            [](const Device* a, const Device* b) { return a->serial < b->serial; });
          more = devices.size() > count;
          for (std::size_t i = 0; i < count; ++i) {
            page.push_back(Summarize(*devices[i]));
          }
        }
        Json list = Json::array();
        for (const DeviceSummary& d : page) {
          list.push_back(DeviceJson(d));
        }
        const Json next = more ? Json(SerialText(page.back().registry.serial)) : Json(nullptr);
        return JsonReply(200, {{"devices", std::move(list)}, {"next", next}});
      }));

  Add("GET", "/api/v1/devices/{serial}", wrap([this](const Req& req) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        DeviceSummary device;
        Recall(serial);
        {
          std::lock_guard lock(hub_.mutex);
          device = Summarize(Known(hub_, serial));
        }
        return JsonReply(200, DeviceJson(device));
      }));

  Add("POST", "/api/v1/devices/{serial}/admit", store([this](const Req& req) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        // {"address": ...} moves the pin to where a refused packet came from.
        std::optional<std::string> address;
        if (!req.body.empty()) {
          const Json body = ParseBody(req);
          const auto named = body.is_object() ? body.find("address") : body.end();
          if (!body.is_object() || named == body.end() || !named->is_string()) {
            Fail(400, "the body, when given, is {\"address\": \"...\"}");
          }
          address = named->get<std::string>();
        }
        DeviceSummary summary;
        Recall(serial);
        {
          std::lock_guard db(dbMutex_);
          std::lock_guard lock(hub_.mutex);
          Device& d = Known(hub_, serial);
          if (address && *address != d.ip && *address != d.conflictAddress) {
            Fail(400,
                 "address: the device was last seen at " + d.ip +
                     (d.conflictAddress.empty() ? "" : " and refused from " + d.conflictAddress));
          }
          // The address its last accepted packet came from, unless the admission names another.
          const std::string pinned = address.value_or(d.ip);
          DeviceRow admitted = d.Registry();
          admitted.admitted = true;
          admitted.pinnedIp = pinned;
          WriteAnnounced(*db_, hub_.origin, serial, [&] {
            SaveAdmission(*db_, admitted);
            InsertAudit(*db_, Audited(req, serial, {{"address", pinned}}));
          });
          hub_.pendingDevices -= d.admitted ? 0 : 1;
          d.admitted = true;
          d.pinnedIp = pinned;
          summary = Summarize(d);
        }
        LogInfo("device " + SerialText(serial) + " admitted by " + req.principal.name +
                ", pinned to " + summary.registry.pinnedIp);
        return JsonReply(200, DeviceJson(summary));
      }));

  for (ListKind kind : {ListKind::kCards, ListKind::kGroups, ListKind::kSchedules}) {
    const std::string listRoute = std::string("/api/v1/devices/{serial}/") + ListName(kind);
    Add("GET", listRoute, wrap([this, kind](const Req& req) {
          const std::uint64_t serial = SerialParam(req.matches[1]);
          Json body;
          Recall(serial);
          {
            std::lock_guard lock(hub_.mutex);
            const auto& list = Known(hub_, serial).lists[static_cast<std::size_t>(kind)];
            if (!list) {
              Fail(404,
                   std::string("no ") + ListName(kind) + " list set for " + SerialText(serial));
            }
            body = list->body;
          }
          return JsonReply(200, std::move(body));
        }));
    Add("PUT", listRoute, store([this, kind](const Req& req) {
          const std::uint64_t serial = SerialParam(req.matches[1]);
          const Json body = ParseBody(req);
          if (!body.is_array()) {
            Fail(400, std::string(ListName(kind)) + ": must be an array of records");
          }
          if (body.size() > ListLimit(kind)) {
            Fail(422, std::string(ListName(kind)) + ": " + std::to_string(body.size()) +
                          " records, a device takes at most " + std::to_string(ListLimit(kind)));
          }
          FieldError error;
          const Json records = ListRecords(kind, body, error);
          if (records.is_null()) {
            Fail(400, error.Message());
          }
          Recall(serial);
          std::lock_guard db(dbMutex_);
          std::lock_guard lock(hub_.mutex);
          Device& d = Known(hub_, serial);
          auto& slot = d.lists[static_cast<std::size_t>(kind)];
          WantedList list;
          list.body = records;
          list.state = "wanted";
          list.setAt = IsoTime(NowMs());
          WriteAnnounced(*db_, hub_.origin, serial, [&] {
            list.version = SaveList(*db_, serial, kind, list);
            InsertAudit(*db_, Audited(req, serial,
                                      {{"list", ListName(kind)},
                                       {"version", list.version},
                                       {"records", records.size()}}));
          });
          if (!slot || slot->version < list.version) {  // not when a newer one came meanwhile
            slot = list;
          }
          return JsonReply(200, ListStatus(list));
        }));
  }

  Add("POST", "/api/v1/devices/{serial}/commands", store([this](const Req& req) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        const Json body = ParseBody(req);
        std::lock_guard db(dbMutex_);
        Queued queued = QueueCommand(hub_, *db_, serial, body, Audited(req, serial, {}, 202));
        return JsonReply(queued.status, std::move(queued.body));
      }));
  Add("GET", "/api/v1/devices/{serial}/commands", store([this](const Req& req) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        const std::int64_t after =
            req.HasParam("after") ? NumberParam(req.Param("after"), "after", 0, INT64_MAX) : 0;
        const std::size_t limit = PageLimit(req);
        Recall(serial);
        std::lock_guard db(dbMutex_);
        Json commands = ListCommands(*db_, serial, std::nullopt, after, limit);
        const std::int64_t next =
            commands.empty() ? after : commands.back()["id"].get<std::int64_t>();
        return JsonReply(200, {{"commands", std::move(commands)}, {"next", next}});
      }));
  Add("GET", "/api/v1/devices/{serial}/commands/{id}", store([this](const Req& req) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        const std::int64_t id = NumberParam(req.matches[2], "command id", 1, INT64_MAX);
        Recall(serial);
        std::lock_guard db(dbMutex_);
        const Json found = ListCommands(*db_, serial, id);
        if (found.empty()) {
          Fail(404, "no command " + std::to_string(id) + " for " + SerialText(serial));
        }
        return JsonReply(200, found[0]);
      }));

  Add("PUT", "/api/v1/devices/{serial}/voice/{word}", store([this](const Req& req) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        const auto word = static_cast<std::uint16_t>(NumberParam(req.matches[2], "word", 0, 65535));
        if (req.body.size() > kMaxVoiceClip) {
          Fail(413, "a voice clip holds at most " + std::to_string(kMaxVoiceClip) +
                        " bytes (one datagram)");
        }
        const std::vector<std::uint8_t> clip(req.body.begin(), req.body.end());
        Recall(serial);
        std::lock_guard db(dbMutex_);
        std::lock_guard lock(hub_.mutex);
        Device& d = Known(hub_, serial);
        if (d.voice.size() >= kMaxVoiceClips && d.voice.count(word) == 0) {
          Fail(422, SerialText(serial) + " holds " + std::to_string(kMaxVoiceClips) +
                        " voice clips, the most it may; replace one of its words instead");
        }
        WriteAnnounced(*db_, hub_.origin, serial, [&] {
          SaveVoice(*db_, serial, word, clip, IsoTime(NowMs()));
          InsertAudit(*db_, Audited(req, serial, {{"word", word}, {"length", clip.size()}}));
        });
        d.voice[word] = clip;
        hub_.VoiceWritten(serial, word);
        return JsonReply(200, {{"word", word}, {"length", clip.size()}});
      }));
  Add("GET", "/api/v1/devices/{serial}/voice/{word}", wrap([this](const Req& req) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        const auto word = static_cast<std::uint16_t>(NumberParam(req.matches[2], "word", 0, 65535));
        Res res;
        Recall(serial);
        {
          std::lock_guard lock(hub_.mutex);
          const Device& d = Known(hub_, serial);
          const auto clip = d.voice.find(word);
          if (clip == d.voice.end()) {
            Fail(404, "no voice clip " + std::to_string(word) + " for " + SerialText(serial));
          }
          res.body.assign(clip->second.begin(), clip->second.end());
        }
        res.contentType = "application/octet-stream";
        return res;
      }));

  Add("PUT", "/api/v1/devices/{serial}/templates/{slot}", store([this](const Req& req) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        const auto slot = static_cast<std::uint8_t>(NumberParam(req.matches[2], "slot", 0, 255));
        const Json body = ParseBody(req);
        const auto text = body.is_object() ? body.find("template") : body.end();
        if (!body.is_object() || text == body.end() || !text->is_string()) {
          Fail(400, "template: must be the 128 template bytes as hex");
        }
        const auto bytes = FromHex(text->get<std::string>());
        if (!bytes || bytes->size() != kTemplateLength) {
          Fail(400, "template: must be the 128 template bytes as hex (256 digits)");
        }
        Template data;
        std::copy(bytes->begin(), bytes->end(), data.begin());
        Recall(serial);
        std::lock_guard db(dbMutex_);
        std::lock_guard lock(hub_.mutex);
        Device& d = Known(hub_, serial);
        const std::string at = IsoTime(NowMs());
        WriteAnnounced(*db_, hub_.origin, serial, [&] {
          SaveTemplate(*db_, serial, slot, data, "api", at);
          InsertAudit(*db_, Audited(req, serial, {{"slot", slot}}));
        });
        d.templates[slot] = data;
        hub_.TemplateWritten(serial, slot);
        return JsonReply(200, {{"slot", slot},
                               {"template", Hex(data.data(), data.size())},
                               {"source", "api"},
                               {"updated_at", at}});
      }));
  Add("GET", "/api/v1/devices/{serial}/templates/{slot}", wrap([this](const Req& req) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        const auto slot = static_cast<std::uint8_t>(NumberParam(req.matches[2], "slot", 0, 255));
        Template stored;
        Recall(serial);
        {
          std::lock_guard lock(hub_.mutex);
          const Device& d = Known(hub_, serial);
          const auto found = d.templates.find(slot);
          if (found == d.templates.end()) {
            Fail(404, "no template in slot " + std::to_string(slot) + " for " + SerialText(serial));
          }
          stored = found->second;
        }
        return JsonReply(200, {{"slot", slot}, {"template", Hex(stored.data(), kTemplateLength)}});
      }));

  Add("GET", "/api/v1/events", store([this](const Req& req) {
        std::optional<std::uint64_t> device;
        if (req.HasParam("device")) {
          device = SerialParam(req.Param("device"));
        }
        const std::int64_t after =
            req.HasParam("after") ? NumberParam(req.Param("after"), "after", 0, INT64_MAX) : 0;
        const std::size_t limit = PageLimit(req);
        std::lock_guard db(dbMutex_);
        Json events = ListEvents(*db_, device, after, limit);
        names_.Name(*db_, hub_, events);
        const std::int64_t next = events.empty() ? after : events.back()["id"].get<std::int64_t>();
        return JsonReply(200, {{"events", std::move(events)}, {"next", next}});
      }));

  Add("GET", "/api/v1/events/stream", wrap([this](const Req& req) {
        std::optional<std::uint64_t> device;
        if (req.HasParam("device")) {
          device = SerialParam(req.Param("device"));
        }
        std::int64_t after = 0;
        if (req.HasHeader("Last-Event-ID")) {
          after = NumberParam(req.Header("Last-Event-ID"), "Last-Event-ID", 0, INT64_MAX);
        } else if (req.HasParam("after")) {
          after = NumberParam(req.Param("after"), "after", 0, INT64_MAX);
        }
        if (streams_.fetch_add(1) >= kMaxStreams) {
          streams_.fetch_sub(1);
          Fail(503, "too many event streams open (at most " + std::to_string(kMaxStreams) + ")");
        }
        auto place = std::make_shared<StreamPlace>(streams_);
        auto last = std::make_shared<std::int64_t>(after);
        auto idle = std::make_shared<int>(0);
        Res res;
        res.headers["Cache-Control"] = "no-cache";
        // Runs on the stream's own thread: a store failure ends the stream, not the process.
        res.stream = [this, device, last, idle, place](StreamWriter& sink) {
          if (stopping_) {
            return false;
          }
          Json events;
          try {
            std::lock_guard db(dbMutex_);
            events = ListEvents(*db_, device, *last, kStreamPage);
            names_.Name(*db_, hub_, events);
          } catch (const DatabaseError& e) {
            StoreFailed(e);
            return false;
          }
          StoreWorked();
          if (events.empty()) {
            std::unique_lock lock(hub_.mutex);
            const std::int64_t seen = hub_.lastEventId;
            hub_.eventsChanged.wait_for(lock, kStreamWait,
                                        [&] { return stopping_ || hub_.lastEventId != seen; });
            if (++*idle >= kKeepAliveEverySeconds) {
              *idle = 0;
              return sink.Write(": keep-alive\n\n");
            }
            return sink.Open();
          }
          *idle = 0;
          for (const Json& event : events) {
            if (!sink.Write(StreamChunk(event))) {
              return false;
            }
            *last = event["id"].get<std::int64_t>();
          }
          return true;
        };
        return res;
      }));
  KeyRoutes();
  AuditRoutes();
  SiteRoutes();
}

void Api::KeyRoutes() {
  // Who the request's key is: the console shows what its role allows.
  Add("GET", "/api/v1/whoami", [](const Req& req) {
    return JsonReply(200, {{"name", req.principal.name}, {"role", RoleName(req.principal.role)}});
  });

  Add("GET", "/api/v1/keys", Stored([this](const Req&) {
        std::vector<KeyInfo> keys;
        {
          std::lock_guard db(dbMutex_);
          keys = ListKeys(*db_);
        }
        Json list = Json::array();
        for (const KeyInfo& key : keys) {
          list.push_back(
              {{"name", key.name},
               {"role", RoleName(key.role)},
               {"created_at", key.createdAt},
               {"last_used_at", key.lastUsedAt.empty() ? Json(nullptr) : Json(key.lastUsedAt)}});
        }
        return JsonReply(200, {{"keys", std::move(list)}});
      }));

  // The new key is in this answer only: the store keeps its hash.
  Add("POST", "/api/v1/keys", Stored([this](const Req& req) {
        const Json body = ParseBody(req);
        const auto name = body.is_object() ? body.find("name") : body.end();
        const auto role = body.is_object() ? body.find("role") : body.end();
        if (name == body.end() || !name->is_string() || role == body.end() || !role->is_string()) {
          Fail(400,
               "the body is {\"name\": \"...\", \"role\": \"read\" | \"operate\" | \"admin\"}");
        }
        std::string error;
        const std::string keyName = name->get<std::string>();
        if (!ValidKeyName(keyName, error)) {
          Fail(400, "name: " + error);
        }
        const auto keyRole = ParseRole(role->get<std::string>());
        if (!keyRole) {
          Fail(400, "role: must be read, operate or admin");
        }
        const std::string key = NewKey();
        const std::string at = IsoTime(NowMs());
        {
          std::lock_guard db(dbMutex_);
          Transaction transaction(*db_);
          if (!InsertKey(*db_, keyName, *keyRole, KeyHash(key), at)) {
            Fail(409, "a key named \"" + keyName + "\" exists; revoke it first");
          }
          InsertAudit(*db_, Audited(req, std::nullopt,
                                    {{"key", keyName}, {"role", RoleName(*keyRole)}}, 201));
          transaction.Commit();
        }
        keys_.Invalidate();
        LogInfo("key \"" + keyName + "\" (" + RoleName(*keyRole) + ") added by " +
                req.principal.name);
        return JsonReply(
            201,
            {{"name", keyName}, {"role", RoleName(*keyRole)}, {"key", key}, {"created_at", at}});
      }));

  Add("DELETE", "/api/v1/keys/{name}", Stored([this](const Req& req) {
        const std::string& keyName = req.matches[1];
        if (keyName == kTokenKeyName) {
          Fail(409, "the key \"token\" is the one --token or --token-file gives: change it there");
        }
        {
          std::lock_guard db(dbMutex_);
          Transaction transaction(*db_);
          if (!DeleteKey(*db_, keyName)) {
            Fail(404, "no key \"" + keyName.substr(0, 64) + "\"");
          }
          InsertAudit(*db_, Audited(req, std::nullopt, {{"key", keyName}}));
          transaction.Commit();
        }
        keys_.Invalidate();
        LogInfo("key \"" + keyName + "\" revoked by " + req.principal.name);
        return JsonReply(200, {{"name", keyName}, {"revoked", true}});
      }));
}

void Api::AuditRoutes() {
  Add("GET", "/api/v1/audit", [this](const Req& req) -> Res {
    std::optional<std::uint64_t> device;
    if (req.HasParam("device")) {
      device = SerialParam(req.Param("device"));
    }
    const std::int64_t after =
        req.HasParam("after") ? NumberParam(req.Param("after"), "after", 0, INT64_MAX) : 0;
    const std::size_t limit = PageLimit(req);
    Json entries;
    try {
      std::lock_guard db(dbMutex_);
      entries = ListAudit(*db_, device, after, limit);
    } catch (const DatabaseError& e) {
      StoreFailed(e);
      return ErrorReply(503, std::string("store: ") + e.what());
    }
    StoreWorked();
    const std::int64_t next = entries.empty() ? after : entries.back()["id"].get<std::int64_t>();
    return JsonReply(200, {{"entries", std::move(entries)}, {"next", next}});
  });

  Add("GET", "/api/v1/audit/refusals", [this](const Req&) {
    Json counts = Json::object();
    for (const auto& [address, count] : refusals_.ByAddress()) {
      counts[address] = count;
    }
    return JsonReply(200, {{"refused_by_address", std::move(counts)}});
  });
}

}  // namespace velkor::gateway
